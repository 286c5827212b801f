#pragma once
// A whole, synced copy of one file into a new file, or no file at all. The
// kernel copies where it can (copy_file_range: no bytes pass through this
// process, and file systems that share extents copy in no time); otherwise
// large blocks are read and written. Every write is checked: a full disk
// fails the copy instead of leaving a short file that looks whole.

#include <cstdint>
#include <optional>
#include <string>

namespace vt6::platform {

enum class CopyStep : uint8_t {
    None,
    Source,  // the source cannot be opened or is not a regular file
    Open,    // the new file cannot be created
    Read,
    Write,
    Sync,
    Close,
};

struct CopyStatus {
    CopyStep failedStep = CopyStep::None;
    int osError = 0;      // errno of the failure; 0 when the OS reported none
    std::string message;  // English, naming the path and the reason

    bool ok() const noexcept { return failedStep == CopyStep::None; }
    // The target's file system (or the user's share of it) has no room left.
    bool noSpace() const noexcept;
};

// Copies the regular file `source` into `target`, which must not exist yet
// (never through a symbolic link), with permissions 0600, and syncs it. On
// any failure the partial target is removed: it either holds every byte of
// the source, synced, or does not exist.
CopyStatus copyToNewFile(const std::string& source, const std::string& target);

// A file this program made, removed when the object goes. Until `adopt`
// it owns nothing, so a name that someone else took is never removed.
class OwnedFile {
public:
    explicit OwnedFile(std::string path) : path_(std::move(path)) {}
    ~OwnedFile();
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    // The file at the path is this program's from now on.
    void adopt() noexcept { owned_ = true; }

private:
    std::string path_;
    bool owned_ = false;
};

// Test seam: the file system of every target has room for this many more
// bytes per copy; a copy past it fails with ENOSPC after filling the room, as
// a full disk does. Nothing: no limit.
void setCopyRoomForTesting(std::optional<uint64_t> bytes) noexcept;

// Test seam: the kernel's copy is reported as unsupported, so the block copy
// runs.
void setKernelCopyDisabledForTesting(bool disabled) noexcept;

} // namespace vt6::platform
