// Growable byte array for the reader's input window. It always keeps kPad zero bytes readable
// right past its end, so scanners may load a whole machine word at any position before the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tovrel {

class ByteBuffer {
public:
    static constexpr std::size_t kPad = 16;

    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
    ~ByteBuffer() { std::free(data_); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        void* grown = std::realloc(data_, capacity + kPad);
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(grown);
        capacity_ = capacity;
        std::memset(data_ + size_, 0, kPad);
    }

    void append(const void* bytes, std::size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) reserve(grow_to(size_ + n));
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        std::memset(data_ + size_, 0, kPad);
    }

    // Drops the first n bytes, moving the rest to the front.
    void erase_front(std::size_t n) noexcept {
        if (n == 0) return;
        std::memmove(data_, data_ + n, size_ - n);
        size_ -= n;
        std::memset(data_ + size_, 0, kPad);
    }

private:
    std::size_t grow_to(std::size_t needed) const noexcept {
        std::size_t cap = capacity_ ? capacity_ : 256;
        while (cap < needed) cap *= 2;
        return cap;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tovrel
