#pragma once
// Reading legacy instrument files (versions 3.0 to 3.5 and 4.0).
//
// readLegacyFile reads the whole header into memory, applies the sample-table
// laws, maps the payload region, on request measures every sample's peak from
// its audio, derives dynamics for the layouts that store none, forms the
// selection cells and collects warnings. Failures are message text only; the
// caller wraps them in its own error code.
//
// Peaks of stored FLAC payloads (4.0) are measured on a small decode pool
// that lives only inside one read: a few threads, the caller included, take
// samples one at a time from an atomic counter and read the file through
// positioned reads, so they share no file position.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "audio/legacy/layouts.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "platform/file.hpp"

namespace vt6::zem {

// The sample-table laws.
inline constexpr int64_t kMaxPayloadFrames = 67108864;  // values per sample
inline constexpr int32_t kLegacyMaxSampleRate = 384000;
inline constexpr int32_t kV4MinSampleRate = 8000;
inline constexpr uint64_t kLegacyDecodeBudgetBytes = 2147483648u;  // sum of raw sizes; exactly 2 GiB passes
inline constexpr uint64_t kV4FlacSlackBytes = 1048576;  // a FLAC payload may exceed its raw size by this much
inline constexpr int32_t kLegacyMaxStoredDynamics = 384;
inline constexpr int32_t kLegacyMaxDynamicGroups = 255;
// A size above this counts as a failed size query: legacy files were
// addressed with signed 32-bit offsets.
inline constexpr uint64_t kLegacyMaxFileBytes = 0x7FFFFFFF;

inline constexpr unsigned kLegacyMaxDecodeThreads = 4;
inline constexpr size_t kLegacyPeakBlockBytes = 1048576;

// Where a read takes its bytes from. Reads name their own offsets, so the
// decode pool's threads may read at once.
class LegacySource {
public:
    virtual ~LegacySource() = default;
    // Size in bytes; empty when it cannot be told.
    virtual std::optional<uint64_t> size() const noexcept = 0;
    virtual platform::ReadOutcome readAt(void* dst, size_t size, uint64_t offset) const noexcept = 0;
};

// An open file descriptor (not owned).
class FileLegacySource final : public LegacySource {
public:
    explicit FileLegacySource(int fd) noexcept : fd_(fd) {}
    std::optional<uint64_t> size() const noexcept override;
    platform::ReadOutcome readAt(void* dst, size_t size, uint64_t offset) const noexcept override;

private:
    int fd_;
};

// Bytes in memory (not owned), for tests and tools that hold a file already.
class MemoryLegacySource final : public LegacySource {
public:
    explicit MemoryLegacySource(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}
    std::optional<uint64_t> size() const noexcept override { return bytes_.size(); }
    platform::ReadOutcome readAt(void* dst, size_t size, uint64_t offset) const noexcept override;

private:
    std::span<const uint8_t> bytes_;
};

// Reads the legacy file at `path` (UTF-8). The file is closed again on every
// path. With measurePeaks set, nativePeak holds the override (when it has one
// value per sample) or the measured peak of each sample; else the header
// impulse.
LegacyReadResult readLegacyFile(const std::string& path, const LegacyReadOptions& options);

// The same read over any source; `readLegacyFile` is this on the opened file.
LegacyReadResult readLegacySource(const LegacySource& source, const LegacyReadOptions& options);

// One sample's audio as float channels, read from `fd` (an open descriptor of
// the file `legacy` was read from, as platform::openFileUtf8 gives; left open).
// FLAC payloads need `decoder`. Values missing from a truncated 3.x file read
// as 0. Never throws for file or data problems.
LegacySampleAudio readLegacySampleAudio(int fd, const LegacyFile& legacy, size_t index,
                                        const Zem4BlobDecoder* decoder);
LegacySampleAudio readLegacySampleAudio(const LegacySource& source, const LegacyFile& legacy, size_t index,
                                        const Zem4BlobDecoder* decoder);

// Peak of `byteCount` bytes of packed PCM at `offset`, streamed through the
// calling thread's block buffer. 0 when the offset cannot be read; a short
// read ends the measurement with the values read so far.
float measurePeak(int fd, uint64_t offset, uint64_t byteCount, int32_t bits);
float measurePeak(const LegacySource& source, uint64_t offset, uint64_t byteCount, int32_t bits);

// Peak of packed PCM in memory: 16-bit |v| / 32767 (so -32768 gives a little
// more than 1), 24-bit |v| / 2^23 (a lone 0x800000 gives exactly 1), 32-bit
// the largest |float| ignoring NaNs. 0 without a complete value or for other
// depths.
float pcmPeak(std::span<const uint8_t> bytes, int32_t bits) noexcept;

// Threads, the caller included, that decode FLAC payloads for a file of
// `sampleCount` samples: min(max(sampleCount, 1), clamp(hw / 3, 1, 4)), with a
// reported 0 hardware threads taken as 1.
unsigned legacyDecodePoolSize(unsigned hardwareThreads, int32_t sampleCount) noexcept;

} // namespace vt6::zem
