#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "analysis/detector_internal.hpp"
#include "analysis/fft.hpp"
#include "analysis/hit_detector.hpp"

namespace vt6::fmt {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();

int64_t truncTimes(double rate, double seconds) { return static_cast<int64_t>(seconds * rate); }

float levelDb(float v) { return 20.0f * std::log10(v); }

double peakLevel(const DetectedHit& h) { return 20.0 * std::log10(static_cast<double>(h.peak) + 1e-9); }

// Bins of the 12 hit bands in a 1024-point spectrum at `rate`.
struct BandBins {
    std::array<int64_t, kHitBands> lo{};
    std::array<int64_t, kHitBands> hi{};
};

BandBins hitBandBins(double rate) {
    BandBins b;
    const double l60 = std::log2(60.0);
    const double l12k = std::log2(12000.0);
    auto edge = [&](int j) { return std::exp2(l60 + j * (l12k - l60) / 12); };
    // Bounded before the conversion: tiny rates put every edge far past the last bin.
    auto bin = [&](double f) { return static_cast<int64_t>(std::min(1024.0 * f / rate, 1e9)); };
    for (int j = 0; j < static_cast<int>(kHitBands); ++j) {
        b.lo[static_cast<size_t>(j)] = std::max<int64_t>(1, bin(edge(j)));
        b.hi[static_cast<size_t>(j)] = std::min<int64_t>(bin(edge(j + 1)) + 1, 513);
    }
    return b;
}

std::array<float, kHitBands> bandSpectrum(HitDetector& detector, std::span<const float> audio, int64_t start,
                                          FftPlan& plan, std::span<const float> window) {
    std::array<float, 513> pre{};
    std::array<float, 513> post{};
    detail::windowedSlice(window, plan.input(), audio, start - 1024);
    detail::magnitudes(plan, pre.data());
    detail::windowedSlice(window, plan.input(), audio, start);
    detail::magnitudes(plan, post.data());
    const BandBins bins = hitBandBins(detector.sampleRate);
    const double raise = std::pow(10.0, 0.6);
    std::array<float, kHitBands> bands{};
    detector.referenceBands.assign(kHitBands, 0.0f);
    for (size_t j = 0; j < kHitBands; ++j) {
        double sum = 0.0;
        double ref = 0.0;
        for (int64_t k = bins.lo[j]; k < bins.hi[j]; ++k) {
            const auto i = static_cast<size_t>(k);
            const double p = post[i];
            const double q = pre[i];
            const double noise = i < detector.noiseSpectrum.size() ? detector.noiseSpectrum[i] : 0.0;
            sum += p * p;
            ref += std::max(q * q, noise * noise);
        }
        ref *= raise;
        detector.referenceBands[j] = static_cast<float>(10.0 * std::log10(ref + 1e-20));
        bands[j] = bins.lo[j] < bins.hi[j] && ref < sum ? static_cast<float>(10.0 * std::log10(sum + 1e-20)) : kNanF;
    }
    return bands;
}

void finishWith(const HitContext& c, std::vector<DetectedHit>& hits, FftPlan& plan, std::span<const float> window) {
    const auto n = static_cast<int64_t>(c.audio.size());
    for (size_t i = 0; i < hits.size(); ++i) {
        DetectedHit& h = hits[i];
        const int64_t next = i + 1 < hits.size() ? hits[i + 1].start : n;
        h.end = findDecayEnd(*c.detector, c.audio, c.rms, c.block, h.start, next, c.noiseLevel, n);
        h.peak = 0.0f;
        h.rms = 0.0f;
        const int64_t from = std::max<int64_t>(h.start, 0);
        const int64_t to = std::min(h.end, n);
        if (h.end > h.start) {
            double sum = 0.0;
            float peak = 0.0f;
            for (int64_t k = from; k < to; ++k) {
                const float v = c.audio[static_cast<size_t>(k)];
                peak = std::max(peak, std::abs(v));
                sum += static_cast<double>(v) * v;
            }
            h.peak = peak;
            h.rms = static_cast<float>(std::sqrt(sum / static_cast<double>(std::max<int64_t>(h.end - h.start, 1))));
        }
        h.bands = bandSpectrum(*c.detector, c.audio, h.start, plan, window);
        std::copy_n(c.detector->referenceBands.begin(), kHitBands, h.referenceBands.begin());
    }
}

// Smallest non-negative distance of a hit over the templates, -1 when none.
double bestDistance(const std::vector<DetectedHit>& hits, size_t index,
                    const std::vector<std::array<float, kHitBands>>& templates) {
    double best = -1.0;
    for (const auto& t : templates) {
        const double d = templateDistance(hits, index, t);
        if (d >= 0.0 && (best < 0.0 || d < best)) best = d;
    }
    return best;
}

} // namespace

