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
    void Close();

private:
    int fd_ = -1;
};

[[nodiscard]] bool FileExists(const std::string& path);
[[nodiscard]] bool MakeDirectory(const std::string& path, mode_t mode);
[[nodiscard]] bool RemoveFile(const std::string& path);
// Renames from over to (atomic on one file system) and makes the rename durable.
[[nodiscard]] bool ReplaceFile(const std::string& from, const std::string& to);
// The whole content of a file; false when it cannot be read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& out);

}  // namespace pellox::platform
