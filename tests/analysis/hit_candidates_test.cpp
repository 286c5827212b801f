#include "analysis/hit_detector.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace vt6::fmt {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();

HitDetector detectorAt(double rate) {
    HitDetector d;
    d.sampleRate = rate;
    return d;
}

TEST(HitCandidates, PerRateQuantities) {
    struct Case {
        double rate;
        int64_t hop, block, gap, minDist, lastEdge;
    };
    const std::vector<Case> cases = {
        {44100, 22, 221, 529, 2, 743},
        {48000, 24, 240, 576, 2, 683},
        {32000, 16, 160, 384, 1, 922},
        {8000, 4, 40, 96, 1, 922},
    };
    for (const Case& c : cases) {
        const HitTiming t = hitTimingFor(c.rate);
        EXPECT_EQ(t.hop, c.hop) << c.rate;
        EXPECT_EQ(t.rmsBlock, c.block) << c.rate;
        EXPECT_EQ(t.minStartGap, c.gap) << c.rate;
        EXPECT_EQ(t.minLength, 0.015 * c.rate) << c.rate;
        EXPECT_EQ(t.minPeak, 0.0056234132f) << c.rate;
        EXPECT_EQ(onsetPeakMinDistance(c.rate), c.minDist) << c.rate;
        EXPECT_EQ(fluxBandEdges(c.rate)[96], c.lastEdge) << c.rate;
    }
    const auto edges = fluxBandEdges(44100);
    EXPECT_EQ(edges[0], 1);
    EXPECT_EQ((std::vector<int64_t>(edges.begin(), edges.begin() + 4)), (std::vector<int64_t>{1, 1, 2, 2}));
    for (size_t b = 1; b < edges.size(); ++b) EXPECT_LE(edges[b - 1], edges[b]) << b;
    for (const double bad : {0.0, -1.0, 2e6, static_cast<double>(kNanF)}) {
        EXPECT_EQ(hitTimingFor(bad).hop, 1) << bad;
    }
}

