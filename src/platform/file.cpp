#include "platform/file.hpp"

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt6::platform {

namespace {

constexpr size_t kMaxPathBytes = 0x7FFFFFFF;
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
// One read never asks for more than this; the kernel caps requests anyway.
constexpr size_t kMaxReadRequest = 0x7FFFF000;

} // namespace

bool isValidUtf8(const std::string& text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        uint32_t min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = p[i + k];
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

int openFileUtf8(const std::string& path) noexcept {
    if (path.empty() || path.size() > kMaxPathBytes) return -1;
    if (std::memchr(path.data(), '\0', path.size()) != nullptr) return -1;
    if (!isValidUtf8(path)) return -1;

    // O_NONBLOCK keeps a FIFO or device from blocking the open; anything that
    // is not a regular file is refused right after.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<uint64_t> fileSize(int fd) noexcept {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

ReadOutcome readAt(int fd, void* dst, size_t size, uint64_t offset) noexcept {
    ReadOutcome out;
    auto* p = static_cast<unsigned char*>(dst);
    if (size == 0) {
        out.status = ReadStatus::Filled;
        return out;
    }
    if (offset > kMaxOffset) {
        out.status = ReadStatus::Error;
        out.error = EOVERFLOW;
        return out;
    }
    while (out.bytesRead < size) {
        const uint64_t at = offset + out.bytesRead;
        // No file holds bytes beyond the largest representable offset.
        if (at >= kMaxOffset) {
            out.status = ReadStatus::EndOfFile;
            return out;
        }
        size_t want = size - out.bytesRead;
        if (want > kMaxReadRequest) want = kMaxReadRequest;
        if (want > kMaxOffset - at) want = static_cast<size_t>(kMaxOffset - at);
        const ssize_t n = ::pread(fd, p + out.bytesRead, want, static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) continue;
            out.status = ReadStatus::Error;
            out.error = errno;
            return out;
        }
        if (n == 0) {
            out.status = ReadStatus::EndOfFile;
            return out;
        }
        out.bytesRead += static_cast<size_t>(n);
    }
    out.status = ReadStatus::Filled;
    return out;
}

void closeFile(int fd) noexcept {
    // The descriptor is released even when close reports an error (Linux), so
    // retrying on EINTR could close a descriptor another thread just got.
    if (fd >= 0) ::close(fd);
}

} // namespace vt6::platform
