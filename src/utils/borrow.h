// Atomic borrow flag: one per Python-visible object. A method takes it shared (readers) or
// exclusive (mutators) for the duration of the call. A conflicting request fails at once instead
// of waiting, which guards both against concurrent use from several threads and against
// re-entrant calls from Python callbacks.
#pragma once

#include <atomic>
#include <cstdint>

#include "utils/error.h"

namespace tovrel {

class BorrowFlag {
public:
    // Throws BorrowConflict("Already mutably borrowed") while an exclusive borrow is held.
    void acquire_shared() {
        std::int64_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0) throw BorrowConflict("Already mutably borrowed");
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    // Throws BorrowConflict("Already borrowed") while any borrow is held.
    void acquire_exclusive() {
        std::int64_t expected = 0;
        if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            throw BorrowConflict("Already borrowed");
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

    bool is_free() const noexcept { return state_.load(std::memory_order_relaxed) == 0; }

private:
    // 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
    std::atomic<std::int64_t> state_{0};
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_shared(); }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_exclusive(); }
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace tovrel
