// Byte-exact frames of the session, checked on the wire of a local server.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/session_impl.h"
#include "tests/net/recording_session.h"
#include "tests/net/scripted_server.h"

namespace pellox::testing {
namespace {

constexpr char kOwnUin[] = "123456789";
const Bytes kOwnUinLe = FromHex("15 CD 5B 07");  // 123456789 as a little-endian number

// A session connected to a login server that says nothing, so that the frames the
// test sends are all the server sees.
class SilentServerSession : public ::testing::Test {
protected:
    void SetUp() override {
        server_.AddConnection(Script());
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(
            session_.ConnectToLoginServerForTesting(server_.AddressText(), u"123456789", u"pw"));
        ASSERT_TRUE(server_.WaitForAccepted(1));
    }

    // The next frame the server records (frames are numbered from 0).
    ReceivedFrame FrameNumber(std::size_t index) {
        EXPECT_TRUE(server_.WaitForFrameCount(index + 1)) << "frame " << index << " never came";
        const auto frames = server_.Frames();
        return index < frames.size() ? frames[index] : ReceivedFrame{};
    }

    ScriptedServer server_;
    RecordingSession session_;
    Connection conn_ = session_.CurrentConnection();
};

TEST_F(SilentServerSession, SignOnSnacsAreByteExact) {
    ASSERT_TRUE(session_.SendFamilyVersions(conn_));
    EXPECT_EQ(ToHex(FrameNumber(0).raw),
              ToHex(FlapBytes(2, 1,
                              SnacBytes(0x0001, 0x0017,
                                        FromHex("0001 0001 0013 0001 0002 0001 0003 0001 "
                                                "0015 0001 0004 0001 0006 0001 0009 0001 "
                                                "000A 0001 000B 0001"),
                                        0, 0x17))));

    ASSERT_TRUE(session_.SendInitialStatus(conn_));  // status, client ready, offline request
    EXPECT_EQ(ToHex(FrameNumber(1).raw),
              ToHex(FlapBytes(2, 2, SnacBytes(0x0001, 0x001E, FromHex("0006 0004 0001 0000"), 0,
                                              0x1E))));
    EXPECT_EQ(ToHex(FrameNumber(2).raw),
              ToHex(FlapBytes(2, 3,
                              SnacBytes(0x0001, 0x0002,
                                        FromHex("0001 0003 0110 047B  0013 0002 0110 047B "
                                                "0002 0001 0101 047B  0003 0001 0110 047B "
                                                "0015 0001 0110 047B  0004 0001 0110 047B "
                                                "0006 0001 0110 047B  0009 0001 0110 047B "
                                                "000A 0001 0110 047B  000B 0001 0110 047B"),
                                        0, 2))));
    EXPECT_EQ(ToHex(FrameNumber(3).raw),
              ToHex(FlapBytes(2, 4,
                              SnacBytes(0x0015, 0x0002,
                                        Concat({FromHex("0001 000A 0800"), kOwnUinLe,
                                                FromHex("3C00 0002")}),
                                        0, 2))));
    // Online, then loading offline messages, after the two sends went out.
    EXPECT_EQ(session_.Reports(), (std::vector<int>{4, 7, 8}));

    ASSERT_TRUE(conn_.SendMetaRequest(62));
    EXPECT_EQ(ToHex(FrameNumber(4).raw),
              ToHex(FlapBytes(2, 5,
                              SnacBytes(0x0015, 0x0002,
                                        Concat({FromHex("0001 000A 0800"), kOwnUinLe,
                                                FromHex("3E00 0002")}),
                                        0, 2))));
    ASSERT_TRUE(conn_.SendKeepAlive());
    EXPECT_EQ(ToHex(FrameNumber(5).raw), "2A 05 00 06 00 00");
    ASSERT_TRUE(conn_.SendEmptySnac(0x0013, 0x0004));
    EXPECT_EQ(ToHex(FrameNumber(6).raw), ToHex(FlapBytes(2, 7, SnacBytes(0x0013, 0x0004, {}, 0, 4))));
}

TEST_F(SilentServerSession, MessageFrameCarriesLocalTextAndLengths) {
    ASSERT_TRUE(conn_.SendInstantMessage(u"987654321", u"Привет"));
    EXPECT_EQ(ToHex(FrameNumber(0).raw),
              ToHex(FlapBytes(
                  2, 1,
                  SnacBytes(0x0004, 0x0006,
                            Concat({FromHex("67C31501 3D3A0000 0001"), FromHex("09"),
                                    BytesOf("987654321"),
                                    // TLV 2 of 13 + 6 bytes: capabilities, then the
                                    // text fragment of length 6 + 4
                                    FromHex("0002 0013  05 01 0001 01  01 01 000A 0000 FFFF"),
                                    FromHex("CF F0 E8 E2 E5 F2"), FromHex("0006 0000")}),
                            0, 1))));

    // The frame of a message to "42" with the given TLVs behind the UIN.
    auto toUin42 = [](std::uint16_t sequence, std::uint32_t requestId, const char* tlvs) {
        return ToHex(FlapBytes(2, sequence,
                               SnacBytes(0x0004, 0x0006,
                                         Concat({FromHex("67C31501 3D3A0000 0001 02"),
                                                 BytesOf("42"), FromHex(tlvs)}),
                                         0, requestId)));
    };
    ASSERT_TRUE(conn_.SendInstantMessage(u"42", u""));
    EXPECT_EQ(ToHex(FrameNumber(1).raw),
              toUin42(2, 2, "0002 000D  05 01 0001 01  01 01 0004 0000 FFFF  0006 0000"));
    // Outside the code page: UTF-16 big-endian, character set 2, the pair whole.
    ASSERT_TRUE(conn_.SendInstantMessage(u"42", u"\u00E9\U0001F600"));
    EXPECT_EQ(ToHex(FrameNumber(2).raw),
              toUin42(3, 3, "0002 0013  05 01 0001 01  01 01 000A 0002 FFFF  00E9 D83D DE00  0006 0000"));
    // Each message has a request id of its own, which names it to a message error.
    std::u16string uin, text;
    EXPECT_TRUE(conn_.TakeSentMessage(1, uin, text));
    EXPECT_EQ(uin + u":" + text, u"987654321:Привет");
    EXPECT_FALSE(conn_.TakeSentMessage(1, uin, text));
}

TEST_F(SilentServerSession, OversizedMessageIsRefusedWithoutUsingASequenceNumber) {
    // 65536 units would wrap a 16-bit length to 0 and send an empty text.
    EXPECT_FALSE(conn_.SendInstantMessage(u"42", std::u16string(65536, u'x')));
    EXPECT_FALSE(conn_.SendInstantMessage(u"42", std::u16string(65520, u'x')));
    // 256 units would wrap the 1-byte UIN length.
    EXPECT_FALSE(conn_.SendInstantMessage(std::u16string(256, u'1'), u"hi"));
    ASSERT_TRUE(conn_.SendKeepAlive());
    const ReceivedFrame first = FrameNumber(0);
    EXPECT_EQ(first.channel, 5);
    EXPECT_EQ(first.sequence, 1);  // the refused frames took no number
    // The largest text that fits: 65525 bytes of SNAC data behind the SNAC header.
    const std::size_t largest = 65525 - (10 + 1 + 2 + 4 + 13 + 4);
    EXPECT_FALSE(conn_.SendInstantMessage(u"42", std::u16string(largest + 1, u'x')));
    ASSERT_TRUE(conn_.SendInstantMessage(u"42", std::u16string(largest, u'x')));
    const ReceivedFrame big = FrameNumber(1);
    EXPECT_EQ(big.sequence, 2);
    EXPECT_EQ(big.raw.size(), 6u + 65535u);
}

TEST_F(SilentServerSession, DeleteFrameNamesGroupAndItemZero) {
    ASSERT_TRUE(conn_.DeleteContactItem(u"987654321"));
    EXPECT_EQ(ToHex(FrameNumber(0).raw),
              ToHex(FlapBytes(2, 1,
                              SnacBytes(0x0013, 0x000A,
                                        Concat({FromHex("0009"), BytesOf("987654321"),
                                                FromHex("0000 0000 0000 0000")}),
                                        0, 0x83))));
}

TEST_F(SilentServerSession, InfoRequestIdIsItsOwnSequenceAndIsRecorded) {
    ASSERT_TRUE(conn_.SendKeepAlive());                // sequence 1
    ASSERT_TRUE(conn_.RequestShortInfo(u"55555abc"));  // sequence 2
    ASSERT_TRUE(conn_.RequestShortInfo(u"777"));       // sequence 3
    EXPECT_EQ(ToHex(FrameNumber(1).raw),
              ToHex(FlapBytes(2, 2,
                              SnacBytes(0x0015, 0x0002,
                                        Concat({FromHex("0001 0010 0E00"), kOwnUinLe,
                                                FromHex("D007 0200 BA04"),
                                                FromHex("03D9 0000")}),  // 55555
                                        0, 2))));
    EXPECT_EQ(+FrameNumber(2).Snac().requestId, 3u);
    EXPECT_EQ(session_.PendingInfoRequestsForTesting(), 2u);
    std::uint32_t uin = 0;
    EXPECT_FALSE(conn_.TakeInfoRequest(1, uin));  // the keep-alive's number
    ASSERT_TRUE(conn_.TakeInfoRequest(3, uin));
    EXPECT_EQ(uin, 777u);
    ASSERT_TRUE(conn_.TakeInfoRequest(2, uin));
    EXPECT_EQ(uin, 55555u);
    EXPECT_FALSE(conn_.TakeInfoRequest(2, uin));  // each reply finds its entry once
}

TEST_F(SilentServerSession, InfoRequestsAreBoundedAndForgottenAtClose) {
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(conn_.RequestShortInfo(u"1000"));
    EXPECT_EQ(session_.PendingInfoRequestsForTesting(), kMaxInfoRequests);
    std::uint32_t uin;
    EXPECT_FALSE(conn_.TakeInfoRequest(1, uin));   // oldest dropped
    EXPECT_TRUE(conn_.TakeInfoRequest(300, uin));  // newest kept
    session_.CloseSession();
    EXPECT_EQ(session_.PendingInfoRequestsForTesting(), 0u);
}

TEST_F(SilentServerSession, SequenceWrapsAfter65535) {
    for (int i = 0; i < 65535; ++i) ASSERT_TRUE(conn_.SendKeepAlive());
    ASSERT_TRUE(conn_.SendKeepAlive());  // the 65536th frame
    ASSERT_TRUE(conn_.SendKeepAlive());
    ASSERT_TRUE(server_.WaitForFrameCount(65537, 30000));
    const auto frames = server_.Frames();
    EXPECT_EQ(frames[65534].sequence, 65535);
    EXPECT_EQ(frames[65535].sequence, 0);
    EXPECT_EQ(frames[65536].sequence, 1);
}

TEST_F(SilentServerSession, SequenceRisesByOnePerFrameAcrossSendingThreads) {
    constexpr int kEach = 1500;
    std::thread worker([this] {
        for (int i = 0; i < kEach; ++i) EXPECT_TRUE(conn_.SendKeepAlive());
    });
    std::thread receiver([this] {
        for (int i = 0; i < kEach; ++i) EXPECT_TRUE(conn_.RequestShortInfo(u"42"));
    });
    worker.join();
    receiver.join();
    ASSERT_TRUE(server_.WaitForFrameCount(2 * kEach, 20000));
    const auto frames = server_.Frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].sequence, i + 1) << "frame " << i << " left out of order";
        if (frames[i].channel == kChannelSnac) {
            ASSERT_EQ(+frames[i].Snac().requestId, i + 1);  // its own number, not another's
        }
    }
}

