#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pellox::platform {

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool File::Open(const std::string& path, OpenMode how, mode_t mode) {
    Close();
    int flags = O_CLOEXEC;
    switch (how) {
        case OpenMode::Read: flags |= O_RDONLY; break;
        case OpenMode::Truncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case OpenMode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
    }
    do {
        fd_ = ::open(path.c_str(), flags, mode);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

bool File::Lock(bool exclusive, bool wait) {
    if (fd_ < 0) return false;
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    int rc;
    do {
        rc = ::flock(fd_, op);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool File::Unlock() {
    if (fd_ < 0) return false;
    int rc;
    do {
        rc = ::flock(fd_, LOCK_UN);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool File::Write(const void* data, std::size_t n) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t rc = ::write(fd_, p, n);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += rc;
        n -= static_cast<std::size_t>(rc);
    }
    return true;
}

long File::Read(void* data, std::size_t n) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t rc = ::read(fd_, data, n);
        if (rc >= 0) return static_cast<long>(rc);
        if (errno != EINTR) return -1;
    }
}

bool File::OpenAppendReadable(const std::string& path, mode_t mode) {
    Close();
    do {
        fd_ = ::open(path.c_str(), O_CLOEXEC | O_RDWR | O_CREAT | O_APPEND, mode);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

bool File::Size(std::int64_t& size) const {
    struct stat st{};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    size = static_cast<std::int64_t>(st.st_size);
    return true;
}

long File::ReadAt(void* data, std::size_t n, std::int64_t offset) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t rc = ::pread(fd_, data, n, static_cast<off_t>(offset));
        if (rc >= 0) return static_cast<long>(rc);
        if (errno != EINTR) return -1;
    }
}

namespace {

// The status of dirfd + path (with AT_EMPTY_PATH, of the descriptor itself), times
// left out; stat() where the kernel has no statx.
bool StatusOf(int dirfd, const char* path, int flags, FileStatus& status) {
    struct statx sx{};
    constexpr unsigned kMask = STATX_TYPE | STATX_INO | STATX_NLINK | STATX_SIZE;
    if (::statx(dirfd, path, flags | AT_STATX_SYNC_AS_STAT, kMask, &sx) == 0) {
        status.device = static_cast<std::uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
        status.inode = sx.stx_ino;
        status.links = sx.stx_nlink;
        status.size = static_cast<std::int64_t>(sx.stx_size);
        return true;
    }
    if (errno != ENOSYS) return false;
    struct stat st{};
    if (::fstatat(dirfd, path, &st, flags) != 0) return false;
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    status.links = static_cast<std::uint64_t>(st.st_nlink);
    status.size = static_cast<std::int64_t>(st.st_size);
    return true;
}

}  // namespace

bool File::Status(FileStatus& status) const {
    return fd_ >= 0 && StatusOf(fd_, "", AT_EMPTY_PATH, status);
}

bool File::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

void File::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool FileExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool PathStatus(const std::string& path, FileStatus& status) {
    return StatusOf(AT_FDCWD, path.c_str(), 0, status);
}

bool MakeDirectory(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0) return true;
    struct stat st{};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ReplaceFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    // Make the new directory entry durable as well.
    std::string dir = ".";
    if (auto slash = to.find_last_of('/'); slash != std::string::npos) {
        dir = slash == 0 ? "/" : to.substr(0, slash);
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    File f;
    if (!f.Open(path, OpenMode::Read)) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        long n = f.Read(buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace pellox::platform
