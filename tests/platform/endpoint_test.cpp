#include "platform/endpoint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace pellox::platform {
namespace {

using std::chrono::steady_clock;
constexpr std::uint16_t kDefault = 5190;

IpAddress Address(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, address)) << text;
    return address;
}

TEST(Endpoint, ParseHostPortTable) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"login.example.org", true, "login.example.org", kDefault},
        {"login.example.org:5193", true, "login.example.org", 5193},
        {"  login.example.org:443 ", true, "login.example.org", 443},
        {"1.2.3.4", true, "1.2.3.4", kDefault},
        {"1.2.3.4:1", true, "1.2.3.4", 1},
        {"::1", true, "::1", kDefault},
        {"2001:db8::5", true, "2001:db8::5", kDefault},
        {"fe80::1%1", true, "fe80::1%1", kDefault},
        {"[::1]", true, "::1", kDefault},
        {"[::1]:5193", true, "::1", 5193},
        {"[2001:db8::5]:65535", true, "2001:db8::5", 65535},
        {"", false, "", 0},
        {"   ", false, "", 0},
        {":5190", false, "", 0},
        {"host:", false, "", 0},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:123456", false, "", 0},
        {"host:12a", false, "", 0},
        {"host:+1", false, "", 0},
        {"ho st:5190", false, "", 0},
        {"host:5190:1", false, "", 0},  // several colons, yet no IPv6 literal
        {"a:b:c", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]5190", false, "", 0},
        {"[::1]:", false, "", 0},
        {"[]:5190", false, "", 0},
        {"[1.2.3.4]:5190", false, "", 0},  // brackets are for IPv6 only
        {"[host]:5190", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        HostPort parsed{"untouched", 7};
        ASSERT_EQ(ParseHostPort(c.text, kDefault, parsed), c.ok);
        if (c.ok) {
            EXPECT_EQ(parsed.host, c.host);
            EXPECT_EQ(parsed.port, c.port);
        } else {
            EXPECT_EQ(parsed.host, "untouched");
            EXPECT_EQ(parsed.port, 7);
        }
    }
}

