#include "analysis/hit_level_measure.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vt6::fmt {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::vector<float> constant(size_t frames, float value, uint32_t channels = 1) {
    return std::vector<float>(frames * channels, value);
}

void expectRefused(const HitLevel& h) {
    EXPECT_TRUE(h.measured);
    EXPECT_FALSE(h.finite);
    EXPECT_FALSE(h.cancelled);
    EXPECT_EQ(h.level_db, -kInf);
}

TEST(HitLevelMeasure, ConstantHalfAmplitudeGivesQuarterPowerInEveryWindow) {
    const std::vector<float> audio = constant(4410, 0.5f);
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 0, 0);
    const double expected = 10.0 * std::log10(0.25);
    EXPECT_TRUE(h.measured);
    EXPECT_TRUE(h.finite);
    EXPECT_FALSE(h.cancelled);
    EXPECT_EQ(h.onset_frame, 0u);
    for (double w : h.window_db) EXPECT_NEAR(w, expected, 1e-9);
    EXPECT_NEAR(h.level_db, expected, 1e-9);
}

TEST(HitLevelMeasure, FullScaleAndTenthScale) {
    for (const auto& [amplitude, db] : {std::pair{1.0f, 0.0}, std::pair{0.1f, -20.0}}) {
        const std::vector<float> audio = constant(44100 / 10, amplitude, 2);
        const HitLevel h = measureHitLevel(audio, 2, 44100.0, 0, 0);
        EXPECT_NEAR(h.level_db, db, 1e-6) << amplitude;
        for (double w : h.window_db) EXPECT_NEAR(w, db, 1e-6);
    }
}

TEST(HitLevelMeasure, FramePowerIsTheMeanOverChannels) {
    std::vector<float> audio;
    for (int i = 0; i < 4410; ++i) audio.insert(audio.end(), {1.0f, 0.0f});
    const HitLevel h = measureHitLevel(audio, 2, 44100.0, 0, 0);
    EXPECT_NEAR(h.level_db, 10.0 * std::log10(0.5), 1e-9);
}

struct RefusalCase {
    const char* what;
    std::vector<float> audio;
    uint32_t channels;
    double rate;
    uint64_t start;
    uint64_t end;
};

TEST(HitLevelMeasure, RefusalsLeaveMeasuredButNoLevel) {
    const std::vector<float> good = constant(1000, 0.5f);
    std::vector<float> withNan = good;
    withNan[500] = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> withInf = good;
    withInf[10] = std::numeric_limits<float>::infinity();
    const std::vector<RefusalCase> cases = {
        {"no channels", good, 0, 44100.0, 0, 0},
        {"empty buffer", {}, 1, 44100.0, 0, 0},
        {"count not a multiple of channels", constant(3, 0.5f), 2, 44100.0, 0, 0},
        {"rate below 1000", good, 1, 999.9, 0, 0},
        {"rate above 768000", good, 1, 768000.1, 0, 0},
        {"NaN rate", good, 1, kNan, 0, 0},
        {"infinite rate", good, 1, kInf, 0, 0},
        {"end past the buffer", good, 1, 44100.0, 0, 1001},
        {"start at the end", good, 1, 44100.0, 1000, 0},
        {"start past end", good, 1, 44100.0, 600, 500},
        {"silence", constant(1000, 0.0f), 1, 44100.0, 0, 0},
        {"power at the floor", constant(1000, 1e-6f), 1, 44100.0, 0, 0},
        {"NaN sample", withNan, 1, 44100.0, 0, 0},
        {"infinite sample", withInf, 1, 44100.0, 0, 0},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        const HitLevel h = measureHitLevel(c.audio, c.channels, c.rate, c.start, c.end);
        expectRefused(h);
        EXPECT_EQ(h.onset_frame, 0u);
    }
}

TEST(HitLevelMeasure, RateBoundsAreAccepted) {
    const std::vector<float> audio = constant(1000, 0.5f);
    EXPECT_TRUE(measureHitLevel(audio, 1, 1000.0, 0, 0).finite);
    EXPECT_TRUE(measureHitLevel(audio, 1, 768000.0, 0, 0).finite);
}