// ------------------------------------------------------------ the entry

std::vector<DetectedHit> detectHits(HitDetector& detector, std::span<const float> audio, double sampleRate) {
    if (audio.size() < 4096) return {};
    // Also refuses NaN: rates convert to sample counts below.
    if (!(sampleRate > 0.0 && sampleRate <= 1e6)) return {};
    for (float v : audio) {
        if (!std::isfinite(v)) return {};
    }

    detector.sampleRate = sampleRate;
    const HitTiming t = hitTimingFor(sampleRate);
    const std::vector<float> env = peakEnvelope(detector, audio, t.hop);
    const std::vector<float> rms = rmsEnvelope(audio, t.rmsBlock);
    const float noiseLevel = percentileOf(rms, 0.05);
    const std::vector<float> onset = onsetStrength(detector, audio, env, t.hop);
    const std::vector<int64_t> candidates = pickOnsetPeaks(detector, onset);
    measureNoiseSpectrum(detector, audio);

    std::vector<DetectedHit> hits;
    int64_t previousStart = -1;
    int64_t previousPeakBlock = -1;
    bool any = false;
    for (const int64_t i : candidates) {
        const int64_t pos = 256 * i + 128;
        float strength = 0.0f;
        int64_t peakBlock = -1;
        const int64_t start =
            refineOnset(detector, audio, env, t.hop, pos, previousPeakBlock, strength, peakBlock);
        if (any && pos / t.hop <= previousPeakBlock) continue;
        if (strength < 6.0f) continue;
        if (any && start - previousStart < t.minStartGap) continue;
        DetectedHit h;
        h.start = start;
        hits.push_back(h);
        previousStart = start;
        previousPeakBlock = peakBlock;
        any = true;
    }

    HitContext context;
    context.audio = audio;
    context.detector = &detector;
    context.rms = rms;
    context.block = t.rmsBlock;
    context.noiseLevel = noiseLevel;
    FftPlan plan = FftPlan::create(10);
    const std::vector<float> window = detail::hannWindow(1024);
    finishWith(context, hits, plan, window);

    std::vector<DetectedHit> kept;
    for (const DetectedHit& h : hits) {
        if (h.end > h.start && static_cast<double>(h.end - h.start) >= t.minLength && h.peak >= t.minPeak) {
            kept.push_back(h);
        }
    }
    std::vector<DetectedHit> chosen = selectHitsByTemplate(detector, kept);
    finishWith(context, chosen, plan, window);
    return chosen;
}

// ------------------------------------------------------------ the start

