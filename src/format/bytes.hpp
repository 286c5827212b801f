#pragma once
// Byte buffers and little-endian field access for the container's integers.

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace vt6::fmt {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline uint16_t loadLe16(const uint8_t* p) noexcept {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t loadLe32(const uint8_t* p) noexcept {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t loadLe64(const uint8_t* p) noexcept {
    return static_cast<uint64_t>(loadLe32(p)) | (static_cast<uint64_t>(loadLe32(p + 4)) << 32);
}

inline void storeLe16(uint8_t* p, uint16_t v) noexcept {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void storeLe32(uint8_t* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void storeLe64(uint8_t* p, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void appendLe32(Bytes& out, uint32_t v) {
    uint8_t b[4];
    storeLe32(b, v);
    out.insert(out.end(), b, b + 4);
}
inline void appendLe64(Bytes& out, uint64_t v) {
    uint8_t b[8];
    storeLe64(b, v);
    out.insert(out.end(), b, b + 8);
}

} // namespace vt6::fmt
