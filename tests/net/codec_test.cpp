#include "net/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/flap_parser.h"

namespace pellox {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const PacketBuffer& b) { return Bytes(b.Data(), b.Data() + b.Length()); }

TEST(HeaderRecords, ConversionGivesNetworkOrderAndBack) {
    SnacHeader snac{0x0004, 0x0006, 0, 0x00010006};
    ConvertByteOrder(snac);
    Bytes wire(sizeof snac);
    std::memcpy(wire.data(), &snac, sizeof snac);
    EXPECT_EQ(wire, (Bytes{0x00, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06}));
    ConvertByteOrder(snac);
    EXPECT_EQ(+snac.requestId, 0x00010006u);
    EXPECT_EQ(+snac.subtype, 0x0006);

    MessageHeader mh{0x67C31501, 0x3D3A0000, 1};
    PacketBuffer b;
    ASSERT_TRUE(AppendRecord(b, mh));
    EXPECT_EQ(Of(b), (Bytes{0x67, 0xC3, 0x15, 0x01, 0x3D, 0x3A, 0x00, 0x00, 0x00, 0x01}));

    FlapHeader flap{kFlapMarker, 2, 0x1234, 0x0010};
    ConvertByteOrder(flap);
    EXPECT_EQ(flap.marker, 0x2A);  // single bytes never change
    EXPECT_EQ(flap.channel, 2);
}

TEST(PacketBufferTest, TlvLayoutAndZeroLength) {
    PacketBuffer b;
    const std::uint8_t v[] = {0x01, 0x0A};
    ASSERT_TRUE(AppendTlv(b, 0x0016, 2, v));
    ASSERT_TRUE(AppendTlv(b, 0x0006, 0, nullptr));
    EXPECT_EQ(Of(b), (Bytes{0x00, 0x16, 0x00, 0x02, 0x01, 0x0A, 0x00, 0x06, 0x00, 0x00}));
}

TEST(PacketBufferTest, IntegersInBothByteOrders) {
    PacketBuffer b;
    ASSERT_TRUE(AppendU16(b, 0x1234));
    ASSERT_TRUE(AppendU32(b, 0x01020304));
    ASSERT_TRUE(AppendU16Le(b, 0x07D0));
    ASSERT_TRUE(AppendU32Le(b, 123456789));  // 0x075BCD15
    EXPECT_EQ(Of(b), (Bytes{0x12, 0x34, 1, 2, 3, 4, 0xD0, 0x07, 0x15, 0xCD, 0x5B, 0x07}));
}

TEST(PacketBufferTest, AppendPastSixtyFourKibFailsAndSticks) {
    PacketBuffer b;
    std::vector<std::uint8_t> big(65530, 0x55);
    ASSERT_TRUE(AppendBytes(b, big.data(), big.size()));
    // A TLV of 2 value bytes would need 6: all or nothing.
    EXPECT_FALSE(AppendTlv(b, 1, 2, "ab"));
    EXPECT_EQ(b.Length(), 65530);
    EXPECT_TRUE(b.Failed());
    // Once failed, even a fitting append is refused, so a half-built payload
    // cannot be sent by accident.
    EXPECT_FALSE(AppendU8(b, 1));
    EXPECT_EQ(b.Length(), 65530);

    PacketBuffer exact;
    std::vector<std::uint8_t> full(65535, 1);
    EXPECT_TRUE(AppendBytes(exact, full.data(), full.size()));
    EXPECT_EQ(exact.Length(), 65535);
    EXPECT_FALSE(AppendBytes(exact, full.data(), 1));
}

