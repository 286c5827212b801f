#pragma once
// The seven fixed binary layouts of legacy instrument files and the record a
// read fills from them.
//
// A legacy file is a fixed-size header (the 8-byte version magic, the
// instrument's texts and a sample table of parallel arrays) followed by every
// sample's stored audio in table order. Versions 3.0 and 3.1 use the small
// layout (at most 48 samples, levels only); 3.2 to 3.5 the main layout (at
// most 384 samples, stored dynamics, room tables from 3.4 on); 4.0 is the 3.5
// header plus an extension, read as the main layout or, when the extension's
// legacy_props byte is set, as the props layout (48 samples at the main
// offsets, a few values from the extension). All integers are little-endian.
// Legacy files are only ever read.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/legacy/dynamics.hpp"
#include "audio/legacy/zem4_decode.hpp"

namespace vt6::zem {

inline constexpr size_t kLegacyMagicBytes = 8;
inline constexpr int kLegacyVersionCount = 7;
inline constexpr uint8_t kLegacyVersionV40 = 6;

enum class LegacyRoomTables : uint8_t {
    None,
    Narrow,  // 3.4: one-byte room lookups, names and levels after them
    Wide,    // 3.5 and 4.0: 32-bit room lookups
};

struct LegacyVersionLayout {
    const char* magic;     // 8 characters, no terminator in the file
    uint32_t headerBytes;  // magic included; for 4.0 the extension too
    bool small;            // the small layout (3.0, 3.1); else main or props
    LegacyRoomTables rooms;
    bool extension;        // the 4.0 extension follows the 3.5 header
};

inline constexpr std::array<LegacyVersionLayout, kLegacyVersionCount> kLegacyVersions{{
    {"Zem_v3.0", 2893, true, LegacyRoomTables::None, false},
    {"Zem_v3.1", 5184, true, LegacyRoomTables::None, false},
    {"Zem_v3.2", 36579, false, LegacyRoomTables::None, false},
    {"Zem_v3.3", 36579, false, LegacyRoomTables::None, false},
    {"Zem_v3.4", 39379, false, LegacyRoomTables::Narrow, false},
    {"Zem_v3.5", 42844, false, LegacyRoomTables::Wide, false},
    {"Zem_v4.0", 47729, false, LegacyRoomTables::Wide, true},
}};

// Largest header of any version: the most a read holds in memory.
inline constexpr uint32_t kLegacyMaxHeaderBytes = 47729;

// Most samples per layout; kLegacyMaxSamples is the largest of them.
inline constexpr int32_t kLegacyMaxSamples = 384;
inline constexpr int32_t kLegacyMaxSamplesSmall = 48;
inline constexpr int32_t kLegacyMaxSamplesMain = 384;
inline constexpr int32_t kLegacyMaxSamplesProps = 48;

// Length-prefixed text slots: a length byte and 30 characters.
inline constexpr uint32_t kLegacyTextSlotBytes = 31;
inline constexpr size_t kLegacyMaxPrefixedText = 254;
inline constexpr size_t kLegacyMaxBoundedText = 31;

// Small layout, per version; -1 marks a field the version does not store.
// Per-sample arrays have 48 slots.
struct LegacySmallOffsets {
    uint32_t instrumentName;  // length-prefixed text
    uint32_t sampleCount;     // int8
    uint32_t sampleNames;     // + 31 i, length-prefixed text
    uint32_t length;          // + 4 i, int32
    uint32_t headerImpulse;   // + 2 i, int16 x 2^-15
    uint32_t altLevel;        // + 2 i, int16 x 2^-15
    uint32_t stereo;          // + i
    int32_t articulation;     // + i, int8
    uint32_t bits;            // + i
    uint32_t useAltLevel;     // + i
    uint32_t sampleRate;      // + 4 i, int32
    uint32_t levelToleranceDb;  // float64
    int32_t carriedFlag;      // + i
    int32_t excluded;         // + i
};

inline constexpr LegacySmallOffsets kLegacySmallV30{8,    264,  265,  1754, 1946, 2042, 2186,
                                                    -1,   2234, 2539, 2590, 2786, -1,   -1};
inline constexpr LegacySmallOffsets kLegacySmallV31{110,  366,  367,  1856, 2048, 2144, 2288,
                                                    2240, 2336, 2641, 2692, 2888, 2896, 2944};

// Main layout (also the props layout's sample table). Per-sample arrays have
// 384 slots.
namespace legacy_main {
inline constexpr uint32_t kInstrumentName = 110;      // length-prefixed text
inline constexpr uint32_t kSampleCount = 366;         // int16
inline constexpr uint32_t kDynamicCount = 368;        // int16
inline constexpr uint32_t kDynamicLevels = 370;       // + 4 k, float32
inline constexpr uint32_t kArticulationNames = 13810; // + 31 k, bounded text
inline constexpr uint32_t kSampleNames = 14306;       // + 31 i, length-prefixed text
inline constexpr uint32_t kLength = 26210;            // + 4 i, int32
inline constexpr uint32_t kHeaderImpulse = 27746;     // + 2 i, int16 x 2^-15
inline constexpr uint32_t kArticulation = 28514;      // + i, int8
inline constexpr uint32_t kDynamicPart = 28898;       // + 2 i, int16
inline constexpr uint32_t kSampleRate = 29666;        // + 4 i, int32
inline constexpr uint32_t kCarriedFlag = 31202;       // + i
inline constexpr uint32_t kExcluded = 31586;          // + i
inline constexpr uint32_t kHand = 31970;              // + i
inline constexpr uint32_t kStereo = 33506;            // + i
inline constexpr uint32_t kBits = 33890;              // + i
// Room tables (3.4 on).
inline constexpr uint32_t kRoom = 36579;              // + i
inline constexpr uint32_t kRoomBytes = 36964;         // + 3 i
inline constexpr uint32_t kRoomLookup = 38116;        // + 3 i (int8) or + 12 i (int32)
} // namespace legacy_main

struct LegacyRoomOffsets {
    uint32_t lookupStride;  // bytes per sample
    uint32_t lookupWidth;   // bytes per slot value
    uint32_t names;         // + 32 k, bounded text
    uint32_t levels;        // + 4 k, float32
};
inline constexpr LegacyRoomOffsets kLegacyRoomsNarrow{3, 1, 39271, 39367};
inline constexpr LegacyRoomOffsets kLegacyRoomsWide{12, 4, 42736, 42832};
inline constexpr uint32_t kLegacyRoomNameStride = 32;

// Version 4.0 extension, after the 3.5 header.
namespace legacy_v4 {
inline constexpr uint32_t kMarker = 42844;            // "ZEM4EXT" and a zero byte
inline constexpr uint32_t kExtBytes = 42852;          // uint32
inline constexpr uint32_t kLegacyProps = 42856;
inline constexpr uint32_t kCodec = 42857;             // + i
inline constexpr uint32_t kPayloadBytes = 43241;      // + 4 i, uint32
inline constexpr uint32_t kLevelToleranceDb = 44777;  // float64, props only
inline constexpr uint32_t kUseAltLevel = 44785;       // + i, props only
inline constexpr uint32_t kAltLevel = 45169;          // + 2 i, int16 x 2^-15, props only
inline constexpr uint32_t kPayloadCrc = 45937;        // + 4 i, uint32
inline constexpr char kMarkerText[8] = {'Z', 'E', 'M', '4', 'E', 'X', 'T', '\0'};
} // namespace legacy_v4
inline constexpr uint32_t kV4ExtensionBytes = 4885;

// Magic text of a version index; "?" for any other value.
const char* legacyVersionName(int index) noexcept;

// Text behind a length byte at `offset`: at most that many characters (and at
// most 254), ending early at a zero byte or the header end. Empty when the
// offset is not inside the header.
std::string readLengthPrefixedText(std::span<const uint8_t> header, size_t offset);

// Text from `offset` up to the first zero byte, at most 31 characters,
// ending at the header end.
std::string readBoundedText(std::span<const uint8_t> header, size_t offset);

// One legacy file as read. Every per-sample vector holds sampleCount entries
// after a successful read; texts are the stored bytes, unconverted.
struct LegacyFile {
    uint8_t version = 5;  // index into kLegacyVersions
    int32_t sampleCount = 0;
    int32_t dynamicCount = 0;     // stored (main layout) or derived
    double levelToleranceDb = 0;  // grouping tolerance; 0 in the main layout
    bool hasArticulations = false;
    std::vector<float> dynamics;  // linear level of each dynamic
    int32_t roomCount = 0;        // highest room of any sample; 0 without room tables
    std::array<float, 3> roomLevel{};
    std::array<int32_t, 3> roomFlag{};
    std::vector<int32_t> sampleNumber;  // 1-based
    std::vector<SampleMeta> sampleMeta;
    std::vector<int32_t> dynamicPart;   // 1-based dynamic, 0 none
    std::vector<int32_t> articulation;  // normally 1..16
    std::vector<int32_t> take;          // take within the sample's selection cell
    std::vector<int32_t> derivedTake;   // from the derivation; zeros in the main layout
    std::vector<int32_t> length;        // values, counted interleaved
    std::vector<int32_t> sampleRate;
    std::vector<uint8_t> bits;          // 16, 24 or 32 (32 is float)
    std::vector<uint8_t> stereo;
    std::vector<uint8_t> carriedFlag;   // carried, meaning unknown
    std::vector<uint8_t> excluded;      // keeps the sample out of grouping and selection
    std::vector<uint8_t> useAltLevel;   // grouping uses altLevel instead of nativePeak
    std::vector<uint8_t> hand;          // 0..2 meaningful
    std::vector<uint8_t> room;          // 0 direct, 1..3 room sample
    std::vector<std::array<uint8_t, 3>> roomBytes;
    std::vector<std::array<int32_t, 3>> roomLookup;  // 1-based room sample per slot, 0 none
    std::vector<float> headerImpulse;
    std::vector<float> altLevel;
    std::vector<float> nativePeak;      // header impulse or measured peak
    std::vector<uint64_t> payloadOffset;
    std::vector<uint64_t> decodedBytes; // length x bits / 8
    std::vector<uint8_t> codec;         // 0 raw, 1 FLAC
    std::vector<uint32_t> payloadCrc;   // CRC-32/IEEE, 0 in 3.x
    std::vector<uint64_t> payloadBytes; // stored size
    bool legacyProps = false;
    SelectionIndex selection;
    uint64_t fileSize = 0;
    bool truncated = false;             // a 3.x payload region runs past the end of the file
    uint64_t trailingBytes = 0;
    std::string instrumentName;
    std::vector<std::string> sampleNames;
    std::array<std::string, 16> articulationNames;
    std::array<std::string, 3> roomNames;
    std::vector<std::string> warnings;
};

struct LegacyReadOptions {
    bool measurePeaks = false;
    const Zem4BlobDecoder* blobDecoder = nullptr;
    const std::vector<float>* peakOverride = nullptr;  // used when it has one value per sample
};

struct LegacyReadResult {
    std::optional<LegacyFile> file;  // set on success
    std::string error;               // set on failure
};

struct LegacySampleAudio {
    std::vector<std::vector<float>> channelSamples;  // one vector per channel; empty on failure
    std::string error;
};

} // namespace vt6::zem
