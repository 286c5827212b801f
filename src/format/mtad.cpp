#include "format/mtad.hpp"

#include <algorithm>
#include <utility>

namespace vt6::fmt {

namespace {

// The smallest table entry is a map holding key 1 and a small integer
// (A1 01 00), so a declared count beyond a third of the remaining input
// cannot be real and must not drive a reservation.
constexpr uint64_t kMinTableEntryBytes = 3;

template <class Entry, class Decode>
Result<Unit> readTable(CborReader& reader, uint64_t inputSize, std::vector<Entry>& out, Decode decode) {
    ZEM_TRY_ASSIGN(const uint64_t count, reader.enterArray());
    const uint64_t remaining = inputSize - std::min(inputSize, reader.position());
    out.reserve(static_cast<size_t>(std::min(count, remaining / kMinTableEntryBytes)));
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(Entry entry, decode(reader));
        out.push_back(std::move(entry));
    }
    return Unit{};
}

template <class Entry, class Encode>
Result<Bytes> encodeTable(const std::vector<Entry>& entries, Encode encode) {
    std::vector<Bytes> records;
    records.reserve(entries.size());
    for (const Entry& entry : entries) {
        ZEM_TRY_ASSIGN(Bytes bytes, encode(entry));
        records.push_back(std::move(bytes));
    }
    return encodeCborRecordArray(records);
}

Result<Unit> appendExtension(CborReader& reader, uint64_t key, ExtensionList& extensions) {
    ZEM_TRY_ASSIGN(ExtensionPair pair, readExtensionPair(reader, key));
    extensions.push_back(std::move(pair));
    return Unit{};
}

} // namespace

Result<LayerDef> decodeLayerDef(CborReader& reader) {
    ZEM_TRY(reader.enterMap());
    LayerDef layer;
    bool haveId = false;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        switch (*key) {
        case 1: {
            ZEM_TRY_ASSIGN(layer.id, reader.readUint());
            haveId = true;
            break;
        }
        case 2: {
            ZEM_TRY_ASSIGN(layer.name, readTextValue(reader));
            break;
        }
        case 3: {
            ZEM_TRY_ASSIGN(layer.slot, reader.readUint());
            break;
        }
        case 4: {
            ZEM_TRY_ASSIGN(layer.level, reader.readFloat());
            break;
        }
        case 5: {
            ZEM_TRY_ASSIGN(layer.opaque_flag_5, reader.readBool());
            break;
        }
        case 6:
            // Accepted for old files but deliberately not carried forward.
            ZEM_TRY(reader.value());
            break;
        default:
            ZEM_TRY(appendExtension(reader, *key, layer.extensions));
            break;
        }
    }
    if (!haveId) return fail(ErrorCode::ModelInvalid, "layer entry missing id (key 1)");
    return layer;
}

Result<Bytes> encodeLayerDef(const LayerDef& layer) {
    CborMapBuilder builder;
    builder.addMapPair(1, encodeCborUint(layer.id));
    if (layer.name) builder.addMapPair(2, encodeCborText(*layer.name));
    if (layer.slot) builder.addMapPair(3, encodeCborUint(*layer.slot));
    if (layer.level) builder.addMapPair(4, encodeCborFloat(*layer.level));
    if (layer.opaque_flag_5) builder.addMapPair(5, encodeCborBool(*layer.opaque_flag_5));
    addExtensionPairs(builder, layer.extensions);
    return builder.writeCanonicalMap();
}

Result<ArticulationDef> decodeArticulationDef(CborReader& reader) {
    ZEM_TRY(reader.enterMap());
    ArticulationDef articulation;
    bool haveId = false;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        switch (*key) {
        case 1: {
            ZEM_TRY_ASSIGN(articulation.id, reader.readUint());
            haveId = true;
            break;
        }
        case 2: {
            ZEM_TRY_ASSIGN(articulation.name, readTextValue(reader));
            break;
        }
        case 3: {
            ZEM_TRY_ASSIGN(articulation.opaque_uint_3, reader.readUint());
            break;
        }
        case 4: {
            ZEM_TRY_ASSIGN(articulation.opaque_real_4, reader.readFloat());
            break;
        }
        case 5: {
            ZEM_TRY_ASSIGN(articulation.opaque_real_5, reader.readFloat());
            break;
        }
        default:
            ZEM_TRY(appendExtension(reader, *key, articulation.extensions));
            break;
        }
    }
    if (!haveId) return fail(ErrorCode::ModelInvalid, "articulation entry missing id (key 1)");
    return articulation;
}