int64_t refineOnset(const HitDetector& detector, std::span<const float> audio, std::span<const float> env,
                    int64_t h, int64_t pos, int64_t previousPeakBlock, float& strength, int64_t& peakBlock) {
    const double r = detector.sampleRate;
    const auto n = static_cast<int64_t>(audio.size());
    const auto e = static_cast<int64_t>(env.size());
    strength = 0.0f;
    peakBlock = -1;
    auto at = [&](int64_t i) { return env[static_cast<size_t>(i)]; };

    const int64_t lo = std::max({int64_t{0}, previousPeakBlock + 1, (pos - truncTimes(r, 0.016)) / h});
    const int64_t hi = std::min((pos + truncTimes(r, 0.040)) / h, e - 1);
    if (hi <= lo + 1) return std::max<int64_t>(pos, 0);

    // The envelope's peak, stopping once it has fallen 10 dB past the candidate.
    const float fall = static_cast<float>(std::pow(10.0, -0.5));
    float best = -1.0f;
    int64_t bi = lo;
    for (int64_t i = lo; i <= hi; ++i) {
        if (at(i) > best) {
            best = at(i);
            bi = i;
        } else if (h * i > pos && at(i) < fall * best) {
            break;
        }
    }
    peakBlock = bi;

    // The level before the hit.
    const int64_t a = std::max<int64_t>(0, (pos - truncTimes(r, 0.080)) / h);
    const int64_t b = std::min(std::max(a + 1, (pos - truncTimes(r, 0.010)) / h), e);
    std::vector<float> pre;
    if (b > a) pre.assign(env.begin() + a, env.begin() + b);
    const float base = std::max(percentileOf(pre, 0.10), 1e-7f);
    strength = levelDb(std::max(best, 1e-7f) / std::max(percentileOf(pre, 0.50), 1e-7f));

    // Back from the peak to 3 dB above the base.
    const float thr = static_cast<float>(std::pow(10.0, 0.15)) * base;
    int64_t s = bi;
    while (s > lo && at(s) > thr) --s;
    if (at(s) > thr) {
        // The envelope never came down to the base: measure from the window's minimum.
        s = std::min_element(env.begin() + lo, env.begin() + bi + 1) - env.begin();
        strength = levelDb(std::max(best, 1e-7f) / std::max(at(s), 1e-7f));
        if (strength < 10.0f) strength = 0.0f;
    }

    // A second attack 10 dB above a dip of at least 1 dB, 8 ms or more after
    // the first, starts the hit (a flam is measured from its main stroke).
    const float dipBelow = static_cast<float>(std::pow(10.0, -0.05));
    const float riseAbove = static_cast<float>(std::pow(10.0, 0.5));
    const int64_t minDipDistance = std::max<int64_t>(1, static_cast<int64_t>(0.008 * r / static_cast<double>(h)));
    int64_t o = s;
    float level = at(s);
    bool inDip = false;
    float dipFrom = 0.0f;
    float dipValue = 0.0f;
    int64_t dipIndex = 0;
    for (int64_t k = s + 1; k <= bi; ++k) {
        const float v = at(k);
        if (!inDip) {
            if (v > level) {
                level = v;
            } else if (v <= dipBelow * level) {
                inDip = true;
                dipFrom = level;
                dipValue = v;
                dipIndex = k;
            }
        } else if (v < dipValue) {
            dipValue = v;
            dipIndex = k;
        } else if (v >= riseAbove * dipFrom) {
            if (dipIndex - s >= minDipDistance) o = dipIndex;
            level = v;
            inDip = false;
        }
    }

    // Half the peak's height above thr in dB, at most 4 dB, as a factor.
    const float g = std::pow(10.0f, std::min(10.0f * std::log10(best / thr), 4.0f) / 20.0f);
    auto walkBack = [&] {
        while (o - 1 >= lo && at(o) > at(o - 1)) --o;
    };
    walkBack();

    // The first block from which the envelope rises by g within 3 ms and
    // keeps rising within 6 ms after (or reaches the peak).
    const int64_t w3 = std::max<int64_t>(1, static_cast<int64_t>(0.003 * r / static_cast<double>(h)));
    const int64_t w6 = std::max<int64_t>(1, static_cast<int64_t>(0.006 * r / static_cast<double>(h)));
    if (o < bi) {
        int64_t accepted = bi;
        for (int64_t j = o; j < bi; ++j) {
            int64_t k = -1;
            for (int64_t q = j + 1; q <= std::min(j + w3, bi); ++q) {
                if (at(q) >= g * at(j)) {
                    k = q;
                    break;
                }
            }
            if (k < 0) continue;
            bool rising = k >= bi;
            for (int64_t m = k + 1; !rising && m <= std::min(k + w6, bi); ++m) rising = at(m) > at(m - 1);
            if (rising) {
                accepted = j;
                break;
            }
        }
        o = accepted;
    }
    walkBack();

    // Back to a sign change within 0.4 ms.
    int64_t t = o * h;
    for (int64_t d = t; d > std::max<int64_t>(1, t - truncTimes(r, 0.0004)); --d) {
        if (d >= n) continue;
        const float before = audio[static_cast<size_t>(d - 1)];
        const float here = audio[static_cast<size_t>(d)];
        if ((before <= 0.0f && here > 0.0f) || (before > 0.0f && here <= 0.0f)) {
            t = d;
            break;
        }
    }
    return std::min(std::max<int64_t>(t, 0), n - 1);
}

