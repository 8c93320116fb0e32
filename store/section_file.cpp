#include "store/section_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "store/file_access.h"

namespace pellox {
namespace {

// Large enough that a long history costs few reads, small enough to stay in cache.
constexpr std::size_t kChunkSize = 64 * 1024;

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Delivers the events of the file line by line, tracking whether a section is open.
class SectionReader {
public:
    explicit SectionReader(SectionFileHandler& handler) : handler_(handler) {}

    // Each byte of the code page is one UTF-16 unit and only the byte LF becomes
    // u'\n', so a chunk is widened whole (into the same buffer every time) and
    // split afterwards.
    void Feed(const char* bytes, std::size_t n) {
        static const std::array<char16_t, 256> kUnits = [] {
            std::array<char16_t, 256> units{};
            for (std::size_t b = 0; b < units.size(); ++b) {
                units[b] = platform::UnitFromLocal(static_cast<unsigned char>(b));
            }
            return units;
        }();
        wide_.resize(n);
        for (std::size_t i = 0; i < n; ++i) wide_[i] = kUnits[static_cast<unsigned char>(bytes[i])];
        const char16_t* pos = wide_.data();
        const char16_t* const end = pos + wide_.size();
        while (pos < end) {
            const char16_t* lf = std::find(pos, end, u'\n');
            line_.append(pos, lf);
            if (lf == end) return;  // the line goes on in the next chunk
            CompleteLine();
            pos = lf + 1;
        }
    }

    void Finish() {
        if (!line_.empty()) handler_.OnLine(SectionEvent::SectionLine, line_);
        line_.clear();
        handler_.OnLine(SectionEvent::SectionEnd, line_);
    }

private:
    void CompleteLine() {
        std::size_t last = line_.size();
        while (last > 0 && line_[last - 1] == u'\r') --last;
        line_.resize(last);
        std::size_t first = 0;
        while (first < last && line_[first] == u'\r') ++first;
        if (first > 0) line_.erase(0, first);
        const bool header = IsSectionHeader(line_);
        if (inside_) {
            if (!header) {
                handler_.OnLine(SectionEvent::SectionLine, line_);
            } else {
                handler_.OnLine(SectionEvent::SectionEnd, std::u16string());
                inside_ = false;
            }
        }
        if (!inside_ && header) {
            handler_.OnLine(SectionEvent::SectionStart, line_);
            inside_ = true;
        }
        line_.clear();  // keeps its capacity for the next line
    }

    SectionFileHandler& handler_;
    std::u16string wide_;  // the current chunk
    std::u16string line_;
    bool inside_ = false;
};

struct DataDirectoryState {
    std::mutex lock;
    std::string path;  // empty until computed
    platform::DirectoryTrust trust = platform::DirectoryTrust::Missing;
};

// Creates the chosen directory where it is missing and judges it.
void Settle(DataDirectoryState& state, bool withParents) {
    if (withParents) {
        (void)platform::MakeDirectories(state.path, kDataDirectoryMode);
    } else {
        (void)platform::MakeDirectory(state.path, kDataDirectoryMode);
    }
    platform::File directory;
    state.trust = platform::OpenPrivateDirectory(state.path, directory);
}

DataDirectoryState& DirectoryState() {
    static DataDirectoryState state;
    return state;
}

}  // namespace

std::u16string LineText(std::u16string_view text) {
    std::u16string out(text);
    std::erase_if(out, [](char16_t c) { return c == u'\r' || c == u'\n' || c == u'\0'; });
    return out;
}

bool IsSectionHeader(std::u16string_view line) {
    return line.size() >= 2 && line.front() == u'[' && line.back() == u']';
}

bool SplitKeyValue(std::u16string_view line, std::u16string& key, std::u16string& value) {
    const std::size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) return false;
    std::size_t keyEnd = eq;
    while (keyEnd > 0 && IsBlank(line[keyEnd - 1])) --keyEnd;
    std::size_t valueStart = eq + 1;
    while (valueStart < line.size() && IsBlank(line[valueStart])) ++valueStart;
    key.assign(line.substr(0, keyEnd));
    value.assign(line.substr(valueStart));
    return true;
}

bool ReadSectionFile(SectionFileHandler& handler, const std::string& path) {
    int error = 0;
    return ReadSectionFile(handler, path, error);
}

bool ReadSectionFile(SectionFileHandler& handler, const std::string& path, int& error) {
    PathLock inProcess(path);
    platform::File file;
    error = 0;
    if (!file.Open(path, platform::OpenMode::Read) ||
        !LockPatiently(file, /*exclusive=*/false)) {
        error = errno;
        return false;
    }
    SectionReader reader(handler);
    // Not zero-filled: read() writes what it returns, and filling the whole chunk
    // would touch sixteen fresh pages for a settings file of a few hundred bytes.
    const auto chunk = std::make_unique_for_overwrite<char[]>(kChunkSize);
    for (;;) {
        const long n = file.Read(chunk.get(), kChunkSize);
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0) break;
        reader.Feed(chunk.get(), static_cast<std::size_t>(n));
    }
    reader.Finish();
    return true;
}

std::string DataDirectoryFor(const std::string& executablePath, bool found,
                             const std::string& dataHome) {
    const std::size_t slash = found ? executablePath.rfind('/') : std::string::npos;
    if (slash != std::string::npos && slash != 0) {
        const std::string beside = executablePath.substr(0, slash + 1) + "History";
        if (platform::EntryExists(beside)) return beside + "/";
    }
    if (!dataHome.empty()) return dataHome + "/pellox/History/";
    return "./History/";
}

std::string DataDirectory() {
    DataDirectoryState& state = DirectoryState();
    std::lock_guard lock(state.lock);
    if (state.path.empty()) {
        std::string exe;
        const bool found = platform::ExecutablePath(exe);
        const std::string dataHome = platform::UserDataHome();
        state.path = DataDirectoryFor(exe, found, dataHome);
        Settle(state, !dataHome.empty() && state.path.starts_with(dataHome + "/"));
    }
    return state.path;
}

platform::DirectoryTrust DataDirectoryTrust() {
    (void)DataDirectory();
    DataDirectoryState& state = DirectoryState();
    std::lock_guard lock(state.lock);
    return state.trust;
}

void SetDataDirectoryForTesting(const std::string& path) {
    DataDirectoryState& state = DirectoryState();
    std::lock_guard lock(state.lock);
    state.path = path;
    if (!path.empty() && path.back() != '/') state.path += '/';
    if (!state.path.empty()) Settle(state, false);
}

}  // namespace pellox
