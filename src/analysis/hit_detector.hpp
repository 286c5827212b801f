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

// ------------------------------------------------------------------ hits

inline constexpr size_t kHitBands = 12;

// One hit: [start, end) in samples, its peak and RMS there, and the levels in
// dB of 12 log-spaced bands (60 Hz..12 kHz) of its first 1024 samples, NaN
// where a band does not rise clearly above its reference (also kept).
struct DetectedHit {
    int64_t start = 0;
    int64_t end = 0;
    float peak = 0;
    float rms = 0;
    std::array<float, kHitBands> bands{};
    std::array<float, kHitBands> referenceBands{};
};

// The hits of one channel of audio in ascending start order, each with an
// attack-exact start and a decay-complete end. No hits for fewer than 4096
// samples, a rate that is not finite or outside (0, 10^6] Hz, or any sample
// that is not finite. Throws nothing but allocation failure.
std::vector<DetectedHit> detectHits(HitDetector& detector, std::span<const float> audio, double sampleRate);

// The start sample of the hit around candidate position `pos`; sets the
// candidate's strength in dB and the block of its envelope peak.
int64_t refineOnset(const HitDetector& detector, std::span<const float> audio, std::span<const float> peakEnvelope,
                    int64_t hop, int64_t pos, int64_t previousPeakBlock, float& strength, int64_t& peakBlock);

// One past the last sample of the hit starting at `start`: the end of the
// first block of a 60 ms run below -54 dB of its peak (noise subtracted),
// else 1 ms before the next start, the end of the audio or 6 s, whichever
// comes first.
int64_t findDecayEnd(const HitDetector& detector, std::span<const float> audio, std::span<const float> rms,
                     int64_t block, int64_t start, int64_t nextStart, float noiseLevel, int64_t sampleCount);

// The 12 band levels of the 1024 samples from `start`; sets the detector's
// referenceBands (the louder of the 1024 samples before and the noise, +6 dB).
std::array<float, kHitBands> hitBandSpectrum(HitDetector& detector, std::span<const float> audio, int64_t start);

// What measuring hits needs besides the hits.
struct HitContext {
    std::span<const float> audio;
    HitDetector* detector = nullptr;
    std::span<const float> rms;
    int64_t block = 1;
    float noiseLevel = 0;
};

// Sets end, peak, rms, bands and referenceBands of every hit.
void finishHits(const HitContext& context, std::vector<DetectedHit>& hits);

// The hits whose spectrum fits one of up to three templates of the
// recording's typical hits, or that are not quieter than the matching hits;
// in input order. Fewer than 6 hits come back unchanged.
std::vector<DetectedHit> selectHitsByTemplate(HitDetector& detector, const std::vector<DetectedHit>& hits);

// Hit indices by peak, loudest first; equal peaks in index order, NaN peaks
// last. The same order on every run and build.
std::vector<size_t> loudestFirst(const std::vector<DetectedHit>& hits);

// Per band the upper median of the chosen hits' numbers, NaN when fewer than
// half of them have one.
std::array<float, kHitBands> medianTemplate(const std::vector<DetectedHit>& hits, std::span<const size_t> indices);

// RMS difference in dB between a hit's bands and a template after removing
// their median offset; -1 when fewer than 2 bands can be compared.
double templateDistance(const std::vector<DetectedHit>& hits, size_t index,
                        const std::array<float, kHitBands>& templateBands);

// Statistics over a copy of the values. They order the values with NaN last
// (and -0 before +0), so that any input, NaN and infinities included, has a
// defined result. Empty input gives 0.
float percentileOf(std::vector<float> values, double p);
double medianOf(std::vector<double> values);
double medianAbsDeviation(std::vector<double> values, double centre);

} // namespace vt6::fmt
