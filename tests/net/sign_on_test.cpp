// The session against a scripted server: sign-on through the worker, the receive
// loop's framing and endings, closing, keep-alive and shutdown.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/session_impl.h"
#include "platform/connection_manager.h"
#include "tests/net/recording_session.h"
#include "tests/net/scripted_server.h"

namespace pellox::testing {
namespace {

using signon::LoginServer;
using signon::MessagingServer;

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const Bytes kCookie = FromHex("DE AD BE EF 01 02 03");

class SignOn : public ::testing::Test {
protected:
    // Every thread ends before the session's destruction begins, so none calls an
    // event while the object changes type under it.
    void TearDown() override { session_.Shutdown(); }
    void StartAll(int keepAliveMs = 60000) {
        ASSERT_TRUE(server_.Start());
        session_.SetKeepAliveIntervalForTesting(keepAliveMs);
        ASSERT_TRUE(session_.StartWorker());
    }
    void Connect(const std::u16string& server) {
        session_.EnqueueCommand(ConnectCommand{server, u"123456789", u"secret"});
    }
    void Connect() { Connect(server_.AddressText()); }
    void SignOnFully(const Script& more = Script(), int keepAliveMs = 60000) {
        SignOnThrough(server_, session_, more, keepAliveMs);
    }
    void ExpectNoScriptFailures() {
        for (const std::string& f : server_.Failures()) ADD_FAILURE() << f;
    }
    // Waits for `ms` and returns the reports then.
    std::vector<int> ReportsAfter(int ms) {
        std::this_thread::sleep_for(milliseconds(ms));
        return session_.Reports();
    }

    ScriptedServer server_;
    RecordingSession session_;
};

TEST(StoreStateRule, ClosingReportsDoNotHideTheCause) {
    RecordingSession s;
    Connection c = s.CurrentConnection();
    c.ReportState(ConnState::CheckingPassword);
    c.ReportState(ConnState::ConnectionError);
    EXPECT_EQ(s.State(), ConnState::ConnectionError);
    c.ReportState(ConnState::Disconnected);  // the close that follows an error
    EXPECT_EQ(s.State(), ConnState::ConnectionError);
    c.ReportState(ConnState::OpeningConnection);
    c.ReportState(ConnState::Disconnected);
    EXPECT_EQ(s.State(), ConnState::Disconnected);
    c.ReportState(ConnState::ConnectionError);  // a receive thread ending after a close
    EXPECT_EQ(s.State(), ConnState::Disconnected);
    c.ReportState(ConnState::DisconnectedByOtherClient);
    c.ReportState(ConnState::ConnectionError);
    c.ReportState(ConnState::Disconnected);
    EXPECT_EQ(s.State(), ConnState::DisconnectedByOtherClient);
}

TEST_F(SignOn, ConnectReportsEachStepAndTheWireIsExact) {
    SignOnFully();
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 7, 8}));
    EXPECT_EQ(session_.State(), ConnState::LoadingOfflineMessages);
    EXPECT_EQ(session_.Uin(), "123456789");
    EXPECT_EQ(session_.BosAddressForTesting(), server_.Address());
    EXPECT_GE(session_.Refreshes(), 1);

    // One sequence across both connections.
    const auto login = server_.FramesOn(0);
    const auto messaging = server_.FramesOn(1);
    ASSERT_EQ(login.size(), 1u);
    ASSERT_EQ(messaging.size(), 5u);
    EXPECT_EQ(login[0].sequence, 1);
    EXPECT_EQ(ToHex(messaging[0].raw),
              ToHex(FlapBytes(1, 2, Concat({FromHex("00000001"), TlvBytes(0x0006, kCookie)}))));
    EXPECT_TRUE(messaging[1].IsSnac(0x0001, 0x0017));
    EXPECT_TRUE(messaging[2].IsSnac(0x0001, 0x001E));
    EXPECT_TRUE(messaging[3].IsSnac(0x0001, 0x0002));
    EXPECT_TRUE(messaging[4].IsSnac(0x0015, 0x0002));
    for (std::size_t i = 0; i < messaging.size(); ++i) EXPECT_EQ(messaging[i].sequence, i + 2);

    // The login-server connection is given up; every byte sent is counted.
    EXPECT_TRUE(server_.WaitForPeerClosed(0));
    std::size_t sent = 0;
    for (const ReceivedFrame& f : server_.Frames()) sent += f.raw.size();
    // The sender counts a send once it returned, which may be after the server read it.
    const auto deadline = Clock::now() + milliseconds(2000);
    while (session_.BytesSent() != static_cast<std::int32_t>(sent) && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(session_.BytesSent(), static_cast<std::int32_t>(sent));
    EXPECT_GT(session_.BytesReceived(), 0);
}

