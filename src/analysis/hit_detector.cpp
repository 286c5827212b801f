#include "analysis/hit_detector.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "analysis/detector_internal.hpp"
#include "analysis/fft.hpp"

namespace vt6::fmt {
namespace detail {

std::vector<float> hannWindow(int64_t size) {
    std::vector<float> w(static_cast<size_t>(size));
    if (size == 1) {
        w[0] = 1.0f;
        return w;
    }
    const float denom = static_cast<float>(size - 1);
    for (int64_t i = 0; i < size; ++i) {
        w[static_cast<size_t>(i)] =
            0.5f - 0.5f * std::cos(6.2831855f * static_cast<float>(i) / denom);
    }
    return w;
}

void windowedSlice(std::span<const float> window, float* buffer, std::span<const float> audio,
                   int64_t first) {
    const auto n = static_cast<int64_t>(audio.size());
    const auto size = static_cast<int64_t>(window.size());
    for (int64_t i = 0; i < size; ++i) {
        const int64_t at = first + i;
        buffer[i] = at >= 0 && at < n ? window[static_cast<size_t>(i)] * audio[static_cast<size_t>(at)]
                                      : 0.0f;
    }
}

void magnitudes(FftPlan& plan, float* out) {
    const std::span<const std::complex<float>> bins = plan.execute();
    for (size_t k = 0; k < bins.size(); ++k) out[k] = std::hypot(bins[k].real(), bins[k].imag());
}

bool orderedBefore(double a, double b) {
    // NaN last; -0 before +0; otherwise numeric order. A strict weak order
    // (in fact a total order up to NaN payloads) for every input.
    const bool an = std::isnan(a);
    const bool bn = std::isnan(b);
    if (an || bn) return !an && bn;
    if (a < b) return true;
    if (b < a) return false;
    return std::signbit(a) && !std::signbit(b);
}

} // namespace detail

using detail::orderedBefore;

// ------------------------------------------------------------ quantities

HitTiming hitTimingFor(double rate) {
    HitTiming t;
    // Only rates a run accepts have quantities; others keep the defaults.
    if (!(rate > 0.0 && rate <= 1e6)) return t;
    t.hop = std::max<int64_t>(1, static_cast<int64_t>(std::round(0.0005 * rate)));
    t.rmsBlock = std::max<int64_t>(1, static_cast<int64_t>(std::round(0.005 * rate)));
    t.minStartGap = static_cast<int64_t>(0.012 * rate);
    t.minLength = 0.015 * rate;
    t.minPeak = static_cast<float>(std::pow(10.0, -2.25));
    return t;
}

std::array<int64_t, 97> fluxBandEdges(double rate) {
    const double fmax = std::min(0.45 * rate, 16000.0);
    std::array<int64_t, 97> edge{};
    for (size_t b = 0; b < edge.size(); ++b) {
        const double bin = 30.0 * std::pow(fmax / 30.0, static_cast<double>(b) / 96.0) * 2048.0 / rate;
        const double r = std::round(bin);
        edge[b] = r < 1.0 ? 1 : (r > 1024.0 ? 1024 : static_cast<int64_t>(r));
    }
    return edge;
}

int64_t onsetPeakMinDistance(double rate) {
    // Runs refuse rates above 10^6 Hz before they get here; the bound keeps
    // the conversion defined for any caller.
    const double spacing = std::min(std::max(rate * 0.012 / 256.0, 1.0), 1e12);
    return static_cast<int64_t>(spacing);
}

// ------------------------------------------------------------- statistics

float percentileOf(std::vector<float> values, double p) {
    if (values.empty()) return 0.0f;
    const double last = static_cast<double>(values.size() - 1);
    const double at = std::clamp(last * p, 0.0, last);
    const auto index = static_cast<size_t>(std::isnan(at) ? 0.0 : at);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end(),
                     [](float a, float b) { return orderedBefore(a, b); });
    return values[index];
}

double medianOf(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const size_t index = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end(),
                     orderedBefore);
    return values[index];
}

double medianAbsDeviation(std::vector<double> values, double centre) {
    for (double& v : values) v = std::abs(v - centre);
    return medianOf(std::move(values));
}

