#pragma once
// CRC-32C (Castagnoli) for damage detection and BLAKE2b digests for content
// identity.

#include <array>
#include <cstddef>
#include <cstdint>

#include "format/bytes.hpp"

namespace vt6::fmt {

using Digest128 = std::array<uint8_t, 16>;
using Digest256 = std::array<uint8_t, 32>;

inline constexpr uint32_t kCrc32cInit = 0xFFFFFFFFu;

// Raw CRC-32C step: no initial value or final inversion applied, so calls
// chain over consecutive spans. Uses the SSE4.2 instruction when present.
uint32_t crc32c(uint32_t state, const uint8_t* data, size_t size) noexcept;
// The table path (slicing by 8); same contract as crc32c.
uint32_t crc32cSoftware(uint32_t state, const uint8_t* data, size_t size) noexcept;
// The SSE4.2 path; only call when hasSse42Crc() is true.
uint32_t crc32cHardware(uint32_t state, const uint8_t* data, size_t size) noexcept;
bool hasSse42Crc() noexcept;

// Check value of one span: initial value and final inversion included.
uint32_t crc32cOf(ByteView bytes) noexcept;

// Accumulator form: update span by span, read the check value with finish.
struct Crc32cAccumulator {
    uint32_t state = kCrc32cInit;
};
void crc32cUpdate(Crc32cAccumulator& acc, ByteView bytes) noexcept;
uint32_t crc32cFinish(const Crc32cAccumulator& acc) noexcept;

// Unkeyed BLAKE2b with digest length 16 and 32 (not truncations of one another).
Digest128 blake2b128(ByteView bytes) noexcept;
Digest256 blake2b256(ByteView bytes) noexcept;
// blake2b128 of `first` followed by `second`, without joining them.
Digest128 blake2b128(ByteView first, ByteView second) noexcept;

} // namespace vt6::fmt
