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

std::tm CalendarFields(const LocalTime& lt) {
    std::tm tm{};
    tm.tm_year = lt.year - 1900;
    tm.tm_mon = lt.month - 1;
    tm.tm_mday = lt.day;
    tm.tm_hour = lt.hour;
    tm.tm_min = lt.minute;
    tm.tm_sec = lt.second;
    return tm;
}

std::time_t FromLocalTime(const LocalTime& lt) {
    std::tm tm = CalendarFields(lt);
    tm.tm_isdst = -1;
    std::lock_guard<std::mutex> guard(g_timeZoneLock);
    return std::mktime(&tm);
}

LocalTime NowLocal() { return ToLocalTime(Now()); }

std::time_t FromUtcTime(const LocalTime& utc) {
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (utc.month < 1 || utc.month > 12 || utc.day < 1 || utc.day > kDays[utc.month - 1] ||
        utc.hour < 0 || utc.hour > 23 || utc.minute < 0 || utc.minute > 59 || utc.second < 0 ||
        utc.second > 59) {
        return -1;
    }
    std::tm tm = CalendarFields(utc);
    const std::time_t t = timegm(&tm);
    // 29 February of a common year comes back as 1 March.
    return tm.tm_mday == utc.day ? t : -1;
}

bool ExecutablePath(std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return false;
    path.assign(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace pellox::platform
