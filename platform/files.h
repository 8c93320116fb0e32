// Files over POSIX descriptors: open for reading, for a fresh write or for appending,
// an advisory lock that keeps a second running instance out of a file, durable
// writes and an atomic replace. Every operation reports failure as false; nothing
// throws.
//
// No open follows a symbolic link at the last part of its path: a link planted where
// a stored file is expected makes the open fail instead of reaching its target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace pellox::platform {

// What the file system says of a file: which file it is (device and inode), how
// many names it has (0 once deleted) and its size. Its times are not asked for: a
// file system that stamps changes more finely once somebody has read a file's
// times would then update the inode on every later write.
struct FileStatus {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    std::int64_t size = 0;
    unsigned mode = 0;   // type and permission bits (st_mode)
    unsigned owner = 0;  // user id
};

enum class OpenMode {
    Read,      // existing file, read only
    Truncate,  // create or empty, write only
    Append,    // create if missing, every write goes to the end
    ReadWrite, // existing file, read and write from the start
    Directory, // an existing directory, for locking it and for the *In operations
};

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // mode is the permission for a newly created file.
    [[nodiscard]] bool Open(const std::string& path, OpenMode how, mode_t mode = 0644);
    // Opens `name` inside the open directory `directory`, which a rename of the
    // directory's path cannot redirect.
    [[nodiscard]] bool OpenIn(const File& directory, const std::string& name, OpenMode how,
                              mode_t mode = 0644);
    // Creates a new file for writing inside the open directory, named `prefix`
    // followed by random characters; never opens a file that exists. `name` receives
    // the name chosen.
    [[nodiscard]] bool CreateUniqueIn(const File& directory, const std::string& prefix,
                                      std::string& name, mode_t mode);
    // Takes an advisory lock: exclusive for writers, shared for readers; waits when
    // `wait` is set, otherwise fails at once when another process holds it.
    [[nodiscard]] bool Lock(bool exclusive, bool wait);
    // Releases the lock taken with Lock, for every descriptor of this open file.
    bool Unlock();
    // Takes an exclusive lock on the file's first byte, held by this open file until
    // it is closed; fails at once (errno EWOULDBLOCK) when another open of the file
    // holds it, in this process or another. The file must be open for writing. It
    // is a lock of its own beside Lock's: neither keeps the other out, so one file
    // can carry both.
    [[nodiscard]] bool LockFirstByte();
    bool IsOpen() const { return fd_ >= 0; }

    // Writes all n bytes (retrying short writes).
    [[nodiscard]] bool Write(const void* data, std::size_t n);
    [[nodiscard]] bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
    // One read: bytes read, 0 at the end, -1 on error.
    long Read(void* data, std::size_t n);
    // Flushes the data to the disk.
    [[nodiscard]] bool Sync();
    // Cuts the file (open for writing) to its first `size` bytes.
    [[nodiscard]] bool Truncate(std::int64_t size);

    // Like Open(path, OpenMode::Append, mode), but the file can be read as well
    // (ReadAt), so an appender can look at the end before it writes.
    [[nodiscard]] bool OpenAppendReadable(const std::string& path, mode_t mode = 0644);
    [[nodiscard]] bool OpenAppendReadableIn(const File& directory, const std::string& name,
                                            mode_t mode = 0644);
    // The file's current size in bytes; false on error.
    [[nodiscard]] bool Size(std::int64_t& size) const;
    // One read at the given offset, leaving the file position alone: bytes read,
    // 0 at the end, -1 on error (also on a file not opened for reading).
    long ReadAt(void* data, std::size_t n, std::int64_t offset);
    // The status of the open file, even after its name is gone; false on error.
    [[nodiscard]] bool Status(FileStatus& status) const;
    void Close();

private:
    friend class FileWatch;
    friend bool RenameIn(const File&, const std::string&, const std::string&);
    friend bool RemoveIn(const File&, const std::string&);
    friend bool RemoveAllIn(const File&, const std::string&);
    bool OpenAtFd(int dirfd, const std::string& name, int flags, mode_t mode);

    int fd_ = -1;
};

// Whether a directory may hold private files: opened without following a link,
// owned by this process's user and writable by nobody else.
enum class DirectoryTrust {
    Private,          // usable
    Missing,          // nothing at the path
    Link,             // a symbolic link
    NotADirectory,    // something else
    OtherOwner,       // owned by another user
    WritableByOthers, // group or others may write in it
    Unreadable,       // cannot be opened (permissions, I/O error)
};
// Opens the directory at `path` (a trailing "/" is allowed) into `directory` and
// judges it; the directory stays open only when it is Private.
DirectoryTrust OpenPrivateDirectory(const std::string& path, File& directory);

// Renames `from` over `to`, both inside the open directory, and makes the rename
// durable.
[[nodiscard]] bool RenameIn(const File& directory, const std::string& from, const std::string& to);
// Removes the file `name` inside the open directory.
bool RemoveIn(const File& directory, const std::string& name);
// Removes every file of the open directory whose name starts with `prefix`; false
// when the directory cannot be listed.
bool RemoveAllIn(const File& directory, const std::string& prefix);

[[nodiscard]] bool FileExists(const std::string& path);
// The status of the file the path names (following symbolic links); false when
// there is none.
[[nodiscard]] bool PathStatus(const std::string& path, FileStatus& status);
// Whether anything (a file, a directory, a link even to nothing) has this name.
[[nodiscard]] bool EntryExists(const std::string& path);
[[nodiscard]] bool MakeDirectory(const std::string& path, mode_t mode);
// Makes the directory and every missing one above it, each with `mode`.
[[nodiscard]] bool MakeDirectories(const std::string& path, mode_t mode);
// The user's folder for application data: $XDG_DATA_HOME when it is an absolute
// path, otherwise the home folder ($HOME, or the user database's) followed by
// "/.local/share"; empty when there is no home folder. No "/" at the end.
std::string UserDataHome();
[[nodiscard]] bool RemoveFile(const std::string& path);
// The whole content of a file; false when it cannot be read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& out);

}  // namespace pellox::platform
