// Replays fuzz inputs through a fuzz target's entry point without libFuzzer, so the
// seed corpora run as ordinary tests in every build (and under the sanitizers of
// that build). Arguments are files or directories of files; a target reports a
// finding by aborting, which fails the test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/files.h"

namespace {

void Collect(const std::string& path, std::vector<std::string>& files) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "missing input: %s\n", path.c_str());
        std::exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) Collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const std::string& file : files) {
        std::string bytes;
        if (!pellox::platform::ReadWholeFile(file, bytes)) {
            std::fprintf(stderr, "unreadable input: %s\n", file.c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu passed, 0 failed\n", files.size());
    return 0;
}
