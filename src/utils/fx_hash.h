// FxHasher: the engine's own 64-bit hash for integer keys and byte strings. Every hash map the
// engine keys by a 64-bit number or by a byte string it reads (cell keys, text hashes, formula
// shapes, shared-formula `si` texts) hashes through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tovrel {

class FxHasher {
public:
    static constexpr std::uint64_t kSeed = 0x517cc1b727220a95ULL;

    void add(std::uint64_t word) noexcept { h_ = (((h_ << 5) | (h_ >> 59)) ^ word) * kSeed; }

    // Little-endian 8-byte words from the start, the last shorter piece zero-padded.
    void add_bytes(const void* data, std::size_t len) noexcept {
        const char* p = static_cast<const char*>(data);
        std::size_t i = 0;
        for (; i + 8 <= len; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            add(word);
        }
        if (i < len) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, len - i);
            add(word);
        }
    }

    std::uint64_t finish() const noexcept {
        std::uint64_t h = h_;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

    // A 64-bit key: the key as one word, finished.
    static std::uint64_t of_u64(std::uint64_t key) noexcept {
        FxHasher f;
        f.add(key);
        return f.finish();
    }

    // A byte-string key: its length as a word, then its bytes, finished.
    static std::uint64_t of_key_bytes(std::string_view key) noexcept {
        FxHasher f;
        f.add(key.size());
        f.add_bytes(key.data(), key.size());
        return f.finish();
    }

    // The hash of a text's content: its bytes, then its length as a word, finished.
    static std::uint64_t of_text(std::string_view text) noexcept {
        FxHasher f;
        f.add_bytes(text.data(), text.size());
        f.add(text.size());
        return f.finish();
    }

private:
    std::uint64_t h_ = 0;
};

// Hash functors for std::unordered_map.
struct FxU64Hash {
    std::size_t operator()(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>(FxHasher::of_u64(key));
    }
};

struct FxBytesHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept {
        return static_cast<std::size_t>(FxHasher::of_key_bytes(key));
    }
};

}  // namespace tovrel
