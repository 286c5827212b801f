// The sample editor's edit maths: what the user hears and what applying
// writes are both defined here, so the cases pin values, not just shapes.

#include "editor/ui/sample_edit_state.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace vt6::ui::zemedit {
namespace {

// Interleaved audio with frame f, channel c = fn(f, c).
template <class Fn>
std::vector<float> makeAudio(int64_t frames, int32_t channels, Fn fn) {
    std::vector<float> a(static_cast<size_t>(frames * channels));
    for (int64_t f = 0; f < frames; ++f)
        for (int32_t c = 0; c < channels; ++c) a[static_cast<size_t>(f * channels + c)] = fn(f, c);
    return a;
}

InterleavedAudioView viewOf(const std::vector<float>& a, int32_t channels, int32_t rate = 44100) {
    return InterleavedAudioView::of(a, channels, rate);
}

SampleEditState region(int64_t start, int64_t end) {
    SampleEditState s;
    s.start = start;
    s.end = end;
    return s;
}

float at(const std::vector<float>& a, int32_t channels, int64_t f, int32_t c) {
    return a[static_cast<size_t>(f * channels + c)];
}

TEST(SampleEditStateEquality, EveryFieldCountsAndNanIsNeverEqual) {
    const SampleEditState base = region(10, 20);
    struct Case {
        const char* field;
        void (*change)(SampleEditState&);
    };
    const Case cases[] = {
        {"start", [](SampleEditState& s) { s.start = 11; }},
        {"end", [](SampleEditState& s) { s.end = 21; }},
        {"fadeInMs", [](SampleEditState& s) { s.fadeInMs = 0.1; }},
        {"fadeOutMs", [](SampleEditState& s) { s.fadeOutMs = 0.1; }},
        {"fadeShape", [](SampleEditState& s) { s.fadeShape = 1; }},
        {"gainDb", [](SampleEditState& s) { s.gainDb = -0.1; }},
        {"normalize", [](SampleEditState& s) { s.normalize = true; }},
        {"reverse", [](SampleEditState& s) { s.reverse = true; }},
        {"removeDc", [](SampleEditState& s) { s.removeDc = true; }},
        {"channelMode", [](SampleEditState& s) { s.channelMode = 2; }},
    };
    EXPECT_TRUE(base == region(10, 20));
    for (const auto& c : cases) {
        SampleEditState other = base;
        c.change(other);
        EXPECT_FALSE(base == other) << c.field;
        EXPECT_TRUE(base != other) << c.field;
    }
    SampleEditState a = base, b = base;
    a.gainDb = b.gainDb = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == a);
    // Signed zeros are the same number.
    a = base;
    b = base;
    a.fadeInMs = 0.0;
    b.fadeInMs = -0.0;
    EXPECT_TRUE(a == b);
}

TEST(SampleEditDeps, DefaultsAndFrameCount) {
    SampleEditorDeps d;
    EXPECT_EQ(d.channels, 1);
    EXPECT_EQ(d.sampleRate, 44100);
    EXPECT_EQ(d.bitDepth, 16);
    EXPECT_EQ(d.regionStart, 0);
    EXPECT_EQ(d.regionEnd, 0);
    EXPECT_EQ(d.previewRate, 44100.0);
    EXPECT_EQ(d.colour, 0u);
    EXPECT_FALSE(d.play || d.stop || d.playhead || d.apply || d.close);
    d.audio.assign(7, 0.5f);
    d.channels = 2;
    EXPECT_EQ(d.sourceFrames(), 3);  // a trailing partial frame is not audio
    EXPECT_EQ(d.sourceView().frames, 3);
    d.channels = 0;
    EXPECT_EQ(d.sourceFrames(), 0);
    EXPECT_EQ(d.sourceView().frames, 0);
    SampleEditorDeps moved = std::move(d);
    EXPECT_EQ(moved.audio.size(), 7u);
    static_assert(!std::is_copy_constructible_v<SampleEditorDeps>);
    static_assert(std::is_nothrow_move_constructible_v<SampleEditorDeps>);
}

