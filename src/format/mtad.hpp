#pragma once
// The in-memory model of one zem 6 file (everything but the audio) and the
// MTAD chunk: the instrument metadata with its layer, articulation and
// dynamics tables. Every map keeps the keys it does not decode as extension
// pairs and writes them back byte for byte.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/fields.hpp"
#include "format/framing.hpp"
#include "format/lgcy.hpp"
#include "format/result.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"

namespace vt6::fmt {

// MTAD must end, with the superblock in front of it and its chunk framing,
// within the first 65536 bytes of a file, so readers can fetch both in one
// bounded read.
inline constexpr uint64_t kMtadMaxPayloadBytes = 65536 - kSuperblockBytes - kChunkFramingBytes;  // 65444

// MTAD map keys.
namespace mtad_key {
inline constexpr uint64_t kFormatVersion = 1;
inline constexpr uint64_t kOpaqueUint2 = 2;
inline constexpr uint64_t kCreatorTool = 3;
inline constexpr uint64_t kName = 4;
inline constexpr uint64_t kDrumType = 5;
inline constexpr uint64_t kInstrumentName = 6;
inline constexpr uint64_t kOpaqueText7 = 7;
inline constexpr uint64_t kOpaqueTexts8 = 8;
inline constexpr uint64_t kLayers = 9;
inline constexpr uint64_t kArticulations = 10;
inline constexpr uint64_t kDynamics = 11;
inline constexpr uint64_t kLegacy = 20;
inline constexpr uint64_t kSplitPayloads = 21;
inline constexpr uint64_t kNextUid = 23;
inline constexpr uint64_t kHeadBytes = 24;
inline constexpr uint64_t kSplit = 25;
inline constexpr uint64_t kHashScheme = 26;
}  // namespace mtad_key

// MTAD extension keys in use.
inline constexpr uint64_t kPublisherCertMtadKey = 15;  // certificate of a signed file
inline constexpr uint64_t kPhysicalMarkerMtadKey = 16; // [1, n]: n physical-model entries in PHDM

// One layer: a recording channel (Direct, Room A-C, or custom).
struct LayerDef {
    uint64_t id = 0;                     // 1, required
    std::optional<std::string> name;     // 2
    std::optional<uint64_t> slot;        // 3: 0 Direct, 1-3 Room A-C, other custom
    std::optional<double> level;         // 4: 1.0 = unity
    std::optional<bool> opaque_flag_5;   // 5
    // Key 6 is accepted and dropped on read, never kept.
    ExtensionList extensions;

    bool operator==(const LayerDef&) const = default;
};

struct ArticulationDef {
    uint64_t id = 0;                      // 1, required
    std::optional<std::string> name;      // 2
    std::optional<uint64_t> opaque_uint_3;  // 3
    std::optional<double> opaque_real_4;    // 4
    std::optional<double> opaque_real_5;    // 5
    ExtensionList extensions;

    bool operator==(const ArticulationDef&) const = default;
};

// One dynamics band (velocity band) on the 0..1 level scale.
struct BandDef {
    uint64_t id = 0;                   // 1, required (the band number)
    std::optional<double> low;         // 2
    std::optional<double> high;        // 3
    std::optional<std::string> name;   // 4
    // Key 5 holds the band centre (see sample_ext.hpp).
    ExtensionList extensions;

    bool operator==(const BandDef&) const = default;
};

// Origin of a file converted from the legacy format (MTAD key 20).
struct LegacyOrigin {
    Bytes version_magic;                     // 1, written when not empty
    std::optional<Digest128> orig_file_hash; // 2
    ExtensionList extensions;

    bool operator==(const LegacyOrigin&) const = default;
};

// How the legacy converter split audio into head and tail payloads (key 25).
struct SplitInfo {
    std::optional<uint64_t> head_ms;  // 1
    ExtensionList extensions;

    bool operator==(const SplitInfo&) const = default;
};

// The MTAD payload. Texts are the bytes of the CBOR text strings, unchecked.
struct ModelMetadata {
    uint64_t format_version = 1;                 // 1, required
    std::optional<uint64_t> opaque_uint_2;       // 2
    std::optional<std::string> creator_tool;     // 3
    std::optional<std::string> name;             // 4
    std::optional<std::string> drum_type;        // 5
    std::optional<std::string> instrument_name;  // 6
    std::optional<std::string> opaque_text_7;    // 7
    std::vector<std::string> opaque_texts_8;     // 8, written when not empty
    std::vector<LayerDef> layers;                // 9, written when not empty
    std::vector<ArticulationDef> articulations;  // 10, written when not empty
    std::vector<BandDef> dynamics;               // 11, written when not empty
    std::optional<LegacyOrigin> legacy;          // 20
    std::optional<bool> split_payloads;          // 21
    uint64_t next_uid = 1;                       // 23, required
    uint64_t head_bytes = 0;                     // 24, required
    std::optional<SplitInfo> split;              // 25
    uint64_t hash_scheme = 0;                    // 26, written when not 0
    ExtensionList extensions;                    // every other key

    bool operator==(const ModelMetadata&) const = default;
};

// A chunk the model carries without a codec, written back before the audio
// chunks or, when afterAudio is set, after them.
struct ExtraChunk {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t length = 0;  // must equal bytes.size() (a model law)
    uint64_t uid = 0;
    Bytes bytes;
    bool afterAudio = false;

    bool operator==(const ExtraChunk&) const = default;
};

// Everything a file says apart from the audio. A plain value: copies are
// deep. Once shared (std::shared_ptr<const Zem6Model>) it is never changed;
// an edit copies, changes and shares the copy.
struct Zem6Model {
    ModelMetadata metadata;
    std::vector<SmplEntry> samples;  // SMPL rows in file order
    uint16_t points_per_sample = kDefaultPointsPerSample;
    Bytes peaks;                     // PEAK body; empty: no PEAK chunk
    Summary summary;                 // present false: no SUMM chunk
    std::optional<LegacyProvenance> lgcy;
    std::vector<ExtraChunk> extraChunks;  // in file order

    bool operator==(const Zem6Model&) const = default;
};

// Decodes a whole MTAD payload. Checks form only; value laws are
// checkModelLaws's.
Result<ModelMetadata> decodeMtad(ByteView payload);
// The canonical MTAD map. Fails (ModelInvalid) only when an extension pair
// repeats a key of its map, since such bytes would not read back.
Result<Bytes> encodeMtad(const ModelMetadata& metadata);

// Table and sub-map codecs. Each decoder starts with the reader at the value
// (the map not yet entered) and leaves the final check of the whole payload
// to its caller; each encoder returns one canonical map.
Result<LayerDef> decodeLayerDef(CborReader& reader);
Result<Bytes> encodeLayerDef(const LayerDef& layer);
Result<ArticulationDef> decodeArticulationDef(CborReader& reader);
Result<Bytes> encodeArticulationDef(const ArticulationDef& articulation);
Result<BandDef> decodeBandDef(CborReader& reader);
Result<Bytes> encodeBandDef(const BandDef& band);
Result<LegacyOrigin> decodeLegacyOrigin(CborReader& reader);
Result<Bytes> encodeLegacyOrigin(const LegacyOrigin& origin);
Result<SplitInfo> decodeSplitInfo(CborReader& reader);
Result<Bytes> encodeSplitInfo(const SplitInfo& split);

} // namespace vt6::fmt