// -------------------------------------------------------------- envelopes

std::vector<float> peakEnvelope(const HitDetector& detector, std::span<const float> audio, int64_t hop) {
    const auto n = static_cast<int64_t>(audio.size());
    if (hop < 1 || n == 0) return {};
    const auto release = static_cast<float>(std::exp(-1.0 / (detector.sampleRate * 0.025)));
    const int64_t blocks = (n + hop - 1) / hop;
    std::vector<float> env(static_cast<size_t>(blocks));
    float follower = 0.0f;
    for (int64_t b = 0; b < blocks; ++b) {
        const int64_t end = std::min((b + 1) * hop, n);
        float best = 0.0f;
        for (int64_t i = b * hop; i < end; ++i) {
            const float a = std::abs(audio[static_cast<size_t>(i)]);
            follower = follower < a ? a : follower * release;
            if (follower > best) best = follower;
        }
        env[static_cast<size_t>(b)] = best;
    }
    return env;
}

std::vector<float> rmsEnvelope(std::span<const float> audio, int64_t block) {
    const auto n = static_cast<int64_t>(audio.size());
    if (block < 1 || n == 0) return {};
    const int64_t blocks = (n + block - 1) / block;
    std::vector<float> env(static_cast<size_t>(blocks));
    for (int64_t b = 0; b < blocks; ++b) {
        const int64_t end = std::min((b + 1) * block, n);
        double sum = 0.0;
        for (int64_t i = b * block; i < end; ++i) {
            const double v = audio[static_cast<size_t>(i)];
            sum += v * v;
        }
        const int64_t count = std::max<int64_t>(end - b * block, 1);
        env[static_cast<size_t>(b)] = static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
    }
    return env;
}

void measureNoiseSpectrum(HitDetector& detector, std::span<const float> audio) {
    constexpr int64_t kSize = 1024;
    constexpr size_t kBins = kSize / 2 + 1;
    detector.noiseSpectrum.assign(kBins, 0.0f);
    const int64_t blocks = static_cast<int64_t>(audio.size()) / kSize;
    if (blocks < 4) return;
    std::vector<float> rms(static_cast<size_t>(blocks));
    for (int64_t b = 0; b < blocks; ++b) {
        double sum = 0.0;
        for (int64_t i = 0; i < kSize; ++i) {
            const double v = audio[static_cast<size_t>(b * kSize + i)];
            sum += v * v;
        }
        rms[static_cast<size_t>(b)] = static_cast<float>(std::sqrt(sum / static_cast<double>(kSize)));
    }
    const float threshold = percentileOf(rms, 0.10);
    FftPlan plan = FftPlan::create(10);
    const std::vector<float> window = detail::hannWindow(kSize);
    std::array<float, kBins> mags{};
    int64_t used = 0;
    for (int64_t b = 0; b < blocks; ++b) {
        if (!(rms[static_cast<size_t>(b)] <= threshold)) continue;
        detail::windowedSlice(window, plan.input(), audio, b * kSize);
        detail::magnitudes(plan, mags.data());
        for (size_t k = 0; k < kBins; ++k) detector.noiseSpectrum[k] += mags[k];
        ++used;
    }
    if (used > 0) {
        for (float& v : detector.noiseSpectrum) v /= static_cast<float>(used);
    }
}

// ---------------------------------------------------- detection functions

