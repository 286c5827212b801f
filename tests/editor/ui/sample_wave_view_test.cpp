// The sample editor's waveform and overview, driven through their own
// handlers against a plain host that records what the views ask of it.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "editor/ui/sample_wave_view.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {
namespace {

juce::MouseEvent mouseAt(juce::Component& c, juce::Point<float> p, juce::Point<float> down,
                         juce::ModifierKeys mods = juce::ModifierKeys::leftButtonModifier, int clicks = 1) {
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), p, mods,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now, down, now,
                            clicks, false);
}

// What the sample editor gives its views, as plain fields; the view window
// obeys the editor's limits so that gestures see the same numbers.
struct Host : SampleViewHost {
    std::vector<float> audio;
    int32_t channels = 1;
    int32_t rate = 1000;
    SampleEditState state;
    ChannelMeans means{};
    double start = 0.0, length = 1.0;
    int64_t playhead = -1;
    bool snap = false;
    int32_t lastHandle = -1;
    int liveChanges = 0, focus = 0;
    std::vector<std::pair<SampleEditState, std::string>> steps;
    std::vector<std::pair<double, double>> zooms;

    InterleavedAudioView sourceView() const override { return InterleavedAudioView::of(audio, channels, rate); }
    const SampleEditState& editState() const override { return state; }
    const ChannelMeans& meanTable() const override { return means; }
    juce::Colour audioColour() const override { return juce::Colour(0xff40c0a0); }
    double windowStart() const override { return start; }
    double windowLength() const override { return length; }
    int64_t shownPlayheadFrame() const override { return playhead; }
    bool snapOn() const override { return snap; }
    void setLiveState(const SampleEditState& s) override {
        state = s;
        means = channelMeans(state, sourceView());
        ++liveChanges;
    }
    void recordStep(const SampleEditState& after, const juce::String& name) override {
        if (after == state) return;
        steps.emplace_back(after, name.toStdString());
        state = after;
        means = channelMeans(state, sourceView());
    }
    void moveView(double s, double l) override {
        const double frames = static_cast<double>(sourceView().frames);
        l = std::min(l, std::max(frames, 1.0));
        start = std::clamp(s, 0.0, std::max(0.0, frames - l));
        length = l;
    }
    void zoomView(double factor, double anchor) override { zooms.emplace_back(factor, anchor); }
    void setLastHandle(int32_t h) override { lastHandle = h; }
    void takeFocus() override { ++focus; }

    void fill(int64_t frames, int32_t ch, float (*fn)(int64_t, int32_t)) {
        channels = ch;
        audio.resize(static_cast<size_t>(frames * ch));
        for (int64_t f = 0; f < frames; ++f)
            for (int32_t c = 0; c < ch; ++c) audio[static_cast<size_t>(f * ch + c)] = fn(f, c);
        state.start = 0;
        state.end = frames;
        start = 0.0;
        length = static_cast<double>(frames);
        means = channelMeans(state, sourceView());
    }
};

juce::Image snapshot(juce::Component& c) {
    juce::Image image(juce::Image::ARGB, c.getWidth(), c.getHeight(), true);
    juce::Graphics g(image);
    c.paintEntireComponent(g, false);
    return image;
}

int differingPixels(const juce::Image& a, const juce::Image& b) {
    int n = 0;
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x) n += a.getPixelAt(x, y) != b.getPixelAt(x, y);
    return n;
}

// Pixels in the rectangle that differ from its top-left pixel.
int marksIn(const juce::Image& image, juce::Rectangle<int> r) {
    const juce::Colour ground = image.getPixelAt(r.getX(), r.getY());
    int n = 0;
    for (int y = r.getY(); y < r.getBottom(); ++y)
        for (int x = r.getX(); x < r.getRight(); ++x) n += image.getPixelAt(x, y) != ground;
    return n;
}

float sine(int64_t f, int32_t c) { return 0.8f * std::sin(0.05f * static_cast<float>(f) + 0.7f * c); }
float silent(int64_t, int32_t) { return 0.0f; }

