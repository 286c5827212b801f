#include "analysis/analysis_audio.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "analysis/numeric.hpp"

namespace vt6::fmt {

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    const double x2 = x * x;
    for (int k = 1; k <= 39; ++k) {
        const double kd = k;
        term = term * (x2 / ((kd * 4.0) * kd));
        sum = sum + term;
        if (sum * 1e-17 > term) break;
    }
    return sum;
}

std::vector<float> resampleForAnalysis(std::span<const float> x, int32_t rate) {
    if (static_cast<uint32_t>(rate) - 1000u > 383000u) {
        throw std::invalid_argument("analysis sample rate outside 1000..384000");
    }
    const auto n = static_cast<int64_t>(x.size());
    if (n == 0) return {};
    if (n > int64_t{5} * rate) throw std::invalid_argument("analysis resampling input exceeds five seconds");
    for (float v : x) {
        if (!std::isfinite(v)) throw std::invalid_argument("nonfinite analysis input");
    }
    if (rate == kAnalysisRate) return {x.begin(), x.end()};

    const int32_t g = std::gcd(rate, kAnalysisRate);
    const int32_t L = kAnalysisRate / g;
    const int32_t M = rate / g;
    const int32_t m = std::max(L, M);
    const int32_t t = 10 * m;

    std::vector<float> taps(static_cast<size_t>(2 * t + 1));
    {
        std::vector<double> h(taps.size());
        constexpr double kPi = 3.141592653589793;
        double sum = 0.0;
        for (int32_t i = 0; i <= 2 * t; ++i) {
            const double d = static_cast<double>(i - t);
            const double u = d / m;
            const double s = u == 0.0 ? 1.0 : std::sin(kPi * u) / (kPi * u);
            const double r = d / t;
            const double w = besselI0(5.0 * std::sqrt(std::max(0.0, 1.0 - r * r))) / 27.23987182360445;
            h[static_cast<size_t>(i)] = w * s / m;
        }
        for (double v : h) sum += v;
        const auto up = static_cast<float>(L);
        for (size_t i = 0; i < taps.size(); ++i) taps[i] = static_cast<float>(h[i] / sum) * up;
    }

    // 64-bit throughout: at rates prime to 44100, k * M and j * L pass 2^31.
    const uint64_t outCount = (static_cast<uint64_t>(n) * static_cast<uint64_t>(L) + static_cast<uint64_t>(M) - 1) /
                              static_cast<uint64_t>(M);
    std::vector<float> y(outCount, 0.0f);
    const int64_t L64 = L;
    const int64_t twoT = 2 * int64_t{t};
    for (uint64_t k = 0; k < outCount; ++k) {
        const int64_t E = t + static_cast<int64_t>(k) * M;
        const int64_t hi = std::min(E / L64, n - 1);
        int64_t lo = (L64 - twoT + E - 1) / L64;
        if (lo < 1) lo = 0;
        float acc = 0.0f;
        for (int64_t j = lo; j <= hi; ++j) {
            acc = std::fma(x[static_cast<size_t>(j)], taps[static_cast<size_t>(E - j * L64)], acc);
        }
        y[k] = acc;
    }
    return y;
}

uint64_t findAttackOffset(std::span<const float> x) {
    const auto c = static_cast<int32_t>(std::min<size_t>(x.size(), INT32_MAX));
    if (c < 88) return 0;
    const int32_t frames = c / 22;
    float prev = 0.0f;
    float best = -INFINITY;
    int32_t bestFrame = 0;
    float squares[22];
    for (int32_t f = 0; f < frames; ++f) {
        for (int i = 0; i < 22; ++i) {
            const float v = x[static_cast<size_t>(22 * f + i)];
            squares[i] = v * v;
        }
        const float e = pairwiseSum(squares, 22) / 22.0f + 1e-20f;
        const float rms = std::sqrt(e);
        if (f > 0 && rms - prev > best) {
            best = rms - prev;
            bestFrame = f;
        }
        prev = rms;
    }
    return static_cast<uint64_t>(std::max(0, (bestFrame - 4) * 22));
}

std::vector<float> prepareAnalysisAudio(std::span<const float> samples, int32_t rate) {
    std::vector<float> y = resampleForAnalysis(samples, rate);
    const uint64_t off = findAttackOffset(y);
    if (off >= y.size()) return {};
    y.erase(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(off));
    float peak = 0.0f;
    for (float v : y) peak = std::max(peak, std::abs(v));
    if (peak < 1e-9f) return {};
    for (float& v : y) v /= peak;
    if (static_cast<int64_t>(y.size()) > kMaxAnalysisSamples) y.resize(static_cast<size_t>(kMaxAnalysisSamples));
    return y;
}

std::vector<float> alignToOnset(std::span<const float> x) {
    if (x.empty()) return {};
    float peak = 0.0f;
    for (float v : x) peak = std::max(peak, std::abs(v));
    if (!(peak > 0.0f)) return {};
    const float threshold = 0.1f * peak;
    size_t i = 0;
    while (i < x.size() && !(std::abs(x[i]) >= threshold)) ++i;
    const size_t start = i < 32 ? 0 : i - 32;
    std::vector<float> out(x.begin() + static_cast<std::ptrdiff_t>(start), x.end());
    float p = 0.0f;
    for (float v : out) p = std::max(p, std::abs(v));
    if (!(p > 0.0f)) return {};
    const float inverse = 1.0f / p;
    for (float& v : out) v *= inverse;
    return out;
}

std::vector<float> blockPeakEnvelope(std::span<const float> x) {
    const size_t blocks = (x.size() + 255) / 256;
    std::vector<float> env(blocks, 0.0f);
    for (size_t b = 0; b < blocks; ++b) {
        const size_t end = std::min(x.size(), 256 * b + 256);
        float m = 0.0f;
        for (size_t i = 256 * b; i < end; ++i) m = std::max(m, std::abs(x[i]));
        env[b] = m;
    }
    return env;
}

} // namespace vt6::fmt
