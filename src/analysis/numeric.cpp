#include "analysis/numeric.hpp"

#include <cmath>
#include <stdexcept>

namespace vt6::fmt {
namespace {

template <typename T>
T blockedSum(const T* v, int32_t count) {
    if (count <= 0) return T(0);
    if (count < 8) {
        T s = T(0);
        for (int32_t i = 0; i < count; ++i) s += v[i];
        return s;
    }
    if (count <= 128) {
        T s[8];
        for (int j = 0; j < 8; ++j) s[j] = v[j];
        const int32_t whole = count - count % 8;
        for (int32_t i = 8; i < whole; i += 8) {
            for (int j = 0; j < 8; ++j) s[j] += v[i + j];
        }
        T r = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
        for (int32_t i = whole; i < count; ++i) r += v[i];
        return r;
    }
    const int32_t m = 8 * (count / 16);
    return blockedSum(v, m) + blockedSum(v + m, count - m);
}

} // namespace

double pairwiseSum(const double* values, int32_t count) { return blockedSum(values, count); }
float pairwiseSum(const float* values, int32_t count) { return blockedSum(values, count); }

double meanOf(std::span<const double> values) {
    return pairwiseSum(values.data(), static_cast<int32_t>(values.size())) /
           static_cast<double>(values.size());
}

float quantizeToStep(float x, float step, float lo, float hi) {
    if (std::isnan(x) || std::isinf(x)) return x;
    const float v = x > hi ? hi : (x < lo ? lo : x);
    return std::nearbyint(v / step) * step;
}

int32_t nextPowerOfTwo(int32_t n) {
    if (n > (int32_t{1} << 30)) throw std::invalid_argument("power of two beyond 32 bits");
    int32_t p = 1;
    while (p < n) p *= 2;
    return p;
}

double cumulativeAt(std::span<const double> c, double binHz, double f) {
    if (c.size() < 2) throw std::invalid_argument("cumulative spectrum shorter than 2 values");
    const double a = (f + binHz / 2) / binHz;
    const double last = static_cast<double>(c.size() - 2);
    // Clamped before the conversion, so that any a stays defined.
    const double t = std::trunc(a);
    const size_t i = t >= 0.0 ? static_cast<size_t>(t < last ? t : last) : 0;
    return c[i] + (c[i + 1] - c[i]) * (a - static_cast<double>(i));
}

double meanOfFinitePair(double a, double b) {
    if (!std::isfinite(a)) return b;
    if (!std::isfinite(b)) return a;
    return (a + b) * 0.5;
}

} // namespace vt6::fmt
