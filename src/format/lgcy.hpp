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

Result<LegacyProvenance> decodeLgcy(ByteView payload);
// Fails (ModelInvalid) only when an extension pair repeats a key of the map.
Result<Bytes> encodeLgcy(const LegacyProvenance& record);

} // namespace vt6::fmt
