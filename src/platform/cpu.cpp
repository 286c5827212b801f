#include "platform/cpu.hpp"

#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vt6::platform {

namespace {

bool probeSse42() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & (1u << 20)) != 0;
#else
    return false;
#endif
}

} // namespace

bool cpuHasSse42() noexcept {
    static const bool flag = probeSse42();
    return flag;
}

unsigned hardwareThreads() noexcept {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

} // namespace vt6::platform
