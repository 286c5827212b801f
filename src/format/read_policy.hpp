#pragma once
// Byte limits and trust settings of one file open. Every caller passes the
// defaults; tests lower the limits or supply their own signing root key.

#include <cstdint>

namespace vt6::fmt {

inline constexpr uint64_t kDefaultMaxDirEntries = 1000000;
inline constexpr uint64_t kDefaultMaxDirBytes = 0x4000000;            // 64 MiB
inline constexpr uint64_t kDefaultMaxMetadataBytes = 0x10000000;      // 256 MiB
inline constexpr uint64_t kDefaultMaxSignatureSlotBytes = 0x4000000;  // 64 MiB
inline constexpr uint64_t kDefaultMaxRecoveryBytes = 0x10000000;      // 256 MiB
inline constexpr uint64_t kDefaultMaxChunkReadBytes = 0x20100000;     // 512 MiB + 1 MiB

struct ReadPolicy {
    uint64_t maxDirEntries = kDefaultMaxDirEntries;
    uint64_t maxDirBytes = kDefaultMaxDirBytes;
    // 0: a failed signature check fails the open; otherwise it becomes a warning.
    uint32_t allowBadSignature = 0;
    // Ed25519 public key (32 bytes) used instead of the built-in root when set.
    const uint8_t* rootKeyOverride = nullptr;
    uint64_t maxMetadataBytes = kDefaultMaxMetadataBytes;
    uint64_t maxSignatureSlotBytes = kDefaultMaxSignatureSlotBytes;
    uint64_t maxRecoveryBytes = kDefaultMaxRecoveryBytes;
    uint64_t maxChunkReadBytes = kDefaultMaxChunkReadBytes;
};

} // namespace vt6::fmt
