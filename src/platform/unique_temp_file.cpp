#include "platform/unique_temp_file.hpp"

#include <atomic>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "platform/creation_gate.hpp"
#include "platform/leftovers.hpp"

namespace vt6::platform {
namespace {
std::atomic<bool> uniqueTempFileFails{false};
}

void setUniqueTempFileFailsForTesting(bool fails) noexcept { uniqueTempFileFails = fails; }

std::string temporaryDirectory() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return "/tmp";
}

std::optional<std::string> makeUniqueTempFile(const std::string& prefix) {
    if (uniqueTempFileFails) return std::nullopt;
    std::string dir = temporaryDirectory();
    if (dir.back() != '/') dir += '/';
    // The owner's id in the name lets a later start remove the copy when
    // this instance is killed.
    (void)holdInstanceLock();
    const std::string templ = dir + "zem-rivir-" + ownerTag() + "-" + prefix + "XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd;
    {
        const CreationScope creating;
        fd = ::mkstemp(name.data());
    }
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return std::string(name.data());
}

} // namespace vt6::platform
