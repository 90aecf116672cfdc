// An append-only vector made of fixed chunks of 65,536 elements: growing never moves or copies
// what was written, and a large table never needs one huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tovrel {

template <class T>
class ChunkVec {
public:
    static constexpr unsigned kShift = 16;
    static constexpr std::size_t kChunk = std::size_t{1} << kShift;

    std::uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    T& operator[](std::uint64_t i) noexcept { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    const T& operator[](std::uint64_t i) const noexcept {
        return chunks_[i >> kShift][i & (kChunk - 1)];
    }
    T& back() noexcept { return (*this)[size_ - 1]; }

    void push_back(const T& value) {
        if ((size_ & (kChunk - 1)) == 0) {
            chunks_.emplace_back();
            chunks_.back().reserve(kChunk);
        }
        chunks_.back().push_back(value);
        ++size_;
    }

    // Releases the unused room of the chunk list and of the last chunk.
    void shrink_to_fit() {
        chunks_.shrink_to_fit();
        if (!chunks_.empty()) chunks_.back().shrink_to_fit();
    }

    void clear() noexcept {
        std::vector<std::vector<T>>().swap(chunks_);
        size_ = 0;
    }

    // Bytes held, counting reserved room.
    std::size_t bytes() const noexcept {
        std::size_t n = chunks_.capacity() * sizeof(std::vector<T>);
        for (const auto& c : chunks_) n += c.capacity() * sizeof(T);
        return n;
    }

private:
    std::vector<std::vector<T>> chunks_;
    std::uint64_t size_ = 0;
};

}  // namespace tovrel
