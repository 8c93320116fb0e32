#include "platform/local_time.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>

namespace pellox::platform {
namespace {
std::atomic<std::time_t (*)()> g_clock{nullptr};
// localtime_r and mktime read the time-zone state, which tzset may rewrite; the C
// library guards it with a lock that ThreadSanitizer cannot see, so conversions are
// serialised here once for every caller.
std::mutex g_timeZoneLock;
}

std::time_t Now() {
    auto clock = g_clock.load();
    return clock != nullptr ? clock() : std::time(nullptr);
}

void SetClockForTesting(std::time_t (*clock)()) { g_clock.store(clock); }

LocalTime ToLocalTime(std::time_t t) {
    std::tm tm{};
    {
        std::lock_guard<std::mutex> guard(g_timeZoneLock);
        localtime_r(&t, &tm);
    }
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec};
}

std::time_t FromLocalTime(const LocalTime& lt) {
    std::tm tm{};
    tm.tm_year = lt.year - 1900;
    tm.tm_mon = lt.month - 1;
    tm.tm_mday = lt.day;
    tm.tm_hour = lt.hour;
    tm.tm_min = lt.minute;
    tm.tm_sec = lt.second;
    tm.tm_isdst = -1;
    std::lock_guard<std::mutex> guard(g_timeZoneLock);
    return std::mktime(&tm);
}

LocalTime NowLocal() { return ToLocalTime(Now()); }

bool ExecutablePath(std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return false;
    path.assign(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace pellox::platform
