// Fault injection against the local OSCAR server (pellox-server's library, run in
// this process) through a proxy that cuts the server's stream after every frame of
// sign-on, delivers it one byte at a time or lets the server go silent; and a flood
// of messages relayed by the server from one signed-on client to another.
//
// PELLOX_RELAY_MESSAGES sets the size of the relayed flood (default 10000).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/code_page.h"
#include "tests/hardening/fault_proxy.h"
#include "tests/hardening/client_under_test.h"
#include "tools/oscar_server.h"

namespace pellox::testing {
namespace {

using Account = ClientUnderTest;

class LocalServerFaultTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        config.messageBurst = 1000000;  // the flood is the point here, not the rate limit
        config.messagesPerSecond = 1000000;
        config.snacBurst = 1000000;
        config.snacsPerSecond = 1000000;
        config.signOnBurst = 1000;  // Alice signs on once per cut
        std::string error;
        ASSERT_TRUE(server_.Start(config, error)) << error;
    }
    void TearDown() override {
        server_.Stop();
        ExpectNothingLeaked();
    }

    server::OscarServer server_;
};

TEST_F(LocalServerFaultTest, StreamCutAfterEveryFrameOfSignOn) {
    // How many frames a whole sign-on takes, through a proxy that only forwards.
    int signOnFrames = 0;
    {
        FaultProxy proxy(server_.AuthPort(), server_.BosPort());
        ASSERT_TRUE(proxy.Start());
        Account alice(u"100001", u"alice");
        alice.Connect(proxy.LoginServerText());
        ASSERT_TRUE(Eventually([&] { return alice.session.State() == ConnState::ContactsLoaded; }));
        // The presence of online buddies follows the list: wait until nothing more
        // comes.
        int before = -1;
        ASSERT_TRUE(Eventually([&] {
            const int now = proxy.FramesForwarded();
            const bool settled = now == before;
            before = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            return settled;
        }));
        signOnFrames = proxy.FramesForwarded();
        proxy.Stop();
    }
    ASSERT_GE(signOnFrames, 7);

    for (int cut = 0; cut < signOnFrames; ++cut) {
        SCOPED_TRACE("cut after frame " + std::to_string(cut));
        FaultProxy proxy(server_.AuthPort(), server_.BosPort(), FaultProxy::Mode::Cut, cut);
        ASSERT_TRUE(proxy.Start());
        Account alice(u"100001", u"alice");
        alice.Connect(proxy.LoginServerText());
        ASSERT_TRUE(Eventually([&] { return proxy.Struck(); }));
        EXPECT_TRUE(alice.EndsIn(ConnState::ConnectionError)) << "state " << static_cast<int>(alice.session.State());
        proxy.Stop();
    }
    std::printf("%d cuts of the local server's sign-on injected\n", signOnFrames);
}

TEST_F(LocalServerFaultTest, OneByteAtATimeSignsOnAndTalksToTheEcho) {
    FaultProxy proxy(server_.AuthPort(), server_.BosPort(), FaultProxy::Mode::OneByte);
    ASSERT_TRUE(proxy.Start());
    Account alice(u"100001", u"alice");
    alice.Connect(proxy.LoginServerText());
    ASSERT_TRUE(Eventually([&] { return alice.session.State() == ConnState::ContactsLoaded; }, 20000));
    alice.session.EnqueueCommand(SendMessageCommand{u"100003", u"Привет, эхо"});
    ASSERT_TRUE(Eventually([&] { return !alice.session.Messages().empty(); }, 20000));
    alice.session.Shutdown();  // the message is stored once its thread is done
    EXPECT_EQ(alice.session.Messages()[0], std::make_pair(std::u16string(u"100003"), std::u16string(u"Привет, эхо")));
    const std::vector<MessageEntry> stored = StoredHistory(alice.dir.path(), u"100003");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].text, u"Привет, эхо");
    proxy.Stop();
}

TEST_F(LocalServerFaultTest, SilentServerStillDisconnectsAtOnce) {
    for (int after : {1, 4, 7}) {
        SCOPED_TRACE("silent after frame " + std::to_string(after));
        FaultProxy proxy(server_.AuthPort(), server_.BosPort(), FaultProxy::Mode::Silent, after);
        ASSERT_TRUE(proxy.Start());
        Account alice(u"100001", u"alice");
        alice.Connect(proxy.LoginServerText());
        ASSERT_TRUE(Eventually([&] { return proxy.Struck(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto start = std::chrono::steady_clock::now();
        alice.session.EnqueueCommand(DisconnectCommand{});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_TRUE(alice.EndsIn(ConnState::Disconnected, 1000)) << "state " << static_cast<int>(alice.session.State());
        proxy.Stop();
    }
}

TEST_F(LocalServerFaultTest, FloodRelayedByTheServerIsStoredWhole) {
    const int messages = EnvCount("PELLOX_RELAY_MESSAGES", 10000);
    const std::u16string server = platform::LocalToWide("127.0.0.1:" + std::to_string(server_.AuthPort()));
    Account alice(u"100001", u"alice");
    Account boris(u"100002", u"boris");
    boris.Connect(server);
    alice.Connect(server);
    ASSERT_TRUE(Eventually([&] { return boris.session.State() == ConnState::ContactsLoaded; }));
    ASSERT_TRUE(Eventually([&] { return alice.session.State() == ConnState::ContactsLoaded; }));
    for (int i = 0; i < messages; ++i) {
        alice.session.EnqueueCommand(SendMessageCommand{
            u"100002", u"сообщение " + platform::LocalToWide(std::to_string(i))});
    }
    ASSERT_TRUE(Eventually([&] { return boris.session.Messages().size() >= static_cast<std::size_t>(messages); },
                           std::max(60000, messages * 3)))
        << boris.session.Messages().size() << " of " << messages;
    boris.session.Shutdown();  // the last message is stored once its thread is done
    const std::vector<MessageEntry> stored = StoredHistory(boris.dir.path(), u"100001");
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(messages));
    for (int i = 0; i < messages; ++i) {
        ASSERT_EQ(stored[static_cast<std::size_t>(i)].text, u"сообщение " + platform::LocalToWide(std::to_string(i)));
    }
    std::printf("%d messages relayed by the local server\n", messages);
}

}  // namespace
}  // namespace pellox::testing
