// Fuzz target: what a peer or a client sends when a file is sent. The input is
// read as a rendezvous block of a channel-2 message (as the client and the
// server read it), then as the bytes of a peer connection (one file header)
// and of a proxy connection (one proxy packet).
//
// Beyond memory safety: a block that reads is laid out again and reads back the
// same; the server's stamped copy of it reads back with the stamped address; a
// header or packet is read only within its stated length; the checksum fed in
// pieces is that of the whole.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/rendezvous.h"
#include "platform/stream.h"

namespace {

// The input as a peer's stream, in pieces of changing sizes.
class InputStream final : public pellox::platform::Stream {
public:
    InputStream(const std::uint8_t* data, std::size_t size)
        : Stream(pellox::platform::kNoSocket), data_(data), size_(size) {}
    bool SendAll(const void*, std::size_t) override { return true; }
    long ReceiveSome(void* out, std::size_t n) override {
        n = std::min({n, size_ - at_, std::size_t{1} + at_ % 7});
        std::copy_n(data_ + at_, n, static_cast<std::uint8_t*>(out));
        at_ += n;
        return static_cast<long>(n);
    }
    bool WaitReadable(int) override { return true; }
    std::size_t Consumed() const { return at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    if (size > 0xFFFF) return 0;  // a TLV holds at most this much
    const std::vector<std::uint8_t> block(data, data + size);

    Rendezvous read;
    if (ParseRendezvous(block, read)) {
        Check(read.name.size() <= kMaxWireNameLength, "a name past its bound was read");
        const PacketBuffer again = BuildRendezvous(read);
        Rendezvous back;
        Check(!again.Failed() && ParseRendezvous(again.Bytes(), back), "a block read does not lay out again");
        Check(back.cookie == read.cookie && back.port == read.port && back.name == read.name &&
                  back.totalSize == read.totalSize && back.viaProxy == read.viaProxy,
              "a block laid out again reads back otherwise");
        PacketBuffer stamped;
        if (WithSeenAddress(block, 0x7F000001, stamped)) {
            Check(ParseRendezvous(stamped.Bytes(), back) && back.seenAddress == 0x7F000001,
                  "the stamped block does not carry the stamp");
        }
    }
    (void)IsFileRendezvous(block);

    InputStream asPeer(data, size);
    OftHeader header;
    if (ReceiveOftHeader(asPeer, header, 0)) {
        Check(asPeer.Consumed() >= kOftHeaderLength && asPeer.Consumed() <= kMaxOftHeaderLength,
              "a header was read outside its bounds");
    }
    InputStream asProxy(data, size);
    ProxyPacket packet;
    if (ReceiveProxyPacket(asProxy, packet, 0)) {
        Check(asProxy.Consumed() <= kMaxProxyPacket + 2, "a proxy packet was read past its bound");
    }

    OftChecksum whole, pieces;
    whole.Update(block);
    for (std::size_t at = 0, step = 1; at < size; at += step, step = step % 5 + 1) {
        pieces.Update({data + at, std::min(step, size - at)});
    }
    Check(whole.Value() == pieces.Value(), "the checksum in pieces differs");
    return 0;
}
