#pragma once
// The SMPL chunk: one canonical CBOR map per sample, in the model's row order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/fields.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// One sample row. Optional fields are written only when engaged; nothing is
// range-checked on decode (the model laws and the sample readers do that).
// Map keys in comments. Keys 7 and 16 are read and dropped, never written.
struct SmplEntry {
    uint64_t uid = 0;                              // 1, required
    std::optional<std::string> name;               // 2
    std::optional<uint64_t> layer;                 // 3
    std::optional<uint64_t> articulation;          // 4
    std::optional<uint64_t> band;                  // 5
    std::optional<uint64_t> take;                  // 6
    std::optional<uint64_t> sample_rate;           // 8
    std::optional<uint64_t> bits;                  // 9
    std::optional<uint64_t> channels;              // 10
    std::optional<uint64_t> frames;                // 11
    std::optional<double> peak;                    // 12
    std::optional<double> rms;                     // 13
    std::optional<double> opaque_float_14;         // 14
    std::optional<double> opaque_float_15;         // 15
    std::optional<bool> muted;                     // 17
    std::optional<bool> soloed;                    // 18
    uint64_t audi_uid = 0;                         // 19, required
    std::optional<Digest128> plain_hash;           // 20
    std::optional<uint64_t> room_owner_uid;        // 21
    std::optional<uint64_t> codec;                 // 22
    std::optional<uint64_t> legacy_sample_number;  // 23
    std::optional<uint64_t> audt_uid;              // 24
    std::optional<uint64_t> head_frames;           // 25
    std::optional<uint64_t> playback_start;        // 27
    std::optional<uint64_t> playback_end;          // 28
    // Every other key (26, 1002, 1003 and unknown ones), in ascending key order.
    ExtensionList extensions;

    // Defined with the sample extension values (sample_ext.cpp).
    // Erases every pair with `key`, keeping the order of the others.
    void removeExtension(uint64_t key);
    // Sets or clears the sort lock (key 1003); leaves the list sorted.
    void setFlagExt(bool locked);
    // Replaces the room links (key 26) by [room A, B, C uids]; leaves the
    // list sorted with exactly one key-26 pair.
    void setRoomLink(const std::array<uint64_t, 3>& uids);

    bool operator==(const SmplEntry&) const = default;
};

// Map keys of the fields that have one.
namespace smpl_key {
inline constexpr uint64_t kUid = 1;
inline constexpr uint64_t kName = 2;
inline constexpr uint64_t kLayer = 3;
inline constexpr uint64_t kArticulation = 4;
inline constexpr uint64_t kBand = 5;
inline constexpr uint64_t kTake = 6;
inline constexpr uint64_t kDropped7 = 7;
inline constexpr uint64_t kSampleRate = 8;
inline constexpr uint64_t kBits = 9;
inline constexpr uint64_t kChannels = 10;
inline constexpr uint64_t kFrames = 11;
inline constexpr uint64_t kPeak = 12;
inline constexpr uint64_t kRms = 13;
inline constexpr uint64_t kOpaqueFloat14 = 14;
inline constexpr uint64_t kOpaqueFloat15 = 15;
inline constexpr uint64_t kDropped16 = 16;
inline constexpr uint64_t kMuted = 17;
inline constexpr uint64_t kSoloed = 18;
inline constexpr uint64_t kAudiUid = 19;
inline constexpr uint64_t kPlainHash = 20;
inline constexpr uint64_t kRoomOwnerUid = 21;
inline constexpr uint64_t kCodec = 22;
inline constexpr uint64_t kLegacySampleNumber = 23;
inline constexpr uint64_t kAudtUid = 24;
inline constexpr uint64_t kHeadFrames = 25;
inline constexpr uint64_t kPlaybackStart = 27;
inline constexpr uint64_t kPlaybackEnd = 28;
}  // namespace smpl_key

// Whole payload: a CBOR array of row maps, nothing after it.
Result<std::vector<SmplEntry>> decodeSmpl(ByteView payload);
// The same, refusing (DirPolicyEntries) a payload that declares more than
// `maxRows` rows before any row is decoded; the reader passes the number of
// directory entries, since every row needs an AUDI chunk of its own.
Result<std::vector<SmplEntry>> decodeSmpl(ByteView payload, uint64_t maxRows);
Result<Bytes> encodeSmpl(const SmplEntry* rows, size_t count);
Result<Bytes> encodeSmpl(std::span<const SmplEntry> rows);

// One row: the reader stands before the row's map.
Result<SmplEntry> decodeSmplEntry(CborReader& reader);
// The row's canonical map as one complete CBOR item. Fails (ModelInvalid)
// only when an extension pair repeats a key of the row.
Result<Bytes> encodeSmplEntry(const SmplEntry& row);

} // namespace vt6::fmt
