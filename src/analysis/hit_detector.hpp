#pragma once
// Finding drum hits in one channel of audio: the detector's state, its
// envelopes, the spectral-flux and onset-strength detection functions, the
// candidate peaks and the small statistics the detector uses.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vt6::fmt {

class FftPlan;

// The state of one detector run. Make a fresh one per run.
struct HitDetector {
    std::vector<float> referenceBands; // reference band levels of the last band spectrum
    std::vector<float> noiseSpectrum;  // 513 mean magnitudes of the quietest 1024-sample blocks
    double sampleRate = 44100.0;
};

// Per-rate quantities of a run (window lengths truncated unless noted).
struct HitTiming {
    int64_t hop = 1;          // peak-envelope hop: 0.5 ms, rounded, at least 1
    int64_t rmsBlock = 1;     // RMS-envelope block: 5 ms, rounded, at least 1
    int64_t minStartGap = 0;  // 12 ms between accepted starts
    double minLength = 0;     // 15 ms, compared as a real number
    float minPeak = 0;        // -45 dB
};
// Rates outside (0, 10^6] give the defaults.
HitTiming hitTimingFor(double sampleRate);

// The 97 edges (in 2048-point bins, 1..1024) of the flux's 96 log-spaced
// bands from 30 Hz to min(0.45 rate, 16 kHz).
std::array<int64_t, 97> fluxBandEdges(double sampleRate);

// Smallest distance in hops between two picked onset peaks (12 ms, at least 1).
int64_t onsetPeakMinDistance(double sampleRate);

// One peak-follower value (25 ms release) per block of `hop` samples.
std::vector<float> peakEnvelope(const HitDetector& detector, std::span<const float> audio, int64_t hop);

// Root mean square of each block of `block` samples (the last may be shorter).
std::vector<float> rmsEnvelope(std::span<const float> audio, int64_t block);

// Fills noiseSpectrum from the quietest 10% of the whole 1024-sample blocks
// (all zero with fewer than 4 blocks).
void measureNoiseSpectrum(HitDetector& detector, std::span<const float> audio);

// Mean rise of 96 log-spaced band levels against the frame two hops back, one
// value per 256-sample hop.
std::vector<float> spectralFlux(const HitDetector& detector, std::span<const float> audio);

// Peak-envelope rise plus spectral flux, each over its 95th percentile, one
// value per 256-sample hop.
std::vector<float> onsetStrength(const HitDetector& detector, std::span<const float> audio,
                                 std::span<const float> peakEnvelope, int64_t hop);

// Ascending hop indices of the onset-strength peaks.
std::vector<int64_t> pickOnsetPeaks(const HitDetector& detector, std::span<const float> onset);

// Symmetric Hann window of `size` points times audio[first ..], zero outside
// the audio; first may be negative.
void hannSlice(int64_t size, float* buffer, std::span<const float> audio, int64_t first);

// Statistics over a copy of the values. They order the values with NaN last
// (and -0 before +0), so that any input, NaN and infinities included, has a
// defined result. Empty input gives 0.
float percentileOf(std::vector<float> values, double p);
double medianOf(std::vector<double> values);
double medianAbsDeviation(std::vector<double> values, double centre);

} // namespace vt6::fmt
