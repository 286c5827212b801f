#pragma once
// The write side of the file layer. A user's file is never opened for
// writing: its replacement is written to a new temporary sibling in the same
// folder, flushed to storage, renamed over it and the folder flushed in turn.
// Until that rename the old file is untouched; after it the new file is
// complete. A failure on the way removes the temporary and nothing else.
//
// A file only counts as written once fsync has succeeded: a rename of an
// unsynced file over the user's file can leave an empty file after a crash.

#include <cstdint>
#include <span>
#include <string>

namespace vt6::platform {

// The step of writing a file that failed; None on success.
enum class WriteStep : uint8_t {
    None,
    Target,      // the path names something that is not a regular file (or a link loop)
    Open,        // the temporary could not be created
    Write,
    Sync,
    Close,
    Replace,     // the rename over the target failed; the target is as it was
    SyncFolder,  // the target was replaced, but its folder could not be flushed
};

struct WriteStatus {
    WriteStep failedStep = WriteStep::None;
    int osError = 0;      // errno of the failure; 0 when the OS reported none
    std::string message;  // English, naming the path and the reason
    std::string reason;   // the reason alone, for callers that name the path themselves

    bool ok() const noexcept { return failedStep == WriteStep::None; }
};

// A new file open for writing. Owns its descriptor; movable, not copyable.
// Destroying an open file closes it without syncing.
class OutputFile {
public:
    OutputFile() noexcept = default;
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates a file that must not exist yet (never through a symbolic
    // link), for writing only, close-on-exec, with `mode` less the umask.
    WriteStatus createNew(const std::string& path, unsigned mode = 0666);
    // Writes all of `bytes` at the end of what was written so far,
    // continuing after partial writes and interrupts.
    WriteStatus writeAll(std::span<const uint8_t> bytes);
    // Writes all of `bytes` at `offset`, leaving the append position alone.
    WriteStatus writeAllAt(uint64_t offset, std::span<const uint8_t> bytes);
    // Asks the system to start writing the bytes [offset, offset + size) to
    // storage, without waiting for them; a later sync then has less to wait
    // for. Best effort.
    void startWriteback(uint64_t offset, uint64_t size) noexcept;
    // Sets the permission bits (not subject to the umask).
    WriteStatus setPermissions(unsigned mode);
    // Flushes the file's data and size to storage.
    WriteStatus sync();
    // Closes the descriptor; the file is closed even when this reports an error.
    WriteStatus close();

    bool isOpen() const noexcept { return fd_ >= 0; }
    const std::string& path() const noexcept { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// The replacement of one file, written to a temporary sibling of it and put
// in its place by commit. Not committed (a failure, an early return, an
// exception), the destructor removes the temporary.
class FileReplacement {
public:
    FileReplacement() noexcept = default;
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Checks the target and creates the temporary. A symbolic link at the
    // target is followed: the link stays and the file it names is replaced.
    // Anything there that is not a regular file (pipe, device, folder,
    // socket) is refused without being opened. An existing file's permission
    // bits pass to its replacement.
    WriteStatus begin(const std::string& target);
    WriteStatus write(std::span<const uint8_t> bytes);
    WriteStatus writeAt(uint64_t offset, std::span<const uint8_t> bytes);
    void startWriteback(uint64_t offset, uint64_t size) noexcept { file_.startWriteback(offset, size); }
    // Syncs and closes the temporary, renames it over the target and syncs
    // the folder. On failure before the rename the temporary is removed.
    WriteStatus commit();
    // Closes and removes the temporary; the target stays as it was.
    void abandon() noexcept;

    const std::string& temporaryPath() const noexcept { return temporary_; }
    // Where the new file goes: the target with its symbolic links followed.
    const std::string& replacedPath() const noexcept { return replaced_; }

private:
    OutputFile file_;
    std::string temporary_;  // empty once committed or removed
    std::string replaced_;
    bool keepMode_ = false;
    unsigned mode_ = 0;
};

// Where a replacement of `path` goes: `resolved` becomes `path` with its
// symbolic links followed (the name need not exist). Fails with step Target,
// and a reason such as "it is a named pipe, not a regular file", when
// anything but a regular file is there or the links loop.
WriteStatus resolveReplaceTarget(const std::string& path, std::string& resolved);

// Removes the directory entry at `path`. True when it was removed.
bool removeFile(const std::string& path) noexcept;

// Replaces (or creates) the file at `path` with `bytes` through a
// FileReplacement.
WriteStatus writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);

// Test seam: the `nth` call (from 1) of one kind that this thread makes from
// here on fails with `error` instead of reaching the system, as a full disk or
// a failing device would. One fault at a time; the scope ends it.
enum class WriteFaultCall : uint8_t { Write, Sync, Rename };

class ScopedWriteFault {
public:
    ScopedWriteFault(WriteFaultCall call, int nth, int error) noexcept;
    ~ScopedWriteFault();
    ScopedWriteFault(const ScopedWriteFault&) = delete;
    ScopedWriteFault& operator=(const ScopedWriteFault&) = delete;
    // True once the fault was delivered.
    bool fired() const noexcept;
};

} // namespace vt6::platform
