#pragma once
// Test-only writer of legacy instrument files of every version.
//
// It lays files out from its own copy of the layout offsets (not the
// reader's), so a wrong offset on either side shows up as a failed round
// trip. Tests describe a file as plain values, build its bytes, optionally
// poke hostile values into them, and write them to a temporary file.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.hpp"

namespace vt6::zem::testing {

struct BuilderSample {
    std::string name = "hit";
    int32_t length = 4;  // values, counted interleaved
    int32_t sampleRate = 44100;
    uint8_t bits = 16;
    uint8_t stereo = 0;
    int8_t articulation = 1;
    int16_t dynamicPart = 0;       // main layout only
    int16_t headerImpulse = 16384; // stored level x 2^15
    int16_t altLevel = 0;          // small and props layouts
    uint8_t useAltLevel = 0;       // small and props layouts
    uint8_t carriedFlag = 0;
    uint8_t excluded = 0;
    uint8_t hand = 0;              // main layout
    uint8_t room = 0;              // main layout with room tables
    std::array<uint8_t, 3> roomBytes{};
    std::array<int32_t, 3> roomLookup{};
    uint8_t codec = 0;             // 4.0: 0 raw, 1 FLAC
    // Packed PCM of the sample; unset: a fixed pattern of `length` values
    // (see patternPcm).
    std::optional<fmt::Bytes> pcm;
    // Stored payload bytes; unset: the PCM itself (codec 0) or its FLAC
    // stream (codec 1).
    std::optional<fmt::Bytes> stored;
    std::optional<uint32_t> payloadBytes;  // 4.0 field; unset: stored size
    std::optional<uint32_t> payloadCrc;    // 4.0 field; unset: CRC of the stored bytes
};

struct BuilderFile {
    int version = 5;  // 0..6 for Zem_v3.0 .. Zem_v4.0
    bool legacyProps = false;
    std::string instrumentName = "Test Kit";
    std::optional<int32_t> storedSampleCount;   // unset: samples.size()
    std::optional<int32_t> storedDynamicCount;  // main layout; unset: dynamics.size()
    std::vector<float> dynamics;                // main layout
    std::array<std::string, 16> articulationNames{};  // main layout
    std::array<std::string, 3> roomNames{};
    std::array<float, 3> roomLevels{};
    double levelToleranceDb = 0.1;  // small and props layouts
    std::vector<BuilderSample> samples;
    bool writePayloads = true;      // false: the header alone
    fmt::Bytes trailing;            // appended after the payloads
};

// Header size of a version index (the 4.0 extension included).
uint32_t builderHeaderBytes(int version);

// `values` packed values of the given depth following a fixed pattern whose
// largest magnitude is `peakValue` (an integer sample value, or for 32 bits
// the float 0.75). Value 0 carries the peak with a negative sign.
fmt::Bytes patternPcm(uint8_t bits, int32_t values, int32_t peakValue = 12000);

// The PCM a sample describes, and the bytes it stores.
fmt::Bytes samplePcm(const BuilderSample& sample);
fmt::Bytes sampleStored(const BuilderSample& sample);

// Bitwise CRC-32/IEEE, independent of the library's table version.
uint32_t referenceCrc32(const fmt::Bytes& bytes);

fmt::Bytes buildLegacyHeader(const BuilderFile& file);
fmt::Bytes buildLegacyFile(const BuilderFile& file);

// One small, valid file per version index (and the 4.0 props layout), mixing
// the features of the layout: texts, two articulations, stereo, 24-bit and
// float samples, rooms where the layout has them, FLAC in 4.0.
BuilderFile sampleLegacyFile(int version, bool legacyProps = false);

// A file in the system's temporary folder, removed on destruction.
class TempFile {
public:
    TempFile();
    explicit TempFile(const fmt::Bytes& bytes);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    const std::string& path() const noexcept { return path_; }
    void write(const fmt::Bytes& bytes) const;

private:
    std::string path_;
};

} // namespace vt6::zem::testing
