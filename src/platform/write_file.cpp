#include "platform/write_file.hpp"

#include "platform/file.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vt6::platform {

namespace {

// Linux moves at most 0x7ffff000 bytes per write; asking for less keeps every
// request well inside ssize_t on any platform.
constexpr size_t kMaxWriteChunk = size_t{1} << 30;

std::string osReason(int err) {
    return std::error_code(err, std::generic_category()).message();
}

WriteStatus failure(WriteStep step, int err, std::string message) {
    return WriteStatus{step, err, std::move(message)};
}

} // namespace

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

WriteStatus OutputFile::create(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_ = path;
    // A NUL inside the path would silently name a different file, and a path
    // that is not UTF-8 could be written but never opened again by the reader.
    if (path.empty() || path.find('\0') != std::string::npos || !isValidUtf8(path)) {
        return failure(WriteStep::Open, EINVAL, "cannot create '" + path + "': invalid path");
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        return failure(WriteStep::Open, err, "cannot create '" + path + "': " + osReason(err));
    }
    fd_ = fd;
    return {};
}

WriteStatus OutputFile::writeAll(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return failure(WriteStep::Write, EBADF, "cannot write '" + path_ + "': file is not open");
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t want = std::min(bytes.size() - done, kMaxWriteChunk);
        const ssize_t n = ::write(fd_, bytes.data() + done, want);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            return failure(WriteStep::Write, err,
                           "cannot write '" + path_ + "' (wrote " + std::to_string(done) + " of " +
                               std::to_string(bytes.size()) + " bytes): " + osReason(err));
        }
        if (n == 0) {
            // No progress and no error: retrying would spin forever.
            return failure(WriteStep::Write, 0,
                           "cannot write '" + path_ + "' (wrote " + std::to_string(done) + " of " +
                               std::to_string(bytes.size()) + " bytes): the system accepted no more");
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

WriteStatus OutputFile::sync() {
    if (fd_ < 0) return failure(WriteStep::Sync, EBADF, "cannot sync '" + path_ + "': file is not open");
    int rc;
    do {
        rc = ::fsync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        return failure(WriteStep::Sync, err, "cannot sync '" + path_ + "': " + osReason(err));
    }
    return {};
}

WriteStatus OutputFile::close() {
    if (fd_ < 0) return failure(WriteStep::Close, EBADF, "cannot close '" + path_ + "': file is not open");
    // Never retried: on Linux the descriptor is released even when close
    // reports EINTR, and a retry could close another thread's new descriptor.
    const int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0) {
        const int err = errno;
        return failure(WriteStep::Close, err, "cannot close '" + path_ + "': " + osReason(err));
    }
    return {};
}

bool OutputFile::isRegularFile() const noexcept {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

bool removeFile(const std::string& path) noexcept {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    return ::unlink(path.c_str()) == 0;
}

WriteStatus writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    OutputFile file;
    WriteStatus status = file.create(path);
    if (!status.ok()) return status;
    // Decided while the descriptor is ours: a device or pipe at the path is
    // never unlinked, whatever happens below.
    const bool removable = file.isRegularFile();

    status = file.writeAll(bytes);
    if (status.ok()) status = file.sync();
    if (status.ok()) {
        status = file.close();
    } else {
        (void)file.close();  // the first failure is the one reported
    }
    if (!status.ok() && removable) removeFile(path);
    return status;
}

} // namespace vt6::platform