TEST_F(SilentServerSession, NothingIsSentWithoutAConnection) {
    session_.CloseSession();
    EXPECT_EQ(session_.SocketForTesting(), platform::kNoSocket);
    EXPECT_FALSE(conn_.SendKeepAlive());
    EXPECT_FALSE(conn_.SendInstantMessage(u"1", u"x"));
    // A queued message that cannot go out is reported as not sent.
    session_.PerformCommandForTesting(SendMessageCommand{u"42", u"привет"});
    EXPECT_EQ(session_.NotSent(), (std::vector<std::u16string>{u"42 привет 0"}));
}

// ---- The login frame, sent when the login server says hello ----

class LoginFrame : public ::testing::Test {
protected:
    // Connects with the password and returns the login frame the server got.
    ReceivedFrame LoginWith(std::u16string_view password) {
        server_.AddConnection(Script().SendHello().Expect(kChannelSignOn));
        EXPECT_TRUE(server_.Start());
        EXPECT_TRUE(
            session_.ConnectToLoginServerForTesting(server_.AddressText(), u"123456789", password));
        EXPECT_TRUE(server_.WaitForFrameCount(1));
        const auto frames = server_.Frames();
        return frames.empty() ? ReceivedFrame{} : frames[0];
    }

    static Bytes FixedTlvs() {
        return Concat({TlvBytes(0x0003, BytesOf("ICQBasic")), FromHex("0016 0002 010A"),
                       FromHex("0017 0002 0014"), FromHex("0018 0002 0034"),
                       FromHex("0019 0002 0000"), FromHex("001A 0002 0C18"),
                       FromHex("0014 0004 0000043D"), FromHex("000F 0002"), BytesOf("en"),
                       FromHex("000E 0002"), BytesOf("us")});
    }

