#include "net/flap_parser.h"

#include <cstring>

namespace pellox {

void FlapParser::Feed(std::span<const std::uint8_t> bytes) {
    if (broken_ || bytes.empty()) return;
    // What was handed out goes before the buffer grows, so it holds at most one
    // partial frame and the piece being fed.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    // Once a frame's header is in, the buffer gets room for the whole frame at
    // once: a long frame is not moved through ever larger copies of itself.
    if (Buffered() >= kFlapHeaderSize) {
        FlapHeader header;
        std::memcpy(&header, buffer_.data() + start_, sizeof header);
        ConvertByteOrder(header);
        if (header.marker == kFlapMarker) buffer_.reserve(start_ + kFlapHeaderSize + header.length);
    }
}

bool FlapParser::Next(FlapFrame& frame) {
    if (broken_ || Buffered() < kFlapHeaderSize) return false;
    FlapHeader header;
    std::memcpy(&header, buffer_.data() + start_, sizeof header);
    ConvertByteOrder(header);
    if (header.marker != kFlapMarker) {
        broken_ = true;
        buffer_.clear();
        start_ = 0;
        return false;
    }
    if (Buffered() < kFlapHeaderSize + header.length) return false;
    frame.header = header;
    if (start_ == 0 && buffer_.size() == kFlapHeaderSize + header.length) {
        // The buffer holds this frame alone: it becomes the frame's data, so a
        // long frame is not copied again, and the frame's old storage is
        // the next buffer.
        buffer_.erase(buffer_.begin(), buffer_.begin() + kFlapHeaderSize);
        std::swap(frame.data, buffer_);
        buffer_.clear();
        return true;
    }
    const auto* first = buffer_.data() + start_ + kFlapHeaderSize;
    frame.data.assign(first, first + header.length);
    start_ += kFlapHeaderSize + header.length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return true;
}

}  // namespace pellox
