// Many sessions at once on the server's threads: message exchange among a dozen
// clients, sign-on churn of one UIN watched by a buddy, and details written to
// the accounts file by several sessions at once. Run under TSan too.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "platform/files.h"
#include "tests/tools/oscar_test_client.h"

namespace pellox::server::test {
namespace {

using ConcurrencyTest = ServerTest;

TEST_F(ConcurrencyTest, DozenSessionsExchangeMessagesConcurrently) {
    constexpr int kUsers = 12;
    constexpr int kEach = 20;  // messages each user sends, and so receives
    AccountStore accounts;
    for (int i = 0; i < kUsers; ++i) {
        Account a;
        a.uin = static_cast<Uin>(500000 + i);
        a.password = "pw" + std::to_string(i);
        a.nickname = "user" + std::to_string(i);
        for (int j = 0; j < kUsers; ++j) {
            if (j != i) a.buddies.push_back({static_cast<Uin>(500000 + j), static_cast<std::uint16_t>(a.buddies.size() + 1)});
        }
        accounts.Add(std::move(a));
    }
    StartServer(TestConfig(), std::move(accounts));

    std::latch allOnline(kUsers);
    std::latch allDone(kUsers);
    std::atomic<int> received{0};
    std::atomic<int> wrongSender{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kUsers; ++i) {
        threads.emplace_back([&, i] {
            std::unique_ptr<TestClient> client =
                SignOn(server, std::to_string(500000 + i), "pw" + std::to_string(i));
            allOnline.arrive_and_wait();
            if (!client) {
                allDone.arrive_and_wait();
                return;
            }
            for (int k = 1; k <= kEach; ++k) {
                int to = (i + k) % kUsers;
                client->SendSnac(0x0004, 0x0006, 0x00010006,
                                 MessagePayload(std::to_string(500000 + to), "from " + std::to_string(i)));
            }
            for (int got = 0; got < kEach; ++got) {
                std::optional<Snac> message = client->WaitSnac(0x0004, 0x0007, 10000);
                if (!message) break;
                PacketReader reader = message->Reader();
                UserInfoBlock sender;
                std::vector<TlvValue> tlvs;
                if (!reader.Skip(10) || !ParseUserInfo(reader, sender) || !ParseTlvs(reader, tlvs) ||
                    FindTlv(tlvs, 0x0002) == nullptr ||
                    FindTlv(tlvs, 0x0002)->value != MessageBlock("from " + std::to_string(std::stoi(sender.uin) - 500000))) {
                    ++wrongSender;
                }
                ++received;
            }
            allDone.arrive_and_wait();
            client.reset();  // everyone leaves at once
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(received.load(), kUsers * kEach);
    EXPECT_EQ(wrongSender.load(), 0);
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
}

TEST_F(ConcurrencyTest, SignOnChurnOfOneUinEndsWithItsDeparture) {
    ServerConfig config = TestConfig();
    config.signOnBurst = 100;  // the churn is the point here, not the sign-on limit
    StartServer(config);
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(boris);
    // Each round signs Alice on without waiting for any answer, so that newer
    // sign-ons replace older ones at every step of theirs.
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this] {
            for (int round = 0; round < 8; ++round) {
                LoginResult login = Login(server.AuthPort(), kAlice, "alice");
                const TlvValue* cookie = FindTlv(login.tlvs, 0x0006);
                TestClient alice;
                if (cookie == nullptr || !alice.Connect(server.BosPort())) {
                    ADD_FAILURE() << "login failed";
                    return;
                }
                alice.SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
                alice.SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(0x00010000));
                alice.SendSnac(0x0001, 0x0002, 0x02);
                alice.SendSnac(0x0013, 0x0007, 0x07);
                alice.SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, "churn"));
                alice.ReadFrame(round % 3 == 0 ? 0 : 20);
            }
        });
    }
    for (std::thread& t : threads) t.join();

    // Read Boris's presence news about Alice until it goes quiet: the last word
    // must be that she left, whatever order the sessions replaced each other in.
    std::uint16_t last = 0;
    while (std::optional<Snac> snac = boris->ReadSnac(800)) {
        if (snac->header.family == 0x0003 && PresenceUin(*snac) == kAlice) last = snac->header.subtype;
    }
    EXPECT_EQ(last, 0x000C);
    Drain(*boris, kBoris);  // and Boris is still served
}

// Each session's sets are written by its own reader thread, outside the server
// lock, in whatever order the threads get there: the file must end with each
// account's last set, never an older one written over a newer.
TEST_F(ConcurrencyTest, DetailsSetAtOnceEndInTheFileAsLastSet) {
    constexpr int kUsers = 4;
    constexpr int kSets = 10;
    TempDir dir;
    std::string accounts;
    for (int i = 0; i < kUsers; ++i) accounts += "[" + std::to_string(600000 + i) + "]\npassword=pw\n";
    dir.Write("accounts.txt", accounts);
    ASSERT_EQ(chmod(dir.File("accounts.txt").c_str(), 0600), 0);
    StartServer(ParseCommandLine({"--data-dir", dir.Path(), "--port-auth", "0", "--port-bos", "0"}).config);
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kUsers; ++i) {
        threads.emplace_back([&, i] {
            const std::string uin = std::to_string(600000 + i);
            std::unique_ptr<TestClient> client = SignOn(server, uin, "pw");
            for (int k = 0; client && k < kSets; ++k) {
                PacketBuffer basic;
                for (const std::string& text : {uin, std::string(), std::string(), std::string(), "city" + std::to_string(k)}) {
                    AppendMetaString(basic, text);
                }
                client->SendSnac(0x0015, 0x0002, 0x5E7, InfoPayload(static_cast<std::uint32_t>(600000 + i), 1, 0x03EA, basic));
            }
            for (int k = 0; client && k < kSets && client->WaitSnac(0x0015, 0x0003, 10000); ++k) ++answered;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(answered.load(), kUsers * kSets);
    server.Stop();  // every write has ended
    std::string file;
    ASSERT_TRUE(platform::ReadWholeFile(dir.File("accounts.txt"), file));
    for (int i = 0; i < kUsers; ++i) {
        const std::string uin = std::to_string(600000 + i);
        EXPECT_NE(file.find("[" + uin + "]\nnickname=" + uin + "\ncity=city" + std::to_string(kSets - 1) + "\npassword"),
                  std::string::npos)
            << file;
    }
}

}  // namespace
}  // namespace pellox::server::test