Result<Bytes> encodeArticulationDef(const ArticulationDef& articulation) {
    CborMapBuilder builder;
    builder.addMapPair(1, encodeCborUint(articulation.id));
    if (articulation.name) builder.addMapPair(2, encodeCborText(*articulation.name));
    if (articulation.opaque_uint_3) builder.addMapPair(3, encodeCborUint(*articulation.opaque_uint_3));
    if (articulation.opaque_real_4) builder.addMapPair(4, encodeCborFloat(*articulation.opaque_real_4));
    if (articulation.opaque_real_5) builder.addMapPair(5, encodeCborFloat(*articulation.opaque_real_5));
    addExtensionPairs(builder, articulation.extensions);
    return builder.writeCanonicalMap();
}

Result<BandDef> decodeBandDef(CborReader& reader) {
    ZEM_TRY(reader.enterMap());
    BandDef band;
    bool haveId = false;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        switch (*key) {
        case 1: {
            ZEM_TRY_ASSIGN(band.id, reader.readUint());
            haveId = true;
            break;
        }
        case 2: {
            ZEM_TRY_ASSIGN(band.low, reader.readFloat());
            break;
        }
        case 3: {
            ZEM_TRY_ASSIGN(band.high, reader.readFloat());
            break;
        }
        case 4: {
            ZEM_TRY_ASSIGN(band.name, readTextValue(reader));
            break;
        }
        default:
            ZEM_TRY(appendExtension(reader, *key, band.extensions));
            break;
        }
    }
    if (!haveId) return fail(ErrorCode::ModelInvalid, "dynamics entry missing band (key 1)");
    return band;
}

Result<Bytes> encodeBandDef(const BandDef& band) {
    CborMapBuilder builder;
    builder.addMapPair(1, encodeCborUint(band.id));
    if (band.low) builder.addMapPair(2, encodeCborFloat(*band.low));
    if (band.high) builder.addMapPair(3, encodeCborFloat(*band.high));
    if (band.name) builder.addMapPair(4, encodeCborText(*band.name));
    addExtensionPairs(builder, band.extensions);
    return builder.writeCanonicalMap();
}

Result<LegacyOrigin> decodeLegacyOrigin(CborReader& reader) {
    ZEM_TRY(reader.enterMap());
    LegacyOrigin origin;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        switch (*key) {
        case 1: {
            ZEM_TRY_ASSIGN(const ByteView magic, reader.readBytes());
            origin.version_magic.assign(magic.begin(), magic.end());
            break;
        }
        case 2: {
            ZEM_TRY_ASSIGN(origin.orig_file_hash, readHash16(reader, "legacy orig_file_hash"));
            break;
        }
        default:
            ZEM_TRY(appendExtension(reader, *key, origin.extensions));
            break;
        }
    }
    return origin;
}

Result<Bytes> encodeLegacyOrigin(const LegacyOrigin& origin) {
    CborMapBuilder builder;
    if (!origin.version_magic.empty()) builder.addMapPair(1, encodeCborBytes(origin.version_magic));
    if (origin.orig_file_hash) builder.addMapPair(2, encodeCborBytes(*origin.orig_file_hash));
    addExtensionPairs(builder, origin.extensions);
    return builder.writeCanonicalMap();
}

Result<SplitInfo> decodeSplitInfo(CborReader& reader) {
    ZEM_TRY(reader.enterMap());
    SplitInfo split;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        if (*key == 1) {
            ZEM_TRY_ASSIGN(split.head_ms, reader.readUint());
        } else {
            ZEM_TRY(appendExtension(reader, *key, split.extensions));
        }
    }
    return split;
}

Result<Bytes> encodeSplitInfo(const SplitInfo& split) {
    CborMapBuilder builder;
    if (split.head_ms) builder.addMapPair(1, encodeCborUint(*split.head_ms));
    addExtensionPairs(builder, split.extensions);
    return builder.writeCanonicalMap();
}

