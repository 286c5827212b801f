#include "analysis/analysis_audio.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace vt6::fmt {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();

std::string resampleError(const std::vector<float>& x, int32_t rate) {
    try {
        resampleForAnalysis(x, rate);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::vector<float> sine(size_t n, double hz, double rate, double amplitude = 0.5) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
    }
    return x;
}

TEST(AnalysisAudio, ResamplerRefusals) {
    const std::string badRate = "analysis sample rate outside 1000..384000";
    const std::string tooLong = "analysis resampling input exceeds five seconds";
    const std::string nonfinite = "nonfinite analysis input";
    std::vector<float> nanLate(100, 0.1f);
    nanLate[77] = kNanF;
    struct Case {
        const char* what;
        std::vector<float> x;
        int32_t rate;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"999 Hz, empty", {}, 999, badRate},
        {"384001 Hz, empty", {}, 384001, badRate},
        {"0 Hz", {1}, 0, badRate},
        {"negative rate", {1}, -44100, badRate},
        {"the rate check comes first", {kNanF}, 999, badRate},
        {"1000 Hz empty", {}, 1000, ""},
        {"384000 Hz empty", {}, 384000, ""},
        {"empty skips the other checks", {}, 48000, ""},
        {"five seconds at 1000 Hz", std::vector<float>(5000, 0.1f), 1000, ""},
        {"one value more", std::vector<float>(5001, 0.1f), 1000, tooLong},
        {"too long wins over NaN", std::vector<float>(5001, kNanF), 1000, tooLong},
        {"NaN at 44100 Hz", nanLate, 44100, nonfinite},
        {"infinity at 48000 Hz", {0, kInfF, 0}, 48000, nonfinite},
        {"minus infinity at 22050 Hz", {-kInfF}, 22050, nonfinite},
    };
    for (const Case& c : cases) EXPECT_EQ(resampleError(c.x, c.rate), c.want) << c.what;
}

TEST(AnalysisAudio, ResampledLengths) {
    struct Case {
        int32_t rate;
        size_t in, out;
    };
    for (const Case c : {Case{88200, 1000, 500}, Case{22050, 1000, 2000}, Case{48000, 160, 147},
                         Case{48000, 5 * 48000, 5 * 44100}, Case{1000, 3, 133}, Case{384000, 1, 1}}) {
        EXPECT_EQ(resampleForAnalysis(std::vector<float>(c.in, 0.25f), c.rate).size(), c.out) << c.rate;
    }
}

TEST(AnalysisAudio, At44100TheInputComesBackBitForBit) {
    std::vector<float> x = sine(1000, 440, 44100);
    x[3] = -0.0f;
    x[4] = std::numeric_limits<float>::denorm_min();
    const std::vector<float> y = resampleForAnalysis(x, 44100);
    ASSERT_EQ(y.size(), x.size());
    EXPECT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(float)), 0);
}

// A sine comes out as the same sine at 44100 Hz, away from the ends.
TEST(AnalysisAudio, ResamplingKeepsASine) {
    for (const int32_t rate : {48000, 96000, 22050, 88200, 8000, 1000, 44101, 192000}) {
        const double hz = std::min(0.1 * rate, 1000.0);
        const size_t n = static_cast<size_t>(rate) / 2;
        const std::vector<float> y = resampleForAnalysis(sine(n, hz, rate), rate);
        const auto want = sine(y.size(), hz, 44100);
        double worst = 0;
        for (size_t k = y.size() / 4; k < 3 * y.size() / 4; ++k) {
            worst = std::max(worst, std::abs(static_cast<double>(y[k]) - want[k]));
        }
        EXPECT_LT(worst, 2e-3) << rate;
    }
}

// Rates prime to 44100 need 64-bit index arithmetic: five seconds there
// resample to ceil(n * 44100 / rate) values, DC staying DC.
TEST(AnalysisAudio, FiveSecondsAtRatesPrimeTo44100) {
    for (const int32_t rate : {44101, 383993}) {
        const auto n = static_cast<uint64_t>(5) * static_cast<uint64_t>(rate);
        const std::vector<float> y = resampleForAnalysis(std::vector<float>(n, 0.5f), rate);
        const uint64_t g = std::gcd(static_cast<uint64_t>(rate), uint64_t{44100});
        ASSERT_EQ(g, 1u) << rate;
        EXPECT_EQ(y.size(), (n * 44100 + static_cast<uint64_t>(rate) - 1) / static_cast<uint64_t>(rate)) << rate;
        for (size_t k = y.size() / 4; k < 3 * y.size() / 4; k += 997) {
            ASSERT_NEAR(y[k], 0.5f, 1e-3) << rate << " at " << k;
        }
    }
}