TEST_F(SignOn, SplitAndPackedFramesAreReadWhole) {
    server_.AddConnection(LoginServer());
    server_.AddConnection(
        Script()
            .SendSplit(FlapBytes(1, 1, FromHex("00000001")), {1, 3, 2})
            .Expect(kChannelSignOn)
            .SendSplit(FlapBytes(2, 2, SnacBytes(0x0001, 0x0003, FromHex("0001 0002 0003"))),
                       {5, 7})
            .ExpectSnac(0x0001, 0x0017)
            // Ignored channels and SNACs, then the versions, all in one write.
            .Send(Concat({FlapBytes(3, 3, FromHex("0001")), FlapBytes(5, 4, {}),
                          FlapBytes(2, 5, SnacBytes(0x0001, 0x0013, BytesOf("motd"))),
                          FlapBytes(2, 6, SnacBytes(0x0009, 0x0003)),
                          FlapBytes(2, 7, SnacBytes(0x0013, 0x000E, FromHex("0000"))),
                          FlapBytes(2, 8, SnacBytes(0x0001, 0x0018))}))
            .ExpectSnac(0x0001, 0x001E)
            .ExpectSnac(0x0001, 0x0002)
            .ExpectSnac(0x0015, 0x0002));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::LoadingOfflineMessages));
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    EXPECT_EQ(server_.FramesOn(1).size(), 5u);  // nothing sent for the ignored ones
}

TEST_F(SignOn, BadMarkerEndsInConnectionError) {
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).Send(FromHex("2B 01 0000 0000")));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 2}));
    session_.CloseSession();  // the user closes after the error: the error stays
    EXPECT_EQ(session_.State(), ConnState::ConnectionError);
}

TEST_F(SignOn, ChannelTwoFrameTooShortForItsSnacEndsTheConnection) {
    server_.AddConnection(LoginServer());
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).SendFrame(2, FromHex("0001 0003")));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 2}));
    EXPECT_EQ(server_.FramesOn(1).size(), 1u);  // the cookie; no family versions
}

TEST_F(SignOn, ConnectionClosedMidFrameEndsInConnectionError) {
    server_.AddConnection(LoginServer());
    server_.AddConnection(MessagingServer(Script().Send(FromHex("2A 02 0009 0064 0004 0007")).Close()));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.State(), ConnState::ConnectionError);
}

TEST_F(SignOn, SignOffFromMessagingServerStaysDisconnectedByOtherClient) {
    SignOnFully(Script().SendFrame(kChannelSignOff, {}));
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 7, 8, 1, 2}));
    EXPECT_EQ(session_.State(), ConnState::DisconnectedByOtherClient);
    session_.CloseSession();
    EXPECT_EQ(session_.State(), ConnState::DisconnectedByOtherClient);
    EXPECT_EQ(ReportsAfter(100).size(), 9u);
    EXPECT_EQ(server_.Accepted(), 2);  // no reconnection
}

TEST_F(SignOn, RefusedLoginMakesNoSecondConnection) {
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).SendFrame(
        kChannelSignOff, Concat({TlvBytes(0x0001, BytesOf("123456789")),
                                 TlvBytes(0x0004, BytesOf("http://err")),
                                 TlvBytes(0x0008, FromHex("0005"))})));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 2}));
    EXPECT_EQ(session_.LoginRefusal(), 0x0005);  // the reason, for the status line
    EXPECT_EQ(ReportsAfter(100).size(), 4u);
    EXPECT_EQ(server_.Accepted(), 1);
}

TEST_F(SignOn, RefusalFollowedByABrokenRecordIsNeverRetried) {
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).SendFrame(
        kChannelSignOff, Concat({TlvBytes(0x0008, FromHex("0005")), FromHex("0004 0010 41")})));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.LoginRefusal(), 0x0005);
    EXPECT_TRUE(session_.LoginRefused());  // what keeps reconnect from trying again
}

