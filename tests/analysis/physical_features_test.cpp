#include "analysis/physical_features.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "analysis/analysis_audio.hpp"
#include "analysis/fft.hpp"

namespace vt6::fmt {
namespace {

// A decaying sine with a little noise, peak about 1.
std::vector<float> decayingTone(double hz, size_t n, double decayPerSecond = 6.0, double noise = 0.0,
                                unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 44100;
        x[i] = static_cast<float>(std::exp(-decayPerSecond * t) * (std::sin(2 * M_PI * hz * t) + noise * u(rng)));
    }
    return x;
}

TEST(PhysicalFeatures, WindowByDrumType) {
    struct Case {
        uint8_t type;
        int32_t ms;
        double lo, hi;
    };
    const std::vector<Case> cases = {{0, 600, 40, 250},  {1, 400, 100, 600}, {2, 1200, 100, 600},
                                     {3, 600, 60, 400},  {4, 1200, 100, 600}, {5, 400, 100, 600},
                                     {200, 400, 100, 600}};
    for (const Case& c : cases) {
        const FeatureWindow w = featureWindowFor(c.type);
        EXPECT_EQ(w.windowMs, c.ms) << int{c.type};
        EXPECT_EQ(w.pitchLoHz, c.lo) << int{c.type};
        EXPECT_EQ(w.pitchHiHz, c.hi) << int{c.type};
    }
}

TEST(PhysicalFeatures, EmptyInputGivesZeros) {
    const PhysicalFeatures f = featuresForDrumType({}, 1);
    for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(f[i], 0.0) << i;
    EXPECT_EQ(featuresForDrumType(std::vector<float>(3000, 0.0f), 3), PhysicalFeatures{});
}

TEST(PhysicalFeatures, SpectrogramFrames) {
    struct Case {
        size_t samples;
        int32_t window;
        size_t frames;
    };
    for (const Case c : {Case{100000, 17640, 65}, Case{100000, 26460, 100}, Case{100000, 52920, 203},
                         Case{2000, 26460, 4}, Case{1024, 26460, 1}, Case{500, 17640, 1}, Case{0, 17640, 1},
                         Case{100000, 1025, 1}, Case{100000, 1280, 2}}) {
        const Spectrogram s = magnitudeSpectrogram(std::vector<float>(c.samples, 0.1f), c.window);
        EXPECT_EQ(s.frames.size(), c.frames) << c.samples << " " << c.window;
        EXPECT_EQ(s.binCount, 513);
        for (const auto& row : s.frames) ASSERT_EQ(row.size(), 513u);
    }
    // Samples past the window are not seen even when the input is longer.
    std::vector<float> x(3000, 0.0f);
    x[1100] = 1.0f;
    const Spectrogram s = magnitudeSpectrogram(x, 1100);
    ASSERT_EQ(s.frames.size(), 1u);
    EXPECT_EQ(s.frames[0][0], 0.0);
}

TEST(PhysicalFeatures, PitchOfADecayingToneAsATom) {
    const PhysicalFeatures f = featuresForDrumType(decayingTone(150, 44100), 3);
    EXPECT_NEAR(f[53], std::log2(151.0), 0.02);
    EXPECT_GT(f[54], 10.0);
    // The low-peak search finds the same tone on 43 Hz bins.
    EXPECT_NEAR(f[50], std::log2(151.0), 0.3);
    for (size_t i = 0; i < f.size(); ++i) EXPECT_TRUE(std::isfinite(f[i])) << i;
}

TEST(PhysicalFeatures, PitchFallsBackToTheMeanFrequencyAtTheRangeEdge) {
    // 700 Hz lies above a snare's range (bins 10..55): the range peaks on its last bin.
    const PhysicalFeatures f = featuresForDrumType(decayingTone(700, 44100), 1);
    EXPECT_EQ(f[54], 0.0);
    EXPECT_GT(f[53], std::log2(101.0));
    EXPECT_LT(f[53], std::log2(601.0));
}

TEST(PhysicalFeatures, ShortInputHasOneFrame) {
    const std::vector<float> x = decayingTone(300, 800, 20);
    const PhysicalFeatures f = featuresForDrumType(x, 1);
    for (size_t i = 16; i <= 23; ++i) EXPECT_EQ(f[i], 0.0) << i;
    EXPECT_EQ(f[26], f[24]);
    EXPECT_EQ(f[27], f[25]);
    EXPECT_NE(f[24], 0.0);
}

TEST(PhysicalFeatures, InstantAttackGivesTheShortestRiseTime) {
    std::vector<float> x(5000, 0.0f);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::exp(-static_cast<double>(i) / 500));
    const PhysicalFeatures f = computePhysicalFeatures(x, blockPeakEnvelope(x), featureWindowFor(1));
    EXPECT_EQ(f[0], -4.0);
    // A rise over 441 samples: 10 ms.
    std::vector<float> ramp(5000, 0.0f);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = i < 490 ? static_cast<float>(i) / 490.0f : 1.0f;
    const PhysicalFeatures g = computePhysicalFeatures(ramp, blockPeakEnvelope(ramp), featureWindowFor(1));
    EXPECT_NEAR(g[0], std::log10(392.0 / 44100), 0.01);
}