    ScriptedServer server_;
    RecordingSession session_;
};

TEST_F(LoginFrame, RoastedPasswordAndFixedTlvs) {
    const ReceivedFrame frame = LoginWith(u"secret");
    EXPECT_EQ(ToHex(frame.raw),
              ToHex(FlapBytes(1, 1,
                              Concat({FromHex("00000001"), TlvBytes(0x0001, BytesOf(kOwnUin)),
                                      TlvBytes(0x0002, FromHex("80 43 E2 B6 5C F2")),
                                      FixedTlvs()}))));
    ASSERT_TRUE(session_.WaitForReport(ConnState::CheckingPassword));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{4, 6}));
}

TEST_F(LoginFrame, SeventeenthCharacterReusesTheFirstTableByte) {
    const ReceivedFrame frame = LoginWith(u"aaaaaaaaaaaaaaaaa");
    // Behind the version and TLV 1 (4 + 9 bytes) comes TLV 2 of length 17.
    const Bytes tlv2(frame.data.begin() + 4 + 13, frame.data.begin() + 4 + 13 + 4 + 17);
    EXPECT_EQ(ToHex(tlv2), ToHex(Concat({FromHex("0002 0011"),
                                         FromHex("92 47 E0 A5 58 E7 BA F3 10 C2 D8 87 32 1B F4 "
                                                 "1D 92")})));
}