TEST_F(SignOn, TruncatedCookieTlvMakesNoSecondConnection) {
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).Do([](Script::Context& c) {
        return c.SendFrame(kChannelSignOff,
                           Concat({TlvBytes(0x0005, BytesOf(c.server.Address())),
                                   FromHex("0006 000A 0102 03")}));  // 3 of 10 cookie bytes
    }));
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_TRUE(session_.Cookie().empty());
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(server_.Accepted(), 1);
}

TEST_F(SignOn, UnknownTlvInLoginReplyIsSkipped) {
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).Do([](Script::Context& c) {
        return c.SendFrame(kChannelSignOff,
                           Concat({TlvBytes(0x0001, BytesOf("123456789")),
                                   TlvBytes(0x0005, BytesOf(c.server.Address())),
                                   TlvBytes(0x0099, BytesOf("zz")), TlvBytes(0x0006, kCookie)}));
    }));
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn));
    StartAll();
    Connect();
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    const auto frames = server_.FramesOn(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(ToHex(frames[0].data), ToHex(Concat({FromHex("00000001"), TlvBytes(0x0006, kCookie)})));
}

TEST_F(SignOn, CloseDuringBlockedReceiveIsPromptAndFinal) {
    SignOnFully();
    ASSERT_TRUE(server_.WaitForScriptsDone());
    const auto start = Clock::now();
    session_.CloseSession();
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_TRUE(server_.WaitForPeerClosed(1, 2000));
    const auto deadline = Clock::now() + milliseconds(2000);
    while (session_.ActiveReceiveThreadsForTesting() != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(session_.ActiveReceiveThreadsForTesting(), 0);
    // The ended receive thread reports nothing over the close.
    EXPECT_EQ(ReportsAfter(100), (std::vector<int>{3, 4, 6, 7, 8, 0, 0}));
    EXPECT_EQ(session_.State(), ConnState::Disconnected);
    EXPECT_EQ(session_.SocketForTesting(), platform::kNoSocket);
    EXPECT_TRUE(session_.Cookie().empty());
}

TEST_F(SignOn, DisconnectCommandReportsAndCloses) {
    SignOnFully();
    session_.EnqueueCommand(DisconnectCommand{});
    ASSERT_TRUE(session_.WaitForReport(ConnState::Disconnected, 5000, 3));
    EXPECT_TRUE(server_.WaitForPeerClosed(1, 2000));
    EXPECT_EQ(ReportsAfter(100), (std::vector<int>{3, 4, 6, 7, 8, 0, 0, 0}));
}

TEST(ReconnectTiming, WaitsDoubleUpToTheCapWithASpreadOfAFifth) {
    const ReconnectTiming timing;  // 5 s, then twice as long each time, at most 5 min
    struct Row {
        int attempt;
        double unit;
        int expectedMs;
    };
    const Row rows[] = {
        {0, 0.5, 5000},     {1, 0.5, 10000},  {2, 0.5, 20000},    {5, 0.5, 160000},
        {6, 0.5, 300000},   {60, 0.5, 300000}, {0, 0.0, 4000},     {0, 0.75, 5500},
        {2, 0.0, 16000},    {6, 0.0, 240000}, {6, 0.99, 300000},  {-1, 0.5, 5000},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ReconnectDelayMs(timing, row.attempt, row.unit), row.expectedMs)
            << row.attempt << " " << row.unit;
    }
}

TEST(Reconnect, FailedTriesAreRepeatedUntilTurnedOffOrClosed) {
    std::atomic<bool> allowed{true};
    RecordingSession session;
    session.SetReconnectCheck([&] { return allowed.load(); });
    session.SetReconnectTiming({10, 40, 0.0});
    ASSERT_TRUE(session.StartWorker());
    const auto opened = [&] {
        const std::vector<int> codes = session.Reports();
        return std::count(codes.begin(), codes.end(), 3);
    };
    // Each stop must hold for five of the longest waits.
    const auto expectNoMoreTries = [&] {
        const auto tries = opened();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(opened(), tries);
        EXPECT_FALSE(session.ReconnectPending());
    };
    session.EnqueueCommand(ConnectCommand{u"127.0.0.1:1", u"123", u"pw"});
    // The connect and three tries, each refused; then reconnecting is turned off.
    ASSERT_TRUE(session.WaitForReport(ConnState::ConnectionError, 5000, 4));
    allowed = false;
    expectNoMoreTries();

    allowed = true;
    session.EnqueueCommand(ConnectCommand{u"127.0.0.1:1", u"123", u"pw"});
    ASSERT_TRUE(session.WaitForReport(ConnState::ConnectionError, 5000, static_cast<int>(opened()) + 2));
    session.CloseSession();
    expectNoMoreTries();
    session.Shutdown();
}

