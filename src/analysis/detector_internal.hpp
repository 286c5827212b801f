#pragma once
// Pieces the detector's files share; not for callers.

#include <cstdint>
#include <span>
#include <vector>

namespace vt6::fmt {

class FftPlan;

namespace detail {

// Symmetric Hann window in single precision.
std::vector<float> hannWindow(int64_t size);
// buffer[i] = window[i] * audio[first + i], 0 outside the audio.
void windowedSlice(std::span<const float> window, float* buffer, std::span<const float> audio,
                   int64_t first);
// Runs the plan and writes its bins' single-precision magnitudes.
void magnitudes(FftPlan& plan, float* out);
// NaN last, -0 before +0, otherwise numeric order.
bool orderedBefore(double a, double b);

} // namespace detail
} // namespace vt6::fmt
