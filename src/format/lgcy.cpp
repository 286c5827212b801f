#include "format/lgcy.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "format/cbor.hpp"

namespace vt6::fmt {

namespace {
inline constexpr uint64_t kVersionMagicKey = 1;
inline constexpr uint64_t kHeaderBytesKey = 2;
inline constexpr uint64_t kSourceHashKey = 3;
inline constexpr uint64_t kWarningsKey = 4;
inline constexpr uint64_t kReserveExtensionsFrom = 64;

// An empty warning text is one byte in the payload and a few dozen in
// memory, so the count is checked before any is decoded.
Result<std::vector<std::string>> readWarnings(CborReader& reader, uint64_t payloadBytes) {
    ZEM_TRY_ASSIGN(const uint64_t count, reader.enterArray());
    if (count > kMaxLegacyWarnings) {
        return fail(ErrorCode::MetadataPolicyBytes, "LGCY declares " + std::to_string(count) +
                                                        " conversion warnings; the current limit is " +
                                                        std::to_string(kMaxLegacyWarnings));
    }
    std::vector<std::string> out;
    // Bounded by the limit and by the one byte each element takes at least.
    out.reserve(static_cast<size_t>(std::min<uint64_t>(count, payloadBytes - reader.position())));
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(std::string_view text, reader.readText());
        out.emplace_back(text);
    }
    return out;
}
} // namespace

Result<LegacyProvenance> decodeLgcy(ByteView payload) {
    CborReader reader(payload);
    ZEM_TRY_ASSIGN(const uint64_t pairs, reader.enterMap());
    LegacyProvenance record;
    // Pairs other than keys 1 to 4 are kept as extensions. A long list is
    // reserved once, without growth slack; each pair takes two bytes at
    // least, so the reservation is bounded by bytes that are really there.
    if (pairs > kReserveExtensionsFrom) {
        record.extensions.reserve(static_cast<size_t>(std::min<uint64_t>(pairs, (payload.size() - reader.position()) / 2)));
    }
    for (;;) {
        ZEM_TRY_ASSIGN(std::optional<uint64_t> next, reader.nextMapKey());
        if (!next) break;
        const uint64_t key = *next;
        if (key == kVersionMagicKey) {
            ZEM_TRY_ASSIGN(ByteView magic, reader.readBytes());
            record.version_magic.assign(magic.begin(), magic.end());
        } else if (key == kHeaderBytesKey) {
            ZEM_TRY_ASSIGN(ByteView header, reader.readBytes());
            record.header_bytes.assign(header.begin(), header.end());
        } else if (key == kSourceHashKey) {
            ZEM_TRY_ASSIGN(record.source_file_blake2b128,
                           readHash16(reader, "LGCY source_file_blake2b128"));
        } else if (key == kWarningsKey) {
            ZEM_TRY_ASSIGN(record.warnings, readWarnings(reader, payload.size()));
        } else {
            ZEM_TRY_ASSIGN(ExtensionPair pair, readExtensionPair(reader, key));
            record.extensions.push_back(std::move(pair));
        }
    }
    ZEM_TRY(reader.finish());
    return record;
}

Result<Bytes> encodeLgcy(const LegacyProvenance& record) {
    CborMapBuilder builder;
    builder.addMapPair(kVersionMagicKey, encodeCborBytes(record.version_magic));
    builder.addMapPair(kHeaderBytesKey, encodeCborBytes(record.header_bytes));
    if (record.source_file_blake2b128) {
        builder.addMapPair(kSourceHashKey, encodeCborBytes(ByteView(*record.source_file_blake2b128)));
    }
    if (!record.warnings.empty()) builder.addMapPair(kWarningsKey, encodeCborTextArray(record.warnings));
    addExtensionPairs(builder, record.extensions);
    return builder.writeCanonicalMap();
}

} // namespace vt6::fmt
