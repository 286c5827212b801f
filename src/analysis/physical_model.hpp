#pragma once
// The physical model of one articulation: its drum class, the averaged 57
// features, band levels per time segment merged over its one or two inputs,
// and each input's own descriptors. Every block value lies on a fixed grid or
// is NaN, so that the payload stores it losslessly.
//
// Bad input throws std::invalid_argument whose text is an error reference
// ("E" and a number); the analysis pass turns it into a failed result.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/drum_type.hpp"
#include "analysis/input_descriptors.hpp"
#include "analysis/physical_features.hpp"

namespace vt6::fmt {

inline constexpr int32_t kSegmentBands = 48;
inline constexpr int32_t kSegments = 32;
inline constexpr int32_t kEnvelopeSegments = 16;
inline constexpr uint8_t kDrumClassCount = 6;

// Drum class codes of the model: kick, snare, tom, cymbal, hi-hat, other.
uint8_t toDrumClass(DrumType drumType) noexcept;
DrumType fromDrumClass(uint8_t classCode) noexcept;

struct CombinedDescriptors {
    std::array<float, kSegmentBands * kSegments> meanDb{};  // band-major: the 32 segments of band 0 first
    std::array<float, 2 * kSegmentBands> spreadDb{};        // half-major
    std::array<float, kEnvelopeSegments> envelopeDb{};
    std::array<uint8_t, kSegments> segmentPresent{};
    std::array<uint8_t, kEnvelopeSegments> envelopePresent{};
};

struct PhysicalModel {
    uint8_t classCode = 0;
    PhysicalFeatures features{};
    CombinedDescriptors combined;
    std::vector<InputDescriptors> inputs;
};

// Per-input band levels per segment, before merging (not stored).
struct SegmentSpectrum {
    std::array<double, kSegmentBands * kSegments> bandDb{};  // band-major
    std::array<double, kEnvelopeSegments> envelopeDb{};
    std::array<uint8_t, kSegments> present{};
};

// The 32 segment boundaries of a drum class, in ms after the input's start.
std::array<double, kSegments> segmentBoundaries(uint8_t classCode);

// The input as doubles divided by its peak. Throws E8219 (empty or above
// 88200 samples) and E8220 (NaN or infinity).
std::vector<double> normalizeAnalysisInput(std::span<const float> samples);

SegmentSpectrum computeSegmentSpectrum(std::span<const double> samples, uint8_t classCode);

CombinedDescriptors combineSegmentSpectra(const SegmentSpectrum& first, const SegmentSpectrum* second);

// Throws E8222 when classCode >= 6 (before anything else), then what
// normalizeAnalysisInput throws. An empty second input means one input.
PhysicalModel buildPhysicalModel(std::span<const float> first, std::span<const float> second, uint8_t classCode,
                                 const PhysicalFeatures& features);

} // namespace vt6::fmt