TEST(HitLevelMeasure, NanOutsideTheRegionIsNotRead) {
    std::vector<float> audio = constant(2000, 0.5f);
    audio[1500] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(measureHitLevel(audio, 1, 44100.0, 0, 1000).finite);
}

TEST(HitLevelMeasure, OnsetIsAbsoluteWithinTheBuffer) {
    std::vector<float> audio(4000, 0.0f);
    for (size_t i = 1500; i < audio.size(); ++i) audio[i] = 0.5f;
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 1000, 2000);
    EXPECT_TRUE(h.finite);
    EXPECT_EQ(h.onset_frame, 1500u);
}

TEST(HitLevelMeasure, OnsetNearTheEndDividesShortWindowsByTheirFullLength) {
    // 20 ms of audio: the 25 and 50 ms windows only see 882 frames.
    const std::vector<float> audio = constant(882, 0.5f);
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 0, 0);
    EXPECT_NEAR(h.window_db[0], 10.0 * std::log10(0.25), 1e-9);
    EXPECT_NEAR(h.window_db[1], 10.0 * std::log10(0.25 * 882 / 1103), 1e-9);
    EXPECT_NEAR(h.window_db[2], 10.0 * std::log10(0.25 * 882 / 2205), 1e-9);
    EXPECT_NEAR(h.level_db, ((2 * h.window_db[1] + h.window_db[0]) + h.window_db[2]) * 0.25, 1e-12);
}

TEST(HitLevelMeasure, TwentyFiveMillisecondsAt44100Is1103Frames) {
    std::vector<float> audio(1102, 1.0f);
    audio.resize(6000, 0.0f);
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 0, 0);
    EXPECT_NEAR(h.window_db[1], 10.0 * std::log10(1102.0 / 1103.0), 1e-9);
}

TEST(HitLevelMeasure, RegionShorterThanOneMillisecondStillMeasures) {
    const std::vector<float> audio = constant(10, 1.0f);
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 0, 0);
    EXPECT_TRUE(h.finite);
    EXPECT_NEAR(h.window_db[0], 10.0 * std::log10(10.0 / 441.0), 1e-9);
}

TEST(HitLevelMeasure, CancelAtOnceMeasuresNothing) {
    const std::vector<float> audio = constant(4410, 0.5f);
    const HitLevel h = measureHitLevel(audio, 1, 44100.0, 0, 0, [] { return true; });
    EXPECT_TRUE(h.cancelled);
    EXPECT_FALSE(h.measured);
    EXPECT_FALSE(h.finite);
    EXPECT_EQ(h.level_db, -kInf);
}

TEST(HitLevelMeasure, CancelPollsEvery2048FramesAndAtTheEnd) {
    const std::vector<float> audio = constant(10000, 0.5f);
    int polls = 0;
    measureHitLevel(audio, 1, 44100.0, 0, 0, [&] { return ++polls < 0; });
    // Once first, peak scan at 0, 2048, ..., 8192 (5), onset at frame 0 (no
    // poll after a qualifying frame), window scan over 5292 frames (3), last.
    EXPECT_EQ(polls, 1 + 5 + 3 + 1);

    int calls = 0;
    const HitLevel atEnd = measureHitLevel(audio, 1, 44100.0, 0, 0, [&] { return ++calls == polls; });
    EXPECT_TRUE(atEnd.cancelled);
    EXPECT_FALSE(atEnd.measured);
    EXPECT_FALSE(atEnd.finite);
    EXPECT_NEAR(atEnd.level_db, 10.0 * std::log10(0.25), 1e-9);

    calls = 0;
    const HitLevel midway = measureHitLevel(audio, 1, 44100.0, 0, 0, [&] { return ++calls == 3; });
    EXPECT_TRUE(midway.cancelled);
    EXPECT_FALSE(midway.measured);
    EXPECT_EQ(midway.level_db, -kInf);
}

} // namespace
} // namespace vt6::fmt
