#include "analysis/hit_level_measure.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vt6::fmt {
namespace {

constexpr uint64_t kCancelPollFrames = 2048;

// Duration to frames, halves away from zero, at least one frame.
uint64_t windowFrames(double sampleRate, double ms) {
    const double frames = std::round(sampleRate * ms / 1000.0);
    return frames < 1.0 ? 1 : static_cast<uint64_t>(frames);
}

struct Frames {
    const float* data;
    uint32_t channels;

    double power(uint64_t frame) const {
        const float* p = data + frame * channels;
        double sum = 0.0;
        for (uint32_t c = 0; c < channels; ++c) {
            const double v = static_cast<double>(p[c]);
            sum += v * v;
        }
        return sum / static_cast<double>(channels);
    }
};

} // namespace

HitLevel measureHitLevel(std::span<const float> samples, uint32_t channels, double sampleRate,
                         uint64_t startFrame, uint64_t endFrame,
                         const std::function<bool()>& cancel) {
    HitLevel out;
    auto stopped = [&](uint64_t counter) {
        return counter % kCancelPollFrames == 0 && cancel && cancel();
    };
    auto cancelled = [&]() {
        out.cancelled = true;
        out.measured = false;
        return out;
    };

    if (cancel && cancel()) return cancelled();
    out.measured = true;

    if (channels == 0 || samples.empty() || samples.size() % channels != 0) return out;
    const uint64_t frames = samples.size() / channels;
    if (!std::isfinite(sampleRate) || sampleRate < 1000.0 || sampleRate > 768000.0) return out;
    const uint64_t end = endFrame == 0 ? frames : endFrame;
    if (startFrame >= end || end > frames) return out;

    const Frames audio{samples.data(), channels};

    // Loudest 1 ms; early candidates are partial sums over the full length.
    const uint64_t w1 = windowFrames(sampleRate, 1.0);
    double sum = 0.0;
    double peak = 0.0;
    for (uint64_t i = 0; startFrame + i < end; ++i) {
        if (stopped(i)) return cancelled();
        const double p = audio.power(startFrame + i);
        if (!std::isfinite(p)) return out;
        sum += p;
        if (i >= w1) sum -= audio.power(startFrame + i - w1);
        peak = std::max(peak, sum / static_cast<double>(w1));
    }
    if (peak <= 1e-12) return out;

    const double threshold = 0.01 * peak;
    uint64_t onset = startFrame;
    for (;; ++onset) {
        if (onset >= end) return out;
        if (audio.power(onset) >= threshold) break;
        if (stopped(onset - startFrame)) return cancelled();
    }
    out.onset_frame = onset;

    const std::array<uint64_t, 3> lengths{windowFrames(sampleRate, 10.0), windowFrames(sampleRate, 25.0),
                                          windowFrames(sampleRate, 50.0)};
    const uint64_t n = std::min(windowFrames(sampleRate, 120.0), end - onset);
    std::array<double, 3> sums{0.0, 0.0, 0.0};
    std::array<double, 3> maxima{0.0, 0.0, 0.0};
    for (uint64_t k = 0; k < n; ++k) {
        if (stopped(k)) return cancelled();
        const double p = audio.power(onset + k);
        for (size_t w = 0; w < 3; ++w) {
            sums[w] += p;
            if (k >= lengths[w]) sums[w] -= audio.power(onset + k - lengths[w]);
            maxima[w] = std::max(maxima[w], sums[w] / static_cast<double>(lengths[w]));
        }
    }
    for (size_t w = 0; w < 3; ++w) {
        if (!(maxima[w] > 0.0) || !std::isfinite(maxima[w])) return out;
        out.window_db[w] = 10.0 * std::log10(maxima[w]);
    }
    const double level = ((2.0 * out.window_db[1] + out.window_db[0]) + out.window_db[2]) * 0.25;
    out.level_db = level;

    if (cancel && cancel()) return cancelled();
    out.finite = std::isfinite(level);
    return out;
}

} // namespace vt6::fmt
