// Shared pieces of the fuzz targets: a private scratch directory for the files a
// target writes, and the entry point every target defines.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace pellox::fuzz {

// A property of the target that did not hold: reported and aborted, so that
// libFuzzer (or the replay test) records the input as a finding.
inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz finding: %s\n", what);
        std::abort();
    }
}

// A directory of its own for the whole run, ending in "/". It lives on /dev/shm
// when that exists (memory-backed: the flushes of whole-file rewrites cost nothing)
// and is removed when the process exits.
class ScratchDirectory {
public:
    static const std::string& Path() {
        // Never destroyed, so the removal at exit can still use it.
        static const ScratchDirectory* instance = new ScratchDirectory;
        return instance->path_;
    }

    // Removes every file in the directory (it holds no subdirectories).
    static void Empty() {
        const std::string& dir = Path();
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) return;
        while (dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == "..") continue;
            (void)::unlink((dir + e->d_name).c_str());
        }
        ::closedir(d);
    }

    // Writes the bytes as the file `name` in the directory; its path.
    static std::string WriteFile(const std::string& name, const std::uint8_t* data,
                                 std::size_t size) {
        const std::string path = Path() + name;
        platform::File file;
        if (file.Open(path, platform::OpenMode::Truncate, 0600)) {
            (void)file.Write(data, size);
        }
        return path;
    }

private:
    ScratchDirectory() {
        std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        tmpl += "/pellox-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl + "/";
        std::atexit([] {
            Empty();
            (void)::rmdir(Path().c_str());
        });
    }

    std::string path_;
};

}  // namespace pellox::fuzz
