#include "platform/file_info.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.hpp"
#include "platform/write_file.hpp"

namespace vt6::platform {

namespace {

constexpr size_t kMaxPathBytes = 0x7FFFFFFF;
constexpr size_t kCopyBlockBytes = 65536;

bool usablePath(const std::string& path) noexcept {
    return !path.empty() && path.size() <= kMaxPathBytes && std::memchr(path.data(), '\0', path.size()) == nullptr &&
           isValidUtf8(path);
}

} // namespace

FileInfo queryFileInfo(const std::string& path) noexcept {
    if (!usablePath(path)) return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    FileInfo info;
    info.exists = true;
    info.isDirectory = S_ISDIR(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.modifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    const uint64_t ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    // 0 means "cannot be read"; a file stamped exactly at the epoch still
    // has a time.
    info.lastWriteTime = ns != 0 ? ns : 1;
    return info;
}

FileIdentity queryFileIdentity(const std::string& path) noexcept {
    if (!usablePath(path)) return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return FileIdentity{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size),
                        static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                            static_cast<uint64_t>(st.st_mtim.tv_nsec)};
}

std::optional<std::string> currentDirectory() {
    std::vector<char> buffer(4096);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return std::nullopt;
    return std::string(buffer.data());
}

bool copyFile(const std::string& source, const std::string& target) {
    const FileGuard in(openFileUtf8(source));
    if (in.fd() < 0 || !usablePath(target)) return false;

    struct stat from {};
    if (::fstat(in.fd(), &from) != 0) return false;
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        // Truncating the source before reading it would lose it, and opening
        // a pipe or device for writing could block or write somewhere else.
        if (existing.st_dev == from.st_dev && existing.st_ino == from.st_ino) return false;
        if (!S_ISREG(existing.st_mode)) return false;
    }

    // The copy replaces the target only once it is complete and synced; a
    // failure removes the temporary and leaves the target as it was.
    FileReplacement out;
    if (!out.begin(target).ok()) return false;

    std::vector<uint8_t> block(kCopyBlockBytes);
    uint64_t offset = 0;
    for (;;) {
        const ReadOutcome got = readAt(in.fd(), block.data(), block.size(), offset);
        if (got.status == ReadStatus::Error) return false;
        if (got.bytesRead > 0 && !out.write(std::span<const uint8_t>(block.data(), got.bytesRead)).ok()) {
            return false;
        }
        offset += got.bytesRead;
        if (got.status == ReadStatus::EndOfFile) break;
    }
    return out.commit().ok();
}

bool isSameFile(const std::string& a, const std::string& b) noexcept {
    struct stat first {};
    struct stat second {};
    if (a.find('\0') != std::string::npos || b.find('\0') != std::string::npos) return false;
    if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

} // namespace vt6::platform
