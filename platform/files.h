// Files over POSIX descriptors: open for reading, for a fresh write or for appending,
// an advisory lock that keeps a second running instance out of a file, durable
// writes and an atomic replace. Every operation reports failure as false; nothing
// throws.
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
};

enum class OpenMode {
    Read,      // existing file, read only
    Truncate,  // create or empty, write only
    Append,    // create if missing, every write goes to the end
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
    // Takes an advisory lock: exclusive for writers, shared for readers; waits when
    // `wait` is set, otherwise fails at once when another process holds it.
    [[nodiscard]] bool Lock(bool exclusive, bool wait);
    // Releases the lock taken with Lock, for every descriptor of this open file.
    bool Unlock();
    bool IsOpen() const { return fd_ >= 0; }

    // Writes all n bytes (retrying short writes).
    [[nodiscard]] bool Write(const void* data, std::size_t n);
    [[nodiscard]] bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
    // One read: bytes read, 0 at the end, -1 on error.
    long Read(void* data, std::size_t n);
    // Flushes the data to the disk.
    [[nodiscard]] bool Sync();

    // Like Open(path, OpenMode::Append, mode), but the file can be read as well
    // (ReadAt), so an appender can look at the end before it writes.
    [[nodiscard]] bool OpenAppendReadable(const std::string& path, mode_t mode = 0644);
    // The file's current size in bytes; false on error.
    [[nodiscard]] bool Size(std::int64_t& size) const;
    // One read at the given offset, leaving the file position alone: bytes read,
    // 0 at the end, -1 on error (also on a file not opened for reading).
    long ReadAt(void* data, std::size_t n, std::int64_t offset);
    // The status of the open file, even after its name is gone; false on error.
    [[nodiscard]] bool Status(FileStatus& status) const;
    void Close();

private:
    int fd_ = -1;
};

[[nodiscard]] bool FileExists(const std::string& path);
// The status of the file the path names (following symbolic links); false when
// there is none.
[[nodiscard]] bool PathStatus(const std::string& path, FileStatus& status);
[[nodiscard]] bool MakeDirectory(const std::string& path, mode_t mode);
[[nodiscard]] bool RemoveFile(const std::string& path);
// Renames from over to (atomic on one file system) and makes the rename durable.
[[nodiscard]] bool ReplaceFile(const std::string& from, const std::string& to);
// The whole content of a file; false when it cannot be read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& out);

}  // namespace pellox::platform
