// The server's command line, its accounts file, its offline message file and the
// program as a whole (start-up line, signals).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <cstdio>
#include <unistd.h>


#include "tests/tools/oscar_test_client.h"
#include "tools/offline_store.h"

namespace pellox::server::test {
namespace {


CommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLineTest, DefaultsListenOnLoopbackAtTheUsualPorts) {
    CommandLine line = Parse({});
    ASSERT_EQ(line.action, CommandLine::Action::Run);
    EXPECT_EQ(line.config.bindAddress, 0x7F000001u);
    EXPECT_EQ(line.config.authPort, 5190);
    EXPECT_EQ(line.config.bosPort, 5191);
    EXPECT_TRUE(line.config.accountsFile.empty());
    EXPECT_TRUE(line.config.offlineFile.empty());
    EXPECT_FALSE(line.config.verbose);
}

TEST(CommandLineTest, OptionsAreReadAndBadOnesRefused) {
    CommandLine line = Parse({"--bind", "0.0.0.0", "--port-auth", "0", "--port-bos", "6000", "--verbose",
                              "--idle-timeout", "5", "--max-sessions", "10"});
    ASSERT_EQ(line.action, CommandLine::Action::Run) << line.error;
    EXPECT_EQ(line.config.bindAddress, 0u);
    EXPECT_EQ(line.config.authPort, 0);
    EXPECT_EQ(line.config.bosPort, 6000);
    EXPECT_TRUE(line.config.verbose);
    EXPECT_EQ(line.config.idleTimeoutMs, 5000);
    EXPECT_EQ(line.config.maxSessions, 10u);

    EXPECT_EQ(Parse({"--help"}).action, CommandLine::Action::Help);
    const std::vector<std::vector<std::string>> bad = {
        {"--bind", "localhost"},   {"--bind", "1.2.3"},          {"--bind", "256.1.1.1"},
        {"--bind", "1.2.3.4.5"},   {"--port-auth", "65536"},     {"--port-bos", "-1"},
        {"--port-auth"},           {"--port-auth", "5190", "--port-bos", "5190"},
        {"--idle-timeout", "0"},   {"--max-sessions", "0"},      {"--frobnicate"},
        {"--accounts", ""},
    };
    for (const auto& args : bad) {
        CommandLine refused = Parse(args);
        EXPECT_EQ(refused.action, CommandLine::Action::Error) << args[0];
        EXPECT_FALSE(refused.error.empty());
    }
}

TEST(CommandLineTest, DataDirAndAccountsPlaceTheFiles) {
    TempDir dir;
    CommandLine empty = Parse({"--data-dir", dir.Path() + "/"});
    EXPECT_TRUE(empty.config.accountsFile.empty()) << "no accounts.txt: the demo set";
    EXPECT_EQ(empty.config.offlineFile, dir.File("offline.txt"));

    dir.Write("accounts.txt", "[1]\npassword=x\n");
    CommandLine withFile = Parse({"--data-dir", dir.Path()});
    EXPECT_EQ(withFile.config.accountsFile, dir.File("accounts.txt"));

    CommandLine accounts = Parse({"--accounts", "/srv/icq/people.txt"});
    EXPECT_EQ(accounts.config.accountsFile, "/srv/icq/people.txt");
    EXPECT_EQ(accounts.config.offlineFile, "/srv/icq/offline.txt");
    EXPECT_EQ(Parse({"--accounts", "people.txt"}).config.offlineFile, "./offline.txt");
}

TEST(AccountsFileTest, ReadsSectionsBuddiesAndNicknames) {
    TempDir dir;
    dir.Write("accounts.txt",
              "# a comment before the first section\r\n"
              "[200001]\r\n"
              "password=secret word\r\n"
              "nickname = \xC0\xED\xFF\r\n"  // "Аня" in Windows-1251
              "buddies=200002, 200003;200001 junk 0200004 200002 999\r\n"
              "[abc]\r\n"
              "password=lost\r\n"
              "[200002]\r\n"
              "password=two\r\n"
              "colour=blue\r\n"
              "[200003]\r\n"
              "echo=1\r\n"
              "[200001]\r\n"
              "buddies=200003 200005\n");
    AccountStore store;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(store.LoadFile(dir.File("accounts.txt"), error, warnings)) << error;
    ASSERT_EQ(store.Size(), 3u);

    const Account* first = store.Find(200001);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->password, "secret word");
    EXPECT_EQ(first->nickname, "\xC0\xED\xFF");
    std::vector<Uin> buddies;
    for (const Buddy& b : first->buddies) buddies.push_back(b.uin);
    // Self, duplicates and what is not a UIN are left out; the repeated section adds.
    EXPECT_EQ(buddies, (std::vector<Uin>{200002, 200003, 999, 200005}));
    for (std::size_t i = 0; i < first->buddies.size(); ++i) EXPECT_EQ(first->buddies[i].itemId, i + 1);