TEST(PhysicalFeatures, SilentEnvelopeLeavesTheEnvelopeFeaturesAtZero) {
    const std::vector<float> x = decayingTone(200, 8000);
    for (const std::vector<float>& env : {std::vector<float>(32, 0.0f), std::vector<float>(32, 1e-13f),
                                          std::vector<float>{}}) {
        const PhysicalFeatures f = computePhysicalFeatures(x, env, featureWindowFor(0));
        for (size_t i = 3; i <= 7; ++i) EXPECT_EQ(f[i], 0.0) << i;
        EXPECT_NE(f[2], 0.0);
    }
}

TEST(PhysicalFeatures, DecayFeaturesOfAnExponentialEnvelope) {
    // 60 dB per second: 20 log10(e^-6.9078 t).
    const double perBlock = std::pow(10.0, -3.0 * 256 / 44100);
    std::vector<float> env(68);
    for (size_t k = 0; k < env.size(); ++k) env[k] = static_cast<float>(std::pow(perBlock, static_cast<double>(k)));
    const std::vector<float> x = decayingTone(200, 17640);
    const PhysicalFeatures f = computePhysicalFeatures(x, env, featureWindowFor(1));
    EXPECT_NEAR(f[5], -60.0, 0.01);
    EXPECT_NEAR(f[6], 0.0, 1e-3);
    EXPECT_LT(f[7], 0.0);
}

TEST(PhysicalFeatures, SpectralShapeAndCepstrum) {
    EXPECT_EQ(frameSpectralShape(std::vector<double>(513, 0.0)), SpectralShape{});
    std::vector<double> line(513, 0.0);
    line[100] = 2.0;
    const SpectralShape s = frameSpectralShape(line);
    const double f100 = 100 * 44100.0 / 1024;
    EXPECT_NEAR(s[0], std::log2(1 + f100), 1e-12);
    EXPECT_NEAR(s[4], std::log2(1 + f100), 1e-12);
    EXPECT_NEAR(s[5], std::log2(1 + f100), 1e-12);
    EXPECT_LT(s[6], 1e-3);
    // A flat spectrum has flatness 1 and no slope.
    const SpectralShape flat = frameSpectralShape(std::vector<double>(513, 1.0));
    EXPECT_NEAR(flat[6], 1.0, 1e-12);
    EXPECT_NEAR(flat[7], 0.0, 1e-12);
    // The cepstrum leaves out coefficient 0: a gain changes none of the 13.
    std::vector<double> power(513);
    for (size_t k = 0; k < power.size(); ++k) power[k] = 1.0 + std::sin(0.05 * static_cast<double>(k)) * 0.5;
    std::vector<double> louder = power;
    for (double& v : louder) v *= 1000.0;
    const auto c = melCepstrum(power);
    const auto d = melCepstrum(louder);
    for (size_t j = 0; j < c.size(); ++j) EXPECT_NEAR(c[j], d[j], 1e-9) << j;
    EXPECT_GT(std::abs(c[0]), 1e-3);
}

TEST(PhysicalFeatures, PowerSpectrumAndBandSums) {
    FftPlan plan = FftPlan::create(10);
    const std::vector<double> p = hannPowerSpectrum(std::vector<float>(4000, 1.0f), plan, 0, 1024);
    ASSERT_EQ(p.size(), 513u);
    EXPECT_NEAR(p[0], 512.0 * 512.0, 1e-3);
    EXPECT_NEAR(p[1], 256.0 * 256.0, 1e-3);
    EXPECT_NEAR(p[2], 0.0, 1e-6);
    // Past the end the input counts as zero.
    const std::vector<double> tail = hannPowerSpectrum(std::vector<float>(4000, 1.0f), plan, 3999, 1024);
    EXPECT_LT(tail[0], 1e-6);
    EXPECT_THROW(hannPowerSpectrum({}, plan, 0, 2048), std::invalid_argument);

    const std::vector<double> ones(5, 1.0); // bins at 0, 5512.5, 11025, ... Hz for N = 8
    EXPECT_EQ(bandPowerSum(ones, 8, 5000, 12000), 2.0);
    EXPECT_EQ(bandPowerSum(ones, 8, 5512.5, 11025), 1.0);
}

TEST(PhysicalFeatures, SameResultOnEveryThread) {
    const std::vector<float> x = decayingTone(90, 30000, 5, 0.2, 4);
    const PhysicalFeatures here = featuresForDrumType(x, 0);
    PhysicalFeatures a{};
    PhysicalFeatures b{};
    std::thread ta([&] { a = featuresForDrumType(x, 0); });
    std::thread tb([&] { b = featuresForDrumType(x, 0); });
    ta.join();
    tb.join();
    EXPECT_EQ(a, here);
    EXPECT_EQ(b, here);
}

} // namespace
} // namespace vt6::fmt