struct WaveFixture : ::testing::Test {
    Host host;
    SampleWaveView wave{host};
    void SetUp() override {
        host.fill(1000, 1, sine);
        wave.setBounds(0, 0, 1000, 226);
    }
    void drag(juce::Point<float> from, juce::Point<float> to, juce::ModifierKeys extra = {}) {
        const auto held = juce::ModifierKeys(juce::ModifierKeys::leftButtonModifier | extra.getRawFlags());
        wave.mouseDown(mouseAt(wave, from, from, held));
        wave.mouseDrag(mouseAt(wave, to, from, held));
        wave.mouseUp(mouseAt(wave, to, from, extra));
    }
};

TEST_F(WaveFixture, TargetsStartWinsTiesAndTabsLiveOnTheRuler) {
    host.state.start = 500;
    host.state.end = 508;  // handles 8 px apart
    host.state.fadeInMs = 100;   // tab at frame 600, x 600
    host.state.fadeOutMs = 100;  // capped to the region: tab at frame 500
    struct Case {
        float x, y;
        int32_t want;
    };
    const Case cases[] = {
        {504, 100, SampleWaveView::StartHandle},  // equal distance: the start handle
        {505, 100, SampleWaveView::EndHandle},    // end strictly nearer
        {493, 100, SampleWaveView::StartHandle},  {492, 100, SampleWaveView::Pan},
        {515, 100, SampleWaveView::EndHandle},    {516, 100, SampleWaveView::Pan},
        {300, 100, SampleWaveView::Pan},
        {505, 18, SampleWaveView::EndHandle},     // y 18 is the wave area
        {600, 5, SampleWaveView::Pan},            // fade-in tab sits at min(start + fi, end) = 508
        {508, 5, SampleWaveView::FadeInTab},      {500, 5, SampleWaveView::FadeOutTab},
    };
    for (const auto& c : cases) EXPECT_EQ(wave.targetAt(c.x, c.y), c.want) << c.x << "," << c.y;
    host.state.end = 900;
    host.state.fadeInMs = 100;
    host.state.fadeOutMs = 50;
    EXPECT_EQ(wave.targetAt(600, 5), SampleWaveView::FadeInTab);
    EXPECT_EQ(wave.targetAt(850, 5), SampleWaveView::FadeOutTab);
    EXPECT_EQ(wave.targetAt(700, 5), SampleWaveView::Pan);
}

TEST_F(WaveFixture, FadeTabsStayOnScreen) {
    EXPECT_FLOAT_EQ(wave.fadeTabX(0, 1000.0f), 14.0f);
    EXPECT_FLOAT_EQ(wave.fadeTabX(1000, 1000.0f), 986.0f);
    EXPECT_FLOAT_EQ(wave.fadeTabX(400, 1000.0f), 400.0f);
    host.start = 100;
    EXPECT_FLOAT_EQ(wave.fadeTabX(50, 1000.0f), -50.0f);  // off screen stays off screen
}

TEST(SampleWaveRuler, StepsAndLabels) {
    struct Step {
        double msPerPixel, want;
    };
    const Step steps[] = {{0.0001, 0.05}, {0.001, 0.1}, {0.002, 0.2}, {1.0, 100},
                          {1.0 / 0.72, 100}, {1.4, 200}, {10.0, 1000}, {100.0, 10000}, {1000.0, 10000}};
    for (const auto& c : steps) EXPECT_DOUBLE_EQ(SampleWaveView::rulerMajorStepMs(c.msPerPixel), c.want) << c.msPerPixel;
    struct Label {
        double t, major;
        const char* want;
    };
    const Label labels[] = {{0, 100, "0 ms"},          {250, 50, "250 ms"},      {0.2, 0.1, "0.20 ms"},
                            {271, 0.2, "271.00 ms"},   {1500, 500, "1.50 s"},    {2000, 1000, "2 s"},
                            {1000, 200, "1.00 s"},     {60000, 10000, "60 s"}};
    for (const auto& c : labels)
        EXPECT_EQ(SampleWaveView::rulerLabel(c.t, c.major).toStdString(), c.want) << c.t;

    // Deep in a long sample neighbouring labels still differ.
    for (const double major : {0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0}) {
        for (int i = 0; i < 5; ++i) {
            const double t = 2760.0 + i * major;
            EXPECT_NE(SampleWaveView::rulerLabel(t, major), SampleWaveView::rulerLabel(t + major, major))
                << t << " step " << major;
        }
    }
}