    ASSERT_NE(store.Find(200003), nullptr);
    EXPECT_TRUE(store.Find(200003)->echo);
    EXPECT_EQ(store.WatchersOf(200003), (std::vector<Uin>{200001}));
    // "abc", "junk", "0200004" and the unknown key.
    EXPECT_EQ(warnings.size(), 4u);
}

TEST(AccountsFileTest, BuddyListsStopAtTheLimit) {
    TempDir dir;
    std::string list;
    for (std::size_t i = 0; i <= kMaxBuddies; ++i) list += std::to_string(300000 + i) + (i % 7 ? "," : ", 300000 ");
    dir.Write("accounts.txt", "[200001]\r\npassword=pw\r\nbuddies=" + list + "\r\n");
    AccountStore store;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(store.LoadFile(dir.File("accounts.txt"), error, warnings)) << error;
    const Account* account = store.Find(200001);
    ASSERT_NE(account, nullptr);
    // Repeats of 300000 are left out without using up the limit.
    ASSERT_EQ(account->buddies.size(), kMaxBuddies);
    for (std::size_t i = 0; i < kMaxBuddies; ++i) {
        EXPECT_EQ(account->buddies[i].uin, 300000 + i);
        EXPECT_EQ(account->buddies[i].itemId, i + 1);
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("more than 1000 buddies"), std::string::npos) << warnings[0];
}

TEST(AccountsFileTest, MissingOrEmptyFileIsAnError) {
    TempDir dir;
    AccountStore store;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_FALSE(store.LoadFile(dir.File("none.txt"), error, warnings));
    EXPECT_FALSE(error.empty());
    dir.Write("empty.txt", "password=x\n[not a uin]\n");
    error.clear();
    EXPECT_FALSE(store.LoadFile(dir.File("empty.txt"), error, warnings));
    EXPECT_FALSE(error.empty());
}

TEST(AccountsFileTest, UinTextIsStrict) {
    Uin uin = 0;
    EXPECT_TRUE(ParseUin("1", uin));
    EXPECT_TRUE(ParseUin("2147483647", uin));
    EXPECT_EQ(uin, 2147483647u);
    for (const char* bad : {"", "0", "012", "2147483648", "99999999999", "12a", " 12", "-5"}) {
        EXPECT_FALSE(ParseUin(bad, uin)) << bad;
    }
}

TEST(AccountsFileTest, ServerStartsFromTheFileAndRefusesABadOne) {
    TempDir dir;
    dir.Write("accounts.txt", "[300001]\npassword=pw\nnickname=Tom\nbuddies=300002\n[300002]\npassword=pw2\n");
    ServerConfig config = TestConfig();
    config.accountsFile = dir.File("accounts.txt");
    OscarServer server;
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    EXPECT_NE(FindTlv(Login(server.AuthPort(), "300001", "pw").tlvs, 0x0006), nullptr);
    EXPECT_EQ(FindTlv(Login(server.AuthPort(), "100001", "alice").tlvs, 0x0006), nullptr)
        << "the demo accounts are not there when a file is given";
    server.Stop();

    config.accountsFile = dir.File("missing.txt");
    EXPECT_FALSE(server.Start(config, error));
    EXPECT_NE(error.find("missing.txt"), std::string::npos);
}

TEST(ServerStartTest, BusyPortIsReported) {
    OscarServer first, second;
    std::string error;
    ASSERT_TRUE(first.Start(TestConfig(), error)) << error;
    ServerConfig clash = TestConfig();
    clash.bosPort = first.BosPort();
    EXPECT_FALSE(second.Start(clash, error));
    EXPECT_NE(error.find(std::to_string(first.BosPort())), std::string::npos);
    // The failed start left nothing behind that keeps a proper start from working.
    EXPECT_TRUE(second.Start(TestConfig(), error)) << error;
}

TEST(RoastTest, KnownBytesAndWrapAfterSixteen) {
    EXPECT_EQ(RoastPassword("alice"), std::string("\x92\x4A\xE8\xA7\x5C", 5));
    std::string seventeen(17, 'a');
    std::string roasted = RoastPassword(seventeen);
    EXPECT_EQ(roasted[16], roasted[0]) << "byte 16 uses table byte 0 again";
    EXPECT_EQ(RoastPassword(roasted), seventeen);
}

