// Where the reader's bytes come from. One implementation reads a Python file-like object
// (py_file_source.h); MemorySource serves bytes from memory for tests and fuzzing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "xml/byte_buffer.h"

namespace tovrel {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Appends the next chunk of the stream to `out`. Returns false, appending nothing, at end of
    // input. Errors are thrown (utils/error.h).
    virtual bool read_chunk(ByteBuffer& out) = 0;
};

// Serves a byte string in chunks of a fixed size (1 to exercise every boundary).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view data, std::size_t chunk = 65536)
        : data_(data), chunk_(chunk ? chunk : 1) {}

    bool read_chunk(ByteBuffer& out) override {
        ++reads_;
        if (offset_ >= data_.size()) return false;
        std::size_t n = std::min(chunk_, data_.size() - offset_);
        out.append(data_.data() + offset_, n);
        offset_ += n;
        return true;
    }

    std::size_t reads() const noexcept { return reads_; }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t offset_ = 0;
    std::size_t reads_ = 0;
};

}  // namespace tovrel
