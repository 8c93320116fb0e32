// How the store layer touches its files, so that no write is ever skipped or torn.
//
// Inside the process every file is guarded by a path lock: a second thread that
// wants the same path waits until the first is done. Between processes an advisory
// lock (flock) keeps a second running instance out while a file is open: readers
// take it shared, appenders exclusive. Whole-file rewrites take the first-byte lock
// of the file kInstanceLockName in the data directory, so all rewrites of one
// directory are serialised; never a lock on the directory itself, which anybody who
// may open the directory could take and keep. No lock is waited for longer than
// kLockPatience: what another process holds longer makes that read or write fail.
//
// Files that are rewritten whole (settings, contact lists) go through
// ReplaceFileContents: the new content is written to a new file with an
// unpredictable name ("<name>.tmp-" and random letters) in the same directory,
// flushed to the disk and renamed over the old file, so a crash leaves the old file
// or the new one, never a truncated one. History files are appended to; an entry
// taken back is cut out of them with CutFromFile.
//
// A directory is written to only when it is private: opened without following a
// link, owned by this user, writable by nobody else. Elsewhere another user could
// plant links or files where ours are expected. No stored file is opened through a
// link.
//
// Every file the store creates has mode 0600: "settings.txt" holds passwords in
// plain text, the others are private conversations.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace pellox {

inline constexpr unsigned kStoredFileMode = 0600;
inline constexpr unsigned kDataDirectoryMode = 0700;

// How long a lock held by another process is waited for.
inline constexpr std::chrono::seconds kLockPatience{10};
// Takes the file's lock (platform::File::Lock), waiting at most kLockPatience; false
// with errno EWOULDBLOCK when it was held all that time.
[[nodiscard]] bool LockPatiently(platform::File& file, bool exclusive);

[[nodiscard]] bool AppendToFile(const std::string& path, const std::string& bytes);  // below
bool DeleteStoredFile(const std::string& path);                                      // below

// Holds the in-process lock of one path (any text used as a key) for its lifetime.
class PathLock {
public:
    explicit PathLock(std::string_view path);
    ~PathLock();
    PathLock(const PathLock&) = delete;
    PathLock& operator=(const PathLock&) = delete;

    struct State;  // what the table of paths keeps for each path

    // How many paths the table holds: those in use and those with a kept descriptor.
    static std::size_t TableSizeForTesting();

private:
    friend bool AppendToFile(const std::string& path, const std::string& bytes);
    friend bool DeleteStoredFile(const std::string& path);
    State* state_;  // the path's entry in that table, kept while it is in use
};

// Rewrites directory + name whole. `produce` runs while the directory's rewrite
// lock is held, so what it returns is written in the order it was produced; it
// returns nullopt to cancel the write (the old file stays). False when nothing was
// written: cancelled, or the file could not be created, written, flushed or renamed
// (the temporary file is then removed). With `error`, it tells the error number of
// a failed write, and 0 when the write was cancelled or done.
[[nodiscard]] bool ReplaceFileContents(const std::string& directory, const std::string& name,
                                       const std::function<std::optional<std::string>()>& produce,
                                       int* error = nullptr);

// Takes `bytes` out of directory + name where they stand last at the start of a line
// (at the start of the file or behind a line feed), leaving every other byte as it
// was: the file is cut short when they end it, otherwise rewritten as
// ReplaceFileContents does. Nothing is written unless the whole file was read.
// False when nothing was taken out: the bytes are not there, or the file could not
// be read or written.
[[nodiscard]] bool CutFromFile(const std::string& directory, const std::string& name,
                               std::string_view bytes);

// Runs fn while holding the directory's rewrite lock: no rewrite of a file in that
// directory starts or ends meanwhile.
void WithRewriteLock(const std::string& directory, const std::function<void()>& fn);

// Whether the directory must not be used: a link, not a directory, another user's,
// or writable by others. A missing or unreadable directory is not untrusted (it
// fails by itself).
bool UntrustedDirectory(const std::string& directory);

// The directory part of a path, ending in "/" ("./" for a bare name).
std::string DirectoryOfFile(const std::string& path);

// Deletes directory + name under the directory's rewrite lock, so that it cannot
// race with a rewrite of the same file; a missing file is no error.
bool DeleteRewrittenFile(const std::string& directory, const std::string& name);

// Called after the temporary file is written and flushed and before the rename, with
// the temporary file's path. For crash tests; nullptr removes it.
void SetBeforeReplaceHookForTesting(void (*hook)(const std::string& tempPath));

// Appends the bytes to the file (created when missing). When the file does not end
// with a line feed (a write that a crash cut short), CR LF goes first, so the bytes
// start on a line of their own. False when it cannot be opened or written.
//
// The descriptors of the kKeptAppendFiles most recently appended paths stay open
// between appends (close-on-exec, unlocked). One is used again only while the path
// still names its file, so a file deleted or replaced meanwhile is opened afresh.
// Kept files are watched for changes (platform::FileWatch): while nothing but this
// process's own appends changed a file, its path and its last byte are not looked
// at again; any other change, or no watch, and they are.
[[nodiscard]] bool AppendToFile(const std::string& path, const std::string& bytes);
inline constexpr std::size_t kKeptAppendFiles = 8;

// Whether appends watch their kept files (on by default). Off, every append looks at
// the path and the last byte, as it does where the system gives no watch.
void SetAppendWatchForTesting(bool on);

// Closes the descriptors AppendToFile keeps of paths nobody is appending to now, so
// that a caller that counts its open descriptors (a leak check, a shut-down) sees
// none of them. The next append opens its file again.
void CloseKeptAppendFiles();

// Deletes the file, closing a descriptor AppendToFile kept of it; a missing file is
// no error.
bool DeleteStoredFile(const std::string& path);

// Keeps a second Pellox off a data directory: an exclusive advisory lock on the file
// kInstanceLockName in it, held while `lock` stays open; the kernel releases it
// when the process ends, however it ends. InUse when another process holds it;
// Failed when the directory is not private or the file cannot be opened. The file
// is created with mode 0600 in a private directory, so no other user can lock it;
// rewrites lock its first byte, which this lock does not keep out.
inline constexpr char kInstanceLockName[] = "pellox.lock";
enum class InstanceLock { Taken, InUse, Failed };
InstanceLock LockDataDirectory(const std::string& directory, platform::File& lock);

// A piece of application text as it appears inside a file name: UTF-8, with "/",
// "%" and the zero character written as "%2F", "%25" and "%00", so that a UIN or
// profile name can never leave the data directory or collide with another.
std::string FileNameComponent(std::u16string_view text);

}  // namespace pellox
