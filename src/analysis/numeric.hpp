#pragma once
// Small numeric tools shared by the physical analysis. The analysis results
// are stored in files, so the association order of every sum here is part of
// the stored numbers: change none of it.

#include <cstdint>
#include <span>

namespace vt6::fmt {

// Blocked pairwise sum: below 8 values left to right; up to 128 values eight
// running partial sums combined as ((s0+s1)+(s2+s3))+((s4+s5)+(s6+s7)), then
// the remainder in order; above 128 split at 8*floor(count/16) and recurse.
// A count <= 0 gives 0.
double pairwiseSum(const double* values, int32_t count);
float pairwiseSum(const float* values, int32_t count);

// pairwiseSum of the span over its length (NaN for an empty span).
double meanOf(std::span<const double> values);

// x on the grid of multiples of step inside [lo, hi], ties to even; NaN and
// infinities come back unchanged.
float quantizeToStep(float x, float step, float lo, float hi);

// Smallest power of two >= n (1 when n <= 1). Throws std::invalid_argument
// when the result would not fit in 32 bits.
int32_t nextPowerOfTwo(int32_t n);

// Linearly interpolated cumulative value at f Hz, cumulative[i] being the
// total below the lower edge of bin i. Throws std::invalid_argument when
// given fewer than 2 values.
double cumulativeAt(std::span<const double> cumulative, double binHz, double f);

// Mean of a and b, ignoring a member that is not finite.
double meanOfFinitePair(double a, double b);

} // namespace vt6::fmt
