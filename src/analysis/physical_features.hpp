#pragma once
// The 57 physical features of one prepared hit: attack and decay, spectral
// shape and its change, energy in nine bands, a 13-coefficient mel cepstrum,
// a low spectral peak and the pitch.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/drum_type.hpp"

namespace vt6::fmt {

class FftPlan;

inline constexpr size_t kPhysicalFeatureCount = 57;
using PhysicalFeatures = std::array<double, kPhysicalFeatureCount>;

// Analysis window and pitch search range.
struct FeatureWindow {
    int32_t windowMs = 400;
    double pitchLoHz = 100.0;
    double pitchHiHz = 600.0;
};

// centroid, spread, skewness, kurtosis, 85% and 95% roll-off, flatness, slope.
using SpectralShape = std::array<double, 8>;

struct Spectrogram {
    std::vector<std::vector<double>> frames; // rows of binCount magnitudes
    int32_t binCount = 513;
};

// The window and pitch range of a drum type (codes above 5 as unknown).
FeatureWindow featureWindowFor(DrumType drumType);

// Features of a prepared input (44100 Hz, peak 1): aligned to its onset, with
// the window of the drum type.
PhysicalFeatures featuresForDrumType(std::span<const float> prepared, DrumType drumType);

PhysicalFeatures computePhysicalFeatures(std::span<const float> aligned, std::span<const float> envelope,
                                         const FeatureWindow& window);

// Powers of the N/2+1 bins of the periodic-Hann-windowed samples offset ..
// offset+N-1 (zero past the end). N must equal the plan's size
// (std::invalid_argument otherwise).
std::vector<double> hannPowerSpectrum(std::span<const float> samples, FftPlan& plan, uint64_t offset,
                                      uint64_t n);

// Sum of the powers of the bins whose frequency k*44100/n lies in [lo, hi).
double bandPowerSum(const std::vector<double>& power, uint64_t n, double lo, double hi);

// 1024-point magnitude frames, hop 256, over the first `window` samples.
Spectrogram magnitudeSpectrogram(std::span<const float> samples, int32_t window);

SpectralShape frameSpectralShape(std::span<const double> magnitudes);

// Coefficients 1..13 of the DCT of 26 log mel-band energies (30..16000 Hz)
// of a 513-bin power spectrum.
std::array<double, 13> melCepstrum(const std::vector<double>& power);

} // namespace vt6::fmt
