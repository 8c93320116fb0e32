#include "store/file_access.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/files.h"

namespace pellox {

// What the table keeps of a path. Besides `held` (guarded by the table's lock),
// only the holder of the path touches it.
struct PathLock::State {
    bool held = false;
    // Where the last append through AppendToFile ended; -1 when unknown. Only a
    // guess: another process may have written since, so it is checked before use.
    std::int64_t appendEnd = -1;
};

namespace {

// Every path that was ever locked keeps its entry (a handful of files per data
// directory), so taking a lock allocates nothing after the first time.
struct HeldPaths {
    std::mutex lock;
    std::condition_variable released;
    std::map<std::string, PathLock::State, std::less<>> paths;
};

HeldPaths& Paths() {
    static HeldPaths paths;
    return paths;
}

std::atomic<void (*)(const std::string&)> g_beforeReplace{nullptr};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

PathLock::PathLock(std::string path) {
    HeldPaths& paths = Paths();
    std::unique_lock lock(paths.lock);
    auto it = paths.paths.find(path);
    if (it == paths.paths.end()) it = paths.paths.emplace(std::move(path), State()).first;
    State& state = it->second;  // map entries never move
    paths.released.wait(lock, [&] { return !state.held; });
    state.held = true;
    state_ = &state;
}

PathLock::~PathLock() {
    HeldPaths& paths = Paths();
    {
        std::lock_guard lock(paths.lock);
        state_->held = false;
    }
    paths.released.notify_all();
}

namespace {

// Holds the rewrite lock of a data directory: in-process and between processes.
class RewriteLock {
public:
    explicit RewriteLock(const std::string& directory) : inProcess_(directory) {
        locked_ = directory_.Open(directory, platform::OpenMode::Read) &&
                  directory_.Lock(/*exclusive=*/true, /*wait=*/true);
    }
    bool Locked() const { return locked_; }

private:
    PathLock inProcess_;
    platform::File directory_;
    bool locked_ = false;
};

}  // namespace

bool ReplaceFileContents(const std::string& directory, const std::string& name,
                         const std::function<std::optional<std::string>()>& produce) {
    RewriteLock lock(directory);
    if (!lock.Locked()) return false;
    std::optional<std::string> content = produce();
    if (!content) return false;

    const std::string target = directory + name;
    const std::string temp = target + ".tmp";
    // A leftover from an interrupted save may carry another mode; start afresh.
    (void)platform::RemoveFile(temp);
    platform::File file;
    if (!file.Open(temp, platform::OpenMode::Truncate, kStoredFileMode)) return false;
    if (!file.Write(*content) || !file.Sync()) {
        file.Close();
        (void)platform::RemoveFile(temp);
        return false;
    }
    file.Close();
    if (auto hook = g_beforeReplace.load()) hook(temp);
    if (!platform::ReplaceFile(temp, target)) {
        (void)platform::RemoveFile(temp);
        return false;
    }
    return true;
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

void SetBeforeReplaceHookForTesting(void (*hook)(const std::string& tempPath)) {
    g_beforeReplace.store(hook);
}

namespace {

// Whether the open file ends inside a line: it has content whose last byte is not a
// line feed, the tail of a write that a crash cut short. `end` is where the file
// is expected to end; it is corrected to the real size, or -1 when that is
// unknown. A file that cannot be read counts as ending a line.
bool EndsInsideALine(platform::File& file, std::int64_t& end) {
    char tail[2];
    // Two bytes asked for from the last expected one: exactly one comes back only
    // when the file ends right there, so one read confirms the size and gives the
    // last byte.
    if (end > 0 && file.ReadAt(tail, 2, end - 1) == 1) return tail[0] != '\n';
    if (!file.Size(end)) {
        end = -1;
        return false;
    }
    return end > 0 && file.ReadAt(tail, 1, end - 1) == 1 && tail[0] != '\n';
}

}  // namespace

bool AppendToFile(const std::string& path, const std::string& bytes) {
    PathLock inProcess(path);
    std::int64_t& end = inProcess.state_->appendEnd;
    platform::File file;
    // Readable as well, to look at the last byte through the same descriptor; a file
    // that may only be written is appended to without that look.
    const bool readable = file.OpenAppendReadable(path, kStoredFileMode);
    if (!readable && !file.Open(path, platform::OpenMode::Append, kStoredFileMode)) return false;
    if (!file.Lock(/*exclusive=*/true, /*wait=*/true)) return false;
    // After a torn write the new bytes would continue the cut line, and a history
    // entry's header would no longer be a header: start them on a line of their own.
    if (!readable) end = -1;
    const bool torn = readable && EndsInsideALine(file, end);
    if (!(torn ? file.Write("\r\n" + bytes) : file.Write(bytes))) {
        end = -1;
        return false;
    }
    if (end >= 0) end += static_cast<std::int64_t>(bytes.size()) + (torn ? 2 : 0);
    return true;
}

bool DeleteStoredFile(const std::string& path) {
    PathLock inProcess(path);
    return platform::RemoveFile(path) || !platform::FileExists(path);
}

std::string FileNameComponent(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        switch (c) {
            case U'/': out += "%2F"; break;
            case U'%': out += "%25"; break;
            case U'\0': out += "%00"; break;
            default: AppendUtf8(out, c);
        }
    }
    return out;
}

}  // namespace pellox
