// The reader's input window over in-memory sources: chunking, end-of-input latch, compaction.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "utils/borrow.h"
#include "xml/input.h"

namespace tovrel {
namespace {

struct Window {
    explicit Window(const std::string& data, std::size_t chunk) {
        auto src = std::make_unique<MemorySource>(data, chunk);
        source = src.get();
        input = std::make_unique<Input>(std::move(src));
    }
    MemorySource* source;
    std::unique_ptr<Input> input;
};

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

TEST(Input, DeliversEveryByteInOrderWhateverTheChunkSize) {
    const std::string data = pattern(200000);
    for (std::size_t chunk : {1u, 3u, 4096u, 65536u, 1000000u}) {
        Window w(data, chunk);
        std::string seen;
        while (w.input->more()) {
            seen.append(reinterpret_cast<const char*>(w.input->data() + w.input->pos),
                        w.input->available());
            w.input->pos = w.input->filled();
        }
        EXPECT_EQ(seen, data) << "chunk " << chunk;
        EXPECT_EQ(w.input->offset(), data.size());
    }
}

TEST(Input, EndOfInputIsLatched) {
    Window w("", 10);
    EXPECT_FALSE(w.input->more());
    EXPECT_FALSE(w.input->more());
    EXPECT_EQ(w.source->reads(), 1u);
    EXPECT_TRUE(w.input->eof);
}

TEST(Input, PaddingAfterTheEndIsZero) {
    Window w("abc", 65536);
    ASSERT_TRUE(w.input->more());
    for (std::size_t i = 0; i < ByteBuffer::kPad; ++i) EXPECT_EQ(w.input->data()[3 + i], 0);
}

// Fills the window with `total` bytes in 64 KiB chunks, consuming up to `consumed`.
void fill(Window& w, std::size_t total) {
    while (w.input->filled() < total && w.input->more()) {
    }
}

TEST(Input, CompactsOnlyWhenAtLeast64KiBAndHalfAreConsumed) {
    const std::string data = pattern(8 * 65536);
    Window w(data, 65536);
    fill(w, 2 * 65536);
    ASSERT_EQ(w.input->filled(), 2u * 65536);

    // Less than 64 KiB consumed: nothing moves.
    w.input->pos = 65535;
    ASSERT_TRUE(w.input->more());
    EXPECT_EQ(w.input->base, 0u);

    // 64 KiB consumed but under half of 192 KiB: nothing moves.
    w.input->pos = 65536;
    ASSERT_TRUE(w.input->more());
    EXPECT_EQ(w.input->base, 0u);

    // Now 256 KiB are in the window; with all but 10 bytes consumed the consumed prefix is
    // dropped and the offsets shift with it.
    ASSERT_EQ(w.input->filled(), 4u * 65536);
    w.input->pos = 4 * 65536 - 10;
    w.input->tag_start = 100;                  // inside the dropped prefix
    w.input->tag_end = 4 * 65536 - 5;          // after it
    ASSERT_TRUE(w.input->more());
    EXPECT_EQ(w.input->base, 4u * 65536 - 10);
    EXPECT_EQ(w.input->pos, 0u);
    EXPECT_EQ(w.input->tag_start, 0u);
    EXPECT_EQ(w.input->tag_end, 5u);
    EXPECT_EQ(w.input->filled(), 65536u + 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.input->data()), 10),
              data.substr(4 * 65536 - 10, 10));
}

TEST(Input, ActiveCaptureKeepsItsBytes) {
    const std::string data = pattern(6 * 65536);
    Window w(data, 65536);
    fill(w, 3 * 65536);
    w.input->capture = 1000;  // started before 64 KiB of consumed input
    w.input->pos = 3 * 65536;
    ASSERT_TRUE(w.input->more());
    EXPECT_EQ(w.input->base, 0u) << "a capture at offset 1000 must keep the window in place";
    EXPECT_EQ(w.input->capture, 1000u);

    // Once the capture is past 64 KiB and half the window, compaction keeps from the capture on.
    w.input->capture = 3 * 65536;
    w.input->pos = 4 * 65536;
    ASSERT_TRUE(w.input->more());
    EXPECT_EQ(w.input->base, 3u * 65536);
    EXPECT_EQ(w.input->capture, 0u);
    EXPECT_EQ(w.input->pos, 65536u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(w.input->data()), 64),
              data.substr(3 * 65536, 64));
}

TEST(BorrowFlag, SharedAndExclusiveConflicts) {
    BorrowFlag flag;
    {
        SharedBorrow a(flag);
        SharedBorrow b(flag);
        try {
            ExclusiveBorrow c(flag);
            FAIL() << "exclusive borrow granted while shared borrows are held";
        } catch (const BorrowConflict& e) {
            EXPECT_STREQ(e.what(), "Already borrowed");
        }
    }
    EXPECT_TRUE(flag.is_free());
    {
        ExclusiveBorrow a(flag);
        try {
            SharedBorrow b(flag);
            FAIL() << "shared borrow granted while an exclusive borrow is held";
        } catch (const BorrowConflict& e) {
            EXPECT_STREQ(e.what(), "Already mutably borrowed");
        }
        EXPECT_THROW(ExclusiveBorrow c(flag), BorrowConflict);
    }
    EXPECT_TRUE(flag.is_free());
}

}  // namespace
}  // namespace tovrel