// -------------------------------------------------------------- the end

int64_t findDecayEnd(const HitDetector& detector, std::span<const float> audio, std::span<const float> rms,
                     int64_t block, int64_t start, int64_t nextStart, float noiseLevel, int64_t sampleCount) {
    const double r = detector.sampleRate;
    const int64_t n = std::min(sampleCount, static_cast<int64_t>(audio.size()));
    const auto e = static_cast<int64_t>(rms.size());
    const int64_t i0 = std::max<int64_t>(start, 0) / block;
    const int64_t window = static_cast<int64_t>(0.06 * r / static_cast<double>(block));
    const int64_t last = std::min(i0 + window + 1, e);
    int64_t peakBlock = i0;
    if (i0 < last) peakBlock = std::max_element(rms.begin() + i0, rms.begin() + last) - rms.begin();

    float p = 0.0f;
    for (int64_t k = std::max<int64_t>(start, 0); k < std::min(block * last, n); ++k) {
        p = std::max(p, std::abs(audio[static_cast<size_t>(k)]));
    }
    const float thr = std::max(static_cast<float>(std::pow(10.0, -2.7)) * p, 2.0f * noiseLevel);

    const int64_t run = std::max<int64_t>(1, window);
    const int64_t limit = std::min({n, nextStart - truncTimes(r, 0.001), start + truncTimes(r, 6.0)});
    int64_t quiet = 0;
    for (int64_t k = peakBlock + 1; k < e && block * k < limit; ++k) {
        const float level = rms[static_cast<size_t>(k)];
        const float v = std::sqrt(std::max(level * level - noiseLevel * noiseLevel, 0.0f));
        quiet = v < thr ? quiet + 1 : 0;
        if (quiet == run) return std::min((k - run + 2) * block, limit);
    }
    return std::max(start + 1, limit);
}

// ------------------------------------------------------- band spectrum

std::array<float, kHitBands> hitBandSpectrum(HitDetector& detector, std::span<const float> audio, int64_t start) {
    FftPlan plan = FftPlan::create(10);
    const std::vector<float> window = detail::hannWindow(1024);
    return bandSpectrum(detector, audio, start, plan, window);
}

void finishHits(const HitContext& context, std::vector<DetectedHit>& hits) {
    FftPlan plan = FftPlan::create(10);
    const std::vector<float> window = detail::hannWindow(1024);
    finishWith(context, hits, plan, window);
}

// ------------------------------------------------------------ templates

std::vector<size_t> loudestFirst(const std::vector<DetectedHit>& hits) {
    std::vector<size_t> order(hits.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const float pa = hits[a].peak;
        const float pb = hits[b].peak;
        const bool na = std::isnan(pa);
        const bool nb = std::isnan(pb);
        if (na != nb) return nb;
        if (!na && pa != pb) return pa > pb;
        return a < b;
    });
    return order;
}