TEST(AnalysisAudio, BesselI0) {
    struct Case {
        double x, want;
    };
    for (const Case c : {Case{0, 1}, Case{1, 1.2660658777520082}, Case{5, 27.23987182360445},
                         Case{-2, 2.2795853023360673}}) {
        EXPECT_NEAR(besselI0(c.x), c.want, 1e-14 * c.want) << c.x;
    }
}

TEST(AnalysisAudio, AttackOffset) {
    auto stepAt = [](size_t n, size_t at) {
        std::vector<float> x(n, 0.0f);
        for (size_t i = at; i < n; ++i) x[i] = 0.5f;
        return x;
    };
    struct Case {
        const char* what;
        std::vector<float> x;
        uint64_t want;
    };
    const std::vector<Case> cases = {
        {"fewer than 88 samples", stepAt(87, 30), 0},
        {"rise in frame 10", stepAt(1000, 220), 132},
        {"rise in frame 4", stepAt(1000, 88), 0},
        {"rise in frame 1", stepAt(1000, 22), 0},
        {"rise in frame 5", stepAt(1000, 110), 22},
        {"silence", std::vector<float>(1000, 0.0f), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(findAttackOffset(c.x), c.want) << c.what;
}

TEST(AnalysisAudio, PrepareCutsBeforeTheAttackAndNormalises) {
    std::vector<float> x(220, 0.0f);
    x.insert(x.end(), 2000, 0.5f);
    const std::vector<float> y = prepareAnalysisAudio(x, 44100);
    ASSERT_EQ(y.size(), 2088u);
    for (size_t i = 0; i < 88; ++i) ASSERT_EQ(y[i], 0.0f) << i;
    for (size_t i = 88; i < y.size(); ++i) ASSERT_EQ(y[i], 1.0f) << i;
}

TEST(AnalysisAudio, PrepareGivesNothingForSilence) {
    EXPECT_TRUE(prepareAnalysisAudio(std::vector<float>(5000, 0.0f), 44100).empty());
    EXPECT_TRUE(prepareAnalysisAudio(std::vector<float>(5000, 1e-10f), 44100).empty());
    EXPECT_TRUE(prepareAnalysisAudio({}, 48000).empty());
    EXPECT_FALSE(prepareAnalysisAudio(std::vector<float>(5000, 1e-9f), 44100).empty());
    EXPECT_THROW(prepareAnalysisAudio(std::vector<float>{1.0f}, 500), std::invalid_argument);
}

TEST(AnalysisAudio, PrepareCutsToTwoSecondsAfterNormalising) {
    std::vector<float> x(100000, 0.4f);
    for (size_t i = 0; i < 22; ++i) x[i] = 0.0f;
    x[95000] = 0.8f; // the peak lies past the cut
    const std::vector<float> y = prepareAnalysisAudio(x, 44100);
    ASSERT_EQ(y.size(), 88200u);
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_EQ(y[22], 0.5f);
    EXPECT_EQ(*std::max_element(y.begin(), y.end()), 0.5f);
}

TEST(AnalysisAudio, AlignToOnset) {
    struct Case {
        const char* what;
        std::vector<float> x;
        size_t wantSize;
        float wantFirst;
    };
    std::vector<float> late(300, 0.01f);
    late[100] = -0.2f;
    late[200] = 0.5f;
    std::vector<float> early(300, 0.0f);
    early[0] = 0.06f;
    early[10] = -0.5f;
    const std::vector<Case> cases = {
        {"first value reaches 10%", early, 300, 0.12f},
        {"first such value at 100 starts at 68", late, 232, 0.02f},
        {"empty", {}, 0, 0},
        {"silent", std::vector<float>(50, 0.0f), 0, 0},
    };
    for (const Case& c : cases) {
        const std::vector<float> y = alignToOnset(c.x);
        ASSERT_EQ(y.size(), c.wantSize) << c.what;
        if (!y.empty()) {
            EXPECT_NEAR(y[0], c.wantFirst, 1e-7) << c.what;
        }
    }
    // Scaled by the reciprocal of the copy's peak.
    const std::vector<float> y = alignToOnset(late);
    EXPECT_EQ(y[200 - 68], 0.5f * (1.0f / 0.5f));
    EXPECT_EQ(y[100 - 68], -0.2f * (1.0f / 0.5f));
}

TEST(AnalysisAudio, BlockPeakEnvelope) {
    std::vector<float> x(257, 0.25f);
    x[100] = -0.75f;
    x[256] = -0.125f;
    EXPECT_EQ(blockPeakEnvelope(x), (std::vector<float>{0.75f, 0.125f}));
    EXPECT_TRUE(blockPeakEnvelope({}).empty());
    EXPECT_EQ(blockPeakEnvelope(std::vector<float>(256, 0.5f)), std::vector<float>{0.5f});
}

} // namespace
} // namespace vt6::fmt
