// Local time and the running executable's path.
#pragma once

#include <ctime>
#include <string>

namespace pellox::platform {

struct LocalTime {
    int year = 1970;  // e.g. 2026
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Seconds since the epoch; tests can replace the clock.
std::time_t Now();
void SetClockForTesting(std::time_t (*clock)());  // nullptr restores the system clock

LocalTime ToLocalTime(std::time_t t);
// The calendar fields in a struct tm (no weekday, day of the year or DST flag).
std::tm CalendarFields(const LocalTime& lt);
// Local calendar fields back to seconds since the epoch (mktime, DST resolved by the system).
std::time_t FromLocalTime(const LocalTime& lt);
LocalTime NowLocal();
// Calendar fields of a UTC time to seconds since the epoch; -1 when a field is out
// of range (month 1..12, day of that month, hour 0..23, minute and second 0..59).
std::time_t FromUtcTime(const LocalTime& utc);

// The absolute path of the running executable; false when it cannot be found.
bool ExecutablePath(std::string& path);

}  // namespace pellox::platform
