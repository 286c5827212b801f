#include "format/smpl.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace vt6::fmt {

namespace {

using namespace smpl_key;

constexpr uint64_t kReserveExtensionsFrom = 64;

Result<Unit> readUintInto(CborReader& reader, std::optional<uint64_t>& field) {
    ZEM_TRY_ASSIGN(field, reader.readUint());
    return Unit{};
}

Result<Unit> readFloatInto(CborReader& reader, std::optional<double>& field) {
    ZEM_TRY_ASSIGN(field, reader.readFloat());
    return Unit{};
}

Result<Unit> readBoolInto(CborReader& reader, std::optional<bool>& field) {
    ZEM_TRY_ASSIGN(field, reader.readBool());
    return Unit{};
}

// The optional unsigned fields, by key; null for any other key.
std::optional<uint64_t>* uintField(SmplEntry& row, uint64_t key) noexcept {
    switch (key) {
    case kLayer: return &row.layer;
    case kArticulation: return &row.articulation;
    case kBand: return &row.band;
    case kTake: return &row.take;
    case kSampleRate: return &row.sample_rate;
    case kBits: return &row.bits;
    case kChannels: return &row.channels;
    case kFrames: return &row.frames;
    case kRoomOwnerUid: return &row.room_owner_uid;
    case kCodec: return &row.codec;
    case kLegacySampleNumber: return &row.legacy_sample_number;
    case kAudtUid: return &row.audt_uid;
    case kHeadFrames: return &row.head_frames;
    case kPlaybackStart: return &row.playback_start;
    case kPlaybackEnd: return &row.playback_end;
    default: return nullptr;
    }
}

std::optional<double>* floatField(SmplEntry& row, uint64_t key) noexcept {
    switch (key) {
    case kPeak: return &row.peak;
    case kRms: return &row.rms;
    case kOpaqueFloat14: return &row.opaque_float_14;
    case kOpaqueFloat15: return &row.opaque_float_15;
    default: return nullptr;
    }
}

void addUint(CborMapBuilder& builder, uint64_t key, const std::optional<uint64_t>& field) {
    if (field) builder.addMapPair(key, encodeCborUint(*field));
}

void addFloat(CborMapBuilder& builder, uint64_t key, const std::optional<double>& field) {
    if (field) builder.addMapPair(key, encodeCborFloat(*field));
}

void addBool(CborMapBuilder& builder, uint64_t key, const std::optional<bool>& field) {
    if (field) builder.addMapPair(key, encodeCborBool(*field));
}

Result<SmplEntry> decodeRow(CborReader& reader, size_t payloadBytes) {
    ZEM_TRY_ASSIGN(const uint64_t pairs, reader.enterMap());
    SmplEntry row;
    // A long extension list is reserved once, without growth slack (uid and
    // audi_uid are the two pairs that are surely not extensions). Every pair
    // takes two bytes at least, so the reservation is bounded by bytes that
    // are really there.
    if (pairs > kReserveExtensionsFrom) {
        const uint64_t left = payloadBytes - std::min<uint64_t>(reader.position(), payloadBytes);
        row.extensions.reserve(static_cast<size_t>(std::min(pairs - 2, left / 2)));
    }
    bool haveUid = false;
    bool haveAudiUid = false;
    for (;;) {
        ZEM_TRY_ASSIGN(std::optional<uint64_t> next, reader.nextMapKey());
        if (!next) break;
        const uint64_t key = *next;
        if (key == kUid) {
            ZEM_TRY_ASSIGN(row.uid, reader.readUint());
            haveUid = true;
        } else if (key == kAudiUid) {
            ZEM_TRY_ASSIGN(row.audi_uid, reader.readUint());
            haveAudiUid = true;
        } else if (std::optional<uint64_t>* field = uintField(row, key)) {
            ZEM_TRY(readUintInto(reader, *field));
        } else if (std::optional<double>* real = floatField(row, key)) {
            ZEM_TRY(readFloatInto(reader, *real));
        } else if (key == kName) {
            ZEM_TRY_ASSIGN(row.name, readTextValue(reader));
        } else if (key == kMuted) {
            ZEM_TRY(readBoolInto(reader, row.muted));
        } else if (key == kSoloed) {
            ZEM_TRY(readBoolInto(reader, row.soloed));
        } else if (key == kPlainHash) {
            ZEM_TRY_ASSIGN(row.plain_hash, readHash16(reader, "SMPL plain_hash"));
        } else if (key == kDropped7 || key == kDropped16) {
            // Retired keys: the item must still be well-formed, but is not kept.
            ZEM_TRY(reader.value());
        } else {
            ZEM_TRY_ASSIGN(ExtensionPair pair, readExtensionPair(reader, key));
            row.extensions.push_back(std::move(pair));
        }
    }
    if (!haveUid) return fail(ErrorCode::ModelInvalid, "SMPL entry missing uid (key 1)");
    if (!haveAudiUid) {
        return fail(ErrorCode::ModelInvalid,
                    "SMPL entry uid " + std::to_string(row.uid) + " missing audi_uid (key 19)");
    }
    return row;
}

} // namespace

