#pragma once
// Fingerprints of one prepared analysis input (mono doubles at 44100 Hz, peak
// 1, at most 88200 samples): the onset's ERB spectrum at nine lengths, band
// statistics per time class, normalised autocorrelations at 16 kHz and
// spectra with all-pole envelopes at 8 kHz. Every value ends on a fixed grid
// or is NaN (absent), so that the payload can store it as an integer code.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vt6::fmt {

inline constexpr int32_t kErbBands = 96;
inline constexpr int32_t kErbRows = 9;
inline constexpr int32_t kBandStatRows = 12;
inline constexpr int32_t kAutocorrelationRows = 27;
inline constexpr int32_t kAutocorrelationLags = 83;
inline constexpr int32_t kLpcRows = 28;
inline constexpr int32_t kLpcFrequencies = 128;

// Grid steps of the stored codes, in single precision.
inline constexpr float kBandMeanStep = static_cast<float>(70.0 / 254.0);
inline constexpr float kLpcStep = static_cast<float>(60.0 / 254.0);
inline constexpr float kAutocorrelationStep = static_cast<float>(1.0 / 127.0);

// Descriptors of the first 88200, 2304 or 1058 samples of an input. Rows are
// row-major: value (row, column) at row * columns + column.
struct WindowDescriptors {
    std::array<float, kBandStatRows * kErbBands> bandMeanDb{};    // row = 4 * size index + time class
    std::array<float, kBandStatRows * kErbBands> bandSpreadDb{};
    std::array<float, kAutocorrelationRows * kAutocorrelationLags> autocorrelation{};  // row = 9 * variant + length
    std::array<float, kLpcRows * kLpcFrequencies> lpcDb{};        // spectra 0..6, envelopes of order 12, 24, 48
};

struct InputDescriptors {
    std::array<float, kErbRows * kErbBands> erbDb{};
    std::array<float, kErbRows> levelDb{};
    std::array<WindowDescriptors, 3> windows{};
};

// Lengths of the three windows.
inline constexpr std::array<int32_t, 3> kDescriptorWindowLengths = {88200, 2304, 1058};
// Onset lengths of the ERB rows, in samples at 44100 Hz.
inline constexpr std::array<int32_t, kErbRows> kErbOnsetLengths = {265,  529,  1058,  2117, 4234,
                                                                   8467, 16934, 33869, 52920};

// One biquad section {b0, b1, b2, a0, a1, a2}; a0 is 1 and unused.
using Biquad = std::array<double, 6>;
extern const std::array<Biquad, 2> kLowPassCascade16k;
extern const std::array<Biquad, 3> kBandPassCascade16k;

// The 97 ERB band edges from 30 Hz to 16000 Hz.
const std::array<double, kErbBands + 1>& erbBandEdges();

// The 83 autocorrelation lags, in samples at 16 kHz.
const std::array<int32_t, kAutocorrelationLags>& autocorrelationLags();

// A band-statistics filterbank: for band b the pairs rowStart[b] ..
// rowStart[b + 1] - 1 of bins and weights; bins ascend, weights sum to 1.
struct ErbFilterbank {
    int32_t size = 0;
    std::vector<int32_t> rowStart;  // 97 values
    std::vector<int32_t> bins;
    std::vector<double> weights;
};
// The table of transform size 512, 2048 or 8192 (std::invalid_argument
// otherwise). Built once per process.
const ErbFilterbank& erbFilterbank(int32_t size);

// Rational resampling from 44100 Hz to 44100 * up / 441 Hz (up = 160 gives
// 16 kHz, 80 gives 8 kHz) through an 8821-tap Kaiser-windowed sinc.
std::vector<double> resampleRational(std::span<const double> x, int32_t up);

// Filters the signal in place through the sections in order (transposed
// direct form II, zero initial state).
void biquadCascade(std::vector<double>& signal, const Biquad* sections, size_t count);

void erbSpectrumRows(std::span<const double> x, InputDescriptors& out);
void bandStatisticsRows(std::span<const double> x, WindowDescriptors& out);
void autocorrelationRows(std::span<const double> x, WindowDescriptors& out);
void lpcEnvelopeRows(std::span<const double> x, WindowDescriptors& out);

InputDescriptors buildInputDescriptors(std::span<const double> x);

} // namespace vt6::fmt
