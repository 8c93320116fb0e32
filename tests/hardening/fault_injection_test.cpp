// Fault injection on 127.0.0.1 against a scripted server: the connection cut at
// every step of sign-on (between frames and inside them), every frame delivered one
// byte at a time, a bad frame marker, lengths that run past the end, servers that
// go silent, and a flood of messages and presence reports. Each case must end in
// the documented state code with no crash, no hang, no receive thread or socket
// left behind, and every message the session reported in its history file.
//
// PELLOX_FLOOD_MESSAGES sets the size of the flood (default 10000).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/code_page.h"
#include "tests/hardening/client_under_test.h"

namespace pellox::testing {
namespace {

constexpr char kOwnUin[] = "123456789";
const Bytes kCookie = FromHex("C0 01 C0 01");

using signon::MetaRequestType;

Script& ExpectMeta(Script& s, std::uint16_t type) {
    return s.Do([type](Script::Context& c) {
        return c.ExpectFrame([type](const ReceivedFrame& f) { return MetaRequestType(f) == type; },
                             "meta request " + std::to_string(type));
    });
}

Bytes Frame(std::uint8_t channel, const Bytes& data) { return FlapBytes(channel, 0x2000, data); }
Bytes Snac(std::uint16_t family, std::uint16_t subtype, const Bytes& data = {}) {
    return Frame(kChannelSnac, SnacBytes(family, subtype, data));
}
Bytes Message(const std::string& uin, const std::string& text) {
    return Snac(0x0004, 0x0007, IncomingMessage(1, UserInfo(uin), MessageTlv(BytesOf(text))));
}
Bytes LoginReply(const std::string& address) {
    return Frame(kChannelSignOff, Concat({TlvBytes(0x0001, BytesOf(kOwnUin)),
                                          TlvBytes(0x0005, BytesOf(address)), TlvBytes(0x0006, kCookie)}));
}

// One thing the server does during sign-on.
struct Step {
    int connection;              // 0 login server, 1 messaging server
    std::string what;
    bool sends = false;          // a frame the server sends (cut inside it too)
    std::function<Bytes(const std::string& address)> bytes;  // for sends
    std::function<void(Script&)> expect;                       // for the others
    std::string deliversMessage;  // the text of a message this frame carries
};

std::vector<Step> SignOnSteps() {
    auto send = [](int connection, std::string what, Bytes bytes, std::string message = {}) {
        return Step{connection, std::move(what), true,
                    [bytes](const std::string&) { return bytes; }, nullptr, std::move(message)};
    };
    auto expect = [](int connection, std::string what, std::function<void(Script&)> f) {
        return Step{connection, std::move(what), false, nullptr, std::move(f), {}};
    };
    std::vector<Step> steps;
    steps.push_back(send(0, "login hello", Frame(kChannelSignOn, BigEndian32(1))));
    steps.push_back(expect(0, "login frame", [](Script& s) { s.Expect(kChannelSignOn); }));
    steps.push_back(Step{0, "login reply", true, [](const std::string& a) { return LoginReply(a); },
                         nullptr, {}});
    steps.push_back(send(1, "messaging hello", Frame(kChannelSignOn, BigEndian32(1))));
    steps.push_back(expect(1, "cookie", [](Script& s) { s.Expect(kChannelSignOn); }));
    steps.push_back(send(1, "family list", Snac(0x0001, 0x0003, FromHex("0001 0002 0003 0004 0013 0015"))));
    steps.push_back(expect(1, "family versions", [](Script& s) { s.ExpectSnac(0x0001, 0x0017); }));
    steps.push_back(send(1, "server versions", Snac(0x0001, 0x0018)));
    steps.push_back(expect(1, "client ready", [](Script& s) { s.ExpectSnac(0x0001, 0x0002); }));
    steps.push_back(expect(1, "offline request", [](Script& s) { ExpectMeta(s, 0x003C); }));
    steps.push_back(send(1, "offline message",
                         Snac(0x0015, 0x0003, OfflineMessage(100002, BytesOf("stored"))), "stored"));
    steps.push_back(send(1, "offline end", Snac(0x0015, 0x0003, OfflineDone())));
    steps.push_back(expect(1, "offline acknowledgement", [](Script& s) { ExpectMeta(s, 0x003E); }));
    steps.push_back(expect(1, "list request", [](Script& s) { s.ExpectSnac(0x0013, 0x0004); }));
    steps.push_back(send(1, "contact list",
                         Snac(0x0013, 0x0006, ContactListReply({Buddy("100002", BytesOf("Boris")),
                                                                Buddy("100003", BytesOf("Echo"))}))));
    steps.push_back(expect(1, "list activation", [](Script& s) { s.ExpectSnac(0x0013, 0x0007); }));
    steps.push_back(send(1, "message", Message("100003", "live"), "live"));
    return steps;
}

using Client = ClientUnderTest;

// Every scenario checks that it leaves no descriptor and no thread behind.
using FaultTest = LeakCheckedTest;

// Builds the two connection scripts of sign-on up to `cut`: the steps before it run
// whole; with `inside`, the send at `cut` goes out half and the connection closes,
// otherwise the connection closes before step `cut`.
void AddSignOn(ScriptedServer& server, const std::vector<Step>& steps, std::size_t cut, bool inside) {
    Script scripts[2];
    int last = 1;
    for (std::size_t i = 0; i < steps.size() && i <= cut; ++i) {
        const Step& step = steps[i];
        Script& s = scripts[step.connection];
        if (i == cut) {
            if (inside) {
                s.Do([bytes = step.bytes](Script::Context& c) {
                    const Bytes whole = bytes(c.server.Address());
                    return c.SendRaw(Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
                });
            }
            s.Close();
            last = step.connection;
            break;
        }
        if (step.sends) {
            s.Do([bytes = step.bytes](Script::Context& c) { return c.SendRaw(bytes(c.server.Address())); });
        } else {
            step.expect(s);
        }
    }
    server.AddConnection(scripts[0]);
    if (last == 1) server.AddConnection(scripts[1]);
}

TEST_F(FaultTest, ConnectionCutAtEverySignOnStepEndsInConnectionError) {
    const std::vector<Step> steps = SignOnSteps();
    int faults = 0;
    for (std::size_t cut = 0; cut < steps.size(); ++cut) {
        for (bool inside : {false, true}) {
            if (inside && !steps[cut].sends) continue;
            SCOPED_TRACE("cut " + std::string(inside ? "inside " : "before ") + steps[cut].what);
            {
                ScriptedServer server;
                AddSignOn(server, steps, cut, inside);
                ASSERT_TRUE(server.Start());
                Client client;
                client.Connect(server.AddressText());
                EXPECT_TRUE(client.EndsIn(ConnState::ConnectionError)) << "state " << client.session.Codes().back();
                // A message whose frame went out whole before the cut was delivered.
                for (std::size_t i = 0; i < cut; ++i) {
                    if (!steps[i].deliversMessage.empty()) {
                        EXPECT_TRUE(client.Reported(steps[i].deliversMessage)) << steps[i].deliversMessage;
                    }
                }
                client.ExpectReportedMessagesStored();
                server.Stop();
            }
            ++faults;
        }
    }
    ExpectNothingLeaked();
    std::printf("%d sign-on cuts injected\n", faults);
}

TEST_F(FaultTest, SignOnWithEveryFrameOneByteAtATime) {
    const std::vector<Step> steps = SignOnSteps();
    {
        ScriptedServer server;
        Script scripts[2];
        for (const Step& step : steps) {
            Script& s = scripts[step.connection];
            if (step.sends) {
                s.Do([bytes = step.bytes](Script::Context& c) {
                    for (std::uint8_t b : bytes(c.server.Address())) {
                        if (!c.SendRaw(Bytes{b})) return false;
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                    }
                    return true;
                });
            } else {
                step.expect(s);
            }
        }
        server.AddConnection(scripts[0]);
        server.AddConnection(scripts[1]);
        ASSERT_TRUE(server.Start());
        Client client;
        client.Connect(server.AddressText());
        ASSERT_TRUE(server.WaitForScriptsDone(20000));
        for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
        ASSERT_TRUE(Eventually([&] { return client.Reported("live"); }));
        EXPECT_EQ(client.session.State(), ConnState::ContactsLoaded);
        EXPECT_TRUE(client.Reported("stored"));
        client.ExpectReportedMessagesStored();
        EXPECT_EQ(client.model.FindContact(u"100002")->Name(), u"Boris");
        server.Stop();
    }
    ExpectNothingLeaked();
}

// Signs on whole, then plays `after` on the messaging connection.
void AddSignedOn(ScriptedServer& server, const Script& after) {
    const std::vector<Step> steps = SignOnSteps();
    Script scripts[2];
    for (const Step& step : steps) {
        Script& s = scripts[step.connection];
        if (step.sends) {
            s.Do([bytes = step.bytes](Script::Context& c) { return c.SendRaw(bytes(c.server.Address())); });
        } else {
            step.expect(s);
        }
    }
    scripts[1].Then(after);
    server.AddConnection(scripts[0]);
    server.AddConnection(scripts[1]);
}

TEST_F(FaultTest, BadMarkerEndsTheConnectionAndNothingAfterItIsRead) {
    {
        ScriptedServer server;
        Bytes bad = Message("100003", "after the bad marker");
        bad[0] = '#';
        AddSignedOn(server, Script().Send(Concat({Message("100003", "before"), bad,
                                                  Message("100003", "never")})));
        ASSERT_TRUE(server.Start());
        Client client;
        client.Connect(server.AddressText());
        EXPECT_TRUE(client.EndsIn(ConnState::ConnectionError));
        EXPECT_TRUE(client.Reported("before"));
        EXPECT_FALSE(client.Reported("never"));
        client.ExpectReportedMessagesStored();
        server.Stop();
    }
    ExpectNothingLeaked();
}

TEST_F(FaultTest, LengthsPastTheEndAreDroppedAndTheConnectionGoesOn) {
    {
        ScriptedServer server;
        const Bytes header = FromHex("0102030405060708 0001");
        Script after;
        // A UIN length past the data; a message TLV longer than the SNAC; fragment
        // lengths past their TLV; extra data past the frame; an offline text longer
        // than the reply; a contact list that announces items it lacks; a user-info
        // block whose TLV count runs out.
        after.Send(Snac(0x0004, 0x0007, Concat({header, Bytes{200}, BytesOf("100003")})))
            .Send(Snac(0x0004, 0x0007, Concat({header, UserInfo("100003"), FromHex("0002 0100 0501")})))
            .Send(Snac(0x0004, 0x0007, Concat({header, UserInfo("100003"),
                                                TlvBytes(0x0002, FromHex("0501 00FF 01 0101 0080 0000 FFFF"))})))
            .Send(Frame(kChannelSnac, Concat({SnacBytes(0x0003, 0x000B, {}, 0x8000), FromHex("7FFF 00")})))
            .Send(Snac(0x0015, 0x0003, Concat({MetaHead(0x0041, 1, 20), Le32(100002), Le16(2024),
                                                Bytes{1, 2, 3, 4, 1, 0}, Le16(5000), BytesOf("short")})))
            .Send(Snac(0x0013, 0x0006, Concat({Bytes{0}, BigEndian16(500), ListItem("100009", 0)})))
            .Send(Snac(0x0003, 0x000B, Concat({Bytes{6}, BytesOf("100004"), BigEndian16(0), BigEndian16(40),
                                                StatusTlv(2)})))
            // A FLAP length past what follows is the last frame: the stream ends.
            .Send(Message("100003", "still here"))
            .Send(Concat({FromHex("2A 02 0001 0400"), SnacBytes(0x0004, 0x0007, {})}))
            .Close();
        AddSignedOn(server, after);
        ASSERT_TRUE(server.Start());
        Client client;
        client.Connect(server.AddressText());
        ASSERT_TRUE(client.EndsIn(ConnState::ConnectionError));
        EXPECT_TRUE(client.Reported("still here"));
        EXPECT_TRUE(client.Reported("stored"));
        EXPECT_FALSE(client.model.FindContact(u"100009")) << "a cut contact list was merged";
        client.ExpectReportedMessagesStored();
        server.Stop();
    }
    ExpectNothingLeaked();
}

// The user interface asks to disconnect while the server says nothing; the request
// must be served at once whatever the stage.
TEST_F(FaultTest, SilentServerDisconnectsAtOnce) {
    struct Stage {
        const char* what;
        bool signedOn;  // silent after sign-on rather than before the login hello
    };
    for (const Stage& stage : {Stage{"login server silent", false}, Stage{"messaging server silent", true}}) {
        SCOPED_TRACE(stage.what);
        {
            ScriptedServer server;
            if (stage.signedOn) {
                AddSignedOn(server, Script());
            } else {
                server.AddConnection(Script());
            }
            ASSERT_TRUE(server.Start());
            Client client;
            client.Connect(server.AddressText());
            const ConnState waitFor = stage.signedOn ? ConnState::ContactsLoaded : ConnState::ConnectingLoginServer;
            ASSERT_TRUE(Eventually([&] { return client.session.State() == waitFor; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // silence

            // "Отключить": the command from the UI thread, then the direct close the
            // frame may also call; neither may wait for the network.
            const auto start = std::chrono::steady_clock::now();
            client.session.EnqueueCommand(DisconnectCommand{});
            client.session.CloseSession();
            const auto calls = std::chrono::steady_clock::now() - start;
            EXPECT_LT(calls, std::chrono::milliseconds(100));
            EXPECT_TRUE(client.EndsIn(ConnState::Disconnected, 1000));
            EXPECT_TRUE(server.WaitForPeerClosed(stage.signedOn ? 1 : 0, 1000));
            server.Stop();
        }
    }
    ExpectNothingLeaked();
}

// The server stops reading while the user sends long messages: the worker blocks
// in a send that cannot finish. Disconnecting from the user-interface thread must
// still take effect at once and free the worker.
TEST_F(FaultTest, ServerThatStopsReadingCannotHoldUpDisconnect) {
    {
        std::atomic<bool> release{false};
        ScriptedServer server;
        AddSignedOn(server, Script().Do([&release](Script::Context&) {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return true;
        }));
        ASSERT_TRUE(server.Start());
        Client client;
        client.Connect(server.AddressText());
        ASSERT_TRUE(Eventually([&] { return client.session.State() == ConnState::ContactsLoaded; }));
        const std::u16string text(8000, u'x');
        for (int i = 0; i < 2000; ++i) {
            client.session.EnqueueCommand(SendMessageCommand{u"100003", text});
        }
        // Wait until the sends stall: the byte count stops growing.
        std::int32_t sent = -1;
        ASSERT_TRUE(Eventually(
            [&] {
                const std::int32_t now = client.session.BytesSent();
                const bool stalled = now == sent && now > 0;
                sent = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                return stalled;
            },
            20000));
        ASSERT_LT(sent, 2000 * 8000) << "the server read everything";

        const auto start = std::chrono::steady_clock::now();
        client.session.CloseSession();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_TRUE(client.EndsIn(ConnState::Disconnected, 1000));
        // The worker is free again: a Disconnect queued behind the stalled sends runs.
        client.session.EnqueueCommand(DisconnectCommand{});
        EXPECT_TRUE(client.session.WaitUntil(
            [&] {
                int disconnects = 0;
                for (int c : client.session.Codes()) disconnects += c == 0 ? 1 : 0;
                return disconnects >= 3;  // two from CloseSession, one from the command
            },
            5000));
        release.store(true);
        server.Stop();
    }
    ExpectNothingLeaked();
}

TEST_F(FaultTest, FloodOfMessagesAndPresenceReportsIsStoredWhole) {
    const int messages = EnvCount("PELLOX_FLOOD_MESSAGES", 10000);
    constexpr int kSenders = 20;
    {
        // Frames in batches, each batch one write: a message from every sender in
        // turn, with a presence report between every two messages.
        Script flood;
        Bytes batch;
        int reports = 0;
        for (int i = 0; i < messages; ++i) {
            const std::string uin = std::to_string(200000 + i % kSenders);
            batch = Concat({batch, Message(uin, "flood " + std::to_string(i))});
            if (i % 2 == 0) {
                batch = Concat({batch, Snac(0x0003, 0x000B, UserInfo(uin, {StatusTlv(i % 4 == 0 ? 0x0001 : 0)}))});
                ++reports;
            }
            if (batch.size() > 32768 || i + 1 == messages) {
                flood.Send(batch);
                batch.clear();
            }
        }
        ScriptedServer server;
        AddSignedOn(server, flood);
        ASSERT_TRUE(server.Start());
        Client client;
        for (int s = 0; s < kSenders; ++s) {
            client.model.AddContact(Info(platform::LocalToWide(std::to_string(200000 + s)), u"Sender"), false);
        }
        client.Connect(server.AddressText());
        // A minute for the default size, more for the long runs.
        ASSERT_TRUE(Eventually([&] { return client.session.Messages().size() >= static_cast<std::size_t>(messages) + 2; },
                               std::max(60000, messages * 3)))
            << client.session.Messages().size() << " of " << messages;
        EXPECT_EQ(client.session.State(), ConnState::ContactsLoaded);
        // The last message is reported just before it is stored: let the receive
        // thread finish (no report, the state stays).
        client.session.Shutdown();
        for (int s = 0; s < kSenders; ++s) {
            const std::u16string uin = platform::LocalToWide(std::to_string(200000 + s));
            const std::vector<MessageEntry> stored = StoredHistory(client.dir.path(), uin);
            ASSERT_EQ(stored.size(), static_cast<std::size_t>((messages - s + kSenders - 1) / kSenders));
            for (std::size_t k = 0; k < stored.size(); ++k) {
                ASSERT_EQ(stored[k].text, u"flood " + platform::LocalToWide(std::to_string(s + k * kSenders)));
            }
            EXPECT_EQ(client.model.FindContact(uin)->Snapshot().unreadCount, stored.size());
        }
        EXPECT_GE(client.session.Statuses().size(), static_cast<std::size_t>(reports));
        std::printf("%d messages and %d presence reports pushed\n", messages, reports);
        server.Stop();
    }
    ExpectNothingLeaked();
}

}  // namespace
}  // namespace pellox::testing