Result<ModelMetadata> decodeMtad(ByteView payload) {
    namespace k = mtad_key;
    CborReader reader(payload);
    ZEM_TRY(reader.enterMap());
    ModelMetadata md;
    bool haveFormatVersion = false;
    bool haveNextUid = false;
    bool haveHeadBytes = false;
    for (;;) {
        ZEM_TRY_ASSIGN(const std::optional<uint64_t> key, reader.nextMapKey());
        if (!key) break;
        switch (*key) {
        case k::kFormatVersion: {
            ZEM_TRY_ASSIGN(md.format_version, reader.readUint());
            haveFormatVersion = true;
            break;
        }
        case k::kOpaqueUint2: {
            ZEM_TRY_ASSIGN(md.opaque_uint_2, reader.readUint());
            break;
        }
        case k::kCreatorTool: {
            ZEM_TRY_ASSIGN(md.creator_tool, readTextValue(reader));
            break;
        }
        case k::kName: {
            ZEM_TRY_ASSIGN(md.name, readTextValue(reader));
            break;
        }
        case k::kDrumType: {
            ZEM_TRY_ASSIGN(md.drum_type, readTextValue(reader));
            break;
        }
        case k::kInstrumentName: {
            ZEM_TRY_ASSIGN(md.instrument_name, readTextValue(reader));
            break;
        }
        case k::kOpaqueText7: {
            ZEM_TRY_ASSIGN(md.opaque_text_7, readTextValue(reader));
            break;
        }
        case k::kOpaqueTexts8: {
            ZEM_TRY_ASSIGN(md.opaque_texts_8, readTextArray(reader));
            break;
        }
        case k::kLayers:
            ZEM_TRY(readTable(reader, payload.size(), md.layers, decodeLayerDef));
            break;
        case k::kArticulations:
            ZEM_TRY(readTable(reader, payload.size(), md.articulations, decodeArticulationDef));
            break;
        case k::kDynamics:
            ZEM_TRY(readTable(reader, payload.size(), md.dynamics, decodeBandDef));
            break;
        case k::kLegacy: {
            ZEM_TRY_ASSIGN(md.legacy, decodeLegacyOrigin(reader));
            break;
        }
        case k::kSplitPayloads: {
            ZEM_TRY_ASSIGN(md.split_payloads, reader.readBool());
            break;
        }
        case k::kNextUid: {
            ZEM_TRY_ASSIGN(md.next_uid, reader.readUint());
            haveNextUid = true;
            break;
        }
        case k::kHeadBytes: {
            ZEM_TRY_ASSIGN(md.head_bytes, reader.readUint());
            haveHeadBytes = true;
            break;
        }
        case k::kSplit: {
            ZEM_TRY_ASSIGN(md.split, decodeSplitInfo(reader));
            break;
        }
        case k::kHashScheme: {
            ZEM_TRY_ASSIGN(md.hash_scheme, reader.readUint());
            break;
        }
        default:
            ZEM_TRY(appendExtension(reader, *key, md.extensions));
            break;
        }
    }
    ZEM_TRY(reader.finish());
    if (!haveFormatVersion || !haveNextUid || !haveHeadBytes) {
        return fail(ErrorCode::ModelInvalid,
                    "MTAD missing a required key (1 spec_version, 23 next_uid, 24 head_bytes)");
    }
    return md;
}

Result<Bytes> encodeMtad(const ModelMetadata& md) {
    namespace k = mtad_key;
    CborMapBuilder builder;
    builder.addMapPair(k::kFormatVersion, encodeCborUint(md.format_version));
    if (md.opaque_uint_2) builder.addMapPair(k::kOpaqueUint2, encodeCborUint(*md.opaque_uint_2));
    if (md.creator_tool) builder.addMapPair(k::kCreatorTool, encodeCborText(*md.creator_tool));
    if (md.name) builder.addMapPair(k::kName, encodeCborText(*md.name));
    if (md.drum_type) builder.addMapPair(k::kDrumType, encodeCborText(*md.drum_type));
    if (md.instrument_name) builder.addMapPair(k::kInstrumentName, encodeCborText(*md.instrument_name));
    if (md.opaque_text_7) builder.addMapPair(k::kOpaqueText7, encodeCborText(*md.opaque_text_7));
    if (!md.opaque_texts_8.empty()) builder.addMapPair(k::kOpaqueTexts8, encodeCborTextArray(md.opaque_texts_8));
    if (!md.layers.empty()) {
        ZEM_TRY_ASSIGN(Bytes table, encodeTable(md.layers, encodeLayerDef));
        builder.addMapPair(k::kLayers, std::move(table));
    }
    if (!md.articulations.empty()) {
        ZEM_TRY_ASSIGN(Bytes table, encodeTable(md.articulations, encodeArticulationDef));
        builder.addMapPair(k::kArticulations, std::move(table));
    }
    if (!md.dynamics.empty()) {
        ZEM_TRY_ASSIGN(Bytes table, encodeTable(md.dynamics, encodeBandDef));
        builder.addMapPair(k::kDynamics, std::move(table));
    }
    if (md.legacy) {
        ZEM_TRY_ASSIGN(Bytes origin, encodeLegacyOrigin(*md.legacy));
        builder.addMapPair(k::kLegacy, std::move(origin));
    }
    if (md.split_payloads) builder.addMapPair(k::kSplitPayloads, encodeCborBool(*md.split_payloads));
    builder.addMapPair(k::kNextUid, encodeCborUint(md.next_uid));
    builder.addMapPair(k::kHeadBytes, encodeCborUint(md.head_bytes));
    if (md.split) {
        ZEM_TRY_ASSIGN(Bytes split, encodeSplitInfo(*md.split));
        builder.addMapPair(k::kSplit, std::move(split));
    }
    if (md.hash_scheme != 0) builder.addMapPair(k::kHashScheme, encodeCborUint(md.hash_scheme));
    addExtensionPairs(builder, md.extensions);
    return builder.writeCanonicalMap();
}

} // namespace vt6::fmt
