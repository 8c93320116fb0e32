// The parts of sending a file that need no peer: the cleaning of a name from the
// network, the checksum fed in pieces, and the reading of hostile rendezvous
// blocks and file headers.
#include <gtest/gtest.h>

#include <numeric>

#include "net/rendezvous.h"
#include "platform/stream.h"
#include "protocol/file_transfer.h"

namespace pellox::testing {
namespace {

TEST(FileNames, ANameFromTheNetworkStaysAPlainNameOfTheFolder) {
    const std::u16string longName = std::u16string(300, u'я') + u".tar.gz";
    const struct {
        std::u16string in, out;
    } cases[] = {
        {u"отчёт.pdf", u"отчёт.pdf"},
        {u"../../.bashrc", u"bashrc"},
        {u"..\\..\\Windows\\win.ini", u"win.ini"},
        {u"/etc/passwd", u"passwd"},
        {u"C:evil.exe", u"Cevil.exe"},
        {u".hidden", u"hidden"},
        {u"...", u"file"},
        {u"..", u"file"},
        {u"", u"file"},
        {u"a\nb\rc\td" + std::u16string(1, u'\0') + u"e\u007F.txt", u"abcde.txt"},
        {u"name\u202Etxt.exe", u"nametxt.exe"},  // no right-to-left override to disguise it
        {u"trailing. . ", u"trailing"},
        {u"half\xD800.txt", u"half.txt"},  // a lone surrogate
        {u"\U0001F600.png", u"\U0001F600.png"},
        {longName, std::u16string(kMaxCleanNameLength - 3, u'я') + u".gz"},
    };
    for (const auto& c : cases) EXPECT_EQ(CleanFileName(c.in), c.out) << std::string(c.in.begin(), c.in.end());
}

TEST(OftChecksum, PiecesOfAnyLengthGiveTheChecksumOfTheWhole) {
    std::vector<std::uint8_t> bytes(1001);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{7});
    OftChecksum whole;
    whole.Update(bytes);
    OftChecksum pieces;
    for (std::size_t at = 0, step = 1; at < bytes.size(); at += step, step = step % 7 + 1) {
        pieces.Update({bytes.data() + at, std::min(step, bytes.size() - at)});
    }
    EXPECT_EQ(pieces.Value(), whole.Value());
    EXPECT_EQ(OftChecksum().Value(), OftChecksum::kStart);
    // One byte at an even offset counts as the high byte of its word.
    OftChecksum one;
    one.Update(std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(one.Value(), 0xFEFF0000u);
    // The values a peer computes word by word: the whole above, a long run of borrows
    // and a sum taken exactly to zero.
    EXPECT_EQ(whole.Value(), 0xD1CA0000u);
    OftChecksum borrows;
    borrows.Update(std::vector<std::uint8_t>(131073, 0xFF));
    EXPECT_EQ(borrows.Value(), 0x00FF0000u);
    OftChecksum zero;
    zero.Update(std::vector<std::uint8_t>{0xFF, 0xFF});
    EXPECT_EQ(zero.Value(), 0u);
}

TEST(Rendezvous, AProposalReadsBackAndBrokenOnesAreRefused) {
    Rendezvous r;
    r.cookie = {1, 2, 3, 4, 5, 6, 7, 8};
    r.sequence = 1;
    r.port = 4000;
    r.proxyAddress = 0x7F000001;
    r.hasFile = true;
    r.fileCount = 1;
    r.totalSize = 12345;
    r.name = "файл.txt";
    const PacketBuffer block = BuildRendezvous(r);
    ASSERT_FALSE(block.Failed());
    Rendezvous back;
    ASSERT_TRUE(ParseRendezvous(block.Bytes(), back));
    EXPECT_EQ(back.cookie, r.cookie);
    EXPECT_EQ(back.port, 4000);
    EXPECT_EQ(back.proxyAddress, 0x7F000001u);
    EXPECT_EQ(back.totalSize, 12345u);
    EXPECT_EQ(back.name, r.name);
    EXPECT_TRUE(IsFileRendezvous(block.Bytes()));

    // A port whose check does not match is not used.
    std::vector<std::uint8_t> bytes(block.Bytes().begin(), block.Bytes().end());
    for (std::size_t i = 0; i + 5 < bytes.size(); ++i) {
        if (bytes[i] == 0x00 && bytes[i + 1] == 0x17 && bytes[i + 3] == 2) {
            bytes[i + 5] ^= 1;
            break;
        }
    }
    ASSERT_TRUE(ParseRendezvous(bytes, back));
    EXPECT_EQ(back.port, 0);
    // Every cut of the block either reads or is refused, never read past.
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        Rendezvous cut;
        (void)ParseRendezvous(std::span<const std::uint8_t>(bytes.data(), n), cut);
    }
    // A name longer than any file name is not laid out.
    r.name = std::string(kMaxWireNameLength + 1, 'a');
    EXPECT_TRUE(BuildRendezvous(r).Failed());
}

// A stream over bytes given in advance.
class BytesStream final : public platform::Stream {
public:
    explicit BytesStream(std::vector<std::uint8_t> bytes) : Stream(platform::kNoSocket), bytes_(std::move(bytes)) {}
    bool SendAll(const void*, std::size_t) override { return true; }
    long ReceiveSome(void* data, std::size_t n) override {
        n = std::min(n, bytes_.size() - at_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, static_cast<std::uint8_t*>(data));
        at_ += n;
        return static_cast<long>(n);
    }
    bool WaitReadable(int) override { return true; }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

TEST(OftHeader, AHeaderReadsBackAndALengthOutsideItsBoundsIsRefused) {
    OftHeader header;
    header.cookie = {9, 8, 7, 6, 5, 4, 3, 2};
    header.size = header.totalSize = 77;
    header.checksum = 0xABCD0000;
    header.name = std::string(100, 'n');  // past the 64 bytes of the usual header
    std::vector<std::uint8_t> bytes = BuildOftHeader(header);
    OftHeader back;
    BytesStream whole(bytes);
    ASSERT_TRUE(ReceiveOftHeader(whole, back, 100));
    EXPECT_EQ(back.cookie, header.cookie);
    EXPECT_EQ(back.size, 77u);
    EXPECT_EQ(back.checksum, 0xABCD0000u);
    EXPECT_EQ(back.name, header.name);

    for (const std::uint16_t length : {std::uint16_t{255}, static_cast<std::uint16_t>(kMaxOftHeaderLength + 1)}) {
        bytes[4] = static_cast<std::uint8_t>(length >> 8);
        bytes[5] = static_cast<std::uint8_t>(length);
        BytesStream hostile(bytes);
        EXPECT_FALSE(ReceiveOftHeader(hostile, back, 100)) << length;
    }
    BytesStream cut(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 100));
    EXPECT_FALSE(ReceiveOftHeader(cut, back, 100));
}

}  // namespace
}  // namespace pellox::testing
