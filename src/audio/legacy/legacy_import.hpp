#pragma once
// Converting a legacy instrument file (versions 3.0 to 3.5 and 4.0) into a
// current model: metadata, layer, articulation and dynamics tables, one SMPL
// row per legacy sample, peaks, summary and LGCY provenance, plus on request
// the AUDI/AUDT payloads the writer stores. Viewing a legacy file needs the
// model only; saving a converted document asks for the payloads as well.
//
// Legacy sample i (0-based) becomes uid i + 1; its payloads carry the same
// uid. Problems the conversion can repair (odd interleaved lengths, stale
// room lookups, negative articulations or dynamics) become warnings; only
// unreadable or inconsistent audio fails it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/legacy/layouts.hpp"
#include "audio/pcma_head.hpp"
#include "format/export.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::zem {

// Head length every caller asks for when splitting samples into payloads.
inline constexpr uint32_t kLegacyHeadMs = 250;

// Outline resolutions: per sample in PEAK, for the whole library in SUMM.
inline constexpr size_t kImportPeakPoints = 512;
inline constexpr size_t kSummaryThumbnailPairs = 128;

inline constexpr const char* kLegacyImporterTagText = "Vantorel 6 LegacyImporter M7a";
inline constexpr const char* kDefaultLegacyChannelNameText = "DIRECT";

struct LegacyImportOptions {
    uint32_t headMs = kLegacyHeadMs;
    bool buildPayloads = false;
    // Threads converting samples, the caller included; 0 sizes the pool as
    // the reader's decode pool (legacyDecodePoolSize). The result does not
    // depend on it.
    unsigned threads = 0;
};

// One legacy sample's audio while converting: packed little-endian PCM of
// whole frames only.
struct LegacyPcm {
    std::vector<uint8_t> pcm;
    uint64_t frames = 0;
    uint32_t channels = 1;
    uint32_t bits = 16;
    uint32_t rate = 44100;
};

// Reads the file (peaks measured on the decode pool, 4.0 FLAC payloads
// decoded) and converts it. A refused read is ModelInvalid with the reader's
// text behind "legacy read refused: ".
fmt::Result<fmt::Export> importLegacyFile(const std::string& path, const LegacyImportOptions& options);

// Converts a file already read from `path`, which must still have the size
// the read saw. The file is hashed in one streaming pass, and each sample is
// read, decoded, hashed, measured and (on request) coded into payloads on
// its own, its audio dropped before the thread takes the next: memory holds
// one sample's audio per thread, never the whole file. Warnings, the first
// failure, rows and payloads come out in sample order, as one thread would
// give them.
fmt::Result<fmt::Export> convertLegacyModel(const LegacyFile& legacy, const std::string& path,
                                            const LegacyImportOptions& options);

// Appends one payload of sample number `sampleNumber` (1-based): frames
// [firstFrame, firstFrame + frames) of `pcm`, coded with `codec`.
fmt::Result<fmt::Unit> buildLegacyPayload(fmt::Export& out, const LegacyPcm& pcm, uint64_t sampleNumber,
                                          uint16_t codec, uint32_t tag, fmt::PayloadRole role, uint64_t firstFrame,
                                          uint64_t frames);

void appendImportWarning(fmt::Export& out, std::string text);

// The text after the last '/' or '\' without its extension (cut at the last
// '.', unless that is the first character or there is none).
std::string fileStemOfPath(const std::string& path);

void legacyImporterTag(std::optional<std::string>& target);
void defaultLegacyChannelName(std::optional<std::string>& target);

// --- Peaks and summary ------------------------------------------------------

// 127 v rounded to the nearest integer (ties to even), saturating at 127 and
// -128; NaN gives 0. The clamp happens in floating point, so no out-of-range
// value is ever converted to an integer.
int8_t quantizePeakLevel(float v) noexcept;

// Fills points_per_sample, peaks and summary from the converted rows and the
// audio of each row (same order and count).
void fillLegacyPeaksAndSummary(fmt::Zem6Model& model, std::span<const LegacyPcm> audio);

// Dynamics bands 1..dynamicCount for the stored levels: each band reaches
// half-way to the neighbouring distinct levels, the quietest down to minus
// infinity and the loudest up to plus infinity, its centre kept as extension
// 5. Levels are ordered with NaN last; a NaN level gets no bounds. Bands whose
// level is not stored are left out.
std::vector<fmt::BandDef> legacyDynamicsBands(std::span<const float> levels, int32_t dynamicCount);

} // namespace vt6::zem