TEST_F(WaveFixture, HandleDragIsOneTrimStep) {
    host.state.start = 100;
    host.state.end = 900;
    drag({100, 100}, {250, 100});
    ASSERT_EQ(host.steps.size(), 1u);
    EXPECT_EQ(host.steps[0].second, "Trim");
    EXPECT_EQ(host.steps[0].first.start, 250);
    EXPECT_EQ(host.state.start, 250);
    EXPECT_EQ(host.lastHandle, 0);
    EXPECT_GE(host.focus, 1);
    // A drag that ends where it began leaves no step.
    drag({250, 100}, {250, 100});
    EXPECT_EQ(host.steps.size(), 1u);
    // Past the end handle the start stops one frame before it.
    drag({250, 100}, {990, 100});
    ASSERT_EQ(host.steps.size(), 2u);
    EXPECT_EQ(host.state.start, 899);
    EXPECT_EQ(host.state.end, 900);
    // The end handle (strictly nearer now) cannot pass the start either.
    drag({905, 100}, {100, 100});
    EXPECT_EQ(host.lastHandle, 1);
    EXPECT_EQ(host.state.end, 900);  // start 899 + 1: nothing changed, no step
    EXPECT_EQ(host.steps.size(), 2u);
}

TEST_F(WaveFixture, FadeTabDragIsOneFadeStepAndStopsAtZero) {
    host.state.start = 100;
    host.state.end = 900;
    drag({100, 5}, {300, 5});  // both tabs sit at 100 and 900: fade-in tab
    ASSERT_EQ(host.steps.size(), 1u);
    EXPECT_EQ(host.steps[0].second, "Fade");
    EXPECT_DOUBLE_EQ(host.state.fadeInMs, 200.0);  // 200 frames at 1000 Hz
    drag({300, 5}, {20, 5});
    EXPECT_DOUBLE_EQ(host.state.fadeInMs, 0.0);
    drag({900, 5}, {860, 5});
    EXPECT_DOUBLE_EQ(host.state.fadeOutMs, 40.0);
    // Fades are kept to 2000 ms.
    host.rate = 100;
    drag({100, 5}, {900, 5});
    EXPECT_DOUBLE_EQ(host.state.fadeInMs, 2000.0);
}

TEST_F(WaveFixture, SnapAndShiftInvertEachOther) {
    // Zero crossings (sign changes of the sum) at every 10th frame.
    host.fill(1000, 1, [](int64_t f, int32_t) { return (f / 10) % 2 ? -0.5f : 0.5f; });
    host.rate = 1000000;  // a wide radius: 2 frames per pixel bound it, here 2
    wave.setBounds(0, 0, 500, 226);  // 2 frames per pixel: radius 4
    host.state.start = 0;
    host.state.end = 1000;
    struct Case {
        bool snap, shift;
        int64_t want;
    };
    const Case cases[] = {{true, false, 160}, {true, true, 162}, {false, true, 160}, {false, false, 162}};
    for (const auto& c : cases) {
        host.snap = c.snap;
        host.state.start = 0;
        host.steps.clear();
        drag({0, 100}, {81, 100}, c.shift ? juce::ModifierKeys::shiftModifier : 0);
        EXPECT_EQ(host.state.start, c.want) << "snap " << c.snap << " shift " << c.shift;
    }
}