std::array<float, kHitBands> medianTemplate(const std::vector<DetectedHit>& hits, std::span<const size_t> indices) {
    std::array<float, kHitBands> out{};
    for (size_t j = 0; j < kHitBands; ++j) {
        std::vector<double> values;
        for (const size_t i : indices) {
            const float v = hits[i].bands[j];
            if (!std::isnan(v)) values.push_back(v);
        }
        out[j] = 2 * values.size() >= indices.size() ? static_cast<float>(medianOf(std::move(values))) : kNanF;
    }
    return out;
}

double templateDistance(const std::vector<DetectedHit>& hits, size_t index,
                        const std::array<float, kHitBands>& tmpl) {
    const DetectedHit& h = hits[index];
    std::vector<double> differences;
    for (size_t j = 0; j < kHitBands; ++j) {
        if (!std::isnan(h.bands[j]) && !std::isnan(tmpl[j])) {
            differences.push_back(static_cast<double>(h.bands[j]) - tmpl[j]);
        }
    }
    if (differences.size() < 2) return -1.0;
    const double offset = medianOf(std::move(differences));
    double total = 0.0;
    int count = 0;
    for (size_t j = 0; j < kHitBands; ++j) {
        if (std::isnan(tmpl[j])) continue;
        const double expected = static_cast<double>(tmpl[j]) + offset;
        if (!std::isnan(h.bands[j])) {
            const double d = static_cast<double>(h.bands[j]) - tmpl[j] - offset;
            total += d * d;
            ++count;
        } else if (expected > static_cast<double>(h.referenceBands[j]) + 6.0) {
            // The template expects energy the hit does not show.
            const double d = expected - h.referenceBands[j];
            total += d * d;
            ++count;
        }
    }
    return std::sqrt(total / std::max(1, count));
}

std::vector<DetectedHit> selectHitsByTemplate(HitDetector&, const std::vector<DetectedHit>& hits) {
    const size_t count = hits.size();
    if (count < 6) return hits;
    const std::vector<size_t> order = loudestFirst(hits);
    const auto k = static_cast<size_t>(std::max(3.0, std::round(0.3 * static_cast<double>(count))));
    const std::span<const size_t> loudest(order.data(), std::min(k, count));

    std::vector<std::array<float, kHitBands>> templates = {medianTemplate(hits, loudest)};
    std::vector<double> loudLevels;
    for (const size_t i : loudest) loudLevels.push_back(peakLevel(hits[i]));
    const double m = medianOf(loudLevels);
    size_t leading = 0;
    while (leading < count && peakLevel(hits[order[leading]]) >= m - 12.0) ++leading;

    while (templates.size() < 3) {
        std::vector<size_t> outliers;
        for (size_t p = 0; p < leading; ++p) {
            if (bestDistance(hits, order[p], templates) >= 6.0) outliers.push_back(order[p]);
        }
        if (outliers.size() < 3) break;
        templates.push_back(medianTemplate(hits, outliers));
    }

    std::vector<double> level(count);
    std::vector<double> distance(count);
    std::vector<double> all;
    for (size_t i = 0; i < count; ++i) {
        level[i] = peakLevel(hits[i]);
        distance[i] = bestDistance(hits, i, templates);
        if (distance[i] >= 0.0) all.push_back(distance[i]);
    }
    std::vector<double> top;
    for (const size_t i : loudest) {
        if (distance[i] >= 0.0) top.push_back(distance[i]);
    }
    if (all.size() < 6 || top.size() < 3) return hits;

    const double c = medianOf(top);
    const double s = medianAbsDeviation(top, c);
    const double limit = std::max(c + 4.0 * std::max(1.4826 * s, 0.5), 6.0);
    std::vector<double> matching;
    for (size_t i = 0; i < count; ++i) {
        if (distance[i] >= 0.0 && distance[i] < limit) matching.push_back(level[i]);
    }
    const double floor = matching.empty() ? -1e9 : medianOf(matching);

    std::vector<DetectedHit> out;
    for (size_t i = 0; i < count; ++i) {
        if (distance[i] >= limit && level[i] < floor) continue;
        out.push_back(hits[i]);
    }
    return out;
}

} // namespace vt6::fmt
