#include "xml/input.h"

namespace tovrel {

bool Input::more() {
    if (eof) return false;
    compact();
    if (!source_->read_chunk(buf)) {
        eof = true;
        return false;
    }
    return true;
}

// Drops the consumed prefix once at least a chunk and at least half of the window are consumed,
// so each byte moves a bounded number of times. An active capture keeps its bytes.
void Input::compact() noexcept {
    std::size_t keep = capture != kNoCapture && capture < pos ? capture : pos;
    if (keep < kChunk || 2 * keep < buf.size()) return;
    buf.erase_front(keep);
    base += keep;
    pos -= keep;
    if (capture != kNoCapture) capture -= keep;
    tag_start = (tag_start > keep ? tag_start : keep) - keep;
    tag_end = (tag_end > keep ? tag_end : keep) - keep;
}

}  // namespace tovrel
