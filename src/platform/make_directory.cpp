#include "platform/make_directory.hpp"

#include <atomic>

#include <sys/stat.h>

namespace vt6::platform {
namespace {
std::atomic<bool> makeDirectoryFails{false};
}

void setMakeDirectoryFailsForTesting(bool fails) noexcept { makeDirectoryFails = fails; }

bool makeDirectory(const std::string& path) noexcept {
    if (makeDirectoryFails || path.empty() || path.find('\0') != std::string::npos) return false;
    return ::mkdir(path.c_str(), 0777) == 0;
}

} // namespace vt6::platform
