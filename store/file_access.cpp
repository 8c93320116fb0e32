#include "store/file_access.h"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>

#include "platform/files.h"

namespace pellox {
namespace {

struct HeldPaths {
    std::mutex lock;
    std::condition_variable released;
    std::set<std::string> held;
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

PathLock::PathLock(std::string path) : path_(std::move(path)) {
    HeldPaths& paths = Paths();
    std::unique_lock lock(paths.lock);
    paths.released.wait(lock, [&] { return paths.held.count(path_) == 0; });
    paths.held.insert(path_);
}

PathLock::~PathLock() {
    HeldPaths& paths = Paths();
    {
        std::lock_guard lock(paths.lock);
        paths.held.erase(path_);
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

// True when the file has content whose last byte is not a line feed: the tail of a
// write that a crash cut short.
bool EndsInsideALine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.seekg(-1, std::ios::end)) return false;  // missing or empty
    char last = '\n';
    return in.get(last) && last != '\n';
}

}  // namespace

bool AppendToFile(const std::string& path, const std::string& bytes) {
    PathLock inProcess(path);
    platform::File file;
    if (!file.Open(path, platform::OpenMode::Append, kStoredFileMode) ||
        !file.Lock(/*exclusive=*/true, /*wait=*/true)) {
        return false;
    }
    // After a torn write the new bytes would continue the cut line, and a history
    // entry's header would no longer be a header: start them on a line of their own.
    if (EndsInsideALine(path)) return file.Write("\r\n" + bytes);
    return file.Write(bytes);
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