TEST(PacketReaderTest, ShortReadLeavesCursorThenSmallerReadSucceeds) {
    const std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    PacketReader r(block, 8);
    std::uint8_t six[6];
    ASSERT_TRUE(ReadBytes(r, six, 6));
    std::uint8_t four[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_FALSE(ReadBytes(r, four, 4));
    EXPECT_EQ(r.Position(), 6);
    EXPECT_EQ(four[0], 0xEE);  // nothing copied
    std::uint16_t v;
    ASSERT_TRUE(ReadU16(r, v));
    EXPECT_EQ(v, 0x0708);
    EXPECT_TRUE(r.AtEnd());
    EXPECT_TRUE(ReadBytes(r, four, 0));
}

TEST(PacketReaderTest, SkipPastEndPoisonsLaterReads) {
    const std::uint8_t block[4] = {0, 1, 0, 2};
    PacketReader r(block, 4);
    EXPECT_TRUE(r.Skip(1));
    EXPECT_FALSE(r.Skip(4));
    EXPECT_TRUE(r.Overrun());
    EXPECT_TRUE(r.AtEnd());
    std::uint8_t b;
    EXPECT_FALSE(ReadU8(r, b));
    EXPECT_EQ(r.Remaining(), 0);
}

TEST(PacketReaderTest, NullAndNegativeBlocksReadNothing) {
    PacketReader none(nullptr, 10);
    std::uint8_t b;
    EXPECT_FALSE(ReadU8(none, b));
    const std::uint8_t x = 1;
    PacketReader negative(&x, -5);
    EXPECT_FALSE(ReadU8(negative, b));
    EXPECT_EQ(negative.Length(), 0);
}

TEST(PacketReaderTest, LittleEndianReads) {
    const std::uint8_t block[] = {0xBA, 0x04, 0x15, 0xCD, 0x5B, 0x07};
    PacketReader r(block, sizeof block);
    std::uint16_t s;
    std::uint32_t l;
    ASSERT_TRUE(ReadU16Le(r, s));
    ASSERT_TRUE(ReadU32Le(r, l));
    EXPECT_EQ(s, 0x04BA);
    EXPECT_EQ(l, 123456789u);
}

TEST(PacketReaderTest, RecordReadConvertsAndShortRecordFails) {
    const std::uint8_t block[] = {0x00, 0x05, 0x00, 0x03, 'a', 'b', 'c', 0x00, 0x06};
    PacketReader r(block, sizeof block);
    TlvHeader tlv;
    ASSERT_TRUE(ReadRecord(r, tlv));
    EXPECT_EQ(+tlv.type, 5);
    EXPECT_EQ(+tlv.length, 3);
    std::string s;
    ASSERT_TRUE(ReadTlvString(r, tlv, s));
    EXPECT_EQ(s, "abc");
    TlvHeader second{7, 7};
    EXPECT_FALSE(ReadRecord(r, second));  // 2 of 4 bytes
    EXPECT_EQ(+second.type, 7);
    EXPECT_EQ(r.Position(), 7);
}

TEST(StringReads, LengthPrefixesAndFailures) {
    // String8: length 3 "123", then a length of 5 with only 2 bytes behind it.
    const std::uint8_t block[] = {3, '1', '2', '3', 5, 'x', 'y'};
    PacketReader r(block, sizeof block);
    std::string uin = "old";
    ASSERT_TRUE(ReadString8(r, uin));
    EXPECT_EQ(uin, "123");
    EXPECT_FALSE(ReadString8(r, uin));
    EXPECT_EQ(uin, "");  // the bytes failed: emptied
    EXPECT_EQ(r.Position(), 4);

    PacketReader empty(block, 0);
    std::string kept = "kept";
    EXPECT_FALSE(ReadString8(empty, kept));
    EXPECT_EQ(kept, "kept");  // the prefix failed: untouched

    const std::uint8_t be[] = {0x00, 0x02, 'h', 'i', 0x00, 0x09, 'z'};
    PacketReader rb(be, sizeof be);
    std::string s;
    ASSERT_TRUE(ReadString16(rb, s));
    EXPECT_EQ(s, "hi");
    EXPECT_FALSE(ReadString16(rb, s));
    EXPECT_EQ(s, "");
    EXPECT_EQ(rb.Position(), 4);

    // Inside meta replies the prefix is little-endian: 03 00 means 3, not 768.
    const std::uint8_t le[] = {0x03, 0x00, 'N', 'i', 0x00};
    PacketReader rl(le, sizeof le);
    ASSERT_TRUE(ReadString16(rl, s, true));
    EXPECT_EQ(s, std::string("Ni\0", 3));
    PacketReader rl2(le, sizeof le);
    EXPECT_FALSE(ReadString16(rl2, s, false));

    const std::uint8_t one[] = {0x00};
    PacketReader ro(one, 1);
    std::string untouched = "u";
    EXPECT_FALSE(ReadString16(ro, untouched));
    EXPECT_EQ(untouched, "u");

    // Written: 255 bytes fit behind the one-byte length; 256 would wrap it to 0
    // and send the rest as the next field, so they fail the buffer instead.
    PacketBuffer written;
    ASSERT_TRUE(AppendString8(written, std::string(255, 'a')));
    PacketReader back(written.Bytes());
    ASSERT_TRUE(ReadString8(back, s));
    EXPECT_EQ(s, std::string(255, 'a'));
    EXPECT_FALSE(AppendString8(written, std::string(256, 'b')));
    EXPECT_EQ(written.Length(), 256);
    EXPECT_TRUE(written.Failed());
}

TEST(ParseDecimalTest, StopsAtFirstNonDigit) {
    const char* a = "5190";
    EXPECT_EQ(ParseDecimal(a), 5190);
    EXPECT_EQ(*a, '\0');
    const char* b = "12a";
    EXPECT_EQ(ParseDecimal(b), 12);
    EXPECT_EQ(*b, 'a');
    const char* c = ":80";
    EXPECT_EQ(ParseDecimal(c), 0);
    EXPECT_EQ(*c, ':');
    const char* d = "-5";
    EXPECT_EQ(ParseDecimal(d), 0);
    // A UIN above 2^31 keeps its 32 bits (as a little-endian number on the wire).
    const char* e = "4294967295";
    EXPECT_EQ(static_cast<std::uint32_t>(ParseDecimal(e)), 4294967295u);
    const char* f = "4294967296";  // wraps, no overflow trap
    EXPECT_EQ(ParseDecimal(f), 0);
}

TEST(FrameBuilding, HeaderHeadAndPayload) {
    PacketBuffer payload;
    ASSERT_TRUE(AppendU16(payload, 0xABCD));
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(BuildSnacFrame(frame, 0x0102, SnacHeader{0x0013, 0x0004, 0, 4}, payload));
    EXPECT_EQ(frame, (Bytes{0x2A, 0x02, 0x01, 0x02, 0x00, 0x0C, 0x00, 0x13, 0x00, 0x04, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x04, 0xAB, 0xCD}));

    ASSERT_TRUE(BuildFrame(frame, kChannelKeepAlive, 0xFFFF, {}, {}));
    EXPECT_EQ(frame, (Bytes{0x2A, 0x05, 0xFF, 0xFF, 0x00, 0x00}));
}

TEST(FrameBuilding, DataPastSixteenBitLengthIsRefused) {
    std::vector<std::uint8_t> big(65530, 0);
    PacketBuffer payload;
    ASSERT_TRUE(AppendBytes(payload, big.data(), big.size()));
    std::vector<std::uint8_t> frame{1, 2, 3};
    // 10 SNAC bytes + 65530 > 65535.
    EXPECT_FALSE(BuildSnacFrame(frame, 1, SnacHeader{4, 6, 0, 0}, payload));
    EXPECT_TRUE(frame.empty());

    const std::uint8_t version[] = {0, 0, 0, 1};
    std::vector<std::uint8_t> fits(65531, 0);
    EXPECT_TRUE(BuildFrame(frame, kChannelSignOn, 1, version, fits));
    EXPECT_EQ(frame.size(), 6u + 65535u);
    EXPECT_EQ(frame[4], 0xFF);
    EXPECT_EQ(frame[5], 0xFF);
    fits.push_back(0);
    EXPECT_FALSE(BuildFrame(frame, kChannelSignOn, 1, version, fits));

    PacketBuffer failed;
    (void)AppendBytes(failed, nullptr, 65536);
    EXPECT_TRUE(failed.Failed());
    EXPECT_FALSE(BuildSnacFrame(frame, 1, SnacHeader{}, failed));
}

// Frames come out whole and in order however the stream is cut, and a header
// without the marker ends the stream for good.
TEST(FlapParserTest, FramesAreWholeAtEveryCutAndABadMarkerSticks) {
    const Bytes stream = {0x2A, 0x02, 0x00, 0x01, 0x00, 0x03, 0xA, 0xB,  0xC,  // 3 bytes
                          0x2A, 0x05, 0x00, 0x02, 0x00, 0x00,                  // empty
                          0x2A, 0x04, 0x00, 0x03, 0x00, 0x01, 0xD, 0x2B, 0x02,
                          0x00, 0x04, 0x00, 0x00, 0x2A};  // bad marker
    for (std::size_t cut = 1; cut <= stream.size(); ++cut) {
        FlapParser parser;
        std::vector<FlapFrame> frames;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            const std::size_t n = std::min(cut, stream.size() - at);
            parser.Feed({stream.data() + at, n});
            FlapFrame frame;
            while (parser.Next(frame)) frames.push_back(frame);
        }
        ASSERT_EQ(frames.size(), 3u) << "pieces of " << cut;
        EXPECT_EQ(+frames[0].header.channel, 2);
        EXPECT_EQ(frames[0].header.sequence, 1);
        EXPECT_EQ(frames[0].data, (Bytes{0xA, 0xB, 0xC}));
        EXPECT_TRUE(frames[1].data.empty());
        EXPECT_EQ(frames[2].header.sequence, 3);
        EXPECT_EQ(frames[2].data, (Bytes{0xD}));
        EXPECT_TRUE(parser.Broken());
        parser.Feed(Bytes{0x2A, 0x02, 0x00, 0x05, 0x00, 0x00});
        FlapFrame after;
        EXPECT_FALSE(parser.Next(after));
        EXPECT_EQ(parser.Buffered(), 0u);
    }

    // The largest frame waits for its last byte.
    FlapParser parser;
    Bytes big = {0x2A, 0x02, 0x00, 0x01, 0xFF, 0xFF};
    big.resize(6 + 0xFFFF, 0x5A);
    parser.Feed({big.data(), big.size() - 1});
    FlapFrame frame;
    EXPECT_FALSE(parser.Next(frame));
    EXPECT_FALSE(parser.Broken());
    parser.Feed(Bytes{0x5A});
    ASSERT_TRUE(parser.Next(frame));
    EXPECT_EQ(frame.data.size(), 0xFFFFu);
    EXPECT_EQ(parser.Buffered(), 0u);
    // The frame handed over its storage and took the buffer's: the next frame
    // into the same one holds its own bytes alone.
    parser.Feed(Bytes{0x2A, 0x02, 0x00, 0x02, 0x00, 0x02, 0x01});
    EXPECT_FALSE(parser.Next(frame));
    parser.Feed(Bytes{0x02, 0x2A, 0x02, 0x00, 0x03, 0x00, 0x01, 0x03});
    ASSERT_TRUE(parser.Next(frame));
    EXPECT_EQ(frame.data, (Bytes{0x01, 0x02}));
    ASSERT_TRUE(parser.Next(frame));
    EXPECT_EQ(frame.data, (Bytes{0x03}));
    EXPECT_EQ(frame.header.sequence, 3);
}

}  // namespace
}  // namespace pellox
