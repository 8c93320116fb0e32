// Crash safety of the stored files: a writer process is killed with SIGKILL at
// random moments while it appends history entries, adds contacts and rewrites the
// settings and the contact list, over and over on the same data directory. After
// every kill the files must load, the settings and the contact list must be a
// whole version the writer produced (never a torn or empty one), and every history
// entry whose append had returned must be in the history file, exactly once.
//
// Each writer starts the way the application does after a crash: it loads the
// settings, the contact list and the history as the last writer left them, torn
// tails included, and goes on appending.
//
// PELLOX_CRASH_ITERATIONS sets the number of kills (default 200).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/app_state.h"
#include "store/contact_list_file.h"
#include "store/message_history.h"
#include "tests/hardening/hardening_util.h"
#include "tests/store/store_test_util.h"

namespace pellox::testing {
namespace {

constexpr char16_t kProfile[] = u"123456789";
constexpr char16_t kFirstPeer[] = u"555";
// Kills per history file: a new peer then starts a new file, so that loading at
// start-up stays short however many kills are asked for.
constexpr int kKillsPerPeer = 25;

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string PeerOf(int kill) { return u"555" + Widen(std::to_string(kill / kKillsPerPeer)); }

// What the writer tells the parent, one record per completed step.
struct Report {
    char what;        // 'R' ready, 'H' history entry appended, 'C' contact list saved
    std::int32_t n;   // entry number, or number of contacts in the saved list
};

void Send(int fd, char what, std::int32_t n) {
    const Report r{what, n};
    (void)!::write(fd, &r, sizeof r);
}

// The text of entry n: a first line naming it and, for some entries, many lines
// more so that its write spans several pages and a kill can tear it.
std::u16string EntryText(std::int32_t n, std::mt19937& random) {
    std::u16string text = u"message " + Widen(std::to_string(n));
    const int extra = random() % 4 == 0 ? static_cast<int>(random() % 600) : 0;
    for (int i = 0; i < extra; ++i) text += u"\r\nline " + Widen(std::to_string(i)) + u" of the text";
    return text;
}

std::int32_t EntryNumber(const std::u16string& text) {
    const std::u16string head = u"message ";
    if (text.compare(0, head.size(), head) != 0) return -1;
    std::int32_t n = 0;
    std::size_t i = head.size();
    if (i >= text.size()) return -1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) n = n * 10 + (text[i] - u'0');
    return n;
}

// The contacts c1, c2 ... that writers add, in list order.
std::vector<std::u16string> NumberedContacts(const std::vector<ContactInfo>& contacts) {
    std::vector<std::u16string> out;
    for (const ContactInfo& c : contacts) {
        if (!c.uin.empty() && c.uin[0] == u'c') out.push_back(c.uin);
    }
    return out;
}
std::vector<std::u16string> NumberedContacts(const AppState& model) {
    std::vector<ContactInfo> infos;
    for (const ContactSnapshot& s : model.SnapshotContacts()) infos.push_back(s.info);
    return NumberedContacts(infos);
}

// The writer process: never returns.
[[noreturn]] void Writer(const std::string& dir, const std::u16string& peerUin, int fd,
                         std::int32_t firstEntry, unsigned seed) {
    std::mt19937 random(seed);
    AppState model(dir);
    model.ReloadAll();
    model.UpdateSettings([](Settings& s) {
        s.profile = kProfile;
        s.Password() = u"secret";
    });
    bool added = false;
    ContactPtr peer = model.FindOrAddContact(Info(peerUin, u"Peer"), added);
    std::shared_ptr<MessageHistory> history = model.GetHistory(peer);
    Send(fd, 'R', 0);
    for (std::int32_t n = firstEntry;; ++n) {
        history->Append(MessageEntry{EntryText(n, random), 1700000000 + n, MessageDirection::In});
        Send(fd, 'H', n);
        if (random() % 8 == 0) {
            // A new contact, then the settings and the list rewritten whole.
            model.UpdateSettings([&](Settings& s) { s.columns = 1 + n % 4; });
            const std::int32_t count = static_cast<std::int32_t>(NumberedContacts(model).size()) + 1;
            model.AddContact(Info(u"c" + Widen(std::to_string(count)), u"Contact"), false);
            if (model.SaveContacts()) Send(fd, 'C', count);
        }
    }
}

// The data directory lives in memory when /dev/shm exists: a killed process
// leaves the page cache exactly as a disk-backed one would, and the test is not
// slowed by the flushes of whole-file rewrites.
class MemoryDir {
public:
    MemoryDir() {
        char tmpl[] = "/dev/shm/pellox-crash-XXXXXX";
        char fallback[] = "/tmp/pellox-crash-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        if (made == nullptr) made = ::mkdtemp(fallback);
        if (made != nullptr) path_ = std::string(made) + "/";
    }
    ~MemoryDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

class CrashSafetyTest : public ::testing::Test {
protected:
    MemoryDir dir;
};

TEST_F(CrashSafetyTest, KilledWritersNeverLoseACompletedAppendOrTearAFile) {
    const int iterations = EnvCount("PELLOX_CRASH_ITERATIONS", 200);
    const unsigned seed = static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    {
        // The first version of the files, as a profile set up before any crash.
        AppState model(dir.path());
        model.UpdateSettings([](Settings& s) {
            s.profile = kProfile;
            s.Password() = u"secret";
        });
        model.AddContact(Info(kFirstPeer, u"Peer"), false);
        ASSERT_TRUE(model.SaveContacts());
    }

    std::set<std::int32_t> completed;  // entries whose append returned
    std::int32_t nextEntry = 0;
    std::int32_t savedContacts = 0;    // the most numbered contacts a save that returned true had
    std::set<std::int32_t> unreported;
    std::size_t checkedAppends = 0;

    for (int i = 0; i < iterations; ++i) {
        if (i % kKillsPerPeer == 0) completed.clear();  // a new peer, a new file
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            Writer(dir.path(), PeerOf(i), pipeFds[1], nextEntry, seed + static_cast<unsigned>(i));
        }
        ::close(pipeFds[1]);

        // Wait until the writer has loaded everything, then let it write a while.
        Report ready{};
        ASSERT_EQ(::read(pipeFds[0], &ready, sizeof ready), static_cast<ssize_t>(sizeof ready));
        ASSERT_EQ(ready.what, 'R');
        ::usleep(static_cast<useconds_t>(random() % 15000));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended by itself, status " << status;

        Report r{};
        while (::read(pipeFds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
            if (r.what == 'H') {
                completed.insert(r.n);
                nextEntry = std::max(nextEntry, r.n + 1);
            } else if (r.what == 'C') {
                savedContacts = std::max(savedContacts, r.n);
            }
        }
        ::close(pipeFds[0]);
        // An append that was cut short may have left part of its entry: the next
        // writer starts after it, so numbers never repeat.
        nextEntry += 1;

        // The settings are a whole file: the profile and its password are there.
        Settings settings;
        settings.Load(dir.path());
        ASSERT_EQ(settings.profile, kProfile) << "after kill " << i;
        ASSERT_EQ(settings.Password(), u"secret") << "after kill " << i;

        // The contact list is a whole version: every peer so far, and the numbered
        // contacts c1 .. ck in order, at least as many as the last list whose save
        // returned.
        std::vector<ContactInfo> contacts;
        ASSERT_TRUE(ReadContactListFile(dir / ContactListFileName(kProfile), contacts)) << "after kill " << i;
        ASSERT_FALSE(contacts.empty()) << "after kill " << i;
        EXPECT_EQ(contacts[0].uin, kFirstPeer);
        const std::vector<std::u16string> numbered = NumberedContacts(contacts);
        for (std::size_t k = 0; k < numbered.size(); ++k) {
            ASSERT_EQ(numbered[k], u"c" + Widen(std::to_string(k + 1))) << "after kill " << i;
        }
        ASSERT_GE(static_cast<std::int32_t>(numbered.size()), savedContacts) << "after kill " << i;

        // Every completed append to this peer's history is in its file, exactly once
        // and in order.
        MessageHistory history(dir.path());
        ASSERT_TRUE(history.Load(HistoryFileName(PeerOf(i)))) << "after kill " << i;
        std::map<std::int32_t, int> seen;
        std::int32_t previous = -1;
        for (const MessageEntry& e : history.Entries()) {
            const std::int32_t n = EntryNumber(e.text);
            if (n < 0) continue;
            ++seen[n];
            EXPECT_GT(n, previous) << "entries out of order after kill " << i;
            previous = n;
        }
        for (std::int32_t n : completed) {
            ASSERT_EQ(seen[n], 1) << "entry " << n << " after kill " << i;
        }
        // Entries whose append never returned (cut short by the kill, or killed
        // before it could report), each counted once.
        for (const auto& [n, times] : seen) {
            if (completed.count(n) == 0) unreported.insert(n);
        }
        checkedAppends += completed.size();
    }
    std::printf("%d writers killed, %zu checks of completed appends, %zu entries written by an "
                "append that never returned\n",
                iterations, checkedAppends, unreported.size());
    RecordProperty("kills", iterations);
    RecordProperty("completed_append_checks", static_cast<int>(checkedAppends));
}

}  // namespace
}  // namespace pellox::testing
