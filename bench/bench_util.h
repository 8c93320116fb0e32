// Helpers shared by the benchmarks.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
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

}  // namespace pellox::bench
