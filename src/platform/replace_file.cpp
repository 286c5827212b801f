#include "platform/replace_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "platform/creation_gate.hpp"
#include "platform/write_file.hpp"

namespace vt6::platform {
namespace {

std::atomic<RenameCall> renameOverride{nullptr};

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void syncDirectory(const std::string& dir) noexcept {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Best effort: the rename has already happened and cannot be undone.
    (void)::fsync(fd);
    ::close(fd);
}

} // namespace

ReplaceStatus replaceFile(const std::string& from, const std::string& to) {
    ReplaceStatus status;
    if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) {
        status.osError = EINVAL;
        status.message = "cannot rename '" + from + "' over '" + to + "': path holds a NUL byte";
        return status;
    }
    // A rename over a link would put a plain file where the user's link
    // was, and one over a pipe or device would drop what the user chose.
    std::string target;
    const WriteStatus resolved = resolveReplaceTarget(to, target);
    if (!resolved.ok()) {
        status.osError = resolved.osError != 0 ? resolved.osError : EINVAL;
        status.message = "cannot replace '" + to + "': " + resolved.reason;
        return status;
    }
    const RenameCall call = renameOverride.load(std::memory_order_acquire);
    int rc;
    {
        const CreationScope creating;
        rc = call != nullptr ? call(from.c_str(), target.c_str()) : std::rename(from.c_str(), target.c_str());
    }
    if (rc != 0) {
        status.osError = errno;
        status.message = "cannot rename '" + from + "' over '" + target + "': " + std::strerror(status.osError);
        return status;
    }
    syncDirectory(directoryOf(target));
    return status;
}

void setRenameCallForTesting(RenameCall call) noexcept { renameOverride.store(call, std::memory_order_release); }

} // namespace vt6::platform
