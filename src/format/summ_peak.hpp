#pragma once
// The SUMM chunk (a small whole-file summary, canonical CBOR) and the PEAK
// chunk (per-sample min/max waveform overview, little-endian binary).

#include <cstdint>
#include <vector>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/fields.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// The writer refuses a larger SUMM payload and the reader refuses to read one.
inline constexpr uint64_t kSummMaxBytes = 65536;
// 128 (min, max) signed-byte points over the audio of all samples.
inline constexpr size_t kSummThumbnailBytes = 256;

inline constexpr size_t kPeakHeaderBytes = 8;
inline constexpr uint32_t kPeakMagic = 0x31564B50u;  // "PKV1"
inline constexpr uint16_t kDefaultPointsPerSample = 512;

struct HistogramEntry {
    uint64_t id = 0;
    uint64_t count = 0;

    bool operator==(const HistogramEntry&) const = default;
};

// Field names are the payload's; a cleared summary is all zero and empty.
struct Summary {
    bool present = false;  // true once decoded or computed; false: no SUMM chunk
    uint64_t sample_count = 0;                          // 1
    std::vector<HistogramEntry> band_histogram;         // 2
    std::vector<HistogramEntry> articulation_histogram; // 3
    std::vector<HistogramEntry> layer_histogram;        // 4
    std::vector<uint64_t> sample_rates;                 // 5
    std::vector<uint64_t> bit_depths;                   // 6
    std::vector<uint64_t> channel_counts;               // 7
    uint64_t total_frames = 0;                          // 8
    Bytes thumbnail;                                    // 12, empty or 256 bytes
    uint64_t smpl_bytes = 0;                            // 13
    uint64_t peak_bytes = 0;                            // 14
    ExtensionList extensions;                           // every other key

    bool operator==(const Summary&) const = default;
};

// The PEAK body as stored: row i is bytes [i*2p, (i+1)*2p) for p points per
// sample. An empty body means the file has no PEAK chunk.
struct PeakTable {
    uint16_t points_per_sample = kDefaultPointsPerSample;
    Bytes peaks;

    bool operator==(const PeakTable&) const = default;
};

Result<Summary> decodeSumm(ByteView payload);
Result<Bytes> encodeSumm(const Summary& summary);

Result<PeakTable> decodePeak(ByteView payload);
Result<Bytes> encodePeak(const PeakTable& table);

// An array of [id, count] pairs; `name` names the histogram in messages.
Result<std::vector<HistogramEntry>> readHistogram(CborReader& reader, const char* name);
// An array of unsigned integers.
Result<std::vector<uint64_t>> readUintArray(CborReader& reader);

} // namespace vt6::fmt
