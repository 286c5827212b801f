#include "editor/ui/sample_edit_state.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

namespace vt6::ui::zemedit {

bool SampleEditState::operator==(const SampleEditState& o) const noexcept {
    return start == o.start && end == o.end && fadeShape == o.fadeShape && normalize == o.normalize &&
           reverse == o.reverse && removeDc == o.removeDc && channelMode == o.channelMode &&
           fadeInMs == o.fadeInMs && fadeOutMs == o.fadeOutMs && gainDb == o.gainDb;
}

int64_t SampleEditorDeps::sourceFrames() const noexcept {
    return channels >= 1 ? static_cast<int64_t>(audio.size() / static_cast<size_t>(channels)) : 0;
}

InterleavedAudioView SampleEditorDeps::sourceView() const noexcept {
    return InterleavedAudioView::of(audio, channels, sampleRate);
}

namespace {

bool usable(const InterleavedAudioView& v) noexcept {
    return v.samples != nullptr && v.channels >= 1 && v.frames > 0;
}

bool frameIsLoud(const InterleavedAudioView& v, int64_t f, float t) noexcept {
    const float* p = v.samples + f * v.channels;
    for (int32_t c = 0; c < v.channels; ++c)
        if (std::fabs(p[c]) >= t) return true;
    return false;
}

int64_t fadeFrames(double ms, int32_t rate) noexcept {
    const double frames = ms * 0.001 * rate;
    if (!(frames > 0.0)) return 0;  // also NaN
    if (frames > 9.0e18) return INT64_MAX;
    return std::llrint(frames);
}

// The mirrored source frame of f when the region plays backwards.
inline int64_t sourceFrameOf(const SampleEditState& s, int64_t f) noexcept {
    return (s.reverse && f >= s.start && f < s.end) ? s.start + s.end - 1 - f : f;
}

inline double meanOf(const ChannelMeans& m, int32_t k) noexcept {
    return k >= 0 && k < static_cast<int32_t>(m.size()) ? m[static_cast<size_t>(k)] : 0.0;
}

// processedSampleAt for a frame already known to be inside the source, with
// the mirroring already applied.
inline float processedAtSource(const SampleEditState& s, const InterleavedAudioView& v, const ChannelMeans& m,
                               int64_t f, int32_t c) noexcept {
    const int32_t n = v.channels;
    const float* p = v.samples + f * n;
    if (s.channelMode == 2 && n >= 2) {
        double sum = 0.0;
        for (int32_t k = 0; k < n; ++k) sum += static_cast<double>(p[k]) - meanOf(m, k);
        return static_cast<float>(sum / n);
    }
    int32_t k = c;
    if (s.channelMode == 1 && n > 1 && c < 2) k = 1 - c;
    k = std::clamp(k, 0, n - 1);
    return static_cast<float>(static_cast<double>(p[k]) - meanOf(m, k));
}

}  // namespace

std::pair<int64_t, int64_t> findTrimRegion(const InterleavedAudioView& view, double thresholdDb, double leadInMs,
                                           double tailMs) {
    std::pair<int64_t, int64_t> r{0, view.frames};
    if (!usable(view)) return r;
    const auto t = static_cast<float>(std::pow(10.0, thresholdDb / 20.0));
    int64_t i = 0;
    while (i < view.frames && !frameIsLoud(view, i, t)) ++i;
    if (i == view.frames) return r;
    int64_t e = view.frames;
    while (e > i + 1 && !frameIsLoud(view, e - 1, t)) --e;
    const int64_t lead = fadeFrames(leadInMs, view.sampleRate);
    const int64_t tail = fadeFrames(tailMs, view.sampleRate);
    const int64_t start = i - lead > 0 ? i - lead : 0;
    int64_t end = tail >= view.frames - e ? view.frames : e + tail;
    if (end <= start) end = std::min(start + 1, view.frames);
    return {start, end};
}

double fadeCurve(uint8_t shape, double x) {
    if (x > 1.0) x = 1.0;
    if (x < 0.0) x = 0.0;
    if (shape == 1) return x;
    if (shape == 2) return x * x;
    return 0.5 - 0.5 * std::cos(std::numbers::pi * x);
}

ChannelMeans channelMeans(const SampleEditState& state, const InterleavedAudioView& view) {
    ChannelMeans m{};
    if (!state.removeDc || view.samples == nullptr || view.channels < 1) return m;
    const int64_t a = std::max<int64_t>(state.start, 0);
    const int64_t b = std::min(state.end, view.frames);
    if (a >= b) return m;
    const int32_t kMax = std::min<int32_t>(view.channels, static_cast<int32_t>(m.size()));
    for (int64_t f = a; f < b; ++f) {
        const float* p = view.samples + f * view.channels;
        for (int32_t k = 0; k < kMax; ++k) m[static_cast<size_t>(k)] += p[k];
    }
    const auto count = static_cast<double>(b - a);
    for (int32_t k = 0; k < kMax; ++k) m[static_cast<size_t>(k)] /= count;
    return m;
}

float processedSampleAt(const SampleEditState& state, const InterleavedAudioView& view, const ChannelMeans& means,
                        int64_t frame, int32_t channel) {
    if (view.samples == nullptr || view.channels < 1 || frame < 0 || frame >= view.frames) return 0.0f;
    // A region reaching past the source mirrors some frames outside it: silence.
    const int64_t src = sourceFrameOf(state, frame);
    if (src < 0 || src >= view.frames) return 0.0f;
    return processedAtSource(state, view, means, src, channel);
}

void SourceExtremes::build(const InterleavedAudioView& view) {
    built_ = false;
    mins_.clear();
    maxs_.clear();
    samples_ = view.samples;
    frames_ = view.frames;
    channels_ = view.channels;
    if (view.samples == nullptr || view.channels < 1 || view.frames < 1) {
        built_ = true;
        return;
    }
    const int32_t n = view.channels;
    const int64_t blocks = view.frames / kBlockFrames;  // whole blocks only
    mins_.resize(static_cast<size_t>(blocks * n));
    maxs_.resize(static_cast<size_t>(blocks * n));
    std::vector<float> lo(static_cast<size_t>(n)), hi(static_cast<size_t>(n));
    for (int64_t b = 0; b < blocks; ++b) {
        const float* p = view.samples + b * kBlockFrames * n;
        for (int32_t k = 0; k < n; ++k) lo[static_cast<size_t>(k)] = hi[static_cast<size_t>(k)] = p[k];
        if (n == 2) {
            float l0 = p[0], h0 = p[0], l1 = p[1], h1 = p[1];
            for (int64_t f = 0; f < kBlockFrames; ++f, p += 2) {
                l0 = p[0] < l0 ? p[0] : l0;
                h0 = p[0] > h0 ? p[0] : h0;
                l1 = p[1] < l1 ? p[1] : l1;
                h1 = p[1] > h1 ? p[1] : h1;
            }
            lo[0] = l0, hi[0] = h0, lo[1] = l1, hi[1] = h1;
        } else {
            for (int64_t f = 0; f < kBlockFrames; ++f, p += n)
                for (int32_t k = 0; k < n; ++k) {
                    const auto kk = static_cast<size_t>(k);
                    lo[kk] = p[k] < lo[kk] ? p[k] : lo[kk];
                    hi[kk] = p[k] > hi[kk] ? p[k] : hi[kk];
                }
        }
        for (int32_t k = 0; k < n; ++k) {
            mins_[static_cast<size_t>(b * n + k)] = lo[static_cast<size_t>(k)];
            maxs_[static_cast<size_t>(b * n + k)] = hi[static_cast<size_t>(k)];
        }
    }
    built_ = true;
}

namespace {

void scanRaw(const InterleavedAudioView& v, int32_t k, int64_t a, int64_t b, float& lo, float& hi) {
    const int32_t n = v.channels;
    const float* p = v.samples + a * n + k;
    for (int64_t f = a; f < b; ++f, p += n) {
        lo = *p < lo ? *p : lo;
        hi = *p > hi ? *p : hi;
    }
}

}  // namespace

void SourceExtremes::rawRange(const InterleavedAudioView& view, int32_t k, int64_t a, int64_t b, float& lo,
                              float& hi) const {
    lo = hi = view.samples[a * view.channels + k];
    const int64_t firstBlock = (a + kBlockFrames - 1) / kBlockFrames;
    const int64_t endBlock = std::min(b / kBlockFrames, frames_ / kBlockFrames);
    if (!builtFor(view) || firstBlock >= endBlock) {
        scanRaw(view, k, a, b, lo, hi);
        return;
    }
    scanRaw(view, k, a, firstBlock * kBlockFrames, lo, hi);
    const int32_t n = channels_;
    for (int64_t blk = firstBlock; blk < endBlock; ++blk) {
        const float l = mins_[static_cast<size_t>(blk * n + k)];
        const float h = maxs_[static_cast<size_t>(blk * n + k)];
        lo = l < lo ? l : lo;
        hi = h > hi ? h : hi;
    }
    scanRaw(view, k, endBlock * kBlockFrames, b, lo, hi);
}

ProcessedRange processedRange(const SampleEditState& state, const InterleavedAudioView& view,
                              const ChannelMeans& means, int64_t f0, int64_t f1, int32_t channel,
                              const SourceExtremes* extremes) {
    ProcessedRange r;
    if (view.samples == nullptr || view.channels < 1) return r;
    f0 = std::max<int64_t>(f0, 0);
    f1 = std::min(f1, view.frames);
    if (f0 >= f1) return r;
    float lo = processedSampleAt(state, view, means, f0, channel);
    float hi = lo;
    const int32_t n = view.channels;
    // A reversed region reaching past the source mirrors frames to silence:
    // that rare case takes the per-frame path below.
    const bool mirroredOutside = state.reverse && (state.start < 0 || state.end > view.frames);
    const bool plainChannel = !(state.channelMode == 2 && n >= 2) && !mirroredOutside;
    if (plainChannel) {
        // One source channel with one offset: the extremes of the raw samples
        // give the extremes of the processed ones (subtracting a constant and
        // rounding are monotonic), and mirroring maps the part of [f0, f1)
        // inside the region onto another range of the region.
        int32_t k = channel;
        if (state.channelMode == 1 && n > 1 && channel < 2) k = 1 - channel;
        k = std::clamp(k, 0, n - 1);
        const double mk = meanOf(means, k);
        auto take = [&](int64_t a, int64_t b) {
            if (a >= b) return;
            float rlo, rhi;
            if (extremes != nullptr)
                extremes->rawRange(view, k, a, b, rlo, rhi);
            else {
                rlo = rhi = view.samples[a * n + k];
                scanRaw(view, k, a, b, rlo, rhi);
            }
            lo = std::min(lo, static_cast<float>(static_cast<double>(rlo) - mk));
            hi = std::max(hi, static_cast<float>(static_cast<double>(rhi) - mk));
        };
        const int64_t ia = std::max(f0, state.start);
        const int64_t ib = std::min(f1, state.end);
        if (state.reverse && ia < ib) {
            take(f0, ia);
            take(state.start + state.end - ib, state.start + state.end - ia);
            take(ib, f1);
        } else {
            take(f0, f1);
        }
    } else {
        for (int64_t f = f0; f < f1; ++f) {
            const float v = processedSampleAt(state, view, means, f, channel);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    r.min = lo;
    r.max = hi;
    r.any = true;
    return r;
}

namespace {

// Output channel c reads source channel kmap[c] less offset[c], unless the
// channels are summed to mono. Tables for one pass over a region.
struct ChannelPlan {
    bool mono = false;
    std::vector<int32_t> kmap;
    std::vector<double> offset;
};

ChannelPlan planChannels(const SampleEditState& s, const InterleavedAudioView& v, const ChannelMeans& m) {
    ChannelPlan plan;
    const int32_t n = v.channels;
    plan.mono = s.channelMode == 2 && n >= 2;
    plan.kmap.resize(static_cast<size_t>(n));
    plan.offset.resize(static_cast<size_t>(n));
    for (int32_t c = 0; c < n; ++c) {
        int32_t k = c;
        if (s.channelMode == 1 && n > 1 && c < 2) k = 1 - c;
        plan.kmap[static_cast<size_t>(c)] = k;
        plan.offset[static_cast<size_t>(c)] = meanOf(m, k);
    }
    return plan;
}

// The largest |processed value| of the region: a permutation of frames and
// a constant offset per channel do not change it, so for plain channels the
// raw extremes per channel are enough.
float processedPeak(const SampleEditState& s, const InterleavedAudioView& v, const ChannelMeans& m,
                    const SourceExtremes* extremes) {
    const int64_t a = std::max<int64_t>(s.start, 0);
    const int64_t b = std::min(s.end, v.frames);
    if (a >= b) return 0.0f;
    const int32_t n = v.channels;
    float peak = 0.0f;
    const bool mirroredOutside = s.reverse && (s.start < 0 || s.end > v.frames);
    if ((s.channelMode == 2 && n >= 2) || mirroredOutside) {
        // Summed to mono every output channel carries the same value.
        const int32_t outputs = s.channelMode == 2 && n >= 2 ? 1 : n;
        for (int64_t f = a; f < b; ++f)
            for (int32_t c = 0; c < outputs; ++c)
                peak = std::max(peak, std::fabs(processedSampleAt(s, v, m, f, c)));
        return peak;
    }
    std::vector<float> lows(static_cast<size_t>(n)), highs(static_cast<size_t>(n));
    if (extremes != nullptr && extremes->builtFor(v)) {
        for (int32_t k = 0; k < n; ++k)
            extremes->rawRange(v, k, a, b, lows[static_cast<size_t>(k)], highs[static_cast<size_t>(k)]);
    } else {
        // One pass over the frames for every channel at once.
        for (int32_t k = 0; k < n; ++k) lows[static_cast<size_t>(k)] = highs[static_cast<size_t>(k)] = v.samples[a * n + k];
        if (n == 2) {
            float l0 = lows[0], h0 = highs[0], l1 = lows[1], h1 = highs[1];
            const float* p = v.samples + a * 2;
            for (int64_t f = a; f < b; ++f, p += 2) {
                l0 = p[0] < l0 ? p[0] : l0;
                h0 = p[0] > h0 ? p[0] : h0;
                l1 = p[1] < l1 ? p[1] : l1;
                h1 = p[1] > h1 ? p[1] : h1;
            }
            lows[0] = l0, highs[0] = h0, lows[1] = l1, highs[1] = h1;
        } else {
            for (int32_t k = 0; k < n; ++k)
                scanRaw(v, k, a, b, lows[static_cast<size_t>(k)], highs[static_cast<size_t>(k)]);
        }
    }
    for (int32_t k = 0; k < n; ++k) {
        const float lo = lows[static_cast<size_t>(k)], hi = highs[static_cast<size_t>(k)];
        // Every source channel is read by exactly one output channel.
        const double mk = meanOf(m, k);
        peak = std::max(peak, std::fabs(static_cast<float>(static_cast<double>(lo) - mk)));
        peak = std::max(peak, std::fabs(static_cast<float>(static_cast<double>(hi) - mk)));
    }
    return peak;
}

}  // namespace

PeakRms measurePeakRms(const SampleEditState& state, const InterleavedAudioView& view) {
    PeakRms out;
    if (view.samples == nullptr || view.channels <= 0 || state.end - state.start <= 0) return out;
    const ChannelMeans m = channelMeans(state, view);
    const ChannelPlan plan = planChannels(state, view, m);
    const int32_t n = view.channels;
    float peak = 0.0f;
    double sumSq = 0.0;
    // Frames in order from start, as the definition sums them; frames outside
    // the source read 0 and add nothing.
    const int64_t a = std::max<int64_t>(state.start, 0);
    const int64_t b = std::min(state.end, view.frames);
    const bool mirroredOutside = state.reverse && (state.start < 0 || state.end > view.frames);
    if (!plan.mono && n == 2 && !mirroredOutside && a < b) {
        // The common stereo case in one tight pass; each channel keeps its own
        // running sum so the two additions do not wait on each other.
        const size_t k0 = static_cast<size_t>(plan.kmap[0]), k1 = static_cast<size_t>(plan.kmap[1]);
        const double o0 = plan.offset[0], o1 = plan.offset[1];
        const std::ptrdiff_t step = state.reverse ? -2 : 2;
        const float* p = view.samples + (state.reverse ? state.start + state.end - 1 - a : a) * 2;
        double s0 = 0.0, s1 = 0.0;
        float peak0 = 0.0f, peak1 = 0.0f;
        for (int64_t f = a; f < b; ++f, p += step) {
            const auto v0 = static_cast<float>(static_cast<double>(p[k0]) - o0);
            const auto v1 = static_cast<float>(static_cast<double>(p[k1]) - o1);
            peak0 = std::max(peak0, std::fabs(v0));
            peak1 = std::max(peak1, std::fabs(v1));
            s0 += static_cast<double>(v0) * v0;
            s1 += static_cast<double>(v1) * v1;
        }
        out.peak = std::max(peak0, peak1);
        out.rms = std::sqrt((s0 + s1) / (static_cast<double>(state.end - state.start) * n));
        return out;
    }
    for (int64_t f = a; f < b; ++f) {
        const int64_t src = sourceFrameOf(state, f);
        if (src < 0 || src >= view.frames) continue;
        const float* p = view.samples + src * n;
        if (plan.mono) {
            double sum = 0.0;
            for (int32_t k = 0; k < n; ++k) sum += static_cast<double>(p[k]) - meanOf(m, k);
            const auto v = static_cast<float>(sum / n);
            peak = std::max(peak, std::fabs(v));
            for (int32_t c = 0; c < n; ++c) sumSq += static_cast<double>(v) * v;
            continue;
        }
        for (int32_t c = 0; c < n; ++c) {
            const auto v = static_cast<float>(static_cast<double>(p[plan.kmap[static_cast<size_t>(c)]]) -
                                              plan.offset[static_cast<size_t>(c)]);
            peak = std::max(peak, std::fabs(v));
            sumSq += static_cast<double>(v) * v;
        }
    }
    out.peak = peak;
    out.rms = std::sqrt(sumSq / (static_cast<double>(state.end - state.start) * n));
    return out;
}

double editGain(const SampleEditState& state, const InterleavedAudioView& view) {
    return editGain(state, view, nullptr);
}

double editGain(const SampleEditState& state, const InterleavedAudioView& view, const SourceExtremes* extremes) {
    const double g = std::pow(10.0, state.gainDb / 20.0);
    if (!state.normalize || view.samples == nullptr || view.channels <= 0) return g;
    const float peak = processedPeak(state, view, channelMeans(state, view), extremes);
    if (peak > 1e-9f) return std::pow(10.0, -0.015) / peak;
    return g;
}

double fadeGainAt(const SampleEditState& state, int64_t i, int64_t n, int32_t sampleRate, double base) {
    if (n <= 0 || i < 0 || i >= n) return 0.0;
    const int64_t half = n / 2;
    const int64_t fi = std::min(fadeFrames(state.fadeInMs, sampleRate), half);
    const int64_t fo = std::min(fadeFrames(state.fadeOutMs, sampleRate), half);
    double g = base;
    if (i < fi) g *= fadeCurve(state.fadeShape, static_cast<double>(i + 1) / static_cast<double>(fi + 1));
    if (n - i - 1 < fo) g *= fadeCurve(state.fadeShape, static_cast<double>(n - i) / static_cast<double>(fo + 1));
    return g;
}

namespace {

// Writes output frames [i0, i1) of the edited region to out. The reversal
// lives in processedSampleAt alone: output frame i reads processed frame
// start + i, which is the mirrored source frame when reverse is on, so the
// region is mirrored exactly once and matches the waveform.
void renderFrames(const SampleEditState& state, const InterleavedAudioView& view, const ChannelMeans& m, double g,
                  int64_t i0, int64_t i1, float* out) {
    const int64_t n = state.end - state.start;
    const int32_t ch = view.channels;
    for (int64_t i = i0; i < i1; ++i, out += ch) {
        const double factor = fadeGainAt(state, i, n, view.sampleRate, g);
        const int64_t f = state.start + i;
        const int64_t src = sourceFrameOf(state, f);
        if (f < 0 || f >= view.frames || src < 0 || src >= view.frames) {
            for (int32_t c = 0; c < ch; ++c) out[c] = 0.0f;
            continue;
        }
        for (int32_t c = 0; c < ch; ++c)
            out[c] = static_cast<float>(static_cast<double>(processedAtSource(state, view, m, src, c)) * factor);
    }
}

// Appends the edited region to out through a small stack buffer, so the
// result is written once (no zero-filling pass over a large new buffer).
void appendRegion(const SampleEditState& state, const InterleavedAudioView& view, std::vector<float>& out) {
    const int64_t n = state.end - state.start;
    const ChannelMeans m = channelMeans(state, view);
    const double g = editGain(state, view);
    const int32_t ch = view.channels;
    constexpr int64_t kChunkFloats = 4096;
    if (ch > kChunkFloats) {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) * static_cast<size_t>(ch));
        renderFrames(state, view, m, g, 0, n, out.data() + at);
        return;
    }
    float chunk[kChunkFloats];
    const int64_t framesPerChunk = kChunkFloats / ch;
    for (int64_t i = 0; i < n; i += framesPerChunk) {
        const int64_t e = std::min(n, i + framesPerChunk);
        renderFrames(state, view, m, g, i, e, chunk);
        out.insert(out.end(), chunk, chunk + (e - i) * ch);
    }
}

}  // namespace

RegionRenderer::RegionRenderer(const SampleEditState& state, const InterleavedAudioView& view)
    : state_(state), view_(view) {
    if (view.samples == nullptr || view.channels <= 0 || state.start >= state.end) return;
    means_ = channelMeans(state, view);
    gain_ = editGain(state, view);
    frames_ = state.end - state.start;
}

void RegionRenderer::render(int64_t i0, int64_t i1, float* out) const {
    i0 = std::max<int64_t>(i0, 0);
    i1 = std::min(i1, frames_);
    if (i0 < i1) renderFrames(state_, view_, means_, gain_, i0, i1, out);
}

std::vector<float> renderSampleEdit(const SampleEditState& state, const InterleavedAudioView& view) {
    if (view.samples == nullptr || view.channels <= 0 || state.start >= state.end) return {};
    std::vector<float> out;
    out.reserve(static_cast<size_t>(state.end - state.start) * static_cast<size_t>(view.channels));
    appendRegion(state, view, out);
    return out;
}

std::vector<float> renderWholeSample(const SampleEditState& state, const InterleavedAudioView& view) {
    if (view.samples == nullptr || view.channels <= 0 || state.start < 0 || state.end > view.frames ||
        state.start >= state.end)
        return {};
    const auto ch = static_cast<size_t>(view.channels);
    // One buffer, written once: raw audio before the region, the edited
    // region, raw audio after it.
    std::vector<float> out;
    out.reserve(static_cast<size_t>(view.frames) * ch);
    out.insert(out.end(), view.samples, view.samples + static_cast<size_t>(state.start) * ch);
    appendRegion(state, view, out);
    out.insert(out.end(), view.samples + static_cast<size_t>(state.end) * ch,
               view.samples + static_cast<size_t>(view.frames) * ch);
    return out;
}

void RegionMeter::build(const InterleavedAudioView& view) {
    built_ = false;
    prefixSum_.clear();
    prefixSq_.clear();
    mins_.clear();
    maxs_.clear();
    samples_ = view.samples;
    frames_ = view.frames;
    channels_ = view.channels;
    sourcePeak_ = 0.0f;
    lanes_ = 0;
    if (!usable(view)) {
        built_ = true;
        return;
    }
    const int32_t n = view.channels;
    const int32_t lanes = n >= 2 ? n + 1 : n;
    lanes_ = lanes;
    const int64_t blocks = view.frames / kBlockFrames;
    const auto L = static_cast<size_t>(lanes);
    prefixSum_.assign((static_cast<size_t>(blocks) + 1) * L, 0.0);
    prefixSq_.assign((static_cast<size_t>(blocks) + 1) * L, 0.0);
    mins_.resize(static_cast<size_t>(blocks) * L);
    maxs_.resize(static_cast<size_t>(blocks) * L);
    std::vector<double> sum(L), sq(L);
    std::vector<float> lo(L), hi(L);
    float peak = 0.0f;
    for (int64_t blk = 0; blk < blocks; ++blk) {
        const float* p = view.samples + blk * kBlockFrames * n;
        if (n == 2) {
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, q0 = 0.0, q1 = 0.0, q2 = 0.0;
            float l0 = p[0], h0 = p[0], l1 = p[1], h1 = p[1];
            auto l2 = static_cast<float>(static_cast<double>(p[0]) + p[1]), h2 = l2;
            for (int64_t f = 0; f < kBlockFrames; ++f, p += 2) {
                const double a = p[0], b = p[1], c = a + b;
                s0 += a, s1 += b, s2 += c;
                q0 += a * a, q1 += b * b, q2 += c * c;
                l0 = p[0] < l0 ? p[0] : l0;
                h0 = p[0] > h0 ? p[0] : h0;
                l1 = p[1] < l1 ? p[1] : l1;
                h1 = p[1] > h1 ? p[1] : h1;
                const auto cf = static_cast<float>(c);
                l2 = cf < l2 ? cf : l2;
                h2 = cf > h2 ? cf : h2;
            }
            sum[0] = s0, sum[1] = s1, sum[2] = s2, sq[0] = q0, sq[1] = q1, sq[2] = q2;
            lo[0] = l0, lo[1] = l1, lo[2] = l2, hi[0] = h0, hi[1] = h1, hi[2] = h2;
        } else {
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(sq.begin(), sq.end(), 0.0);
            std::fill(lo.begin(), lo.end(), std::numeric_limits<float>::infinity());
            std::fill(hi.begin(), hi.end(), -std::numeric_limits<float>::infinity());
            for (int64_t f = 0; f < kBlockFrames; ++f, p += n) {
                double total = 0.0;
                for (int32_t k = 0; k < n; ++k) {
                    const auto kk = static_cast<size_t>(k);
                    const double x = p[k];
                    total += x;
                    sum[kk] += x;
                    sq[kk] += x * x;
                    lo[kk] = p[k] < lo[kk] ? p[k] : lo[kk];
                    hi[kk] = p[k] > hi[kk] ? p[k] : hi[kk];
                }
                if (lanes > n) {
                    const size_t m = static_cast<size_t>(n);
                    sum[m] += total;
                    sq[m] += total * total;
                    const auto tf = static_cast<float>(total);
                    lo[m] = tf < lo[m] ? tf : lo[m];
                    hi[m] = tf > hi[m] ? tf : hi[m];
                }
            }
        }
        const size_t at = static_cast<size_t>(blk) * L;
        for (size_t k = 0; k < L; ++k) {
            prefixSum_[at + L + k] = prefixSum_[at + k] + sum[k];
            prefixSq_[at + L + k] = prefixSq_[at + k] + sq[k];
            mins_[at + k] = lo[k];
            maxs_[at + k] = hi[k];
        }
        for (int32_t k = 0; k < n; ++k)
            peak = std::max({peak, std::fabs(lo[static_cast<size_t>(k)]), std::fabs(hi[static_cast<size_t>(k)])});
    }
    // The frames after the last whole block.
    for (const float* p = view.samples + blocks * kBlockFrames * n; p < view.samples + view.frames * n; ++p)
        peak = std::max(peak, std::fabs(*p));
    sourcePeak_ = peak;
    built_ = true;
}

RegionMeter::Sums RegionMeter::sums(const InterleavedAudioView& view, int64_t a, int64_t b) const {
    const auto L = static_cast<size_t>(lanes_);
    const int32_t n = view.channels;
    Sums s;
    s.sum.assign(L, 0.0);
    s.sumSq.assign(L, 0.0);
    s.lo.assign(L, std::numeric_limits<float>::infinity());
    s.hi.assign(L, -std::numeric_limits<float>::infinity());
    auto frames = [&](int64_t from, int64_t to) {
        for (int64_t f = from; f < to; ++f) {
            const float* p = view.samples + f * n;
            double total = 0.0;
            for (int32_t k = 0; k < n; ++k) {
                const auto kk = static_cast<size_t>(k);
                const double x = p[k];
                total += x;
                s.sum[kk] += x;
                s.sumSq[kk] += x * x;
                s.lo[kk] = std::min(s.lo[kk], p[k]);
                s.hi[kk] = std::max(s.hi[kk], p[k]);
            }
            if (L > static_cast<size_t>(n)) {
                const auto m = static_cast<size_t>(n);
                s.sum[m] += total;
                s.sumSq[m] += total * total;
                s.lo[m] = std::min(s.lo[m], static_cast<float>(total));
                s.hi[m] = std::max(s.hi[m], static_cast<float>(total));
            }
        }
    };
    const int64_t firstBlock = (a + kBlockFrames - 1) / kBlockFrames;
    const int64_t endBlock = b / kBlockFrames;
    if (firstBlock >= endBlock) {
        frames(a, b);
        return s;
    }
    frames(a, firstBlock * kBlockFrames);
    const size_t first = static_cast<size_t>(firstBlock) * L, last = static_cast<size_t>(endBlock) * L;
    for (size_t k = 0; k < L; ++k) {
        s.sum[k] += prefixSum_[last + k] - prefixSum_[first + k];
        s.sumSq[k] += prefixSq_[last + k] - prefixSq_[first + k];
    }
    for (size_t at = first; at < last; at += L)
        for (size_t k = 0; k < L; ++k) {
            s.lo[k] = std::min(s.lo[k], mins_[at + k]);
            s.hi[k] = std::max(s.hi[k], maxs_[at + k]);
        }
    frames(endBlock * kBlockFrames, b);
    return s;
}

ChannelMeans RegionMeter::means(const SampleEditState& state, const InterleavedAudioView& view) const {
    ChannelMeans m{};
    if (!state.removeDc || !usable(view) || !builtFor(view)) return channelMeans(state, view);
    const int64_t a = std::max<int64_t>(state.start, 0);
    const int64_t b = std::min(state.end, view.frames);
    if (a >= b) return m;
    const Sums s = sums(view, a, b);
    const auto count = static_cast<double>(b - a);
    const int32_t kMax = std::min<int32_t>(view.channels, static_cast<int32_t>(m.size()));
    for (int32_t k = 0; k < kMax; ++k) m[static_cast<size_t>(k)] = s.sum[static_cast<size_t>(k)] / count;
    return m;
}

PeakRms RegionMeter::measure(const SampleEditState& state, const InterleavedAudioView& view,
                             const ChannelMeans& means) const {
    PeakRms out;
    if (view.samples == nullptr || view.channels <= 0 || state.end - state.start <= 0) return out;
    if (!builtFor(view)) return measurePeakRms(state, view);
    // Reversal and channel swap only reorder the region's values; frames
    // outside the source read 0 and add nothing.
    const int64_t a = std::max<int64_t>(state.start, 0);
    const int64_t b = std::min(state.end, view.frames);
    const int32_t n = view.channels;
    const double outputs = static_cast<double>(state.end - state.start) * n;
    if (a >= b) return out;
    const Sums s = sums(view, a, b);
    const auto count = static_cast<double>(b - a);
    // Sum over the range of (x - m)^2, never below 0 through rounding.
    auto centred = [count](double sum, double sumSq, double m) {
        return std::max(0.0, sumSq - 2.0 * m * sum + count * m * m);
    };
    float peak = 0.0f;
    double sumSq = 0.0;
    if (state.channelMode == 2 && n >= 2) {
        double offset = 0.0;
        for (int32_t k = 0; k < n; ++k) offset += meanOf(means, k);
        const auto m = static_cast<size_t>(n);
        const auto lo = static_cast<float>((static_cast<double>(s.lo[m]) - offset) / n);
        const auto hi = static_cast<float>((static_cast<double>(s.hi[m]) - offset) / n);
        peak = std::max(std::fabs(lo), std::fabs(hi));
        // Every output channel carries the same value.
        sumSq = centred(s.sum[m], s.sumSq[m], offset) / (static_cast<double>(n) * n) * n;
    } else {
        for (int32_t k = 0; k < n; ++k) {
            const auto kk = static_cast<size_t>(k);
            const double mk = meanOf(means, k);
            peak = std::max({peak, std::fabs(static_cast<float>(static_cast<double>(s.lo[kk]) - mk)),
                             std::fabs(static_cast<float>(static_cast<double>(s.hi[kk]) - mk))});
            sumSq += centred(s.sum[kk], s.sumSq[kk], mk);
        }
    }
    out.peak = peak;
    out.rms = std::sqrt(sumSq / outputs);
    return out;
}

SampleEditState keepInsideSource(SampleEditState s, int64_t frames) {
    s.start = s.start < 0 ? 0 : std::min(s.start, std::max<int64_t>(frames - 1, 0));
    s.end = s.end < s.start + 1 ? s.start + 1 : std::min(s.end, frames);
    // A NaN fade (never typed, but never trusted either) becomes no fade.
    s.fadeInMs = std::isnan(s.fadeInMs) ? 0.0 : std::clamp(s.fadeInMs, 0.0, kMaxFadeMs);
    s.fadeOutMs = std::isnan(s.fadeOutMs) ? 0.0 : std::clamp(s.fadeOutMs, 0.0, kMaxFadeMs);
    return s;
}

int64_t nearestZeroCrossing(const InterleavedAudioView& view, int64_t frame, int64_t radius) {
    if (view.samples == nullptr || view.channels <= 0 || view.frames <= 1) return frame;
    auto sum = [&](int64_t f) {
        const float* p = view.samples + f * view.channels;
        double s = 0.0;
        for (int32_t c = 0; c < view.channels; ++c) s += p[c];
        return s;
    };
    auto crossing = [&](int64_t q) {
        if (q <= 0 || q >= view.frames) return false;
        const double a = sum(q - 1);
        const double b = sum(q);
        return (a <= 0.0) != (b <= 0.0);
    };
    for (int64_t j = 0; j <= radius; ++j) {
        if (crossing(frame - j)) return frame - j;
        if (crossing(frame + j)) return frame + j;
    }
    return frame;
}

}  // namespace vt6::ui::zemedit