std::vector<float> spectralFlux(const HitDetector& detector, std::span<const float> audio) {
    constexpr int64_t kSize = 2048;
    constexpr int64_t kHop = 256;
    constexpr int kBands = 96;
    const auto n = static_cast<int64_t>(audio.size());
    const int64_t frames = (n + kHop - 1) / kHop;
    std::vector<float> flux(static_cast<size_t>(frames), 0.0f);
    if (frames == 0) return flux;

    const std::array<int64_t, kBands + 1> edge = fluxBandEdges(detector.sampleRate);

    FftPlan plan = FftPlan::create(11);
    const std::vector<float> window = detail::hannWindow(kSize);
    std::vector<float> mags(static_cast<size_t>(plan.bins()));
    // Band levels of the last three frames; frame t compares with t - 2.
    std::array<std::array<float, kBands>, 3> level{};
    for (int64_t t = 0; t < frames; ++t) {
        detail::windowedSlice(window, plan.input(), audio, kHop * t - kSize / 2);
        detail::magnitudes(plan, mags.data());
        std::array<float, kBands>& now = level[static_cast<size_t>(t % 3)];
        for (int b = 0; b < kBands; ++b) {
            const int64_t lo = edge[static_cast<size_t>(b)];
            const int64_t hi = std::max(edge[static_cast<size_t>(b) + 1], lo + 1);
            float sum = 0.0f;
            for (int64_t k = lo; k < hi; ++k) sum += mags[static_cast<size_t>(k)];
            now[static_cast<size_t>(b)] = std::log10(10.0f * sum / static_cast<float>(hi - lo) + 1.0f);
        }
        if (t < 2) continue;
        const std::array<float, kBands>& back = level[static_cast<size_t>((t - 2) % 3)];
        float total = 0.0f;
        for (int b = 0; b < kBands; ++b) {
            float ref = 0.0f;
            for (int nb = b - 1; nb <= b + 1; ++nb) {
                if (nb >= 0 && nb < kBands) ref = std::max(ref, back[static_cast<size_t>(nb)]);
            }
            total += std::max(0.0f, now[static_cast<size_t>(b)] - ref);
        }
        flux[static_cast<size_t>(t)] = total / static_cast<float>(kBands);
    }
    return flux;
}

std::vector<float> onsetStrength(const HitDetector& detector, std::span<const float> audio,
                                 std::span<const float> env, int64_t hop) {
    const std::vector<float> flux = spectralFlux(detector, audio);
    const auto frames = static_cast<int64_t>(flux.size());
    const float pf = std::max(percentileOf(flux, 0.95), 1e-6f);
    const auto e = static_cast<int64_t>(env.size());
    std::vector<float> rise(flux.size(), 0.0f);
    if (e > 0 && hop >= 1) {
        for (int64_t i = 2; i < frames; ++i) {
            const int64_t s = 256 * i;
            const int64_t a = std::min(s / hop, e - 1);
            const int64_t b = std::min((s - 512) / hop, e - 1);
            const float now = std::log10(50.0f * env[static_cast<size_t>(a)] + 1.0f);
            const float before = std::log10(50.0f * env[static_cast<size_t>(b)] + 1.0f);
            rise[static_cast<size_t>(i)] = std::max(0.0f, now - before);
        }
    }
    const float pr = std::max(percentileOf(rise, 0.95), 1e-6f);
    std::vector<float> onset(flux.size());
    for (size_t i = 0; i < onset.size(); ++i) onset[i] = rise[i] / pr + flux[i] / pf;
    return onset;
}

std::vector<int64_t> pickOnsetPeaks(const HitDetector& detector, std::span<const float> onset) {
    const auto count = static_cast<int64_t>(onset.size());
    std::vector<int64_t> peaks;
    if (count < 8) return peaks;
    const auto add = static_cast<float>(
        0.12 * static_cast<double>(percentileOf(std::vector<float>(onset.begin(), onset.end()), 0.95)));
    const int64_t minDist = onsetPeakMinDistance(detector.sampleRate);
    int64_t last = -1;
    for (int64_t i = 3; i + 3 < count; ++i) {
        const float v = onset[static_cast<size_t>(i)];
        if (!(v > 0.0f) || onset[static_cast<size_t>(i - 1)] > v || onset[static_cast<size_t>(i + 1)] > v) {
            continue;
        }
        float sum = 0.0f;
        int64_t used = 0;
        for (int64_t j = std::max<int64_t>(0, i - 10); j <= i + 3; ++j) {
            sum += onset[static_cast<size_t>(j)];
            ++used;
        }
        const float mean = sum / static_cast<float>(used);
        if (!(v >= mean + add)) continue;
        if (last >= 0 && i - last < minDist) continue;
        peaks.push_back(i);
        last = i;
    }
    return peaks;
}

void hannSlice(int64_t size, float* buffer, std::span<const float> audio, int64_t first) {
    if (size <= 0) return;
    detail::windowedSlice(detail::hannWindow(size), buffer, audio, first);
}

} // namespace vt6::fmt
