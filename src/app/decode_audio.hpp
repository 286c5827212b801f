#pragma once
// One audio file on its way into the open zem: decoded whole into
// interleaved floats, checked, given a playback region that skips leading
// silence and the decayed tail, and measured for the auto-sort. Each refusal
// carries a kind that selects the line of the import report. Runs on the
// import job's threads; nothing here touches the message thread.

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "audio/interleaved_audio_view.hpp"
#include "format/hit_level.hpp"
#include "format/result.hpp"

namespace vt6::maker {

// Why a file was left out of an import; the value selects the report line.
enum ImportKind : int {
    kImportUndecodable = 0,
    kImportUnsupported = 1,  // channel count, length or sample rate
    kImportTooLong = 2,      // more than 256 MB of decoded audio
    kImportDamaged = 3,      // an infinite or not-a-number value
    kImportSilent = 4,
    kImportDuplicate = 5,    // already on this page
    kImportNotAudio = 6,     // no format claims the extension
};

// 64 Mi values of 4 bytes: the most decoded audio one sample may hold.
inline constexpr int64_t kMaxImportValues = 67108864;
inline constexpr double kMinImportRate = 8000.0;
inline constexpr double kMaxImportRate = 384000.0;

// The trim settings an import runs with, copied when it starts.
struct ImportTrimSettings {
    bool trimSilence = false;
    int startThresholdDb = -60;
    int endThresholdDb = -90;

    bool operator==(const ImportTrimSettings&) const = default;
};

// One decoded file; movable, never copied.
struct ImportedSample {
    std::string name;           // file name without extension
    std::string path;           // full path, part of the import key
    std::vector<float> samples; // whole decoded audio, interleaved
    int channels = 1;
    int sampleRate = 44100;
    int64_t trimStart = 0;      // playback region [trimStart, trimEnd)
    int64_t trimEnd = 0;
    double rms = 0.0;           // over the whole file
    double peak = 0.0;
    fmt::HitLevel hitLevel;     // over the playback region

    ImportedSample() = default;
    ImportedSample(ImportedSample&&) noexcept = default;
    ImportedSample& operator=(ImportedSample&&) noexcept = default;
    ImportedSample(const ImportedSample&) = delete;
    ImportedSample& operator=(const ImportedSample&) = delete;
};

// Reads the whole file into floats. The channel count, the declared length
// and the rate are checked before any audio is read, so an oversized or
// malformed header costs no memory.
fmt::Result<ImportedSample> decodeAudioFile(juce::AudioFormatManager& formats, const juce::File& file, int* kind);
// The same for a reader already open on `file`.
fmt::Result<ImportedSample> decodeAudioReader(juce::AudioFormatReader& reader, const juce::File& file, int* kind);

// Checks the values, sets the playback region (trimmed when the settings ask)
// and measures rms, peak and hit level. `cancelled` is polled inside the
// hit-level measure. `kind` may be null.
fmt::Result<ImportedSample> importAudioFile(ImportedSample sample, const ImportTrimSettings& trim,
                                            const std::function<bool()>& cancelled, int* kind);

// The playback region [start, end) that skips frames quieter than the start
// threshold at the front and keeps `tailMs` after the last frame at or above
// the end threshold.
std::pair<int64_t, int64_t> findImportTrimRegion(fmt::InterleavedAudioView audio, double startDb, double endDb,
                                                 double tailMs);

// 418, 414, 429, 430, 431 for kinds 0 to 4; 0 otherwise.
int importReferenceNumber(int kind);
// The report line of a refused file; kinds 5 and 6 carry no reference code,
// unknown kinds give the empty text.
std::string importErrorText(const std::string& fileName, int kind);

}  // namespace vt6::maker