TEST_F(WaveFixture, PanDoubleClickWheelAndPinch) {
    host.start = 200;
    host.length = 500;  // 0.5 frames per pixel
    drag({500, 100}, {400, 100});
    EXPECT_DOUBLE_EQ(host.start, 250.0);  // the picture follows the pointer
    EXPECT_TRUE(host.steps.empty());
    wave.mouseDoubleClick(mouseAt(wave, {500, 100}, {500, 100}, {}, 2));
    EXPECT_DOUBLE_EQ(host.start, 0.0);
    EXPECT_DOUBLE_EQ(host.length, 1000.0);
    host.length = 400;
    juce::MouseWheelDetails w{};
    w.deltaY = 0.5f;
    wave.mouseWheelMove(mouseAt(wave, {250, 100}, {250, 100}, {}), w);
    ASSERT_EQ(host.zooms.size(), 1u);
    EXPECT_NEAR(host.zooms[0].first, std::pow(2.0, 1.5), 1e-9);
    EXPECT_NEAR(host.zooms[0].second, 100.0, 1e-9);
    // Shift turns the vertical wheel into panning.
    wave.mouseWheelMove(mouseAt(wave, {250, 100}, {250, 100}, juce::ModifierKeys::shiftModifier), w);
    EXPECT_EQ(host.zooms.size(), 1u);
    EXPECT_DOUBLE_EQ(host.start, 0.0);  // panned left, held at 0
    host.start = 500;
    w.deltaY = -0.25f;
    wave.mouseWheelMove(mouseAt(wave, {250, 100}, {250, 100}, juce::ModifierKeys::shiftModifier), w);
    EXPECT_DOUBLE_EQ(host.start, 550.0);
    // X11 never sends a pinch; the handler itself zooms about the pointer.
    wave.mouseMagnify(mouseAt(wave, {500, 100}, {500, 100}, {}), 2.0f);
    ASSERT_EQ(host.zooms.size(), 2u);
    EXPECT_DOUBLE_EQ(host.zooms[1].first, 2.0);
    EXPECT_DOUBLE_EQ(host.zooms[1].second, 550.0 + 200.0);
}

TEST_F(WaveFixture, RowLabelsOnlyWithTwoOrMoreChannels) {
    host.fill(1000, 1, silent);
    const juce::Rectangle<int> labelArea(6, 24, 20, 12);
    EXPECT_EQ(marksIn(snapshot(wave), labelArea), 0);
    host.fill(1000, 2, silent);
    EXPECT_GT(marksIn(snapshot(wave), labelArea), 0);
}

TEST_F(WaveFixture, DotsOnlyBeyondFivePixelsPerFrame) {
    host.fill(1000, 1, [](int64_t, int32_t) { return 0.5f; });
    // One row: L = 200, centre y = 122, A = 94; the line sits at y = 75.
    const auto dotPixels = [&](double length) {
        host.start = 100;
        host.length = length;
        const juce::Image img = snapshot(wave);
        const double perFrame = 1000.0 / length;
        int n = 0;
        // Just below the line under each frame's point: only a dot paints there.
        for (int64_t f = 101; f < 100 + static_cast<int64_t>(length) - 1; ++f) {
            const int x = static_cast<int>(std::lround((f - 100) * perFrame));
            n += img.getPixelAt(x, 76) != img.getPixelAt(x, 90);
        }
        return n;
    };
    EXPECT_GT(dotPixels(100.0), 50);  // 10 px per frame
    EXPECT_EQ(dotPixels(400.0), 0);   // 2.5 px per frame: the line only
}

TEST_F(WaveFixture, KeptPeaksPaintTheSamePixelsAsAFreshScan) {
    // A rising envelope, so that reversal changes the picture; hundreds of
    // frames per pixel, so columns are read block-wise.
    host.fill(400000, 2, [](int64_t f, int32_t c) { return sine(f, c) * static_cast<float>(f) / 400000.0f + 0.05f; });
    wave.setBounds(0, 0, 640, 200);
    SampleWaveView fresh{host};
    fresh.setBounds(wave.getBounds());
    fresh.peaks.cachingEnabled = false;
    const auto same = [&](const char* what) {
        EXPECT_EQ(differingPixels(snapshot(wave), snapshot(fresh)), 0) << what;
    };
    same("first paint");
    host.state.start = 30000;
    host.state.end = 300000;
    same("trim");
    host.state.fadeInMs = 900;
    host.state.gainDb = 9;
    same("fades and gain");
    host.state.removeDc = true;
    host.means = channelMeans(host.state, host.sourceView());
    same("dc");
    host.state.reverse = true;  // the only change: the region's place is already part of the key
    same("reverse");
    host.state.normalize = true;
    same("normalize");
    host.state.start = 40000;
    host.means = channelMeans(host.state, host.sourceView());
    same("dc after a trim");
    host.state.channelMode = 2;
    same("mono");
    host.start = 10000;
    host.length = 90000;
    same("view moved");
    host.playhead = 50000;
    same("playhead");

    SampleOverview overview{host}, freshOverview{host};
    overview.setBounds(0, 0, 640, 48);
    freshOverview.setBounds(0, 0, 640, 48);
    freshOverview.peaks.cachingEnabled = false;
    EXPECT_EQ(differingPixels(snapshot(overview), snapshot(freshOverview)), 0);
    host.state.channelMode = 1;
    host.state.reverse = false;
    host.state.gainDb = -3;
    host.state.normalize = false;
    EXPECT_EQ(differingPixels(snapshot(overview), snapshot(freshOverview)), 0);
}

