#pragma once
// Read side of the file system: opening an existing file read-only by a UTF-8
// path, its size, and positioned reads. Nothing here locks a file: other
// readers, writers and deleters keep their access while it is open, so every
// read reports how far it got instead of trusting an earlier size.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vt6::platform {

// Opens an existing regular file for reading only, close-on-exec. Returns the
// descriptor, or -1 when the path is not valid UTF-8, longer than 2^31 - 1
// bytes, holds a NUL byte, names no regular file, or cannot be opened.
int openFileUtf8(const std::string& path) noexcept;

// 64-bit size of an open file; empty when the OS cannot say.
std::optional<uint64_t> fileSize(int fd) noexcept;

enum class ReadStatus {
    Filled,     // every requested byte was read
    EndOfFile,  // the file ended first; bytesRead says how far it got
    Error,      // the OS reported a failure; error holds errno
};

struct ReadOutcome {
    ReadStatus status = ReadStatus::Error;
    size_t bytesRead = 0;
    int error = 0;
};

// Fills [dst, dst + size) from the file starting at `offset`, piecewise as the
// OS allows, retrying interrupted reads. Does not use or move a shared file
// position, so threads may read one descriptor at once.
ReadOutcome readAt(int fd, void* dst, size_t size, uint64_t offset) noexcept;

// Closes a descriptor; negative values are ignored.
void closeFile(int fd) noexcept;

// Closes the descriptor it holds when it goes out of scope.
class FileGuard {
public:
    explicit FileGuard(int fd) noexcept : fd_(fd) {}
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    ~FileGuard() { closeFile(fd_); }
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUtf8(const std::string& text) noexcept;

} // namespace vt6::platform
