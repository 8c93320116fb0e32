// NetSession::RunMessagingConnection, the entry the fuzz target uses: the frame
// loop of the messaging phase over a socket pair instead of a signed-on
// connection.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/hardening/client_under_test.h"

namespace pellox::testing {
namespace {

Bytes Message(const std::string& uin, const std::string& text) {
    return FlapBytes(kChannelSnac, 1,
                     SnacBytes(0x0004, 0x0007, IncomingMessage(1, UserInfo(uin), MessageTlv(BytesOf(text)))));
}

class MessagingConnectionTest : public LeakCheckedTest {};

TEST_F(MessagingConnectionTest, RunsTheFrameLoopOverASocketPairUntilTheSignOff) {
    {
        ClientUnderTest client;
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        // The family list asks for an answer on the same socket; the sign-off ends
        // the loop before the last message is read.
        const Bytes stream = Concat({FlapBytes(kChannelSnac, 1, SnacBytes(0x0001, 0x0003)),
                                     Message("555", "first"), FlapBytes(kChannelSignOff, 2, {}),
                                     Message("555", "never")});
        ASSERT_EQ(::write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));

        client.session.NetForTesting().RunMessagingConnectionForTesting(fds[0]);
        EXPECT_EQ(client.session.State(), ConnState::DisconnectedByOtherClient);
        ASSERT_EQ(client.session.Messages().size(), 1u);
        client.ExpectReportedMessagesStored();
        std::uint8_t answer[6];
        ASSERT_EQ(::read(fds[1], answer, sizeof answer), 6);
        EXPECT_EQ(answer[0], kFlapMarker);
        EXPECT_EQ(answer[1], kChannelSnac);  // the family versions went out on the pair

        // The session owns its end: closing the session releases it.
        client.session.CloseSession();
        char byte;
        std::size_t drained = 0;
        while (::read(fds[1], &byte, 1) == 1) ++drained;  // until the session's end is gone
        EXPECT_GT(drained, 0u);
        ::close(fds[1]);
    }
    ExpectNothingLeaked();
}

TEST_F(MessagingConnectionTest, EndOfStreamReportsConnectionErrorAfterSignOn) {
    ClientUnderTest client;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const Bytes stream = Concat({FlapBytes(kChannelSnac, 1, SnacBytes(0x0001, 0x0018)), Message("555", "hi")});
    ASSERT_EQ(::write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    ::shutdown(fds[1], SHUT_WR);
    client.session.NetForTesting().RunMessagingConnectionForTesting(fds[0]);
    // Online and LoadingOfflineMessages from the server's versions, then the end.
    EXPECT_EQ(client.session.Codes(), (std::vector<int>{7, 8, 2}));
    EXPECT_EQ(client.session.State(), ConnState::ConnectionError);
    client.ExpectReportedMessagesStored();
    ::close(fds[1]);
}

}  // namespace
}  // namespace pellox::testing
