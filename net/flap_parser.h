// Splits a received byte stream into whole FLAP frames. It is fed the bytes as
// they arrive, in pieces of any size, and hands out each frame once all of it is
// there; it never reads a socket, so the framing can be driven from any source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/codec.h"

namespace pellox {

// One whole frame: the header in host order and exactly header.length data bytes.
struct FlapFrame {
    FlapHeader header;
    std::vector<std::uint8_t> data;
};

class FlapParser {
public:
    // Appends bytes received after the ones fed so far. Once the stream is broken
    // the bytes are dropped.
    void Feed(std::span<const std::uint8_t> bytes);
    // Moves the oldest whole frame into `frame`. False while no whole frame is
    // buffered, and for good once a header without the FLAP marker came: there is
    // no attempt to find the next frame in what follows.
    [[nodiscard]] bool Next(FlapFrame& frame);
    // True once a header without the marker was found.
    bool Broken() const { return broken_; }
    // Bytes fed and not yet handed out in a frame.
    std::size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // the first byte not yet handed out
    bool broken_ = false;
};

}  // namespace pellox
