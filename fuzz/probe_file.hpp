#pragma once
// The file every fuzz target hands its input to readers through. It has no
// name in the temporary folder: it is unlinked as soon as it is made and
// reached through /proc/self/fd, so nothing is left behind however the
// process ends (a crash, a timeout, a kill by the fuzzer's driver).

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace vt6::fuzz {

// Writes the input to this process's probe file and returns a path that
// opens it.
inline const std::string& writeProbe(const uint8_t* data, size_t size) {
    static int fd = -1;
    static const std::string path = [] {
        std::string name = (std::filesystem::temp_directory_path() / "zem_fuzz_probe_XXXXXX").string();
        fd = ::mkstemp(name.data());
        if (fd < 0 || ::unlink(name.c_str()) != 0) std::abort();
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    if (data != nullptr) {
        if (::ftruncate(fd, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
    }
    return path;
}

} // namespace vt6::fuzz