TEST(SampleEditFades, CurveShapesAndClamping) {
    struct Case {
        uint8_t shape;
        double x;
        double want;
    };
    const double smoothQuarter = 0.5 - 0.5 * std::cos(std::numbers::pi * 0.25);
    const Case cases[] = {
        {0, 0.0, 0.0},  {0, 0.5, 0.5},  {0, 1.0, 1.0},  {0, 0.25, smoothQuarter},
        {1, 0.25, 0.25}, {1, 0.8, 0.8},  {2, 0.5, 0.25}, {2, 0.1, 0.01},
        {7, 0.25, smoothQuarter},  // unknown shapes behave as smooth
        {255, 0.5, 0.5},
        {1, -0.5, 0.0}, {1, 1.5, 1.0}, {2, 3.0, 1.0}, {0, -2.0, 0.0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(fadeCurve(c.shape, c.x), c.want, 1e-12) << int(c.shape) << " at " << c.x;
}

TEST(SampleEditFades, FactorsPerShape) {
    // 1000 Hz: 4 ms is 4 frames. Frame i of the fade-in gets curve((i+1)/5),
    // frame i of a 20-frame region in the fade-out gets curve((20-i)/5).
    struct Case {
        uint8_t shape;
        int64_t i;
        double want;
    };
    auto smooth = [](double x) { return 0.5 - 0.5 * std::cos(std::numbers::pi * x); };
    const Case cases[] = {
        {1, 0, 0.2},  {1, 3, 0.8},  {1, 4, 1.0},  {1, 19, 0.2}, {1, 16, 0.8}, {1, 15, 1.0},
        {2, 0, 0.04}, {2, 2, 0.36}, {2, 19, 0.04},
        {0, 0, smooth(0.2)}, {0, 19, smooth(0.2)}, {0, 10, 1.0},
        {1, -1, 0.0}, {1, 20, 0.0},  // outside the region
    };
    SampleEditState s = region(0, 20);
    s.fadeInMs = 4.0;
    s.fadeOutMs = 4.0;
    for (const auto& c : cases) {
        s.fadeShape = c.shape;
        EXPECT_NEAR(fadeGainAt(s, c.i, 20, 1000, 2.0), 2.0 * c.want, 1e-12) << int(c.shape) << " frame " << c.i;
    }
}

TEST(SampleEditFades, LongFadesMeetInTheMiddle) {
    // 2000 ms at 44.1 kHz is far more than a 100-frame region: each fade gets 50.
    SampleEditState s = region(0, 100);
    s.fadeInMs = 2000.0;
    s.fadeOutMs = 2000.0;
    s.fadeShape = 1;
    for (int64_t i = 0; i < 100; ++i) {
        const double want = i < 50 ? (i + 1) / 51.0 : (100 - i) / 51.0;
        EXPECT_NEAR(fadeGainAt(s, i, 100, 44100, 1.0), want, 1e-12) << i;
    }
    // Odd length: the middle frame is in neither fade.
    EXPECT_NEAR(fadeGainAt(s, 50, 101, 44100, 1.0), 1.0, 1e-12);
    // A one-frame region keeps the base gain whatever the fades.
    EXPECT_DOUBLE_EQ(fadeGainAt(s, 0, 1, 44100, 0.7), 0.7);
    EXPECT_EQ(fadeGainAt(s, 0, 0, 44100, 0.7), 0.0);
    // No fade when a fade rounds to no frame.
    s.fadeInMs = 0.01;
    s.fadeOutMs = 0.0;
    EXPECT_DOUBLE_EQ(fadeGainAt(s, 0, 100, 44100, 1.0), 1.0);
}

TEST(SampleEditGain, NormalizeToMinusPointThreeDb) {
    std::vector<float> a = makeAudio(100, 1, [](int64_t f, int32_t) { return f == 40 ? -0.5f : 0.01f; });
    SampleEditState s = region(0, 100);
    s.gainDb = 6.0;
    EXPECT_NEAR(editGain(s, viewOf(a, 1)), std::pow(10.0, 6.0 / 20.0), 1e-12);
    s.normalize = true;
    EXPECT_NEAR(editGain(s, viewOf(a, 1)), std::pow(10.0, -0.015) / 0.5, 1e-12);
    EXPECT_NEAR(editGain(s, viewOf(a, 1)), 1.9321, 5e-5);
    // The peak is taken inside the region only.
    s.start = 41;
    EXPECT_NEAR(editGain(s, viewOf(a, 1)), std::pow(10.0, -0.015) / 0.01f, 1e-6);
    // A silent region falls back to the gain in dB.
    std::vector<float> silent(100, 0.0f);
    EXPECT_NEAR(editGain(s, viewOf(silent, 1)), std::pow(10.0, 6.0 / 20.0), 1e-12);
}

TEST(SampleEditGain, NormalizeMeasuresAfterDcRemoval) {
    // A constant 0.25 offset with a 0.25 spike: DC removal takes the peak from
    // 0.5 to the spike less the mean.
    std::vector<float> a = makeAudio(10, 1, [](int64_t f, int32_t) { return f == 3 ? 0.5f : 0.25f; });
    SampleEditState s = region(0, 10);
    s.normalize = true;
    const double before = editGain(s, viewOf(a, 1));
    s.removeDc = true;
    const double mean = (0.5 + 9 * 0.25) / 10.0;
    const double after = editGain(s, viewOf(a, 1));
    EXPECT_NEAR(before, std::pow(10.0, -0.015) / 0.5, 1e-9);
    EXPECT_NEAR(after, std::pow(10.0, -0.015) / static_cast<float>(0.5 - mean), 1e-6);
}

TEST(SampleEditRender, ReverseMirrorsTheRegionOnce) {
    // Each frame holds its own index, so every output value names its source.
    std::vector<float> a = makeAudio(50, 2, [](int64_t f, int32_t c) { return float(f) + (c == 1 ? 0.5f : 0.0f); });
    const auto v = viewOf(a, 2);
    SampleEditState s = region(10, 30);
    s.reverse = true;
    const ChannelMeans m = channelMeans(s, v);
    const std::vector<float> out = renderSampleEdit(s, v);
    ASSERT_EQ(out.size(), 40u);
    EXPECT_EQ(at(out, 2, 0, 0), 29.0f);  // source frame end - 1
    EXPECT_EQ(at(out, 2, 0, 1), 29.5f);
    EXPECT_EQ(at(out, 2, 19, 0), 10.0f);  // source frame start
    // The waveform shows processed frame start + i at output frame i.
    for (int64_t i = 0; i < 20; ++i)
        for (int32_t c = 0; c < 2; ++c)
            EXPECT_EQ(at(out, 2, i, c), processedSampleAt(s, v, m, s.start + i, c)) << i;
    // Frames outside the region are never mirrored.
    EXPECT_EQ(processedSampleAt(s, v, m, 5, 0), 5.0f);
    EXPECT_EQ(processedSampleAt(s, v, m, 30, 0), 30.0f);
    // The whole-sample render puts the reversed region in place.
    const std::vector<float> whole = renderWholeSample(s, v);
    ASSERT_EQ(whole.size(), a.size());
    EXPECT_EQ(at(whole, 2, 10, 0), 29.0f);
    EXPECT_EQ(at(whole, 2, 29, 0), 10.0f);
    EXPECT_EQ(at(whole, 2, 9, 0), 9.0f);
    EXPECT_EQ(at(whole, 2, 30, 1), 30.5f);
}

TEST(SampleEditRender, RenderMatchesWhatTheWaveformDraws) {
    // Every processing switch at once, with fades and gain: the render is the
    // waveform's per-frame value times its fade factor, for every frame.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-0.8f, 0.6f);
    std::vector<float> a = makeAudio(3000, 2, [&](int64_t, int32_t) { return dist(rng) + 0.1f; });
    const auto v = viewOf(a, 2, 8000);
    for (uint8_t mode : {uint8_t{0}, uint8_t{1}, uint8_t{2}})
        for (bool rev : {false, true})
            for (bool dc : {false, true})
                for (bool norm : {false, true}) {
                    SampleEditState s = region(400, 2500);
                    s.reverse = rev;
                    s.removeDc = dc;
                    s.channelMode = mode;
                    s.normalize = norm;
                    s.gainDb = -4.5;
                    s.fadeInMs = 30.0;
                    s.fadeOutMs = 55.0;
                    s.fadeShape = 2;
                    const ChannelMeans m = channelMeans(s, v);
                    const double g = editGain(s, v);
                    const std::vector<float> out = renderSampleEdit(s, v);
                    const int64_t n = s.end - s.start;
                    ASSERT_EQ(out.size(), static_cast<size_t>(n * 2));
                    int bad = 0;
                    for (int64_t i = 0; i < n; ++i)
                        for (int32_t c = 0; c < 2; ++c) {
                            const auto want = static_cast<float>(
                                static_cast<double>(processedSampleAt(s, v, m, s.start + i, c)) *
                                fadeGainAt(s, i, n, 8000, g));
                            bad += at(out, 2, i, c) != want;
                        }
                    EXPECT_EQ(bad, 0) << "mode " << int(mode) << " reverse " << rev << " dc " << dc;
                }
}

TEST(SampleEditRender, ChannelModes) {
    // L = 0.2 + f/100, R = -0.4 + f/1000 on 10 frames.
    std::vector<float> st = makeAudio(10, 2, [](int64_t f, int32_t c) {
        return c == 0 ? 0.2f + float(f) / 100.0f : -0.4f + float(f) / 1000.0f;
    });
    const auto v = viewOf(st, 2);
    struct Case {
        const char* name;
        uint8_t mode;
        bool dc;
        int64_t frame;
        double wantL, wantR;
    };
    const double meanL = 0.2 + 4.5 / 100.0, meanR = -0.4 + 4.5 / 1000.0;
    const Case cases[] = {
        {"as recorded", 0, false, 3, 0.23, -0.397},
        {"swap", 1, false, 3, -0.397, 0.23},
        {"mono", 2, false, 3, (0.23 - 0.397) / 2, (0.23 - 0.397) / 2},
        {"dc", 0, true, 3, 0.23 - meanL, -0.397 - meanR},
        {"mono dc", 2, true, 3, ((0.23 - meanL) + (-0.397 - meanR)) / 2, ((0.23 - meanL) + (-0.397 - meanR)) / 2},
        {"swap dc", 1, true, 3, -0.397 - meanR, 0.23 - meanL},
    };
    for (const auto& c : cases) {
        SampleEditState s = region(0, 10);
        s.channelMode = c.mode;
        s.removeDc = c.dc;
        const std::vector<float> out = renderSampleEdit(s, v);
        ASSERT_EQ(out.size(), 20u) << c.name;  // mono sum keeps the channel count
        EXPECT_NEAR(at(out, 2, c.frame, 0), c.wantL, 1e-6) << c.name;
        EXPECT_NEAR(at(out, 2, c.frame, 1), c.wantR, 1e-6) << c.name;
    }
    // Swap and mono sum leave a mono source alone.
    std::vector<float> mono = makeAudio(10, 1, [](int64_t f, int32_t) { return float(f) / 10.0f; });
    for (uint8_t mode : {uint8_t{1}, uint8_t{2}}) {
        SampleEditState s = region(0, 10);
        s.channelMode = mode;
        EXPECT_EQ(renderSampleEdit(s, viewOf(mono, 1)), mono) << int(mode);
    }
    // With three channels, swap touches only the first two.
    std::vector<float> three = makeAudio(4, 3, [](int64_t f, int32_t c) { return float(c * 10 + f); });
    SampleEditState s = region(0, 4);
    s.channelMode = 1;
    const std::vector<float> out = renderSampleEdit(s, viewOf(three, 3));
    EXPECT_EQ(at(out, 3, 2, 0), 12.0f);
    EXPECT_EQ(at(out, 3, 2, 1), 2.0f);
    EXPECT_EQ(at(out, 3, 2, 2), 22.0f);
}

TEST(SampleEditRender, DcMeansCoverTheRegionAndEightChannels) {
    std::vector<float> ten = makeAudio(6, 10, [](int64_t f, int32_t c) { return f < 2 ? 5.0f : float(c) * 0.1f; });
    SampleEditState s = region(2, 6);
    s.removeDc = true;
    const auto v = viewOf(ten, 10);
    const ChannelMeans m = channelMeans(s, v);
    for (int c = 0; c < 8; ++c) EXPECT_NEAR(m[static_cast<size_t>(c)], c * 0.1, 1e-7) << c;  // frames 0-1 not counted
    const std::vector<float> out = renderSampleEdit(s, v);
    EXPECT_NEAR(at(out, 10, 0, 7), 0.0, 1e-7);
    EXPECT_NEAR(at(out, 10, 0, 8), 0.8, 1e-7);  // no mean kept beyond eight channels
    EXPECT_NEAR(at(out, 10, 0, 9), 0.9, 1e-7);
    // Without removeDc, or on an empty region, the table is zero.
    s.removeDc = false;
    EXPECT_EQ(channelMeans(s, v), ChannelMeans{});
    s.removeDc = true;
    s.start = s.end = 3;
    EXPECT_EQ(channelMeans(s, v), ChannelMeans{});
}

TEST(SampleEditRender, BoundsAndEmptyInput) {
    std::vector<float> a = makeAudio(10, 1, [](int64_t f, int32_t) { return float(f + 1); });
    const auto v = viewOf(a, 1);
    const ChannelMeans m{};
    struct Case {
        const char* name;
        int64_t start, end;
        size_t sampleSize, wholeSize;
    };
    const Case cases[] = {
        {"inside", 2, 5, 3, 10},      {"whole", 0, 10, 10, 10},     {"empty", 4, 4, 0, 0},
        {"backwards", 5, 4, 0, 0},    {"past end", 5, 12, 7, 0},    {"before start", -2, 3, 5, 0},
    };
    for (const auto& c : cases) {
        const SampleEditState s = region(c.start, c.end);
        EXPECT_EQ(renderSampleEdit(s, v).size(), c.sampleSize) << c.name;
        EXPECT_EQ(renderWholeSample(s, v).size(), c.wholeSize) << c.name;
    }
    // Frames outside the source render as silence.
    const std::vector<float> past = renderSampleEdit(region(8, 12), v);
    EXPECT_EQ(past, (std::vector<float>{9.0f, 10.0f, 0.0f, 0.0f}));
    EXPECT_EQ(processedSampleAt(region(0, 10), v, m, -1, 0), 0.0f);
    EXPECT_EQ(processedSampleAt(region(0, 10), v, m, 10, 0), 0.0f);
    EXPECT_EQ(processedSampleAt(region(0, 10), v, m, 3, 5), 4.0f);  // channel clamped
    const InterleavedAudioView none{};
    EXPECT_TRUE(renderSampleEdit(region(0, 1), none).empty());
    EXPECT_TRUE(renderWholeSample(region(0, 1), none).empty());
    EXPECT_EQ(processedSampleAt(region(0, 1), none, m, 0, 0), 0.0f);
    EXPECT_EQ(measurePeakRms(region(0, 1), none).peak, 0.0f);
    // A reversed region reaching past the source mirrors those frames to silence
    // instead of reading outside the buffer.
    SampleEditState wide = region(-2, 5);
    wide.reverse = true;
    EXPECT_EQ(renderSampleEdit(wide, v), (std::vector<float>{0.0f, 0.0f, 3.0f, 2.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(processedSampleAt(wide, v, m, 4, 0), 0.0f);
    EXPECT_EQ(processedSampleAt(wide, v, m, 0, 0), 3.0f);
    wide.normalize = true;
    EXPECT_NEAR(editGain(wide, v), std::pow(10.0, -0.015) / 3.0, 1e-9);
    // Audio outside the region stays raw in the whole render, gain included.
    SampleEditState g = region(3, 6);
    g.gainDb = 20.0;
    g.reverse = true;
    const std::vector<float> whole = renderWholeSample(g, v);
    EXPECT_EQ(whole[2], 3.0f);
    EXPECT_EQ(whole[6], 7.0f);
    EXPECT_NEAR(whole[3], 60.0, 1e-4);  // reversed: source frame 5 holds 6
    // Nothing is clipped.
    EXPECT_GT(whole[3], 1.0f);
}

TEST(SampleEditMeasure, PeakAndRmsOfTheProcessedRegion) {
    std::vector<float> a = makeAudio(8, 2, [](int64_t f, int32_t c) { return c == 0 ? (f % 2 ? 0.5f : -0.5f) : 0.0f; });
    const auto v = viewOf(a, 2);
    SampleEditState s = region(0, 8);
    s.gainDb = 12.0;  // gain and fades are not part of the measure
    s.fadeInMs = 1000.0;
    PeakRms r = measurePeakRms(s, v);
    EXPECT_FLOAT_EQ(r.peak, 0.5f);
    EXPECT_NEAR(r.rms, std::sqrt(8 * 0.25 / 16.0), 1e-12);
    s.channelMode = 2;  // mono sum halves it
    r = measurePeakRms(s, v);
    EXPECT_FLOAT_EQ(r.peak, 0.25f);
    EXPECT_NEAR(r.rms, 0.25, 1e-12);
    // Frames beyond the source count as silence in the mean.
    s = region(4, 12);
    r = measurePeakRms(s, v);
    EXPECT_NEAR(r.rms, std::sqrt(4 * 0.25 / 16.0), 1e-12);
    EXPECT_EQ(measurePeakRms(region(3, 3), v).rms, 0.0);
}

TEST(SampleEditTrim, FindTrimRegion) {
    struct Case {
        const char* name;
        int64_t loudA, loudB;  // loud frames (-1: none)
        double thresholdDb, leadMs, tailMs;
        int64_t wantStart, wantEnd;
    };
    // 44100 Hz, 1000 frames, 0.5 at the loud frames, 0.001 elsewhere.
    const Case cases[] = {
        {"silence", -1, -1, -20, 5, 10, 0, 1000},
        {"one frame, 10 ms tail", 200, -1, -20, 0, 10, 200, 200 + 1 + 441},
        {"tail capped at the end", 900, -1, -20, 0, 10, 900, 1000},
        {"lead-in", 200, 300, -20, 1, 0, 200 - 44, 301},
        {"lead-in past the start", 20, -1, -20, 1, 0, 0, 21},
        {"threshold equal to the sample", 10, 20, 20.0 * std::log10(0.5f), 0, 0, 10, 21},
        {"everything loud", 0, 999, -80, 0, 0, 0, 1000},
    };
    for (const auto& c : cases) {
        std::vector<float> a = makeAudio(1000, 1, [&](int64_t f, int32_t) {
            return (f == c.loudA || f == c.loudB) ? 0.5f : 0.001f;
        });
        const auto r = findTrimRegion(viewOf(a, 1), c.thresholdDb, c.leadMs, c.tailMs);
        EXPECT_EQ(r.first, c.wantStart) << c.name;
        EXPECT_EQ(r.second, c.wantEnd) << c.name;
    }
    // Any loud channel counts.
    std::vector<float> st = makeAudio(100, 2, [](int64_t f, int32_t c) { return c == 1 && f == 50 ? -0.9f : 0.0f; });
    const auto r = findTrimRegion(viewOf(st, 2), -6, 0, 0);
    EXPECT_EQ(r, (std::pair<int64_t, int64_t>{50, 51}));
    EXPECT_EQ(findTrimRegion(InterleavedAudioView{}, -60, 0, 10), (std::pair<int64_t, int64_t>{0, 0}));
}

TEST(SampleEditBounds, KeepInsideSource) {
    struct Case {
        int64_t start, end;
        double fadeIn, fadeOut;
        int64_t frames;
        int64_t wantStart, wantEnd;
        double wantIn, wantOut;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {10, 20, 5, 6, 100, 10, 20, 5, 6},          {-5, 20, -1, 3000, 100, 0, 20, 0, 2000},
        {150, 200, 0, 0, 100, 99, 100, 0, 0},       {40, 30, 0, 0, 100, 40, 41, 0, 0},
        {99, 99, 0, 0, 100, 99, 100, 0, 0},         {0, 0, nan, nan, 1, 0, 1, 0, 0},
        {5, 500, 0, 0, 100, 5, 100, 0, 0},
    };
    for (const auto& c : cases) {
        SampleEditState s = region(c.start, c.end);
        s.fadeInMs = c.fadeIn;
        s.fadeOutMs = c.fadeOut;
        s.gainDb = 99.0;  // left alone
        const SampleEditState k = keepInsideSource(s, c.frames);
        EXPECT_EQ(k.start, c.wantStart) << c.start << ".." << c.end;
        EXPECT_EQ(k.end, c.wantEnd) << c.start << ".." << c.end;
        EXPECT_EQ(k.fadeInMs, c.wantIn);
        EXPECT_EQ(k.fadeOutMs, c.wantOut);
        EXPECT_EQ(k.gainDb, 99.0);
    }
}

TEST(SampleEditRange, OnePassMatchesPerFrameValues) {
    // The per-pixel scan must give exactly the extremes of the per-frame values.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> a = makeAudio(5000, 3, [&](int64_t, int32_t) { return dist(rng); });
    const auto v = viewOf(a, 3);
    std::uniform_int_distribution<int64_t> pos(-50, 5050);
    SourceExtremes blocks;
    blocks.build(v);
    EXPECT_TRUE(blocks.builtFor(v));
    int mismatches = 0;
    for (int trial = 0; trial < 300; ++trial) {
        SampleEditState s;
        s.start = pos(rng) % 5000;
        if (s.start < 0) s.start = -s.start;
        s.end = s.start + 1 + (pos(rng) & 2047);
        s.reverse = trial % 2;
        s.removeDc = trial % 3 == 0;
        s.channelMode = static_cast<uint8_t>(trial % 4);
        const ChannelMeans m = channelMeans(s, v);
        int64_t f0 = pos(rng), f1 = f0 + (pos(rng) & 511);
        for (int32_t c = 0; c < 3; ++c) {
            const ProcessedRange r = processedRange(s, v, m, f0, f1, c);
            const ProcessedRange rb = processedRange(s, v, m, f0, f1, c, &blocks);
            mismatches += rb.any != r.any || rb.min != r.min || rb.max != r.max;
            float lo = 0, hi = 0;
            bool any = false;
            for (int64_t f = std::max<int64_t>(f0, 0); f < std::min<int64_t>(f1, 5000); ++f) {
                const float x = processedSampleAt(s, v, m, f, c);
                lo = any ? std::min(lo, x) : x;
                hi = any ? std::max(hi, x) : x;
                any = true;
            }
            mismatches += r.any != any || (any && (r.min != lo || r.max != hi));
        }
        // Normalising takes its peak in a quick pass too; it must be the measured one.
        s.normalize = true;
        const float peak = measurePeakRms(s, v).peak;
        if (peak > 1e-9f) mismatches += editGain(s, v) != std::pow(10.0, -0.015) / peak;
        mismatches += editGain(s, v, &blocks) != editGain(s, v);
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(SampleEditMeasure, QuickPassesAgreeWithTheDefinition) {
    // Peak and RMS straight from processedSampleAt, for mono, stereo and
    // three channels under every switch.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 0.9f);
    int bad = 0;
    for (int32_t ch : {1, 2, 3}) {
        std::vector<float> a = makeAudio(3000, ch, [&](int64_t, int32_t) { return dist(rng); });
        const auto v = viewOf(a, ch);
        for (int trial = 0; trial < 48; ++trial) {
            SampleEditState s = region(trial * 40, 1200 + trial * 50);  // the last ones reach past the end
            s.reverse = trial & 1;
            s.removeDc = trial & 2;
            s.channelMode = static_cast<uint8_t>((trial >> 2) % 3);
            const ChannelMeans m = channelMeans(s, v);
            float peak = 0.0f;
            double sum = 0.0;
            for (int64_t f = s.start; f < s.end; ++f)
                for (int32_t c = 0; c < ch; ++c) {
                    const float x = processedSampleAt(s, v, m, f, c);
                    peak = std::max(peak, std::fabs(x));
                    sum += static_cast<double>(x) * x;
                }
            const double rms = std::sqrt(sum / (static_cast<double>(s.end - s.start) * ch));
            const PeakRms got = measurePeakRms(s, v);
            bad += got.peak != peak || std::fabs(got.rms - rms) > 1e-12 * rms;
        }
    }
    EXPECT_EQ(bad, 0);
}

TEST(SampleEditMeasure, BlockSumsAgreeWithTheFrameByFrameMeasure) {
    // Regions that start and end inside, on and between blocks, under every
    // switch, on sources whose length is not a whole number of blocks and
    // which carry an offset (so DC removal matters).
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-0.7f, 0.9f);
    constexpr int64_t B = RegionMeter::kBlockFrames;
    const std::pair<int64_t, int64_t> regions[] = {
        {0, 20 * B + 17}, {3, 5}, {B - 1, B + 1}, {B, 2 * B}, {B + 7, 17 * B - 3}, {5 * B, 20 * B + 17}, {0, 1}};
    int bad = 0;
    for (int32_t ch : {1, 2, 3}) {
        std::vector<float> a = makeAudio(20 * B + 17, ch, [&](int64_t, int32_t c) { return 0.1f * c + dist(rng); });
        const auto v = viewOf(a, ch);
        RegionMeter meter;
        meter.build(v);
        ASSERT_TRUE(meter.builtFor(v));
        float peak = 0.0f;
        for (const float x : a) peak = std::max(peak, std::fabs(x));
        EXPECT_EQ(meter.sourcePeak(), peak);
        for (const auto& [start, end] : regions)
            for (int flags = 0; flags < 12; ++flags) {
                SampleEditState s = region(start, end);
                s.reverse = flags & 1;
                s.removeDc = flags & 2;
                s.channelMode = static_cast<uint8_t>(flags >> 2);
                const ChannelMeans want = channelMeans(s, v);
                const ChannelMeans got = meter.means(s, v);
                for (size_t k = 0; k < want.size(); ++k) bad += std::fabs(got[k] - want[k]) > 1e-12;
                const PeakRms exact = measurePeakRms(s, v);
                const PeakRms quick = meter.measure(s, v, want);
                // Plain channels give the very same peak; the channel sum's
                // offset is rounded in another order. The definition squares
                // each value after rounding it to float (about 1e-9 apart).
                const bool summed = s.channelMode == 2 && ch >= 2;
                bad += summed ? std::fabs(quick.peak - exact.peak) > 1e-6f : quick.peak != exact.peak;
                bad += std::fabs(quick.rms - exact.rms) > 1e-7 * std::max(exact.rms, 1e-9);
            }
    }
    EXPECT_EQ(bad, 0);
    // Built for one source only.
    std::vector<float> other(100, 0.5f);
    RegionMeter meter;
    meter.build(viewOf(other, 1));
    std::vector<float> another(100, 0.5f);
    EXPECT_FALSE(meter.builtFor(viewOf(another, 1)));
}

TEST(SampleEditZeroCrossing, NearestSignChangeOfTheChannelSum) {
    // Channel sums: + + + - - + + ...: crossings at frames 3 and 5.
    const float sums[] = {0.3f, 0.2f, 0.1f, -0.1f, -0.2f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f};
    std::vector<float> a = makeAudio(10, 2, [&](int64_t f, int32_t) { return sums[f] / 2; });
    const auto v = viewOf(a, 2);
    struct Case {
        int64_t frame, radius, want;
    };
    const Case cases[] = {{3, 0, 3}, {4, 1, 3}, {6, 1, 5}, {8, 1, 8}, {8, 3, 5}, {0, 2, 0}, {1, 2, 3}, {9, 20, 5}};
    for (const auto& c : cases) EXPECT_EQ(nearestZeroCrossing(v, c.frame, c.radius), c.want) << c.frame << " r" << c.radius;
    std::vector<float> one{0.5f};
    EXPECT_EQ(nearestZeroCrossing(viewOf(one, 1), 0, 5), 0);
}

}  // namespace
}  // namespace vt6::ui::zemedit