TEST(OfflineStoreTest, EscapingKeepsEveryByteOnOneLine) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    for (const std::string& text : {all, std::string(" leading blank"), std::string("\\x41 literal"),
                                    std::string("a\\"), std::string()}) {
        std::string escaped = OfflineStore::EscapeText(text);
        EXPECT_EQ(escaped.find_first_of("\r\n"), std::string::npos);
        if (!escaped.empty()) {
            EXPECT_NE(escaped[0], ' ');
        }
        EXPECT_EQ(OfflineStore::UnescapeText(escaped), text);
    }
}

TEST(OfflineStoreTest, PersistsBoundsAndRemovesByRecipient) {
    TempDir dir;
    std::string error;
    {
        OfflineStore store(dir.File("offline.txt"), 2);
        ASSERT_TRUE(store.Load(error)) << error;
        EXPECT_TRUE(store.Add(1, 2, 1000, " hi\r\nthere", error));
        EXPECT_TRUE(store.Add(1, 3, 1001, "second", error));
        EXPECT_FALSE(store.Add(1, 4, 1002, "third", error)) << "two per recipient at most";
        EXPECT_TRUE(store.Add(5, 2, 1003, std::string("cut\0here", 8), error));
        EXPECT_TRUE(error.empty()) << error;
    }
    OfflineStore store(dir.File("offline.txt"), 2);
    ASSERT_TRUE(store.Load(error)) << error;
    std::vector<OfflineMessage> forOne = store.For(1);
    ASSERT_EQ(forOne.size(), 2u);
    EXPECT_EQ(forOne[0].from, 2u);
    EXPECT_EQ(forOne[0].time, 1000);
    EXPECT_EQ(forOne[0].text, " hi\r\nthere");
    EXPECT_EQ(forOne[1].text, "second");
    ASSERT_EQ(store.For(5).size(), 1u);
    EXPECT_EQ(store.For(5)[0].text, "cut");

    // Ids of another recipient's messages do not delete them.
    EXPECT_EQ(store.Remove(5, {forOne[0].id, forOne[1].id}, error), 0u);
    EXPECT_EQ(store.Remove(1, {forOne[0].id}, error), 1u);
    EXPECT_TRUE(store.Add(1, 9, 1004, "room again", error));
    OfflineStore reread(dir.File("offline.txt"), 2);
    ASSERT_TRUE(reread.Load(error));
    ASSERT_EQ(reread.For(1).size(), 2u);
    EXPECT_EQ(reread.For(1)[0].text, "second");
    EXPECT_EQ(reread.For(1)[1].text, "room again");
    EXPECT_NE(reread.For(1)[0].id, reread.For(1)[1].id);
}

TEST(OfflineStoreTest, HandEditedFileIsRepaired) {
    TempDir dir;
    dir.Write("offline.txt",
              "[message]\nid=4\nto=10\nfrom=11\ntext=one\n"
              "[message]\nid=4\nto=10\nfrom=12\ntext=two\n"   // the same id again
              "[message]\nid=5\nto=10\ntext=no sender\n"
              "[other]\nto=10\nfrom=11\n");
    OfflineStore store(dir.File("offline.txt"), 100);
    std::string error;
    ASSERT_TRUE(store.Load(error)) << error;
    std::vector<OfflineMessage> messages = store.For(10);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].id, messages[1].id);
    EXPECT_EQ(store.Remove(10, {messages[1].id}, error), 1u);
    ASSERT_EQ(store.For(10).size(), 1u);
    EXPECT_EQ(store.For(10)[0].text, "one");
}

TEST(OfflineStoreTest, UnwritableFileKeepsTheMessageAndSaysSo) {
    OfflineStore store("/nonexistent-dir-for-pellox/offline.txt", 10);
    std::string error;
    ASSERT_TRUE(store.Load(error));
    EXPECT_TRUE(store.Add(1, 2, 3, "kept", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(store.For(1).size(), 1u);
}

// Runs the program with free ports, reads its start-up line, signs on through
// it and stops it with SIGTERM.
TEST(ProgramTest, PrintsItsPortsAndStopsOnSigterm) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(PELLOX_SERVER_PROGRAM, PELLOX_SERVER_PROGRAM, "--port-auth", "0", "--port-bos", "0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);

    unsigned authPort = 0, bosPort = 0;
    int fields = std::sscanf(line.c_str(), "pellox-server listening auth 127.0.0.1:%u bos 127.0.0.1:%u",
                             &authPort, &bosPort);
    EXPECT_EQ(fields, 2) << line;
    if (fields == 2) {
        LoginResult login = Login(static_cast<std::uint16_t>(authPort), kAlice, "alice");
        const TlvValue* address = FindTlv(login.tlvs, 0x0005);
        ASSERT_NE(address, nullptr);
        EXPECT_EQ(address->Text(), "127.0.0.1:" + std::to_string(bosPort));
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace pellox::server::test
