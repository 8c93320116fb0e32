// Helpers shared by the benchmarks.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace pellox::bench {

// A fresh data directory under $TMPDIR (default /tmp), removed with everything in
// it. Its path ends in "/", as a data directory does. TMPDIR=/dev/shm takes the
// disk's flush times out of the figures.
class TempDataDirectory {
public:
    explicit TempDataDirectory(const std::string& prefix) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                              prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
    }
    ~TempDataDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDataDirectory(const TempDataDirectory&) = delete;
    TempDataDirectory& operator=(const TempDataDirectory&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Chat-like text: Cyrillic and Latin words, some messages over several lines.
class ChatText {
public:
    explicit ChatText(std::uint32_t seed) : random_(seed) {}

    std::u16string Message(int maxExtraLines) {
        std::u16string text = Line();
        if (Below(10) < 3) {
            const int extra =
                1 + static_cast<int>(Below(static_cast<std::uint32_t>(maxExtraLines)));
            for (int i = 0; i < extra; ++i) {
                text += u"\r\n";
                text += Line();
            }
        }
        return text;
    }

    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

private:
    std::u16string Line() {
        static constexpr std::u16string_view kCyrillic[] = {
            u"привет", u"как", u"дела", u"сегодня", u"вечером", u"встретимся", u"у", u"метро",
            u"завтра", u"работа", u"позвони", u"мне", u"когда", u"сможешь", u"спасибо",
            u"хорошо", u"ладно", u"договорились", u"письмо", u"отправил", u"посмотри",
            u"файл", u"пожалуйста", u"ещё", u"немного", u"опоздаю", u"минут", u"на",
            u"десять", u"Ёлки", u"съездим", u"выходные", u"Привет!", u"ну", u"да,", u"нет?"};
        static constexpr std::u16string_view kLatin[] = {
            u"hello", u"see", u"you", u"tomorrow", u"ok", u"the", u"meeting", u"at", u"5pm",
            u"http://example.org/a?b=1", u"thanks!", u"build", u"release", u"report",
            u"sure,", u"lol", u"call", u"me", u"2024", u":-)", u"and", u"version"};
        const bool latin = Below(3) == 0;
        const int words = 2 + static_cast<int>(Below(11));
        std::u16string line;
        for (int i = 0; i < words; ++i) {
            if (i > 0) line += u' ';
            if (latin || Below(8) == 0) {
                line += kLatin[Below(std::size(kLatin))];
            } else {
                line += kCyrillic[Below(std::size(kCyrillic))];
            }
        }
        return line;
    }

    std::mt19937 random_;
};

}  // namespace pellox::bench