TEST(Endpoint, AddressLiteralsTheirKindAndNotation) {
    struct Case {
        const char* text;
        bool parses;
        bool v6;
        bool loopbackOrUnspecified;
        const char* formatted;  // with port 5190
    };
    const Case cases[] = {
        {"127.0.0.1", true, false, true, "127.0.0.1:5190"},
        {"127.255.0.9", true, false, true, "127.255.0.9:5190"},
        {"0.0.0.0", true, false, true, "0.0.0.0:5190"},
        {"10.0.0.1", true, false, false, "10.0.0.1:5190"},
        {"128.0.0.1", true, false, false, "128.0.0.1:5190"},
        {"1.0.0.127", true, false, false, "1.0.0.127:5190"},
        {"::1", true, true, true, "[::1]:5190"},
        {"::", true, true, true, "[::]:5190"},
        {"::ffff:127.0.0.1", true, true, true, "[::ffff:127.0.0.1]:5190"},
        {"::ffff:0.0.0.0", true, true, true, "[::ffff:0.0.0.0]:5190"},
        {"::ffff:10.0.0.1", true, true, false, "[::ffff:10.0.0.1]:5190"},
        {"::2", true, true, false, "[::2]:5190"},
        {"::1:0:0:1", true, true, false, "[::1:0:0:1]:5190"},
        {"2001:DB8::1", true, true, false, "[2001:db8::1]:5190"},
        {"fe80::1%3", true, true, false, "[fe80::1%3]:5190"},
        {"127.1", false, false, false, ""},  // only the four-part form
        {"1.2.3.4.5", false, false, false, ""},
        {"localhost", false, false, false, ""},
        {"::g", false, false, false, ""},
        {"", false, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        IpAddress address;
        ASSERT_EQ(ParseIpAddress(c.text, address), c.parses);
        if (!c.parses) continue;
        EXPECT_EQ(address.v6, c.v6);
        const Endpoint endpoint{address, kDefault};
        EXPECT_EQ(IsLoopbackOrUnspecified(endpoint), c.loopbackOrUnspecified);
        EXPECT_EQ(FormatEndpoint(endpoint), c.formatted);
    }
    EXPECT_EQ(FromIpv4({0x7F000001, 5190}), (Endpoint{Address("127.0.0.1"), 5190}));
}

TEST(Endpoint, ResolveAllGivesEachAddressOnce) {
    std::vector<IpAddress> addresses;
    ASSERT_TRUE(ResolveAll("127.0.0.1", addresses));
    EXPECT_EQ(addresses, std::vector<IpAddress>{Address("127.0.0.1")});
    ASSERT_TRUE(ResolveAll("::1", addresses));
    EXPECT_EQ(addresses, std::vector<IpAddress>{Address("::1")});
    ASSERT_TRUE(ResolveAll("localhost", addresses));
    for (const IpAddress& a : addresses)
        EXPECT_TRUE(IsLoopbackOrUnspecified(a)) << FormatAddress(a);
    addresses = {Address("10.0.0.1")};
    EXPECT_FALSE(ResolveAll("no-such-host.invalid", addresses));
    EXPECT_FALSE(ResolveAll("", addresses));
    EXPECT_EQ(addresses.size(), 1u);  // untouched
}

// A listener whose queue of unaccepted connections is full: the system drops
// further connection requests, so a connect to it stays unanswered.
struct StalledListener {
    explicit StalledListener(std::uint16_t port = 0)
        : listener(ListenTcp(Endpoint{Address("127.0.0.1"), port}, 0)) {
        if (listener == kNoSocket) return;
        filler = CreateTcpSocket();
        if (!ConnectSocket(filler, {0x7F000001, BoundPort(listener)})) {
            CloseSocket(listener);
            listener = kNoSocket;
        }
    }
    ~StalledListener() {
        CloseSocket(filler);
        CloseSocket(listener);
    }
    std::uint16_t Port() const { return BoundPort(listener); }

    SocketHandle listener;
    SocketHandle filler = kNoSocket;
};

steady_clock::time_point Later() {
    return steady_clock::now() + std::chrono::seconds(30);
}

TEST(Endpoint, ConnectFirstTakesTheFirstAddressThatAccepts) {
    const SocketHandle listener = ListenTcp({0x7F000001, 0});
    ASSERT_NE(listener, kNoSocket);
    const std::uint16_t port = BoundPort(listener);

    // Nothing listens on ::1 at that port (or there is no IPv6 at all): refused at
    // once, and the IPv4 address gets its turn.
    Endpoint reached;
    const SocketHandle s =
        ConnectFirst({Address("::1"), Address("127.0.0.1")}, port, Later(), nullptr, &reached);
    ASSERT_NE(s, kNoSocket);
    EXPECT_EQ(reached, (Endpoint{Address("127.0.0.1"), port}));
    const SocketHandle peer = AcceptClient(listener);
    ASSERT_NE(peer, kNoSocket);
    ASSERT_EQ(SendSome(s, "x", 1), 1);  // a blocking socket, connected
    char c = 0;
    EXPECT_EQ(ReceiveSome(peer, &c, 1), 1);
    CloseSocket(peer);
    CloseSocket(s);
    CloseSocket(listener);

    EXPECT_EQ(ConnectFirst({Address("127.0.0.1")}, port, Later()), kNoSocket);  // now closed
    EXPECT_EQ(ConnectFirst({}, port, Later()), kNoSocket);
}

TEST(Endpoint, AnUnansweredAddressDoesNotHoldUpTheNext) {
    const SocketHandle v6 = ListenTcp(Endpoint{Address("::1"), 0});
    if (v6 == kNoSocket) GTEST_SKIP() << "no IPv6 loopback here";
    const std::uint16_t port = BoundPort(v6);
    StalledListener stalled(port);
    if (stalled.listener == kNoSocket) {
        CloseSocket(v6);
        GTEST_SKIP() << "port " << port << " is taken on 127.0.0.1";
    }
    Endpoint reached;
    const SocketHandle s =
        ConnectFirst({Address("127.0.0.1"), Address("::1")}, port, Later(), nullptr, &reached);
    EXPECT_NE(s, kNoSocket);
    EXPECT_EQ(reached, (Endpoint{Address("::1"), port}));
    CloseSocket(s);
    CloseSocket(v6);
}

TEST(Endpoint, ConnectFirstEndsAtTheDeadlineOrWhenCancelled) {
    StalledListener stalled;
    ASSERT_NE(stalled.listener, kNoSocket);
    const std::vector<IpAddress> target{Address("127.0.0.1")};

    EXPECT_EQ(
        ConnectFirst(target, stalled.Port(), steady_clock::now() + std::chrono::milliseconds(50)),
        kNoSocket);

    ConnectCanceller canceller;
    std::thread cancel([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        canceller.Cancel();
    });
    EXPECT_EQ(ConnectFirst(target, stalled.Port(), Later(), &canceller), kNoSocket);
    cancel.join();
    EXPECT_TRUE(canceller.Cancelled());
    // Latched: a later attempt with it does not even start.
    const SocketHandle open = ListenTcp({0x7F000001, 0});
    EXPECT_EQ(ConnectFirst(target, BoundPort(open), Later(), &canceller), kNoSocket);
    CloseSocket(open);
}

TEST(Endpoint, PeerEndpointOfBothFamilies) {
    for (const char* text : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(text);
        const SocketHandle listener = ListenTcp(Endpoint{Address(text), 0});
        if (listener == kNoSocket && std::string(text) == "::1")
            GTEST_SKIP() << "no IPv6 loopback here";
        ASSERT_NE(listener, kNoSocket);
        const SocketHandle s = ConnectFirst({Address(text)}, BoundPort(listener), Later());
        ASSERT_NE(s, kNoSocket);
        Endpoint peer;
        ASSERT_TRUE(PeerEndpoint(s, peer));
        EXPECT_EQ(peer, (Endpoint{Address(text), BoundPort(listener)}));
        CloseSocket(s);
        CloseSocket(listener);
    }
}

}  // namespace
}  // namespace pellox::platform
