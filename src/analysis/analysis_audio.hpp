#pragma once
// Turns one sample's audio into the fixed input of the physical analysis:
// mono at 44100 Hz, starting just before the attack, peak 1, at most 2 s.

#include <cstdint>
#include <span>
#include <vector>

#include "format/hit_level.hpp"  // Pa6, the analysis audio of one sample

namespace vt6::fmt {

inline constexpr int32_t kAnalysisRate = 44100;
inline constexpr int64_t kMaxAnalysisSamples = 88200;

// Resamples to 44100 Hz with a Kaiser-windowed sinc in polyphase form.
// Throws std::invalid_argument "analysis sample rate outside 1000..384000",
// "analysis resampling input exceeds five seconds" or "nonfinite analysis
// input".
std::vector<float> resampleForAnalysis(std::span<const float> samples, int32_t rate);

// Modified Bessel function of the first kind, order 0 (power series).
double besselI0(double x);

// Four 22-sample frames before the frame with the steepest RMS rise (0 for
// fewer than 88 samples).
uint64_t findAttackOffset(std::span<const float> samples);

// Resampled, cut before the attack, divided by its peak and cut to 2 s. Empty
// when nothing usable is left; throws what resampleForAnalysis throws.
std::vector<float> prepareAnalysisAudio(std::span<const float> samples, int32_t rate);

// From 32 samples before the first value at 10% of the peak, scaled to peak 1.
// Empty for empty or silent input.
std::vector<float> alignToOnset(std::span<const float> samples);

// Largest absolute value of each 256-sample block.
std::vector<float> blockPeakEnvelope(std::span<const float> samples);

} // namespace vt6::fmt
