#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace pellox::platform {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

TEST(Socket, LookupOfNumericAndLocalNames) {
    std::uint32_t addr = 0;
    ASSERT_TRUE(LookupHost("127.0.0.1", addr));
    EXPECT_EQ(addr, kLoopback);
    EXPECT_FALSE(LookupHost("", addr));
    EXPECT_FALSE(LookupHost("no-such-host.invalid", addr));
}

TEST(Socket, LoopbackExchangeAndPeerClose) {
    ASSERT_TRUE(StartSocketLibrary());
    SocketHandle listener = ListenTcp({kLoopback, 0});
    ASSERT_NE(listener, kNoSocket);
    std::uint16_t port = BoundPort(listener);
    ASSERT_NE(port, 0);

    std::thread server([&] {
        SocketHandle c = AcceptClient(listener);
        char buf[5];
        long got = 0;
        while (got < 5) {
            long n = ReceiveSome(c, buf + got, sizeof buf - static_cast<std::size_t>(got));
            if (n <= 0) break;
            got += n;
        }
        SendSome(c, buf, static_cast<std::size_t>(got));
        CloseSocket(c);
    });

    SocketHandle s = CreateTcpSocket();
    ASSERT_NE(s, kNoSocket);
    ASSERT_TRUE(ConnectSocket(s, {kLoopback, port}));
    ASSERT_EQ(SendSome(s, "hello", 5), 5);
    char buf[8] = {};
    long got = 0;
    while (got < 5) {
        long n = ReceiveSome(s, buf + got, 5 - static_cast<std::size_t>(got));
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), 0);  // the peer closed
    server.join();
    CloseSocket(s);
    CloseSocket(listener);
}

TEST(Socket, ShutdownWakesABlockedReceive) {
    SocketHandle listener = ListenTcp({kLoopback, 0});
    ASSERT_NE(listener, kNoSocket);
    SocketHandle s = CreateTcpSocket();
    ASSERT_TRUE(ConnectSocket(s, {kLoopback, BoundPort(listener)}));
    SocketHandle peer = AcceptClient(listener);

    long result = 99;
    std::thread reader([&] {
        char c;
        result = ReceiveSome(s, &c, 1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    ShutdownSocket(s);
    reader.join();
    EXPECT_LE(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    CloseSocket(s);
    CloseSocket(peer);
    CloseSocket(listener);
}

TEST(Socket, ConnectToAClosedPortFails) {
    SocketHandle listener = ListenTcp({kLoopback, 0});
    std::uint16_t port = BoundPort(listener);
    CloseSocket(listener);
    SocketHandle s = CreateTcpSocket();
    EXPECT_FALSE(ConnectSocket(s, {kLoopback, port}));
    CloseSocket(s);
}

}  // namespace
}  // namespace pellox::platform
