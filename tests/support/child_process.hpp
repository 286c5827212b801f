#pragma once
// Test-only: run work in a forked child and read back two numbers, so that a
// memory peak can be measured on its own (a child starts with its peak at
// what it maps) and a limit set there leaves the test process alone.

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace vt6::test {

// A "Key:" line of /proc/self/status in kB, or -1.
inline long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string k(key);
    while (std::getline(in, line))
        if (line.rfind(k, 0) == 0) return std::stol(line.substr(k.size()));
    return -1;
}

// The two values `work` returned in the child; none when the child failed
// or ended without writing them.
inline std::optional<std::array<long, 2>> inChild(const std::function<std::array<long, 2>()>& work) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const std::array<long, 2> values = work();
        _exit(write(fds[1], values.data(), sizeof values) == static_cast<ssize_t>(sizeof values) ? 0 : 1);
    }
    close(fds[1]);
    std::array<long, 2> values{-1, -1};
    const ssize_t got = read(fds[0], values.data(), sizeof values);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof values) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return values;
}

} // namespace vt6::test
