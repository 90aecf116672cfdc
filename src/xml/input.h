// The reader's input window: the unread part of the stream in one growable buffer, scanned in
// place. Bytes are pulled from a ByteSource on demand; consumed bytes are dropped from the front
// only when that is cheap and nothing still needs them (an active capture, the last tag).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "xml/byte_buffer.h"
#include "xml/byte_source.h"

namespace tovrel {

class Input {
public:
    static constexpr std::size_t kChunk = 65536;
    static constexpr std::size_t kNoCapture = SIZE_MAX;

    explicit Input(std::unique_ptr<ByteSource> source)
        : source_(std::move(source)), buf(kChunk) {}

    // Appends one more chunk of the stream. Returns false at end of input, and on every call after
    // that without asking the source again. Source errors propagate as thrown.
    bool more();

    const std::uint8_t* data() const noexcept { return buf.data(); }
    std::size_t filled() const noexcept { return buf.size(); }
    std::size_t available() const noexcept { return buf.size() - pos; }
    // Absolute stream offset of buf[pos].
    std::uint64_t offset() const noexcept { return base + pos; }
    ByteSource& source() noexcept { return *source_; }

private:
    void compact() noexcept;

    std::unique_ptr<ByteSource> source_;

public:
    ByteBuffer buf;
    std::size_t pos = 0;          // first byte not yet consumed
    std::uint64_t base = 0;       // stream offset of buf[0]
    std::size_t capture = kNoCapture;
    std::size_t tag_start = 0;    // '<' of the last tag returned
    std::size_t tag_end = 0;      // one past its '>'
    bool eof = false;
};

}  // namespace tovrel