Result<SmplEntry> decodeSmplEntry(CborReader& reader) { return decodeRow(reader, 0); }

Result<std::vector<SmplEntry>> decodeSmpl(ByteView payload) {
    CborReader reader(payload);
    ZEM_TRY_ASSIGN(uint64_t count, reader.enterArray());
    // Grows with the rows actually present: a forged count fails at the first
    // missing row instead of costing memory up front.
    std::vector<SmplEntry> rows;
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(SmplEntry row, decodeRow(reader, payload.size()));
        rows.push_back(std::move(row));
    }
    ZEM_TRY(reader.finish());
    return rows;
}

Result<std::vector<SmplEntry>> decodeSmpl(ByteView payload, uint64_t maxRows) {
    CborReader reader(payload);
    ZEM_TRY_ASSIGN(uint64_t count, reader.enterArray());
    // A row in memory is a few hundred bytes however few bytes encode it, so
    // the count is held to a bound the caller drew from what it has really
    // read; within it the rows are reserved once, without growth slack.
    if (count > maxRows) {
        return fail(ErrorCode::DirPolicyEntries, "SMPL declares " + std::to_string(count) +
                                                     " sample rows; the current limit is " +
                                                     std::to_string(maxRows) + " (the directory's entry count)");
    }
    std::vector<SmplEntry> rows;
    rows.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(SmplEntry row, decodeRow(reader, payload.size()));
        rows.push_back(std::move(row));
    }
    ZEM_TRY(reader.finish());
    return rows;
}

Result<Bytes> encodeSmplEntry(const SmplEntry& row) {
    CborMapBuilder builder;
    builder.addMapPair(kUid, encodeCborUint(row.uid));
    if (row.name) builder.addMapPair(kName, encodeCborText(*row.name));
    addUint(builder, kLayer, row.layer);
    addUint(builder, kArticulation, row.articulation);
    addUint(builder, kBand, row.band);
    addUint(builder, kTake, row.take);
    addUint(builder, kSampleRate, row.sample_rate);
    addUint(builder, kBits, row.bits);
    addUint(builder, kChannels, row.channels);
    addUint(builder, kFrames, row.frames);
    addFloat(builder, kPeak, row.peak);
    addFloat(builder, kRms, row.rms);
    addFloat(builder, kOpaqueFloat14, row.opaque_float_14);
    addFloat(builder, kOpaqueFloat15, row.opaque_float_15);
    addBool(builder, kMuted, row.muted);
    addBool(builder, kSoloed, row.soloed);
    if (row.plain_hash) builder.addMapPair(kPlainHash, encodeCborBytes(ByteView(*row.plain_hash)));
    addUint(builder, kRoomOwnerUid, row.room_owner_uid);
    addUint(builder, kCodec, row.codec);
    addUint(builder, kLegacySampleNumber, row.legacy_sample_number);
    addUint(builder, kAudtUid, row.audt_uid);
    addUint(builder, kHeadFrames, row.head_frames);
    addUint(builder, kPlaybackStart, row.playback_start);
    addUint(builder, kPlaybackEnd, row.playback_end);
    builder.addMapPair(kAudiUid, encodeCborUint(row.audi_uid));
    addExtensionPairs(builder, row.extensions);
    return builder.writeCanonicalMap();
}

Result<Bytes> encodeSmpl(std::span<const SmplEntry> rows) {
    CborWriter writer;
    writer.beginArray(rows.size());
    for (const SmplEntry& row : rows) {
        ZEM_TRY_ASSIGN(Bytes item, encodeSmplEntry(row));
        writer.writeRaw(item);
    }
    return writer.take();
}

Result<Bytes> encodeSmpl(const SmplEntry* rows, size_t count) {
    return encodeSmpl(std::span<const SmplEntry>(rows, count));
}

} // namespace vt6::fmt
