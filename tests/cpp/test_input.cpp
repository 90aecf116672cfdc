// The reader's input window over in-memory sources: padding and compaction. Delivery from Python
// file-like objects, chunking and the end-of-input latch are checked from Python.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "xml/input.h"

namespace tovrel {
namespace {

struct Window {
    Window(const std::string& data, std::size_t chunk)
        : input(std::make_unique<Input>(std::make_unique<MemorySource>(data, chunk))) {}
    std::unique_ptr<Input> input;
};

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

TEST(Input, PaddingAfterTheEndIsZero) {
    Window w("abc", 65536);
    ASSERT_TRUE(w.input->more());
    for (std::size_t i = 0; i < ByteBuffer::kPad; ++i) EXPECT_EQ(w.input->data()[3 + i], 0);
}

// However a reader consumes and captures, the window keeps what it still needs: the unread
// bytes, the end of the last tag and an active capture stay where offsets say they are, and
// memory stays within a constant factor of what is needed, so consumed input does not pile up.
TEST(Input, DropsConsumedBytesButKeepsWhatIsStillNeeded) {
    const std::string data = pattern(1500000);
    std::mt19937 rng(20261208);
    for (std::size_t chunk : {1000u, 65536u, 150000u}) {
        Window w(data, chunk);
        Input& in = *w.input;
        std::uint64_t capture_at = 0;  // absolute offset of the active capture
        while (true) {
            // Consume some of what is there: often all of it, sometimes little.
            const std::size_t avail = in.available();
            in.pos += rng() % 3 == 0 ? avail : (avail ? rng() % (avail + 1) : 0);
            const unsigned roll = rng() % 16;
            if (roll == 0 && in.capture == Input::kNoCapture) {
                in.capture = in.pos;
                capture_at = in.offset();
            } else if (roll < 3) {
                in.capture = Input::kNoCapture;
            }
            const std::uint64_t offset = in.offset();
            in.tag_end = in.pos;  // the last tag ends where reading stopped
            const std::size_t keep_from =
                in.capture != Input::kNoCapture && in.capture < in.pos ? in.capture : in.pos;
            const std::size_t needed = in.filled() - keep_from;
            if (!in.more()) break;

            ASSERT_EQ(in.offset(), offset) << "chunk " << chunk;
            ASSERT_EQ(in.base + in.tag_end, offset);
            ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(in.data()) + in.pos,
                                       in.available()),
                      std::string_view(data).substr(offset, in.available()));
            if (in.capture != Input::kNoCapture) {
                ASSERT_EQ(in.base + in.capture, capture_at);
                ASSERT_EQ(in.data()[in.capture], static_cast<std::uint8_t>(data[capture_at]));
            }
            ASSERT_LE(in.filled(), 2 * needed + Input::kChunk + chunk) << "chunk " << chunk;
        }
        EXPECT_EQ(in.offset() + in.available(), data.size());
    }
}

}  // namespace
}  // namespace tovrel
