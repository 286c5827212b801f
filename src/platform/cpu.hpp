#pragma once
// Processor facts. Each is determined once per process, on first use.

namespace vt6::platform {

// True when the processor has the SSE4.2 crc32 instruction.
bool cpuHasSse42() noexcept;

// Number of hardware threads, at least 1.
unsigned hardwareThreads() noexcept;

} // namespace vt6::platform