TEST_F(SignOn, ConnectFailureReportsOpeningThenError) {
    server_.AddConnection(Script());
    StartAll();
    platform::SetConnectionFailureForTesting(true);
    Connect();
    const bool reported = session_.WaitForReport(ConnState::ConnectionError);
    platform::SetConnectionFailureForTesting(false);
    ASSERT_TRUE(reported);
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 2}));
    EXPECT_EQ(server_.Accepted(), 0);

    // A refused TCP connect fails after the socket was made.
    Connect(u"127.0.0.1:1");
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError, 5000, 2));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 2, 3, 4, 2}));
    session_.CloseSession();
    EXPECT_EQ(session_.State(), ConnState::ConnectionError);
}

TEST_F(SignOn, DisconnectWhileTheConnectIsGettingReadyStopsIt) {
    server_.AddConnection(Script().SendHello());
    StartAll();
    platform::SetConnectionDelayForTesting(300);
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::OpeningConnection));
    session_.CloseSession();  // what "Отключить" does, on the user's thread
    const std::vector<int> reports = ReportsAfter(800);
    platform::SetConnectionDelayForTesting(0);
    // No login-server connection follows the close, and the state stays Disconnected.
    EXPECT_EQ(reports, (std::vector<int>{3, 0, 0, 2}));
    EXPECT_EQ(session_.State(), ConnState::Disconnected);
    EXPECT_EQ(server_.Accepted(), 0);
}

TEST_F(SignOn, ConnectWhileConnectedClosesTheOldConnectionFirst) {
    // The first login server says hello only after the second connect began.
    server_.AddConnection(Script().Pause(300).SendHello());
    server_.AddConnection(Script());
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectingLoginServer));
    ASSERT_TRUE(server_.WaitForAccepted(1));
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectingLoginServer, 5000, 2));
    EXPECT_TRUE(server_.WaitForPeerClosed(0, 2000));
    // Nothing from the old receive thread: no error, no CheckingPassword.
    EXPECT_EQ(ReportsAfter(500), (std::vector<int>{3, 4, 3, 0, 0, 4}));
    EXPECT_EQ(session_.State(), ConnState::ConnectingLoginServer);
    EXPECT_EQ(session_.ActiveReceiveThreadsForTesting(), 1);
    EXPECT_TRUE(server_.FramesOn(0).empty());
}

TEST_F(SignOn, QueuedCommandsRunInOrderWithoutWaitingForMore) {
    SignOnFully();
    ASSERT_TRUE(server_.WaitForScriptsDone());
    const std::size_t before = server_.FrameCount();
    session_.EnqueueCommand(DeleteContactCommand{u"111"});
    session_.EnqueueCommand(RequestInfoCommand{u"222"});
    session_.EnqueueCommand(SendMessageCommand{u"333", u"hi"});
    session_.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(server_.WaitForFrameCount(before + 5));
    const auto frames = server_.FramesOn(1);
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_TRUE(frames[5].IsSnac(0x0013, 0x000A));
    EXPECT_TRUE(frames[6].IsSnac(0x0003, 0x0005));  // and off the client-side buddy list
    EXPECT_TRUE(frames[7].IsSnac(0x0015, 0x0002));
    EXPECT_TRUE(frames[8].IsSnac(0x0004, 0x0006));
    EXPECT_TRUE(frames[9].IsSnac(0x0013, 0x0004));
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, frames[i - 1].sequence + 1);
    }
    EXPECT_TRUE(session_.WaitForReport(ConnState::LoadingContacts));
}

TEST_F(SignOn, CommandsThatNeedAConnectionWaitForOne) {
    server_.AddConnection(Script());  // a login server that never says hello
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectingLoginServer));
    const auto deadline = Clock::now() + milliseconds(2000);
    while (session_.ActiveReceiveThreadsForTesting() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    const auto everyCommand = [this] {
        session_.PerformCommandForTesting(SendMessageCommand{u"333", u"hi"});
        session_.PerformCommandForTesting(LoadContactsCommand{});
        session_.PerformCommandForTesting(DeleteContactCommand{u"111"});
        session_.PerformCommandForTesting(RequestInfoCommand{u"222"});
    };
    everyCommand();  // signing on: nothing goes to the login server
    session_.CloseSession();
    everyCommand();  // queued before a Disconnect, run after it
    EXPECT_EQ(ReportsAfter(100), (std::vector<int>{3, 4, 0, 0}));
    EXPECT_EQ(session_.State(), ConnState::Disconnected);
    EXPECT_EQ(server_.FrameCount(), 0u);
}