TEST_F(WaveFixture, PlayheadDrawnOnlyWhilePlaying) {
    host.fill(1000, 1, silent);
    host.state.start = 0;
    host.state.end = 1000;
    const juce::Image idle = snapshot(wave);
    host.playhead = 700;
    const juce::Image playing = snapshot(wave);
    EXPECT_NE(idle.getPixelAt(700, 100), playing.getPixelAt(700, 100));
    EXPECT_EQ(idle.getPixelAt(700, 100), idle.getPixelAt(600, 100));
    host.playhead = 2000;  // outside the view: nothing
    EXPECT_EQ(differingPixels(idle, snapshot(wave)), 0);
}

TEST_F(WaveFixture, ClippingTicksInDanger) {
    host.fill(1000, 1, [](int64_t, int32_t) { return 0.9f; });
    const juce::Colour danger = Theme::instance().colour(ThemeColour::danger);
    // One row: centre 122, A = 94: ticks at 26..28.
    EXPECT_NE(snapshot(wave).getPixelAt(300, 27), danger);
    host.state.gainDb = 6;
    EXPECT_EQ(snapshot(wave).getPixelAt(300, 27), danger);
}

struct OverviewFixture : ::testing::Test {
    Host host;
    SampleOverview overview{host};
    void SetUp() override {
        host.fill(10000, 1, sine);
        overview.setBounds(0, 0, 1000, 48);
        host.start = 2000;
        host.length = 1000;  // window at x 200..300
    }
};

TEST_F(OverviewFixture, ClickOutsideCentresInsideKeepsAndDragScales) {
    overview.mouseDown(mouseAt(overview, {250, 20}, {250, 20}));
    EXPECT_DOUBLE_EQ(host.start, 2000.0);
    overview.mouseDrag(mouseAt(overview, {290, 20}, {250, 20}));
    EXPECT_DOUBLE_EQ(host.start, 2400.0);  // 40 px of a 10000-frame strip
    overview.mouseDown(mouseAt(overview, {700, 20}, {700, 20}));
    EXPECT_DOUBLE_EQ(host.start, 6500.0);  // centred on frame 7000
    EXPECT_DOUBLE_EQ(host.length, 1000.0);
    EXPECT_EQ(host.focus, 2);
    juce::MouseWheelDetails w{};
    w.deltaY = -0.5f;
    overview.mouseWheelMove(mouseAt(overview, {100, 20}, {100, 20}, juce::ModifierKeys::shiftModifier), w);
    ASSERT_EQ(host.zooms.size(), 1u);  // always a zoom, Shift or not
    EXPECT_NEAR(host.zooms[0].first, std::pow(2.0, -1.5), 1e-9);
    EXPECT_DOUBLE_EQ(host.zooms[0].second, 1000.0);
}

TEST_F(OverviewFixture, WindowOutlinedOnlyWhenItDoesNotCoverTheStrip) {
    host.fill(10000, 1, silent);
    host.start = 2000;
    host.length = 1000;
    const juce::Image part = snapshot(overview);
    // The outline's left edge at x 200 stands out from the dimmed strip
    // before it and the clear window after it.
    EXPECT_NE(part.getPixelAt(200, 24), part.getPixelAt(150, 24));
    EXPECT_NE(part.getPixelAt(200, 24), part.getPixelAt(250, 24));
    EXPECT_NE(part.getPixelAt(150, 24), part.getPixelAt(250, 24));
    host.start = 0;
    host.length = 10000;
    const juce::Image whole = snapshot(overview);
    EXPECT_EQ(marksIn(whole, {12, 4, 976, 40}), 0);
}

}  // namespace
}  // namespace vt6::ui::zemedit
