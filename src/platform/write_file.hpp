#pragma once
// The write side of the file layer: create or truncate a file by UTF-8 path,
// write every byte, flush it to storage and close it, reporting each failure
// with the step that failed and the operating system's reason.
//
// A file only counts as written once fsync has succeeded: a rename of an
// unsynced file over the user's file can leave an empty file after a crash.

#include <cstdint>
#include <span>
#include <string>

namespace vt6::platform {

// The step of writing a file that failed; None on success.
enum class WriteStep : uint8_t { None, Open, Write, Sync, Close };

struct WriteStatus {
    WriteStep failedStep = WriteStep::None;
    int osError = 0;      // errno of the failure; 0 when the OS reported none
    std::string message;  // English, naming the path and the OS's reason

    bool ok() const noexcept { return failedStep == WriteStep::None; }
};

// A file open for writing. Owns its descriptor; movable, not copyable.
// Destroying an open file closes it without syncing.
class OutputFile {
public:
    OutputFile() noexcept = default;
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file or truncates an existing one, for writing only,
    // close-on-exec, with the permissions the umask leaves of 0666.
    WriteStatus create(const std::string& path);
    // Writes all of `bytes`, continuing after partial writes and interrupts.
    WriteStatus writeAll(std::span<const uint8_t> bytes);
    // Flushes the file's data and size to storage.
    WriteStatus sync();
    // Closes the descriptor; the file is closed even when this reports an error.
    WriteStatus close();

    bool isOpen() const noexcept { return fd_ >= 0; }
    // True when the open descriptor refers to a regular file (not a device,
    // pipe or socket).
    bool isRegularFile() const noexcept;
    const std::string& path() const noexcept { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Removes the directory entry at `path`. True when it was removed.
bool removeFile(const std::string& path) noexcept;

// Creates or truncates `path`, writes `bytes`, syncs and closes. When a step
// after creation fails, the file is removed again if it is a regular file, so
// no partial file is left behind. Only for files the caller owns (a new
// temporary sibling), never for the user's own file.
WriteStatus writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);

} // namespace vt6::platform
