#include "format/lgcy.hpp"

#include <utility>

#include "format/cbor.hpp"

namespace vt6::fmt {

namespace {
inline constexpr uint64_t kVersionMagicKey = 1;
inline constexpr uint64_t kHeaderBytesKey = 2;
inline constexpr uint64_t kSourceHashKey = 3;
inline constexpr uint64_t kWarningsKey = 4;
} // namespace

Result<LegacyProvenance> decodeLgcy(ByteView payload) {
    CborReader reader(payload);
    ZEM_TRY(reader.enterMap());
    LegacyProvenance record;
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
            ZEM_TRY_ASSIGN(record.warnings, readTextArray(reader));
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
