#include "platform/file_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace pellox::platform {

namespace {

// A file may change behind its holder's back when anybody opens it again (another
// program or this one, to write or cut it; a reader is counted as well) or closes it
// after writing, when a name of it goes (deleted, or another file renamed over it)
// or comes, its mode changes, or it is renamed.
// The holder's own writes through a descriptor it opened before watching give no
// notice: a notice for every write would cost each write as much as a look at the
// file does.
constexpr std::uint32_t kFileEvents =
    IN_OPEN | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr std::uint32_t kDirectoryEvents = IN_MOVE_SELF | IN_DELETE_SELF;

}  // namespace

FileWatch::~FileWatch() { Close(); }

bool FileWatch::Open() {
    Close();
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return fd_ >= 0;
}

void FileWatch::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int FileWatch::Add(const File& file, std::uint32_t events) {
    if (fd_ < 0 || file.fd_ < 0) return -1;
    // The descriptor's entry in /proc names the open file itself: a path could name
    // another file by now.
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd_);
    return ::inotify_add_watch(fd_, self.c_str(), events);
}

int FileWatch::WatchFile(const File& file) { return Add(file, kFileEvents); }

int FileWatch::WatchDirectory(const File& directory) { return Add(directory, kDirectoryEvents | IN_ONLYDIR); }

void FileWatch::Unwatch(int watch) {
    if (fd_ >= 0 && watch >= 0) (void)::inotify_rm_watch(fd_, watch);
}

long FileWatch::ReadNotices(char* buffer, std::size_t size) {
    if (fd_ < 0) return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

bool FileWatch::NextNotice(const char* buffer, long length, long& at, int& watch) {
    if (at + static_cast<long>(sizeof(inotify_event)) > length) return false;
    inotify_event event;
    std::memcpy(&event, buffer + at, sizeof event);
    at += static_cast<long>(sizeof event + event.len);
    watch = (event.mask & IN_Q_OVERFLOW) ? -1 : event.wd;
    return true;
}

}  // namespace pellox::platform