TEST_F(LoginFrame, EmptyPasswordGivesAnEmptyTlv) {
    const ReceivedFrame frame = LoginWith(u"");
    EXPECT_EQ(ToHex(frame.raw),
              ToHex(FlapBytes(1, 1,
                              Concat({FromHex("00000001"), TlvBytes(0x0001, BytesOf(kOwnUin)),
                                      FromHex("0002 0000"), FixedTlvs()}))));
}

TEST(LoginFrameShortHello, NoLoginFrameUntilAHelloWithVersion) {
    ScriptedServer server;
    server.AddConnection(Script()
                             .SendFrame(kChannelSignOn, FromHex("0000"))  // too short
                             .Pause(100)
                             .SendHello());
    ASSERT_TRUE(server.Start());
    RecordingSession session;
    ASSERT_TRUE(session.ConnectToLoginServerForTesting(server.AddressText(), u"1", u"p"));
    ASSERT_TRUE(server.WaitForFrameCount(1));
    const auto frames = server.Frames();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 1);
    EXPECT_EQ(frames[0].channel, 1);
}

// ---- Addresses ----

TEST(ResolveAddressTest, LoginServerByName) {
    platform::Ipv4Endpoint e;
    ASSERT_TRUE(ResolveAddress("127.0.0.1", true, e));
    EXPECT_EQ(e.address, 0x7F000001u);
    EXPECT_EQ(e.port, 5190);
    ASSERT_TRUE(ResolveAddress("localhost:7000", true, e));
    EXPECT_EQ(e.address, 0x7F000001u);
    EXPECT_EQ(e.port, 7000);
    // A colon in first place is no port separator: ":5190" is looked up whole.
    EXPECT_FALSE(ResolveAddress(":5190", true, e));
    EXPECT_FALSE(ResolveAddress("", true, e));
    EXPECT_FALSE(ResolveAddress("no-such-host.invalid", true, e));
}

TEST(ResolveAddressTest, MessagingServerIsNumericOnly) {
    platform::Ipv4Endpoint e;
    ASSERT_TRUE(ResolveAddress("10.0.0.1:5191", false, e));
    EXPECT_EQ(e.address, 0x0A000001u);
    EXPECT_EQ(e.port, 5191);
    ASSERT_TRUE(ResolveAddress("10.0.0.1", false, e));
    EXPECT_EQ(e.port, 5190);
    EXPECT_FALSE(ResolveAddress("10.0", false, e));
    EXPECT_FALSE(ResolveAddress("1.2.3", false, e));
    EXPECT_FALSE(ResolveAddress("", false, e));
    // Never a name lookup: a name is read as numbers (none) and separators.
    ASSERT_TRUE(ResolveAddress("localhost", false, e));
    EXPECT_EQ(e.address, 0u);
    // Parts above 255 keep their low byte; the last ':' separates the port.
    ASSERT_TRUE(ResolveAddress("300.1.2.3:1:80", false, e));
    EXPECT_EQ(e.address, 0x2C010203u);
    EXPECT_EQ(e.port, 80);
}

}  // namespace
}  // namespace pellox::testing
