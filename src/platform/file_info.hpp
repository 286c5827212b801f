#pragma once
// File status by UTF-8 path, the process's current folder, and a plain
// byte-for-byte copy of one file to another.

#include <cstdint>
#include <optional>
#include <string>

namespace vt6::platform {

// The all-zero record stands for a path that names nothing. Two records
// describe the same unchanged file when both exist and size and
// lastWriteTime are equal; modifiedTime takes no part in that test.
struct FileInfo {
    bool exists = false;
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t modifiedTime = 0;    // seconds since 1970-01-01 UTC
    uint64_t lastWriteTime = 0;  // modification time in nanoseconds; 0 only when unreadable

    bool operator==(const FileInfo&) const = default;
};

// Status of the file or folder at `path` (links followed). A path that is
// not valid UTF-8, holds a NUL byte, is longer than 2^31 - 1 bytes or names
// nothing gives the all-zero record.
FileInfo queryFileInfo(const std::string& path) noexcept;

// Which file a path names and how it was when asked (links followed): a
// file replaced or rewritten by another program compares unequal. The
// all-zero record stands for a path that names nothing.
struct FileIdentity {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint64_t modifiedNs = 0;  // modification time in nanoseconds

    bool operator==(const FileIdentity&) const = default;
};

FileIdentity queryFileIdentity(const std::string& path) noexcept;

// Whether both paths name one existing file (same device and inode, links
// followed); false when either names nothing.
bool isSameFile(const std::string& a, const std::string& b) noexcept;

// The current folder, or nothing when it cannot be read into 4096 bytes.
std::optional<std::string> currentDirectory();

// Copies the regular file `source` to `target` through a synced temporary
// sibling renamed over the target, so the target is replaced only by a
// complete copy. Refuses (false, nothing touched) when the source cannot be
// opened, when the target is the source itself, and when something other
// than a regular file is at the target. A failed read, write or sync leaves
// the target as it was (no file when there was none).
bool copyFile(const std::string& source, const std::string& target);

} // namespace vt6::platform
