#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <dirent.h>
#include <pwd.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

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

namespace {

int OpenFlags(OpenMode how) {
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (how) {
        case OpenMode::Read: flags |= O_RDONLY; break;
        case OpenMode::Truncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case OpenMode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
        case OpenMode::ReadWrite: flags |= O_RDWR; break;
        case OpenMode::Directory: flags |= O_RDONLY | O_DIRECTORY; break;
    }
    return flags;
}

constexpr int kAppendReadableFlags = O_CLOEXEC | O_NOFOLLOW | O_RDWR | O_CREAT | O_APPEND;

// The path without its trailing slashes, which would make the kernel follow a link
// at the last part ("/" stays).
std::string WithoutTrailingSlashes(const std::string& path) {
    std::string out = path;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

bool File::OpenAtFd(int dirfd, const std::string& name, int flags, mode_t mode) {
    Close();
    const std::string path = (flags & O_DIRECTORY) != 0 ? WithoutTrailingSlashes(name) : name;
    do {
        fd_ = ::openat(dirfd, path.c_str(), flags, mode);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

bool File::Open(const std::string& path, OpenMode how, mode_t mode) {
    return OpenAtFd(AT_FDCWD, path, OpenFlags(how), mode);
}

bool File::OpenIn(const File& directory, const std::string& name, OpenMode how, mode_t mode) {
    if (!directory.IsOpen()) return false;
    return OpenAtFd(directory.fd_, name, OpenFlags(how), mode);
}

bool File::CreateUniqueIn(const File& directory, const std::string& prefix, std::string& name,
                          mode_t mode) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (!directory.IsOpen()) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[12];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            if (errno == EINTR) continue;
            return false;
        }
        name = prefix;
        for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
        if (OpenAtFd(directory.fd_, name, O_CLOEXEC | O_NOFOLLOW | O_WRONLY | O_CREAT | O_EXCL,
                     mode)) {
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
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

bool File::LockFirstByte() {
    if (fd_ < 0) return false;
    struct flock range{};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    int rc;
    do {
        rc = ::fcntl(fd_, F_OFD_SETLK, &range);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && (errno == EACCES || errno == EAGAIN)) errno = EWOULDBLOCK;
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
    return OpenAtFd(AT_FDCWD, path, kAppendReadableFlags, mode);
}

bool File::OpenAppendReadableIn(const File& directory, const std::string& name, mode_t mode) {
    if (!directory.IsOpen()) return false;
    return OpenAtFd(directory.fd_, name, kAppendReadableFlags, mode);
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
    constexpr unsigned kMask =
        STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_NLINK | STATX_SIZE;
    if (::statx(dirfd, path, flags | AT_STATX_SYNC_AS_STAT, kMask, &sx) == 0) {
        status.device = static_cast<std::uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
        status.inode = sx.stx_ino;
        status.links = sx.stx_nlink;
        status.size = static_cast<std::int64_t>(sx.stx_size);
        status.mode = sx.stx_mode;
        status.owner = sx.stx_uid;
        return true;
    }
    if (errno != ENOSYS) return false;
    struct stat st{};
    if (::fstatat(dirfd, path, &st, flags) != 0) return false;
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    status.links = static_cast<std::uint64_t>(st.st_nlink);
    status.size = static_cast<std::int64_t>(st.st_size);
    status.mode = st.st_mode;
    status.owner = st.st_uid;
    return true;
}

}  // namespace

bool File::Status(FileStatus& status) const {
    return fd_ >= 0 && StatusOf(fd_, "", AT_EMPTY_PATH, status);
}

bool File::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

bool File::Truncate(std::int64_t size) {
    if (fd_ < 0) return false;
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

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

bool EntryExists(const std::string& path) {
    struct stat st{};
    return ::lstat(WithoutTrailingSlashes(path).c_str(), &st) == 0;
}

bool MakeDirectories(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!MakeDirectory(path.substr(0, slash), mode)) return false;
    }
    return path.empty() || path.back() == '/' || MakeDirectory(path, mode);
}

std::string UserDataHome() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return WithoutTrailingSlashes(data);
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
        home = env;
    } else {
        std::vector<char> buffer(16384);
        struct passwd entry{};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) return {};
    home = WithoutTrailingSlashes(home);
    return (home == "/" ? std::string() : home) + "/.local/share";
}

bool MakeDirectory(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0) return true;
    struct stat st{};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

DirectoryTrust OpenPrivateDirectory(const std::string& path, File& directory) {
    if (!directory.Open(path, OpenMode::Directory)) {
        const int error = errno;
        struct stat st{};
        if (::lstat(WithoutTrailingSlashes(path).c_str(), &st) != 0) {
            return errno == ENOENT ? DirectoryTrust::Missing : DirectoryTrust::Unreadable;
        }
        if (S_ISLNK(st.st_mode)) return DirectoryTrust::Link;
        if (!S_ISDIR(st.st_mode) || error == ENOTDIR) return DirectoryTrust::NotADirectory;
        return DirectoryTrust::Unreadable;
    }
    FileStatus status;
    DirectoryTrust trust = DirectoryTrust::Private;
    if (!directory.Status(status)) {
        trust = DirectoryTrust::Unreadable;
    } else if (status.owner != ::geteuid()) {
        trust = DirectoryTrust::OtherOwner;
    } else if ((status.mode & (S_IWGRP | S_IWOTH)) != 0) {
        trust = DirectoryTrust::WritableByOthers;
    }
    if (trust != DirectoryTrust::Private) directory.Close();
    return trust;
}

bool RenameIn(const File& directory, const std::string& from, const std::string& to) {
    if (!directory.IsOpen()) return false;
    if (::renameat(directory.fd_, from.c_str(), directory.fd_, to.c_str()) != 0) return false;
    (void)::fsync(directory.fd_);  // the new directory entry is durable as well
    return true;
}

bool RemoveIn(const File& directory, const std::string& name) {
    return directory.IsOpen() && ::unlinkat(directory.fd_, name.c_str(), 0) == 0;
}

bool RemoveAllIn(const File& directory, const std::string& prefix) {
    if (!directory.IsOpen()) return false;
    // The listing gets a descriptor of its own, so the directory's offset and the
    // caller's descriptor stay as they are.
    const int fd = ::openat(directory.fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string_view(entry->d_name).starts_with(prefix)) {
            (void)::unlinkat(directory.fd_, entry->d_name, 0);
        }
    }
    ::closedir(dir);
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
