#include "tools/key_value_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "store/section_file.h"

namespace pellox::server {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The store's helpers take UTF-16 lines; every byte that matters to them (the
// brackets, "=" and blanks) is ASCII, so bytes are carried over by value.
std::u16string Widened(std::string_view bytes) {
    std::u16string out(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
    return out;
}

std::string Narrowed(std::u16string_view units) {
    std::string out(units.size(), '\0');
    for (std::size_t i = 0; i < units.size(); ++i) out[i] = static_cast<char>(units[i]);
    return out;
}

class LineReader {
public:
    LineReader(const KeyValueSinks& sinks, std::size_t maxLine) : sinks_(sinks), maxLine_(maxLine) {}

    void Feed(const char* bytes, std::size_t n) {
        const char* const end = bytes + n;
        while (bytes < end) {
            const char* lf = static_cast<const char*>(std::memchr(bytes, '\n', static_cast<std::size_t>(end - bytes)));
            const char* stop = lf != nullptr ? lf : end;
            if (!tooLong_) {
                const std::size_t take = static_cast<std::size_t>(stop - bytes);
                if (line_.size() + take <= maxLine_) {
                    line_.append(bytes, take);
                } else {
                    // Only the key is kept of a line past the bound.
                    line_.append(bytes, maxLine_ - line_.size());
                    std::u16string key, value;
                    line_ = SplitKeyValue(Widened(line_), key, value) ? Narrowed(key) : std::string();
                    tooLong_ = true;
                }
            }
            if (lf == nullptr) return;  // the line goes on in the next chunk
            Complete(true);
            bytes = lf + 1;
        }
    }

    void Finish() {
        if (!line_.empty() || tooLong_) Complete(false);
    }

private:
    // A line ended by LF loses its CRs at both ends and may be a header; the last
    // line without LF is taken as it stands.
    void Complete(bool ended) {
        if (tooLong_) {
            if (inside_ && sinks_.longLine) sinks_.longLine(line_);
        } else {
            if (ended) {
                const std::size_t first = line_.find_first_not_of('\r');
                const std::size_t last = line_.find_last_not_of('\r');
                line_ = first == std::string::npos ? std::string() : line_.substr(first, last - first + 1);
            }
            const std::u16string wide = Widened(line_);
            std::u16string key, value;
            if (ended && IsSectionHeader(wide)) {
                std::string_view name = line_;
                while (!name.empty() && name.front() == '[') name.remove_prefix(1);
                while (!name.empty() && name.back() == ']') name.remove_suffix(1);
                inside_ = true;
                if (sinks_.section) sinks_.section(std::string(name));
            } else if (inside_ && SplitKeyValue(wide, key, value)) {
                while (!value.empty() && value.back() == u'\r') value.pop_back();
                if (sinks_.pair) sinks_.pair(Narrowed(key), Narrowed(value));
            }
        }
        line_.clear();
        tooLong_ = false;
    }

    const KeyValueSinks& sinks_;
    const std::size_t maxLine_;
    std::string line_;
    bool tooLong_ = false;  // the current line is past the bound: the rest of it is skipped
    bool inside_ = false;   // a header was seen
};

}  // namespace

bool ReadKeyValueFile(const std::string& path, const KeyValueSinks& sinks, std::size_t maxLine, std::string& error) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever.
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = path + " is not a regular file";
        return false;
    }
    LineReader reader(sinks, maxLine);
    std::vector<char> chunk(kChunkBytes);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        reader.Feed(chunk.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    reader.Finish();
    return true;
}

std::string EscapeValue(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F || (i == 0 && byte == ' ')) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string UnescapeValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   HexValue(text[i + 2]) >= 0 && HexValue(text[i + 3]) >= 0) {
            char byte = static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            if (byte != '\0') out += byte;
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace pellox::server
