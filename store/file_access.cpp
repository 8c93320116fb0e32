#include "store/file_access.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "net/text_encoding.h"
#include "platform/file_watch.h"
#include "platform/files.h"
#include "platform/thread.h"

namespace pellox {

// What the table keeps of a path. `held` is guarded by the table's lock. The rest
// is touched by the holder of the path, or under the table's lock while nobody
// holds the path (an append to another path closing this one's descriptor).
struct PathLock::State {
    bool held = false;
    // Holders and waiters; with no user and no kept descriptor the entry goes.
    int users = 0;
    const std::string* key = nullptr;  // the entry's key in the table
    // The descriptor AppendToFile keeps open between appends, never locked while
    // kept; whether it can be read; which file it is (device and inode, fixed for
    // as long as it is open); the fork count of the process that opened it.
    platform::File appendFile;
    bool appendReadable = false;
    platform::FileStatus appendIdentity;
    unsigned appendForks = 0;
    // Guarded by the watch's lock: the kept file's watch and its directory's (-1:
    // none) in the watch instance `watchInstance`, and whether anything but this
    // process's appends may have changed the file since the last one ended.
    int fileWatch = -1;
    int directoryWatch = -1;
    unsigned watchInstance = 0;
    bool changed = true;
    // Whether the last append through the watched descriptor wrote up to a line's end.
    bool endsLine = false;
};

namespace {

// The paths in use (held or waited for) and the paths whose append descriptor is
// kept. Any stranger can make the store touch a new history file, so an entry goes
// as soon as neither holds: the table does not grow with every sender ever seen.
struct HeldPaths {
    std::mutex lock;
    std::condition_variable released;
    std::map<std::string, PathLock::State, std::less<>> paths;
    // The entries whose appendFile is open, least recently appended first.
    std::vector<PathLock::State*> kept;
};

HeldPaths& Paths() {
    static HeldPaths paths;
    return paths;
}

// Removes the entry when nobody uses it and it keeps no descriptor. Requires the
// table's lock.
void ForgetIfUnused(HeldPaths& paths, PathLock::State& state) {
    if (state.users == 0 && !state.appendFile.IsOpen()) paths.paths.erase(*state.key);
}

std::atomic<void (*)(const std::string&)> g_beforeReplace{nullptr};

// Tries `take` until it succeeds, fails otherwise than with EWOULDBLOCK, or
// kLockPatience has passed.
bool TakePatiently(const std::function<bool()>& take) {
    if (take()) return true;  // nearly always: the clock is read only to wait
    const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
    for (;;) {
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
        platform::SleepMs(2);
        if (take()) return true;
    }
}

}  // namespace

bool LockPatiently(platform::File& file, bool exclusive) {
    return TakePatiently([&] { return file.Lock(exclusive, /*wait=*/false); });
}

PathLock::PathLock(std::string_view path) {
    HeldPaths& paths = Paths();
    std::unique_lock lock(paths.lock);
    auto it = paths.paths.find(path);
    if (it == paths.paths.end()) {
        it = paths.paths.emplace(std::string(path), State()).first;
        it->second.key = &it->first;
    }
    State& state = it->second;  // map entries never move; a user keeps it
    ++state.users;
    paths.released.wait(lock, [&] { return !state.held; });
    state.held = true;
    state_ = &state;
}

PathLock::~PathLock() {
    HeldPaths& paths = Paths();
    {
        std::lock_guard lock(paths.lock);
        state_->held = false;
        --state_->users;
        ForgetIfUnused(paths, *state_);
    }
    paths.released.notify_all();
}

std::size_t PathLock::TableSizeForTesting() {
    HeldPaths& paths = Paths();
    std::lock_guard lock(paths.lock);
    return paths.paths.size();
}

namespace {

// Holds the rewrite lock of a data directory: in-process and between processes.
// Only a private directory is locked (see OpenPrivateDirectory): one that another
// user could write in, or a link put in its place, is never written to.
class RewriteLock {
public:
    explicit RewriteLock(const std::string& directory) : inProcess_(directory) {
        locked_ = platform::OpenPrivateDirectory(directory, directory_) ==
                      platform::DirectoryTrust::Private &&
                  lockFile_.OpenIn(directory_, kInstanceLockName, platform::OpenMode::Append,
                                   kStoredFileMode) &&
                  TakePatiently([this] { return lockFile_.LockFirstByte(); });
    }
    bool Locked() const { return locked_; }
    const platform::File& Directory() const { return directory_; }

private:
    PathLock inProcess_;
    platform::File directory_;
    platform::File lockFile_;
    bool locked_ = false;
};

// Writes the content to a new file and renames it over directory + name, under the
// directory's rewrite lock; false with errno telling why when it could not.
bool WriteReplacement(const RewriteLock& lock, const std::string& directory,
                      const std::string& name, const std::string& content) {
    const platform::File& dir = lock.Directory();
    // Removes the temporary file of a failed write, keeping the failure's errno.
    const auto discard = [&dir](const std::string& temp) {
        const int error = errno;
        (void)platform::RemoveIn(dir, temp);
        errno = error;
        return false;
    };
    // The temporary file gets a name nobody can guess and is created exclusively, so
    // it is never a file or link someone else put there. Leftovers of saves a crash
    // interrupted ("<name>.tmp" and "<name>.tmp-*") go first: under the lock no
    // other save of this directory is under way.
    const std::string tempPrefix = name + ".tmp";
    (void)platform::RemoveAllIn(dir, tempPrefix);
    std::string temp;
    platform::File file;
    if (!file.CreateUniqueIn(dir, tempPrefix + "-", temp, kStoredFileMode)) return false;
    const bool written = file.Write(content) && file.Sync();
    const int error = errno;
    file.Close();
    errno = error;
    if (!written) return discard(temp);
    if (auto hook = g_beforeReplace.load()) hook(directory + temp);
    return platform::RenameIn(dir, temp, name) || discard(temp);
}

// The whole content of the open file, read from its start; false when a read failed.
bool ReadAll(platform::File& file, std::string& content) {
    char chunk[64 * 1024];
    for (;;) {
        const long n = file.Read(chunk, sizeof chunk);
        if (n < 0) return false;
        if (n == 0) return true;
        content.append(chunk, static_cast<std::size_t>(n));
    }
}

// Where the bytes stand last at the start of a line of the content; npos when they
// do not.
std::size_t LastAtLineStart(const std::string& content, std::string_view bytes) {
    std::size_t at = content.rfind(bytes);
    while (at != std::string::npos && at != 0 && content[at - 1] != '\n') {
        at = content.rfind(bytes, at - 1);
    }
    return at;
}

}  // namespace

bool ReplaceFileContents(const std::string& directory, const std::string& name,
                         const std::function<std::optional<std::string>()>& produce,
                         int* error) {
    int ignored = 0;
    int& failure = error != nullptr ? *error : ignored;
    failure = 0;
    // Keeps the error number of the call that just failed.
    const auto failed = [&failure] {
        failure = errno != 0 ? errno : EIO;
        return false;
    };
    RewriteLock lock(directory);
    if (!lock.Locked()) return failed();
    std::optional<std::string> content = produce();
    if (!content) return false;
    return WriteReplacement(lock, directory, name, *content) || failed();
}

bool CutFromFile(const std::string& directory, const std::string& name, std::string_view bytes) {
    if (bytes.empty()) return false;
    RewriteLock lock(directory);
    if (!lock.Locked()) return false;
    // Appenders hold the path and the file's own lock; the rewrite lock keeps every
    // other rewrite out.
    PathLock inProcess(directory + name);
    platform::File file;
    std::string content;
    if (!file.OpenIn(lock.Directory(), name, platform::OpenMode::ReadWrite) ||
        !LockPatiently(file, /*exclusive=*/true) || !ReadAll(file, content)) {
        return false;
    }
    const std::size_t at = LastAtLineStart(content, bytes);
    if (at == std::string::npos) return false;
    if (at + bytes.size() == content.size()) {
        return file.Truncate(static_cast<std::int64_t>(at)) && file.Sync();
    }
    content.erase(at, bytes.size());
    return WriteReplacement(lock, directory, name, content);
}

void WithRewriteLock(const std::string& directory, const std::function<void()>& fn) {
    RewriteLock lock(directory);
    fn();
}

bool DeleteRewrittenFile(const std::string& directory, const std::string& name) {
    RewriteLock lock(directory);
    const std::string path = directory + name;
    return platform::RemoveFile(path) || !platform::FileExists(path);
}

bool UntrustedDirectory(const std::string& directory) {
    platform::File dir;
    switch (platform::OpenPrivateDirectory(directory, dir)) {
        case platform::DirectoryTrust::Private:
        case platform::DirectoryTrust::Missing:
        case platform::DirectoryTrust::Unreadable: return false;
        default: return true;
    }
}

std::string DirectoryOfFile(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

void SetBeforeReplaceHookForTesting(void (*hook)(const std::string& tempPath)) {
    g_beforeReplace.store(hook);
}

namespace {

// How often this process and its parents forked so far, as a child sees it. A
// descriptor inherited over fork shares its open file, and with it its flock, with
// the parent: the two processes' locks on it would not keep each other out.
std::atomic<unsigned> g_forks{0};

void CountFork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

unsigned Forks() {
    static const bool counting = ::pthread_atfork(nullptr, nullptr, &CountFork) == 0;
    (void)counting;
    return g_forks.load(std::memory_order_relaxed);
}

// The change watch of the kept files: one instance for the process, the kept
// files' watches and their directories' (several files may share a directory's).
struct AppendWatch {
    std::mutex lock;
    platform::FileWatch watch;
    bool enabled = true;
    bool unavailable = false;  // the system gave no instance: not asked again
    unsigned forks = 0;        // the fork count of the process that opened the instance
    unsigned instance = 1;     // counts the instances opened, so stale watches are known
    std::map<int, PathLock::State*> files;
    std::map<int, int> directories;  // watch -> kept files in the directory
};

AppendWatch& Watch() {
    static AppendWatch watch;
    return watch;
}

// Locks the watch. A child process inherits the parent's instance, whose notices
// the two would take from each other: the child lets go of it and its watches
// (without removing them, which would remove the parent's) and opens its own.
std::unique_lock<std::mutex> LockWatch(AppendWatch& w) {
    std::unique_lock lock(w.lock);
    if (const unsigned forks = Forks(); w.forks != forks) {
        w.watch.Close();
        w.files.clear();
        w.directories.clear();
        ++w.instance;
        w.forks = forks;
    }
    return lock;
}

void MarkAllChanged(AppendWatch& w) {
    for (auto& [watch, state] : w.files) state->changed = true;
}

// Reads the notices that came since the last look and marks the files they concern
// as changed. A directory moved or deleted, or notices lost, mark every file.
// Requires the lock.
void DrainNotices(AppendWatch& w) {
    const bool read = w.watch.Drain([&w](int watch) {
        if (const auto file = w.files.find(watch); file != w.files.end()) {
            file->second->changed = true;
        } else if (watch < 0 || w.directories.contains(watch)) {
            MarkAllChanged(w);
        }
    });
    if (!read) MarkAllChanged(w);
}

// Watches the freshly opened kept file and its directory; a file left unwatched is
// looked at on every append. The caller holds the path.
void WatchAppendFile(PathLock::State& state, const platform::File& directory) {
    AppendWatch& w = Watch();
    const auto lock = LockWatch(w);
    state.changed = true;
    state.watchInstance = w.instance;
    if (!w.enabled || w.unavailable) return;
    if (!w.watch.IsOpen() && !w.watch.Open()) {
        w.unavailable = true;
        return;
    }
    const int file = w.watch.WatchFile(state.appendFile);
    // A file kept under another path as well (a second name of it) shares its watch:
    // this one goes without.
    if (file < 0 || w.files.contains(file)) return;
    const int dir = w.watch.WatchDirectory(directory);
    if (dir < 0) {
        w.watch.Unwatch(file);
        return;
    }
    w.files.emplace(file, &state);
    ++w.directories[dir];
    state.fileWatch = file;
    state.directoryWatch = dir;
}

void UnwatchAppendFile(PathLock::State& state) {
    AppendWatch& w = Watch();
    const auto lock = LockWatch(w);
    if (state.fileWatch >= 0 && state.watchInstance == w.instance) {
        w.files.erase(state.fileWatch);
        w.watch.Unwatch(state.fileWatch);
        if (const auto dir = w.directories.find(state.directoryWatch);
            dir != w.directories.end() && --dir->second == 0) {
            w.watch.Unwatch(dir->first);
            w.directories.erase(dir);
        }
        // With nothing kept, nothing is watched either: the instance goes as well.
        if (w.files.empty()) {
            w.watch.Close();
            w.directories.clear();
            ++w.instance;
        }
    }
    state.fileWatch = state.directoryWatch = -1;
}

// Whether the kept, locked file is as this process's last append left it: watched,
// and no notice of another change since. Clears the mark: the caller looks at the
// file when this is false.
bool UnchangedSinceLastAppend(PathLock::State& state) {
    AppendWatch& w = Watch();
    const auto lock = LockWatch(w);
    if (state.fileWatch < 0 || state.watchInstance != w.instance || !w.enabled) return false;
    DrainNotices(w);
    return !std::exchange(state.changed, false);
}

// Closes the path's kept descriptor, if any, without unlocking it: a descriptor
// inherited over fork may be locked by the parent. The caller holds the path.
void DropAppendFile(PathLock::State& state) {
    if (!state.appendFile.IsOpen()) return;
    UnwatchAppendFile(state);
    {
        HeldPaths& paths = Paths();
        std::lock_guard lock(paths.lock);
        std::erase(paths.kept, &state);
    }
    state.appendFile.Close();
}

// Keeps the path's unlocked descriptor open as the most recently used. Only a few
// are kept: a user may have a thousand conversations, but messages come in a few
// at a time. When kKeptAppendFiles are kept already, the least recently used one
// of a path that nobody holds is closed; when every kept path is held, this
// descriptor is closed instead. The caller holds the path.
void KeepAppendFile(PathLock::State& state) {
    platform::File closed;  // closed after the table's lock is released
    HeldPaths& paths = Paths();
    std::lock_guard lock(paths.lock);
    std::vector<PathLock::State*>& kept = paths.kept;
    if (auto it = std::find(kept.begin(), kept.end(), &state); it != kept.end()) {
        std::rotate(it, it + 1, kept.end());
        return;
    }
    if (kept.size() >= kKeptAppendFiles) {
        auto oldest = std::find_if(kept.begin(), kept.end(),
                                   [](const PathLock::State* s) { return !s->held; });
        if (oldest == kept.end()) {
            UnwatchAppendFile(state);
            closed = std::move(state.appendFile);
            return;
        }
        PathLock::State& evicted = **oldest;
        UnwatchAppendFile(evicted);
        closed = std::move(evicted.appendFile);
        kept.erase(oldest);
        ForgetIfUnused(paths, evicted);
    }
    kept.push_back(&state);
}

// Opens the path for appending, created with the stored files' mode when missing,
// inside its directory only when that is private, and never through a link.
// Readable as well where it may be, to look at the last byte through the same
// descriptor; a file that may only be written is appended to without that look.
bool OpenAppendFile(PathLock::State& state, const std::string& path, unsigned forks) {
    platform::File directory;
    if (platform::OpenPrivateDirectory(DirectoryOfFile(path), directory) !=
        platform::DirectoryTrust::Private) {
        return false;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    platform::File& file = state.appendFile;
    state.appendReadable = file.OpenAppendReadableIn(directory, name, kStoredFileMode);
    state.appendForks = forks;
    if (!state.appendReadable &&
        !file.OpenIn(directory, name, platform::OpenMode::Append, kStoredFileMode)) {
        return false;
    }
    if (!file.Status(state.appendIdentity)) {
        file.Close();
        return false;
    }
    WatchAppendFile(state, directory);
    return true;
}

// Whether the path names the open file. `named` is what the path names: the same
// file as long as the device and inode agree, for the open file keeps its inode
// number from going to another file; a name found means the file has one.
bool NamesFile(const PathLock::State& state, const std::string& path,
               platform::FileStatus& named) {
    return platform::PathStatus(path, named) && named.device == state.appendIdentity.device &&
           named.inode == state.appendIdentity.inode;
}

// Whether the open file of the given size ends inside a line: its last byte is not
// a line feed, the tail of a write that a crash cut short. A file that cannot be
// read counts as ending a line.
bool EndsInsideALine(platform::File& file, std::int64_t size) {
    char last = '\n';
    return size > 0 && file.ReadAt(&last, 1, size - 1) == 1 && last != '\n';
}

}  // namespace

bool AppendToFile(const std::string& path, const std::string& bytes) {
    PathLock inProcess(path);
    PathLock::State& state = *inProcess.state_;
    platform::File& file = state.appendFile;
    const unsigned forks = Forks();
    if (state.appendForks != forks) DropAppendFile(state);  // the parent's open file

    // The exclusive flock is taken for each append and released after it, on the
    // kept descriptor as on a fresh one. Only under it is the file checked to be
    // the one the path names: until then another process (or DeleteStoredFile, or
    // a replace) may delete or replace it, and the entry would go to a file nobody
    // reads. A fresh descriptor is checked the same way, since the file may change
    // between the open and the lock. Should the path change under every try, the
    // third file is written as it stands, as an append that opened the file and
    // then locked it always did.
    //
    // A kept file that its watch says only this process's appends changed is the one
    // the path names, and ends where the last append ended: neither is looked at.
    platform::FileStatus status;
    bool unchanged = false;
    for (int attempt = 0;; ++attempt) {
        if (!file.IsOpen() && !OpenAppendFile(state, path, forks)) return false;
        if (!LockPatiently(file, /*exclusive=*/true)) {
            DropAppendFile(state);
            return false;
        }
        unchanged = UnchangedSinceLastAppend(state);
        if (unchanged || NamesFile(state, path, status)) break;
        if (attempt == 2 && file.Status(status)) break;
        (void)file.Unlock();
        DropAppendFile(state);
        if (attempt == 2) return false;
    }

    // After a torn write the new bytes would continue the cut line, and a history
    // entry's header would no longer be a header: start them on a line of their own.
    const bool torn = state.appendReadable && (unchanged ? !state.endsLine
                                                         : EndsInsideALine(file, status.size));
    const bool written = torn ? file.Write("\r\n" + bytes) : file.Write(bytes);
    if (written) state.endsLine = bytes.empty() || bytes.back() == '\n';
    if (!file.Unlock() || !written) {
        DropAppendFile(state);
        return written;
    }
    KeepAppendFile(state);
    return true;
}

void SetAppendWatchForTesting(bool on) {
    AppendWatch& w = Watch();
    const auto lock = LockWatch(w);
    w.enabled = on;
}

void CloseKeptAppendFiles() {
    std::vector<platform::File> closed;  // closed after the table's lock is released
    HeldPaths& paths = Paths();
    std::lock_guard lock(paths.lock);
    std::vector<PathLock::State*> released;
    std::erase_if(paths.kept, [&](PathLock::State* state) {
        if (state->held) return false;
        UnwatchAppendFile(*state);
        closed.push_back(std::move(state->appendFile));
        released.push_back(state);
        return true;
    });
    for (PathLock::State* state : released) ForgetIfUnused(paths, *state);
}

bool DeleteStoredFile(const std::string& path) {
    PathLock inProcess(path);
    DropAppendFile(*inProcess.state_);  // the next append creates the file anew
    return platform::RemoveFile(path) || !platform::FileExists(path);
}

InstanceLock LockDataDirectory(const std::string& directory, platform::File& lock) {
    platform::File dir;
    if (platform::OpenPrivateDirectory(directory, dir) != platform::DirectoryTrust::Private ||
        !lock.OpenIn(dir, kInstanceLockName, platform::OpenMode::Append, kStoredFileMode)) {
        lock.Close();
        return InstanceLock::Failed;
    }
    if (lock.Lock(/*exclusive=*/true, /*wait=*/false)) return InstanceLock::Taken;
    const bool held = errno == EWOULDBLOCK;
    lock.Close();
    return held ? InstanceLock::InUse : InstanceLock::Failed;
}

std::string FileNameComponent(std::u16string_view text) {
    std::string out;
    // The bytes of a character beyond ASCII are all 0x80 or above, so only the
    // characters themselves give these three bytes.
    for (const char byte : EncodeUtf8(text)) {
        switch (byte) {
            case '/': out += "%2F"; break;
            case '%': out += "%25"; break;
            case '\0': out += "%00"; break;
            default: out += byte;
        }
    }
    return out;
}

}  // namespace pellox