TEST(HitCandidates, PercentileAndMedian) {
    std::vector<float> ramp(100);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(99 - i);
    struct Case {
        const char* what;
        std::vector<float> values;
        double p;
        float want;
    };
    const std::vector<Case> cases = {
        {"0..99 at 0.95", ramp, 0.95, 94.0f},
        {"0..99 at 0", ramp, 0.0, 0.0f},
        {"0..99 at 1", ramp, 1.0, 99.0f},
        {"one value at 0.3", {7.5f}, 0.3, 7.5f},
        {"one value at 1.7", {7.5f}, 1.7, 7.5f},
        {"empty", {}, 0.5, 0.0f},
        {"NaN goes last", {kNanF, 3, 1, 2}, 0.0, 1.0f},
        {"NaN goes last, upper end", {3, kNanF, 1, 2}, 0.7, 3.0f},
        {"infinities in order", {kInfF, -kInfF, 0.0f}, 0.5, 0.0f},
    };
    for (const Case& c : cases) EXPECT_EQ(percentileOf(c.values, c.p), c.want) << c.what;

    EXPECT_EQ(medianOf({}), 0.0);
    EXPECT_EQ(medianOf({1.0, 2.0}), 2.0);
    EXPECT_EQ(medianOf({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(medianOf({std::nan(""), 5.0, 1.0}), 5.0);
    EXPECT_EQ(medianAbsDeviation({1, 2, 3, 4, 100}, 3), 1.0);
}

// Sorting values that hold NaN with plain < is undefined; the statistics must
// give the same answer for any arrangement of the same values.
TEST(HitCandidates, StatisticsAreDefinedForAnyValues) {
    std::mt19937 rng(3);
    std::vector<float> values;
    for (int i = 0; i < 500; ++i) values.push_back(static_cast<float>(i));
    for (int i = 0; i < 300; ++i) values.push_back(kNanF);
    values.push_back(kInfF);
    values.push_back(-kInfF);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(values.begin(), values.end(), rng);
        EXPECT_EQ(percentileOf(values, 0.0), -kInfF);
        EXPECT_EQ(percentileOf(values, 0.5), 399.0f); // index 400 of 802
        EXPECT_EQ(percentileOf(values, 501.5 / 801.0), kInfF);
        EXPECT_TRUE(std::isnan(percentileOf(values, 1.0)));
        std::vector<double> d(values.begin(), values.end());
        EXPECT_EQ(medianOf(d), 400.0); // index 401
    }
}

TEST(HitCandidates, PeakEnvelopeFollowsAndReleases) {
    const HitDetector d = detectorAt(44100);
    const float r = static_cast<float>(std::exp(-1.0 / (44100 * 0.025)));
    struct Case {
        const char* what;
        std::vector<float> audio;
        int64_t hop;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        {"an equal value decays", {1, 1}, 1, {1, r}},
        {"negative samples count by size", {-0.5f, 0, 0}, 1, {0.5f, 0.5f * r, 0.5f * r * r}},
        {"block maximum, follower not reset", {0, 1, 0, 0, 0}, 2, {1, r, r * r * r}},
        {"empty", {}, 22, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(peakEnvelope(d, c.audio, c.hop), c.want) << c.what;
}

TEST(HitCandidates, RmsEnvelopePerBlock) {
    struct Case {
        const char* what;
        std::vector<float> audio;
        int64_t block;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        {"one block", {3, 4}, 2, {static_cast<float>(std::sqrt(12.5))}},
        {"short last block", {1, -1, 1, 2}, 3, {1, 2}},
        {"empty", {}, 221, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(rmsEnvelope(c.audio, c.block), c.want) << c.what;
}

TEST(HitCandidates, HannSliceIsZeroOutsideTheAudio) {
    const std::vector<float> audio = {2, 2, 2, 2, 2};
    std::vector<float> buf(5, -1);
    hannSlice(5, buf.data(), audio, 0);
    const std::vector<float> full = {0, 1, 2, 1, 0};
    for (size_t i = 0; i < buf.size(); ++i) EXPECT_NEAR(buf[i], full[i], 1e-6) << i;
    hannSlice(5, buf.data(), audio, -2);
    const std::vector<float> shifted = {0, 0, 2, 1, 0};
    for (size_t i = 0; i < buf.size(); ++i) EXPECT_NEAR(buf[i], shifted[i], 1e-6) << i;
    hannSlice(5, buf.data(), audio, 5);
    for (float v : buf) EXPECT_EQ(v, 0.0f);
}

TEST(HitCandidates, NoiseSpectrumAveragesTheQuietestBlocks) {
    // Ten blocks: nine loud noise blocks, one quiet sine block on bin 64.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<float> audio(10 * 1024);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = noise(rng);
    for (size_t i = 0; i < 1024; ++i) {
        audio[3 * 1024 + i] = 0.01f * static_cast<float>(std::sin(2 * M_PI * 64 * static_cast<double>(i) / 1024));
    }
    HitDetector d = detectorAt(44100);
    measureNoiseSpectrum(d, audio);
    ASSERT_EQ(d.noiseSpectrum.size(), 513u);
    size_t best = 0;
    for (size_t k = 0; k < 513; ++k) {
        if (d.noiseSpectrum[k] > d.noiseSpectrum[best]) best = k;
    }
    EXPECT_EQ(best, 64u);
    // Hann gain 511.5 over two for a sine of amplitude 0.01.
    EXPECT_NEAR(d.noiseSpectrum[64], 0.01 * 511.5 / 2, 0.01);

    // Fewer than four whole blocks leave the spectrum at zero.
    HitDetector few = detectorAt(44100);
    measureNoiseSpectrum(few, std::vector<float>(4 * 1024 - 1, 0.3f));
    EXPECT_EQ(few.noiseSpectrum, std::vector<float>(513, 0.0f));
}

TEST(HitCandidates, SilenceGivesNoFluxNoRiseNoPeak) {
    const HitDetector d = detectorAt(44100);
    const std::vector<float> silence(44100, 0.0f);
    const HitTiming t = hitTimingFor(44100);
    const auto env = peakEnvelope(d, silence, t.hop);
    const auto flux = spectralFlux(d, silence);
    EXPECT_EQ(flux.size(), (44100u + 255) / 256);
    for (float v : flux) EXPECT_EQ(v, 0.0f);
    const auto onset = onsetStrength(d, silence, env, t.hop);
    ASSERT_EQ(onset.size(), flux.size());
    for (float v : onset) EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(pickOnsetPeaks(d, onset).empty());
    EXPECT_TRUE(spectralFlux(d, {}).empty());
}

TEST(HitCandidates, BurstAfterSilencePeaksAtItsOnset) {
    const HitDetector d = detectorAt(44100);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> noise(-1, 1);
    std::vector<float> audio(44100, 0.0f);
    const size_t onsetAt = 22050;
    for (size_t i = onsetAt; i < audio.size(); ++i) {
        audio[i] = 0.8f * noise(rng) * static_cast<float>(std::exp(-static_cast<double>(i - onsetAt) / 2000.0));
    }
    const HitTiming t = hitTimingFor(44100);
    const auto env = peakEnvelope(d, audio, t.hop);
    const auto flux = spectralFlux(d, audio);
    EXPECT_EQ(flux[0], 0.0f);
    EXPECT_EQ(flux[1], 0.0f);
    const auto onset = onsetStrength(d, audio, env, t.hop);
    const auto peaks = pickOnsetPeaks(d, onset);
    ASSERT_FALSE(peaks.empty());
    const int64_t pos = 256 * peaks[0] + 128;
    EXPECT_GE(pos, static_cast<int64_t>(onsetAt) - 1024);
    EXPECT_LE(pos, static_cast<int64_t>(onsetAt) + 1024);
}

TEST(HitCandidates, PeakPickingRules) {
    struct Case {
        const char* what;
        double rate;
        size_t count;
        std::vector<std::pair<size_t, float>> set;
        std::vector<int64_t> want;
        float base = 0.0f;
    };
    const std::vector<Case> cases = {
        {"equal neighbours closer than minDist: the first", 44100, 40, {{10, 1}, {11, 1}}, {10}},
        {"equal neighbours at minDist 1: both", 22050, 40, {{10, 1}, {11, 1}}, {10, 11}},
        {"two hops apart at 44100: both", 44100, 40, {{10, 1}, {12, 1}}, {10, 12}},
        {"index 2 is never a peak", 44100, 40, {{2, 1}}, {}},
        {"index count-3 is never a peak", 44100, 40, {{37, 1}}, {}},
        {"index count-4 can be", 44100, 40, {{36, 1}}, {36}},
        {"fewer than 8 values", 44100, 7, {{3, 1}}, {}},
        {"below the local mean plus 0.12 of the 95th percentile", 44100, 40, {{20, 5.2f}}, {}, 5.0f},
        {"above the local mean plus 0.12 of the 95th percentile", 44100, 40, {{20, 6.0f}}, {20}, 5.0f},
    };
    for (const Case& c : cases) {
        std::vector<float> onset(c.count, c.base);
        for (const auto& [i, v] : c.set) onset[i] = v;
        EXPECT_EQ(pickOnsetPeaks(detectorAt(c.rate), onset), c.want) << c.what;
    }
}

} // namespace
} // namespace vt6::fmt
