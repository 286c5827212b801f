#pragma once
// The framework-free half of reading one imported audio file: the decoded
// sample record, the decode through libsndfile from a file or from bytes,
// and the checks, trim and measures that follow. No JUCE here, so the fuzz
// target and the sanitizer build run exactly this code.

#include <cstddef>
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
    kImportDamaged = 3,      // an infinite or not-a-number value, or less audio than declared
    kImportSilent = 4,
    kImportDuplicate = 5,    // already on this page
    kImportNotAudio = 6,     // no format claims the extension
    // Not a report line: the import had no room left for the audio the file
    // declares, so it was not decoded; the job stops with the selection line.
    kImportNoRoom = 16,
};

// 64 Mi values of 4 bytes: the most decoded audio one sample may hold.
inline constexpr int64_t kMaxImportValues = 67108864;
inline constexpr double kMinImportRate = 8000.0;
inline constexpr double kMaxImportRate = 384000.0;
// Frames decoded per read: the unit in which CANCEL is honoured.
inline constexpr int64_t kDecodeBlockFrames = 1 << 13;

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

// An opened audio stream as the decode loop sees it: what the header
// declares, what the bytes present can hold, and interleaved reads.
class AudioFrameSource {
public:
    virtual ~AudioFrameSource() = default;
    virtual int channels() const = 0;
    virtual double sampleRate() const = 0;
    // The length the file declares.
    virtual int64_t declaredFrames() const = 0;
    // The frames the bytes on disk can hold at most; less than declared
    // means the file was cut short.
    virtual int64_t presentFrames() const { return declaredFrames(); }
    // True when each frame takes a fixed number of bytes, so the present
    // frames are known before decoding and can be reserved at once.
    virtual bool fixedFrameSize() const { return false; }
    // False when the declared length is only an estimate (MP3 without an
    // exact header): ending early is then not damage.
    virtual bool exactLength() const { return true; }
    // Reads up to `frames` interleaved frames into `out`; returns the frames
    // read, fewer only where the decodable audio ends, or -1 when the bytes
    // could not be read at all.
    virtual int64_t read(float* out, int64_t frames) = 0;
};

// Asked once the header has passed its checks, with the interleaved values
// the file declares (the most its decode can yield): true lets the decode
// go on; false ends it with kind kImportNoRoom before any audio is read.
// An empty function admits every file.
using DecodeAdmission = std::function<bool(int64_t values)>;

// Decodes the whole source. Channel count, declared length and rate are
// checked before any audio is read, so an oversized or malformed header
// costs no memory; `cancelled` is asked between blocks (then the call fails
// without a kind). Never more than the declared values are decoded.
fmt::Result<ImportedSample> decodeAudioFrames(AudioFrameSource& source, std::string name, std::string path,
                                              const std::function<bool()>& cancelled, int* kind,
                                              const DecodeAdmission& admit = {});

// Decodes a file by its UTF-8 path; name and path of the sample are filled
// in. The reader is chosen by the file's content, never by its extension.
fmt::Result<ImportedSample> decodeAudioPath(const std::string& path, std::string name,
                                            const std::function<bool()>& cancelled, int* kind,
                                            const DecodeAdmission& admit = {});

// The same for the bytes of a whole file in memory.
fmt::Result<ImportedSample> decodeAudioBytes(const uint8_t* data, size_t size,
                                             const std::function<bool()>& cancelled, int* kind);

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

}  // namespace vt6::maker
