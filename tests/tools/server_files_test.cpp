// The server's command line, its accounts file, its offline message file and the
// program as a whole (start-up line, signals).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <unistd.h>


#include "tests/tools/oscar_test_client.h"
#include "platform/files.h"
#include "tools/offline_store.h"

namespace pellox::server::test {
namespace {


CommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLineTest, DefaultsListenOnLoopbackAtTheUsualPorts) {
    CommandLine line = Parse({});
    ASSERT_EQ(line.action, CommandLine::Action::Run);
    EXPECT_EQ(platform::FormatAddress(line.config.bindAddress), "127.0.0.1");
    EXPECT_EQ(line.config.authPort, 5190);
    EXPECT_EQ(line.config.bosPort, 5191);
    EXPECT_TRUE(line.config.accountsFile.empty());
    EXPECT_TRUE(line.config.offlineFile.empty());
    EXPECT_FALSE(line.config.verbose);
}

TEST(CommandLineTest, OptionsAreReadAndBadOnesRefused) {
    CommandLine line = Parse({"--bind", "0.0.0.0", "--port-auth", "0", "--port-bos", "6000", "--verbose",
                              "--idle-timeout", "5", "--max-sessions", "10", "--tls-port", "5193", "--tls-cert",
                              "c.pem", "--tls-key", "k.pem"});
    ASSERT_EQ(line.action, CommandLine::Action::Run) << line.error;
    EXPECT_EQ(platform::FormatAddress(line.config.bindAddress), "0.0.0.0");
    EXPECT_EQ(platform::FormatAddress(Parse({"--bind", "::1"}).config.bindAddress), "::1");
    EXPECT_EQ(line.config.authPort, 0);
    EXPECT_EQ(line.config.bosPort, 6000);
    EXPECT_TRUE(line.config.verbose);
    EXPECT_EQ(line.config.idleTimeoutMs, 5000);
    EXPECT_EQ(line.config.maxSessions, 10u);
    EXPECT_TRUE(line.config.tls);
    EXPECT_EQ(line.config.tlsPort, 5193);
    EXPECT_EQ(line.config.tlsCertificateFile, "c.pem");
    EXPECT_EQ(line.config.tlsKeyFile, "k.pem");

    EXPECT_EQ(Parse({"--help"}).action, CommandLine::Action::Help);
    const std::vector<std::vector<std::string>> bad = {
        {"--bind", "localhost"},   {"--bind", "1.2.3"},          {"--bind", "256.1.1.1"},
        {"--bind", "1.2.3.4.5"},   {"--bind", "[::1]"},          {"--port-auth", "65536"},     {"--port-bos", "-1"},
        {"--port-auth"},           {"--port-auth", "5190", "--port-bos", "5190"},
        {"--idle-timeout", "0"},   {"--max-sessions", "0"},      {"--frobnicate"},
        {"--accounts", ""},
        {"--tls-port", "0"},                      // no certificate and no data directory for one
        {"--tls-port", "0", "--tls-cert", "c.pem", "--data-dir", "/tmp"},  // a certificate without its key
        {"--tls-cert", "c.pem", "--tls-key", "k.pem"},                     // no TLS port for them
        {"--tls-port", "5191", "--data-dir", "/tmp"},                      // the messaging port's
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
    EXPECT_EQ(withFile.config.dataDirectory, dir.Path()) << "where a self-signed TLS certificate is kept";

    CommandLine accounts = Parse({"--accounts", "/srv/icq/people.txt"});
    EXPECT_EQ(accounts.config.accountsFile, "/srv/icq/people.txt");
    EXPECT_TRUE(accounts.config.offlineFile.empty()) << "offline.txt lives in the data directory only";
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

    // A copy finds its own accounts, also once the original is gone; an added
    // account is found, one added again replaces it.
    auto original = std::make_unique<AccountStore>(store);
    AccountStore copy(*original);
    copy = *original;
    original.reset();
    ASSERT_NE(copy.Find(200001), nullptr);
    EXPECT_NE(copy.Find(200001), store.Find(200001));
    EXPECT_EQ(copy.Find(200001)->password, "secret word");
    Account added;
    added.uin = 200009;
    added.nickname = "first";
    copy.Add(added);
    added.nickname = "second";
    copy.Add(added);
    ASSERT_NE(copy.Find(200009), nullptr);
    EXPECT_EQ(copy.Find(200009)->nickname, "second");
    EXPECT_EQ(store.Find(200009), nullptr);
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

// A FIFO in place of a data file once held start-up in open() for ever, deaf
// to SIGTERM. Every data file must be a regular file, and is opened without
// waiting.
TEST(ServerStartTest, ADataFileThatIsNotARegularFileIsRefusedAtOnce) {
    for (const std::string name : {"offline.txt", "accounts.txt"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        ASSERT_EQ(mkfifo(dir.File(name).c_str(), 0600), 0);
        CommandLine line = ParseCommandLine({"--data-dir", dir.Path(), "--port-auth", "0", "--port-bos", "0", "--proxy-port", "0"});
        OscarServer server;
        std::string error;
        std::future<bool> started = std::async(std::launch::async, [&] { return server.Start(line.config, error); });
        if (started.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "start-up waits on the FIFO";
            // A writer that comes and goes lets the waiting open and read end.
            const int writer = open(dir.File(name).c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) close(writer);
            started.wait();
            continue;
        }
        EXPECT_FALSE(started.get());
        EXPECT_NE(error.find(dir.File(name) + " is not a regular file"), std::string::npos) << error;
    }
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

// Each change is appended to the file, not a rewrite of the whole store; a record
// a crash cut short is dropped at load, and the character set is kept.
TEST(OfflineStoreTest, ChangesAreAppendedAndATornRecordIsDropped) {
    TempDir dir;
    const std::string path = dir.File("offline.txt");
    OfflineLimits limits;
    limits.maxStoreBytes = 24;
    std::string error;
    {
        OfflineStore store(path, limits);
        ASSERT_TRUE(store.Load(error));
        ASSERT_TRUE(store.Add(1, 2, 1000, "first", error)) << error;
        platform::FileStatus before, after;
        ASSERT_TRUE(platform::PathStatus(path, before));
        ASSERT_EQ(store.Stage(1, 3, 1001, kCharsetUcs2, "\xE6\x97\xA5\xE6\x9C\xAC"), OfflineRefusal::None);
        ASSERT_TRUE(store.Flush(error)) << error;
        EXPECT_EQ(store.Remove(1, {store.For(1)[0].id}, error), 1u);
        ASSERT_TRUE(platform::PathStatus(path, after));
        EXPECT_EQ(after.inode, before.inode) << "the file was rewritten, not appended to";
        EXPECT_EQ(store.Stage(1, 4, 1002, 0, std::string(20, 'x')), OfflineRefusal::StoreFull);
    }
    std::ofstream(path, std::ios::app | std::ios::binary) << "[message]\r\nid=9\r\nto=1\r\nfrom=5\r\ntext=cut";
    OfflineStore reread(path, limits);
    ASSERT_TRUE(reread.Load(error));
    ASSERT_EQ(reread.For(1).size(), 1u);
    EXPECT_EQ(reread.For(1)[0].from, 3u);
    EXPECT_EQ(reread.For(1)[0].charset, kCharsetUcs2);
    EXPECT_EQ(reread.For(1)[0].text, "\xE6\x97\xA5\xE6\x9C\xAC");
}

// What a file holds is held to the limits of new messages, in file order, and
// what a delete record frees counts again: a line of 100 MB once loaded whole.
// What is skipped is named in one warning.
TEST(OfflineStoreTest, LoadKeepsToTheStoresLimits) {
    TempDir dir;
    const OfflineLimits limits{2, 16, 24, 40};  // per recipient, one text, per recipient, all
    std::string file = "[offline]\r\nversion=2\r\n";
    int id = 0;
    auto message = [&](Uin to, const std::string& text) {
        file += "[message]\r\nid=" + std::to_string(++id) + "\r\nto=" + UinText(to) +
                "\r\nfrom=100001\r\ntime=1\r\ntext=" + text + "\r\nend=1\r\n";
    };
    message(100002, std::string(10 * 1024 * 1024, 'x'));  // a line far past any message
    message(100002, std::string(17, 'y'));                // one byte past a message
    message(100002, "one");
    message(100002, "two");
    message(100002, "three");                             // a third for one UIN
    message(100003, std::string(16, 'a'));
    message(100003, std::string(9, 'b'));                 // past 24 bytes for one UIN
    message(100004, std::string(16, 'c'));
    message(100005, "zzz");                               // past 40 bytes in all
    file += "[delete]\r\nid=3\r\nend=1\r\n";
    message(100002, "four");
    dir.Write("offline.txt", file);

    OfflineStore store(dir.File("offline.txt"), limits);
    std::string error, warning;
    ASSERT_TRUE(store.Load(error, warning)) << error;
    ASSERT_EQ(store.For(100002).size(), 2u);
    EXPECT_EQ(store.For(100002)[0].text, "two");
    EXPECT_EQ(store.For(100002)[1].text, "four");
    EXPECT_EQ(store.For(100003).size(), 1u);
    EXPECT_EQ(store.For(100004).size(), 1u);
    EXPECT_EQ(store.For(100005).size(), 0u);
    EXPECT_EQ(store.Bytes(), 3u + 4u + 16u + 16u);
    EXPECT_NE(warning.find("5 offline messages"), std::string::npos) << warning;
}

TEST(OfflineStoreTest, UnwritableFileKeepsTheMessageAndSaysSo) {
    OfflineStore store("/nonexistent-dir-for-pellox/offline.txt", 10);
    std::string error;
    ASSERT_TRUE(store.Load(error));
    EXPECT_TRUE(store.Add(1, 2, 3, "kept", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(store.For(1).size(), 1u);
}

// The program run with these options, its standard output and error on pipes.
struct Program {
    explicit Program(const std::vector<std::string>& options) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
            std::vector<char*> argv{const_cast<char*>(PELLOX_SERVER_PROGRAM)};
            for (const std::string& o : options) argv.push_back(const_cast<char*>(o.c_str()));
            argv.push_back(nullptr);
            execv(PELLOX_SERVER_PROGRAM, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        stdoutFd = out[0];
        stderrFd = err[0];
    }
    ~Program() {
        Stop();
        close(stdoutFd);
        close(stderrFd);
    }
    // The start-up line, and with a TLS port the fingerprint line; false (and
    // ports 0) when the program did not print them.
    bool ReadPorts() {
        const int ports = std::sscanf(ReadLine().c_str(),
                                      "pellox-server listening auth %*[0-9.]:%hu bos %*[0-9.]:%hu tls %*[0-9.]:%hu",
                                      &authPort, &bosPort, &tlsPort);
        if (ports != 3) return ports == 2;
        const std::string line = ReadLine();
        const std::string head = "pellox-server tls fingerprint ";
        if (line.rfind(head, 0) == 0) fingerprint = line.substr(head.size());
        return !fingerprint.empty();
    }
    std::string ReadLine() {
        std::string line;
        char c = 0;
        while (read(stdoutFd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // SIGTERM, then SIGKILL if it has not ended within five seconds; the exit status.
    int Stop() {
        if (pid <= 0) return status;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50 * 1000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
        }
        pid = 0;
        return status;
    }
    std::string ReadStderr() {
        std::string all;
        char buffer[4096];
        for (long n; (n = read(stderrFd, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }
    pid_t pid = -1;
    int stdoutFd = -1, stderrFd = -1, status = -1;
    std::uint16_t authPort = 0, bosPort = 0, tlsPort = 0;
    std::string fingerprint;
};

// Runs the program with free ports, reads its start-up line, signs on through
// it and stops it with SIGTERM.
TEST(ProgramTest, PrintsItsPortsAndStopsOnSigterm) {
    Program program({"--port-auth", "0", "--port-bos", "0", "--proxy-port", "0"});
    ASSERT_TRUE(program.ReadPorts());
    LoginResult login = Login(program.authPort, kAlice, "alice");
    const TlvValue* address = FindTlv(login.tlvs, 0x0005);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(address->Text(), "127.0.0.1:" + std::to_string(program.bosPort));
    const int status = program.Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// With --tls-port and no certificate files the program makes a self-signed
// certificate in its data directory and prints its fingerprint; a client that
// pins it logs in (MD5) over TLS, is sent to the TLS port for messaging and
// signs on there. The next start presents the same certificate.
TEST(ProgramTest, TlsPortServesBothRolesWithThePrintedFingerprint) {
    TempDir dir;
    std::string first;
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        Program program({"--port-auth", "0", "--port-bos", "0", "--proxy-port", "0", "--tls-port", "0", "--data-dir", dir.Path()});
        ASSERT_TRUE(program.ReadPorts());
        if (start == 0) first = program.fingerprint;
        EXPECT_EQ(program.fingerprint, first) << "the certificate was not kept";

        TestClient login;
        ASSERT_TRUE(login.ConnectTls(program.tlsPort, program.fingerprint)) << login.tlsOutcome.reason;
        LoginResult result = Login(login, kAlice, "alice", LoginKind::Md5);
        const TlvValue* address = FindTlv(result.tlvs, 0x0005);
        const TlvValue* cookie = FindTlv(result.tlvs, 0x0006);
        ASSERT_TRUE(address && cookie);
        EXPECT_EQ(address->Text(), "127.0.0.1:" + std::to_string(program.tlsPort));

        TestClient messaging;
        ASSERT_TRUE(messaging.ConnectTls(program.tlsPort, program.fingerprint));
        ASSERT_TRUE(messaging.ReadFrame());
        messaging.SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
        std::optional<Snac> families = messaging.ReadSnac();
        ASSERT_TRUE(families);
        EXPECT_EQ(families->header.subtype, 0x0003);
        program.Stop();
        EXPECT_EQ(program.ReadStderr().find("made a self-signed") != std::string::npos, start == 0);
    }
}

// Beyond loopback the demo accounts (published passwords) are refused, and a
// server started with an accounts file warns of clear text and of a file other
// users can read.
TEST(ProgramTest, BeyondLoopbackNeedsAnAccountsFileAndWarns) {
    Program demo({"--bind", "0.0.0.0", "--port-auth", "0", "--port-bos", "0", "--proxy-port", "0"});
    EXPECT_FALSE(demo.ReadPorts());
    const int status = demo.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(demo.ReadStderr().find("needs an accounts file"), std::string::npos);

    TempDir dir;
    dir.Write("accounts.txt", "[100001]\npassword=long-and-secret\n");
    chmod(dir.File("accounts.txt").c_str(), 0644);
    Program named({"--bind", "0.0.0.0", "--port-auth", "0", "--port-bos", "0", "--proxy-port", "0", "--accounts", dir.File("accounts.txt")});
    EXPECT_TRUE(named.ReadPorts());
    named.Stop();
    const std::string warnings = named.ReadStderr();
    EXPECT_NE(warnings.find("clear text"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("chmod 600"), std::string::npos) << warnings;
}

// Peer bytes reach the log escaped; and a standard error nobody reads (a full
// pipe) once froze every session, since the log was written under the server
// lock.
TEST(ProgramTest, LogIsEscapedAndAStalledStandardErrorHoldsNothingUp) {
    Program program({"--port-auth", "0", "--port-bos", "0", "--proxy-port", "0", "--verbose"});
    ASSERT_TRUE(program.ReadPorts());
    EXPECT_EQ(FindTlv(Login(program.authPort, "\x1B[2J\xCE", "x").tlvs, 0x0006), nullptr);
    std::string log;
    char buffer[4096];
    while (log.find("login refused") == std::string::npos) {
        long n = read(program.stderrFd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        log.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE(log.find("'\\x1B[2J\\xCE'"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1B'), std::string::npos);

    // From here on nobody reads standard error: far more log than a pipe holds.
    for (int i = 0; i < 1500; ++i) {
        TestClient client;
        ASSERT_TRUE(client.Connect(program.authPort));
        (void)client.ReadFrame(1000);
    }
    LoginResult login = Login(program.authPort, kAlice, "alice");
    EXPECT_NE(FindTlv(login.tlvs, 0x0006), nullptr) << "a session waited for the log";
}

}  // namespace
}  // namespace pellox::server::test