TEST_F(SignOn, SilentServersEndTheSignOnInConnectionError) {
    session_.SetSignOnTimeoutForTesting(200);
    // A login server that never answers, then a messaging server that takes the
    // cookie and says no more, then one that signs on and is quiet afterwards.
    server_.AddConnection(Script());
    server_.AddConnection(LoginServer());
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn));
    server_.AddConnection(LoginServer());
    server_.AddConnection(MessagingServer());
    StartAll();
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_TRUE(server_.WaitForPeerClosed(0, 2000));
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError, 5000, 2));
    EXPECT_TRUE(server_.WaitForPeerClosed(2, 2000));
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::LoadingOfflineMessages));
    EXPECT_EQ(ReportsAfter(600),
              (std::vector<int>{3, 4, 2, 3, 0, 0, 4, 6, 2, 3, 0, 0, 4, 6, 7, 8}));
}

TEST_F(SignOn, MessagingServerNamedOrUnusable) {
    // The address from the login reply: 0.0.0.0 and a name that does not resolve
    // are refused without a connect; a host name is looked up.
    const auto replyNaming = [](std::string host) {
        return Script().SendHello().Expect(kChannelSignOn).Do([host](Script::Context& c) {
            const std::string address = host + ":" + std::to_string(c.server.Port());
            return c.SendFrame(kChannelSignOff,
                               Concat({TlvBytes(0x0001, BytesOf("123456789")),
                                       TlvBytes(0x0005, BytesOf(address)), TlvBytes(0x0006, kCookie)}));
        });
    };
    server_.AddConnection(replyNaming("0.0.0.0"));
    server_.AddConnection(replyNaming("no-such-host.invalid"));
    server_.AddConnection(replyNaming("localhost"));
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn));
    StartAll();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Connect();
        ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError, 5000, attempt));
        EXPECT_EQ(server_.Accepted(), attempt);
    }
    Connect();
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    EXPECT_EQ(server_.Accepted(), 4);
}

TEST_F(SignOn, FramesQueuedBeforeACloseAreNotHandled) {
    static std::mutex lock;
    static std::condition_variable changed;
    static int calls;
    static bool released;
    calls = 0;
    released = false;
    // The first message holds the receive thread while the second waits in the socket.
    session_.SetSnacHandler(0x0004, 0x0007, [](Connection&, PacketReader&, const SnacHeader&) {
        std::unique_lock<std::mutex> guard(lock);
        ++calls;
        changed.notify_all();
        changed.wait_for(guard, milliseconds(5000), [] { return released; });
        return true;
    });
    SignOnFully(Script().Send(Concat({FlapBytes(2, 1, SnacBytes(0x0004, 0x0007, FromHex("01"))),
                                      FlapBytes(2, 2, SnacBytes(0x0004, 0x0007, FromHex("02")))})));
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, milliseconds(5000), [] { return calls == 1; }));
    }
    session_.CloseSession();
    {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
    }
    changed.notify_all();
    const auto deadline = Clock::now() + milliseconds(2000);
    while (session_.ActiveReceiveThreadsForTesting() != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(calls, 1);
}

// ---- SNAC routing ----

struct Seen {
    std::mutex lock;
    std::vector<std::pair<int, Bytes>> calls;  // reader position, remaining bytes
};
Seen g_seen;

bool RecordSnac(Connection&, PacketReader& reader, const SnacHeader& snac) {
    EXPECT_EQ(+snac.family, 0x0004);
    Bytes rest(static_cast<std::size_t>(reader.Remaining()));
    if (!rest.empty()) {
        EXPECT_TRUE(ReadBytes(reader, rest.data(), rest.size()));
    }
    std::lock_guard<std::mutex> guard(g_seen.lock);
    g_seen.calls.emplace_back(reader.Position() - static_cast<int>(rest.size()), rest);
    return true;
}

