#pragma once
// The LGCY chunk: provenance of a file converted from a legacy zem file,
// carried unchanged by every later save.

#include <optional>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/fields.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

struct LegacyProvenance {
    Bytes version_magic;                                 // 1, always written
    Bytes header_bytes;                                  // 2, always written
    std::optional<Digest128> source_file_blake2b128;     // 3
    std::vector<std::string> warnings;                   // 4, written when not empty
    ExtensionList extensions;                            // every other key

    bool operator==(const LegacyProvenance&) const = default;
};

// The most conversion warnings a record may hold; a legacy file has at most
// a few hundred samples, and its conversion raises a handful per sample.
inline constexpr uint64_t kMaxLegacyWarnings = 16384;

// Fails (MetadataPolicyBytes) before decoding any warning when the record
// declares more than kMaxLegacyWarnings.
Result<LegacyProvenance> decodeLgcy(ByteView payload);
// Fails (ModelInvalid) only when an extension pair repeats a key of the map.
Result<Bytes> encodeLgcy(const LegacyProvenance& record);

} // namespace vt6::fmt
