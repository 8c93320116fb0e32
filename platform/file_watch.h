// Change notices for open files and directories (inotify): whether anything was done
// to a file since it was last looked at, without a look at its path or its bytes.
// The notices are only read when asked for; nothing waits on them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace pellox::platform {

class FileWatch {
public:
    FileWatch() = default;
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Starts a watch instance; false when the system has none to give.
    [[nodiscard]] bool Open();
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Watches the open file (the file itself, whatever its path names later) or the
    // open directory; the watch's number, or -1. Watching the same file twice gives
    // the same number.
    int WatchFile(const File& file);
    int WatchDirectory(const File& directory);
    void Unwatch(int watch);

    // Reads every notice that came since the last call and calls seen(watch) for
    // each; watch -1 means notices were lost and anything may have changed. False
    // when the notices could not be read (the same meaning).
    template <typename Seen>
    bool Drain(Seen&& seen);

private:
    // Adds a watch of the open file for `events`: its id, or -1.
    int Add(const File& file, std::uint32_t events);
    // One read of pending notices into buffer: bytes read, 0 for none, -1 on error.
    long ReadNotices(char* buffer, std::size_t size);
    static bool NextNotice(const char* buffer, long length, long& at, int& watch);

    int fd_ = -1;
};

template <typename Seen>
bool FileWatch::Drain(Seen&& seen) {
    alignas(8) char buffer[4096];
    for (;;) {
        const long length = ReadNotices(buffer, sizeof buffer);
        if (length < 0) return false;
        if (length == 0) return true;
        int watch = -1;
        for (long at = 0; NextNotice(buffer, length, at, watch);) seen(watch);
    }
}

}  // namespace pellox::platform