TEST_F(SignOn, HandlersGetTheDataPastExtraBytesAndOthersAreDropped) {
    {
        std::lock_guard<std::mutex> guard(g_seen.lock);
        g_seen.calls.clear();
    }
    session_.SetSnacHandler(0x0004, 0x0007, RecordSnac);
    const Bytes big(65525, 0x5A);  // FLAP length 65535
    SignOnFully(Script()
                    .SendSnac(0x0004, 0x0007, Concat({FromHex("0006 010203040506"), FromHex("AABB")}),
                              kSnacFlagExtraData)
                    .SendSnac(0x0009, 0x0003, FromHex("00"))
                    .SendSnac(0x0004, 0x0007, FromHex("0064 01"), kSnacFlagExtraData)  // past the end
                    .SendFrame(3, {})
                    .SendSnac(0x0004, 0x0007, big)
                    .SendFrame(5, {})
                    .SendSnac(0x0004, 0x0007, FromHex("CC")));
    ASSERT_TRUE(server_.WaitForScriptsDone());
    const auto deadline = Clock::now() + milliseconds(5000);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_seen.lock);
            if (g_seen.calls.size() >= 4 || Clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    std::lock_guard<std::mutex> guard(g_seen.lock);
    ASSERT_EQ(g_seen.calls.size(), 4u);
    EXPECT_EQ(g_seen.calls[0].first, 18);  // 10 header + 2 + 6 extra
    EXPECT_EQ(ToHex(g_seen.calls[0].second), "AA BB");
    EXPECT_TRUE(g_seen.calls[1].second.empty());
    EXPECT_EQ(g_seen.calls[2].second, big);
    EXPECT_EQ(ToHex(g_seen.calls[3].second), "CC");
    EXPECT_EQ(session_.State(), ConnState::LoadingOfflineMessages);
    EXPECT_EQ(server_.FramesOn(1).size(), 5u);
}

// ---- Keep-alive ----

TEST_F(SignOn, KeepAliveOnlyWhileConnected) {
    server_.AddConnection(Script());  // a login server that never says hello
    StartAll(50);
    Connect();
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectingLoginServer));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(server_.FrameCount(), 0u);
}

TEST_F(SignOn, KeepAliveAfterAnIntervalWithoutCommands) {
    SignOnFully(Script(), 100);
    ASSERT_TRUE(server_.WaitForFrame([](const ReceivedFrame& f) { return f.channel == 5; }));
    for (const ReceivedFrame& f : server_.FramesOn(1)) {
        if (f.channel == 5) {
            EXPECT_EQ(f.raw.size(), 6u);
        }
    }
}

TEST_F(SignOn, CommandsKeepTheKeepAliveAway) {
    SignOnFully(Script(), 600);
    ASSERT_TRUE(server_.WaitForScriptsDone());
    const std::size_t before = server_.FrameCount();
    for (int i = 0; i < 20; ++i) {
        session_.EnqueueCommand(RequestInfoCommand{u"5"});
        std::this_thread::sleep_for(milliseconds(50));
    }
    ASSERT_TRUE(server_.WaitForFrameCount(before + 20));
    const auto frames = server_.Frames();
    for (std::size_t i = before; i < frames.size(); ++i) EXPECT_NE(frames[i].channel, 5);
}

TEST_F(SignOn, FailedKeepAliveClosesTheSession) {
    SignOnFully(Script(), 100);
    ASSERT_TRUE(server_.WaitForScriptsDone());
    // Writing fails from now on while the receive side stays open.
    ASSERT_EQ(::shutdown(session_.SocketForTesting(), SHUT_WR), 0);
    ASSERT_TRUE(session_.WaitForReport(ConnState::Disconnected, 5000, 2));
    EXPECT_EQ(session_.State(), ConnState::Disconnected);
    EXPECT_EQ(session_.SocketForTesting(), platform::kNoSocket);
}

// ---- Exit ----

TEST_F(SignOn, ShutdownStopsAllThreadsPromptlyWithoutReports) {
    SignOnFully();
    session_.EnqueueCommand(LoadContactsCommand{});
    const std::size_t reports = session_.WaitForReport(ConnState::LoadingContacts)
                                    ? session_.Reports().size()
                                    : 0;
    const auto start = Clock::now();
    session_.Shutdown();
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(session_.ActiveReceiveThreadsForTesting(), 0);
    EXPECT_EQ(session_.Reports().size(), reports);
    EXPECT_TRUE(server_.WaitForPeerClosed(1, 2000));
    session_.EnqueueCommand(LoadContactsCommand{});
    session_.Shutdown();  // again: nothing left to do
    EXPECT_FALSE(session_.StartWorker());
}

}  // namespace
}  // namespace pellox::testing
