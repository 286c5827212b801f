#pragma once
// The blob of a file's PHDM chunk: "VTAM", version 1, the entry count, then
// per articulation a 32-byte head (id, kind, uid count, reserved, payload
// length, two uid slots) followed by its model payload. The encoder hands out
// only bytes its own decoder accepts; the decoder is what a reader accepts.

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/drum_type.hpp"
#include "analysis/physical_features.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr uint32_t kMaxPhysicalModelEntries = 1024;
inline constexpr uint64_t kMaxPhysicalModelSetBytes = 16777216;
inline constexpr uint64_t kPhysicalModelSetHeadBytes = 12;
inline constexpr uint64_t kPhysicalModelEntryHeadBytes = 32;

inline constexpr uint8_t kPhysicalEntryAnalysed = 0;
inline constexpr uint8_t kPhysicalEntryUnusable = 2;

struct PhysicalModelEntry {
    uint64_t articulationId = 0;
    uint8_t kind = kPhysicalEntryUnusable;
    std::vector<uint64_t> sampleUids;  // 0 to 2, in analysis order
    std::vector<uint8_t> payload;      // empty unless kind is 0

    bool operator==(const PhysicalModelEntry&) const = default;
};

struct PhysicalModelInfo {
    uint64_t articulationId = 0;
    uint8_t kind = 0;
    std::vector<uint64_t> sampleUids;
    PhysicalFeatures features{};      // all 0 without payload
    DrumType drumType = kDrumUnknown; // from the payload's class
    uint32_t payloadOffset = 0;       // within the blob; 0 without payload
    uint32_t payloadLength = 0;
    uint32_t payloadChecksum = 0;     // the payload head's body CRC-32
};

Result<std::vector<uint8_t>> encodePhysicalModelSet(std::span<const PhysicalModelEntry> entries);
Result<std::vector<PhysicalModelInfo>> decodePhysicalModelSet(std::span<const uint8_t> blob);

} // namespace vt6::fmt
