// Reading header times in zones whose offset changes, and appending to a history
// file that another writer changed in between.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/local_time.h"
#include "store/file_access.h"
#include "store/message_history.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

long OffsetAt(std::int64_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    return tm.tm_gmtoff;
}

// "[IN dd.mm.yyyy hh:mm:ss]" from calendar fields that need not exist locally.
std::string HeaderOf(const std::tm& tm) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[IN %02d.%02d.%04d %02d:%02d:%02d]", tm.tm_mday,
                  tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string HeaderOf(std::int64_t t) {
    const std::string entry = FormatHistoryEntry(MessageEntry{u"x", t, MessageDirection::In});
    return entry.substr(0, entry.find('\r'));
}

struct Header {
    std::string text;
    bool exists = true;  // false for a wall time that a forward change skips
};

// Headers of a history spanning 1900 to 2040 in the current zone, in the order of
// their wall times: random instants, dense runs across every offset change, and a
// wall time inside each gap that a forward change leaves.
std::vector<Header> ZoneHeaders() {
    std::vector<std::int64_t> instants;
    std::mt19937 random(1234);
    const std::int64_t from = -2208902400;  // 1900-01-02 00:00 UTC
    const std::int64_t to = 2208988800;     // 2040-01-01 00:00 UTC
    for (std::int64_t t = from; t < to; t += 1 + random() % 400000) instants.push_back(t);

    std::vector<Header> headers;
    const std::int64_t step = 6 * 3600;
    for (std::int64_t t = from; t < to; t += step) {
        const long before = OffsetAt(t);
        const long after = OffsetAt(t + step);
        if (before == after) continue;
        for (std::int64_t u = t - 3 * 3600; u < t + step + 3 * 3600; u += 397) {
            instants.push_back(u);
        }
        if (after > before) {
            std::int64_t lo = t, change = t + step;  // the first instant of the new offset
            while (change - lo > 1) {
                const std::int64_t mid = lo + (change - lo) / 2;
                (OffsetAt(mid) == before ? lo : change) = mid;
            }
            const std::time_t wall =
                static_cast<std::time_t>(change + before + (after - before) / 2);
            std::tm tm{};
            gmtime_r(&wall, &tm);
            headers.push_back({HeaderOf(tm), false});
        }
    }
    for (std::int64_t t : instants) headers.push_back({HeaderOf(t), true});
    auto key = [](const Header& h) {  // yyyymmddhhmmss of "[IN dd.mm.yyyy hh:mm:ss]"
        const std::string& s = h.text;
        return s.substr(10, 4) + s.substr(7, 2) + s.substr(4, 2) + s.substr(15, 2) +
               s.substr(18, 2) + s.substr(21, 2);
    };
    std::stable_sort(headers.begin(), headers.end(),
                     [&](const Header& a, const Header& b) { return key(a) < key(b); });
    return headers;
}

// Loading a history converts its header times exactly as converting each header on
// its own (mktime, one call after the other) does, and every wall time that exists
// reads back as itself. The zones have daylight saving at 02:00 and at midnight,
// half-hour offsets and a half-hour shift, a skipped day, and local mean time with
// odd seconds; the headers include repeated and skipped wall times.
TEST(HistoryHeaderTimes, LoadingMatchesOneConversionPerHeaderInZonesThatChange) {
    const char* const zones[] = {"Europe/Berlin",   "America/Sao_Paulo", "Australia/Lord_Howe",
                                 "Pacific/Apia",    "Asia/Kolkata",      "America/St_Johns",
                                 "Europe/Moscow",   "Africa/Monrovia",   "Europe/Amsterdam"};
    int zonesRun = 0;
    for (const char* zone : zones) {
        if (!platform::FileExists(std::string("/usr/share/zoneinfo/") + zone)) continue;
        SCOPED_TRACE(zone);
        ++zonesRun;
        testing::TimeZoneScope scope(zone);
        const std::vector<Header> headers = ZoneHeaders();
        ASSERT_GT(headers.size(), 10000u);

        std::string bytes;
        for (const Header& header : headers) bytes += header.text + "\r\nx\r\n";
        TempDir dir;
        WriteBytes(dir / "msg_1.txt", bytes);

        std::vector<std::int64_t> expected;
        for (const Header& header : headers) {
            MessageDirection direction{};
            std::int64_t time = 0;
            ParseHistoryHeader(std::u16string(header.text.begin(), header.text.end()), direction,
                               time);
            expected.push_back(time);
        }
        MessageHistory history(dir.path());
        ASSERT_TRUE(history.Load("msg_1.txt"));
        const std::vector<MessageEntry> entries = history.Entries();
        ASSERT_EQ(entries.size(), headers.size());
        int wrong = 0;
        for (std::size_t i = 0; i < entries.size() && wrong < 5; ++i) {
            if (entries[i].time != expected[i]) {
                ++wrong;
                ADD_FAILURE() << headers[i].text << " read as " << entries[i].time
                              << ", mktime gives " << expected[i];
            }
            if (headers[i].exists && HeaderOf(entries[i].time) != headers[i].text) {
                ++wrong;
                ADD_FAILURE() << headers[i].text << " read as " << HeaderOf(entries[i].time);
            }
        }
    }
    if (zonesRun == 0) GTEST_SKIP() << "no time zone data installed";
}

TEST(HistoryLoadTest, FileEntriesFollowThoseAlreadyInMemory) {
    TempDir dir;
    WriteBytes(dir / "msg_1.txt", "[IN 01.01.2026 00:00:00]\r\nstored\r\n");
    MessageHistory history(dir.path());
    history.Append(MessageEntry{u"in memory", 5, MessageDirection::Out});  // unbound: no file
    ASSERT_TRUE(history.Load("msg_1.txt"));
    ASSERT_TRUE(history.Load("msg_1.txt"));
    const std::vector<MessageEntry> entries = history.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (MessageEntry{u"in memory", 5, MessageDirection::Out}));
    EXPECT_EQ(entries[1].text, u"stored");
    EXPECT_EQ(entries[2], entries[1]);
}

}  // namespace
}  // namespace pellox
