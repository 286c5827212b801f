#include "platform/copy_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/creation_gate.hpp"
#include "platform/file.hpp"
#include "platform/write_file.hpp"

namespace vt6::platform {

namespace {

// Large enough that the block copy is bound by the disk, not by system calls.
constexpr size_t kBlockBytes = size_t{8} << 20;
// Per kernel copy request: each copied piece is handed to the disk at once,
// so that the sync at the end has little left to wait for.
constexpr size_t kKernelChunk = size_t{64} << 20;

std::atomic<int64_t> gRoom{-1};
std::atomic<bool> gKernelCopyDisabled{false};

std::string osReason(int err) { return std::error_code(err, std::generic_category()).message(); }

CopyStatus failure(CopyStep step, int err, std::string message) {
    return CopyStatus{step, err, std::move(message) + (err != 0 ? ": " + osReason(err) : std::string())};
}

// The room the test seam leaves for `want` more bytes after `done`: -1 with
// errno ENOSPC when there is none.
ssize_t clipToRoom(uint64_t done, size_t want) {
    const int64_t room = gRoom.load();
    if (room < 0) return static_cast<ssize_t>(want);
    const uint64_t left = done >= static_cast<uint64_t>(room) ? 0 : static_cast<uint64_t>(room) - done;
    if (left == 0) {
        errno = ENOSPC;
        return -1;
    }
    return static_cast<ssize_t>(std::min<uint64_t>(want, left));
}

// -1 with errno set, or the bytes the kernel copied (0 at the source's end).
ssize_t kernelCopy(int in, int out, uint64_t offset, size_t want) {
#ifdef __linux__
    if (gKernelCopyDisabled.load()) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t allowed = clipToRoom(offset, want);
    if (allowed < 0) return -1;
    loff_t from = static_cast<loff_t>(offset);
    loff_t to = static_cast<loff_t>(offset);
    return ::copy_file_range(in, &from, out, &to, static_cast<size_t>(allowed), 0);
#else
    (void)in, (void)out, (void)offset, (void)want;
    errno = ENOSYS;
    return -1;
#endif
}

ssize_t blockWrite(int out, const uint8_t* data, size_t size, uint64_t offset) {
    const ssize_t allowed = clipToRoom(offset, size);
    if (allowed < 0) return -1;
    return ::pwrite(out, data, static_cast<size_t>(allowed), static_cast<off_t>(offset));
}

// Errors after which the block copy can do what the kernel's copy did not:
// no such call, file systems it does not span, or files it does not handle.
bool kernelCopyUnsupported(int err) {
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == EBADF ||
           err == EPERM;
}

class NewFile {
public:
    ~NewFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) (void)removeFile(path_);
    }
    CopyStatus create(const std::string& path) {
        path_ = path;
        do {
            const CreationScope creating;
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            kept_ = true;  // not ours: nothing to remove
            return failure(CopyStep::Open, errno, "cannot create '" + path + "'");
        }
        return {};
    }
    int fd() const noexcept { return fd_; }
    // Starts writing [offset, offset + size) to storage without waiting.
    void startWriteback(uint64_t offset, uint64_t size) const noexcept {
#ifdef __linux__
        (void)::sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(size), SYNC_FILE_RANGE_WRITE);
#else
        (void)offset, (void)size;
#endif
    }
    CopyStatus finish() {
        int rc;
        do {
            rc = ::fsync(fd_);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return failure(CopyStep::Sync, errno, "cannot sync '" + path_ + "'");
        // Never retried: the descriptor is gone even when close fails.
        rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0) return failure(CopyStep::Close, errno, "cannot close '" + path_ + "'");
        kept_ = true;
        return {};
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

} // namespace

OwnedFile::~OwnedFile() {
    if (owned_) (void)removeFile(path_);
}

bool CopyStatus::noSpace() const noexcept { return osError == ENOSPC || osError == EDQUOT || osError == EFBIG; }

void setCopyRoomForTesting(std::optional<uint64_t> bytes) noexcept {
    gRoom = bytes ? static_cast<int64_t>(std::min<uint64_t>(*bytes, INT64_MAX)) : -1;
}

void setKernelCopyDisabledForTesting(bool disabled) noexcept { gKernelCopyDisabled = disabled; }

CopyStatus copyToNewFile(const std::string& source, const std::string& target) {
    const FileGuard in(openFileUtf8(source));
    if (in.fd() < 0) return failure(CopyStep::Source, errno, "cannot open '" + source + "'");
    if (target.empty() || target.find('\0') != std::string::npos || !isValidUtf8(target))
        return failure(CopyStep::Open, EINVAL, "cannot create '" + target + "'");
    // The size decides when the copy is whole: a source that shrinks while it
    // is copied fails the copy instead of giving a short one.
    const std::optional<uint64_t> size = fileSize(in.fd());
    if (!size) return failure(CopyStep::Source, errno, "cannot read the size of '" + source + "'");

    NewFile out;
    if (CopyStatus made = out.create(target); !made.ok()) return made;

    uint64_t done = 0;
    bool kernel = true;
    std::unique_ptr<uint8_t[]> block;
    while (done < *size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(*size - done, kKernelChunk));
        if (kernel) {
            const ssize_t n = kernelCopy(in.fd(), out.fd(), done, want);
            if (n > 0) {
                out.startWriteback(done, static_cast<uint64_t>(n));
                done += static_cast<uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // Some file systems answer 0 for a copy they cannot make.
            if (done == 0 && (n == 0 || kernelCopyUnsupported(errno))) {
                kernel = false;
                continue;
            }
            if (n == 0) return failure(CopyStep::Read, 0, "'" + source + "' ended early while it was copied");
            return failure(CopyStep::Write, errno, "cannot copy '" + source + "' to '" + target + "'");
        }
        if (!block) block = std::make_unique_for_overwrite<uint8_t[]>(kBlockBytes);
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(*size - done, kBlockBytes));
        const ReadOutcome got = readAt(in.fd(), block.get(), chunk, done);
        if (got.status == ReadStatus::Error) return failure(CopyStep::Read, got.error, "cannot read '" + source + "'");
        if (got.bytesRead == 0) return failure(CopyStep::Read, 0, "'" + source + "' ended early while it was copied");
        size_t written = 0;
        while (written < got.bytesRead) {
            const ssize_t n = blockWrite(out.fd(), block.get() + written, got.bytesRead - written, done + written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return failure(CopyStep::Write, n < 0 ? errno : ENOSPC, "cannot write '" + target + "'");
            written += static_cast<size_t>(n);
        }
        out.startWriteback(done, got.bytesRead);
        done += got.bytesRead;
    }
    return out.finish();
}

} // namespace vt6::platform
