// Helpers shared by the store tests: a temporary data directory and raw file access.
#pragma once

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/contact.h"

namespace pellox::testing {

// A fresh directory under /tmp, removed with everything in it afterwards. Its path
// ends in "/", as a data directory does.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/pellox-store-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path_ = std::string(tmpl) + "/";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// A contact template with a UIN and a name.
inline ContactInfo Info(std::u16string uin, std::u16string name = {}) {
    ContactInfo info;
    info.uin = std::move(uin);
    info.name = std::move(name);
    return info;
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    platform::File file;
    ASSERT_TRUE(file.Open(path, platform::OpenMode::Truncate));
    ASSERT_TRUE(file.Write(bytes));
}

// The names in a directory, sorted ("." and ".." left out).
inline std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string ReadBytes(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadWholeFile(path, bytes)) << path;
    return bytes;
}

// A child process that takes something (a lock) with `take` and holds it until this
// is destroyed, which kills it. Fork it before the test starts threads.
class ChildHolding {
public:
    explicit ChildHolding(const std::function<bool()>& take) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            const char taken = take() ? 1 : 0;
            (void)::write(ready[1], &taken, 1);
            ::pause();
            ::_exit(0);
        }
        char taken = 0;
        taken_ = child_ > 0 && ::read(ready[0], &taken, 1) == 1 && taken == 1;
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~ChildHolding() {
        if (child_ <= 0) return;
        ::kill(child_, SIGKILL);
        (void)::waitpid(child_, nullptr, 0);
    }
    ChildHolding(const ChildHolding&) = delete;
    ChildHolding& operator=(const ChildHolding&) = delete;

    // Whether the child took it and holds it now.
    bool taken() const { return taken_; }

private:
    pid_t child_ = -1;
    bool taken_ = false;
};

// Makes the permission bits of files count for the calling thread even when it runs
// as root: the capabilities that override them leave its effective set while this
// lives. Tests of unreadable and unwritable files need it on a root CI machine.
class HonourFilePermissions {
public:
    HonourFilePermissions() {
        have_ = ::syscall(SYS_capget, &header_, saved_) == 0;
        if (!have_) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        have_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~HonourFilePermissions() {
        if (have_) (void)::syscall(SYS_capset, &header_, saved_);
    }
    HonourFilePermissions(const HonourFilePermissions&) = delete;
    HonourFilePermissions& operator=(const HonourFilePermissions&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool have_ = false;
};

// Sets TZ (and the C library's zone) for its lifetime.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* zone) {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) oldTz_ = tz;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZoneScope() {
        if (hadTz_) {
            ::setenv("TZ", oldTz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    bool hadTz_ = false;
    std::string oldTz_;
};

// Runs the test body in UTC so that local times are known.
class UtcTest : public ::testing::Test {
protected:
    void SetUp() override { utc_.emplace("UTC"); }
    void TearDown() override { utc_.reset(); }

    // Seconds since the epoch of a UTC calendar time.
    static std::int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        return static_cast<std::int64_t>(::timegm(&tm));
    }

private:
    std::optional<TimeZoneScope> utc_;
};

}  // namespace pellox::testing
