#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "editor/ui/sample_editor.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

// Reaches the editor's private children.
class SampleEditorTestAccess {
public:
    explicit SampleEditorTestAccess(SampleEditor& e) : e_(e) {}
    juce::Label& info() { return e_.infoLabel; }
    juce::Label& name() { return e_.nameLabel; }
    juce::Label& stats() { return e_.statsLabel; }
    juce::Label& hint() { return e_.hintLabel; }
    juce::Label& fadeIn() { return e_.fadeInField; }
    juce::Label& fadeOut() { return e_.fadeOutField; }
    juce::Label& gain() { return e_.gainField; }
    juce::Label& threshold() { return e_.thresholdField; }
    widgets::V6HSlider& gainSlider() { return e_.gainSlider; }
    widgets::V6SegmentGroup& shape() { return e_.shapeSelector; }
    widgets::V6Button& button(const juce::String& text) {
        for (auto* b : {&e_.doneButton, &e_.loopButton, &e_.allButton, &e_.autoTrimButton, &e_.trimSilenceButton,
                        &e_.snapButton, &e_.processButton, &e_.normalizeButton, &e_.fitButton, &e_.trimButton})
            if (b->getButtonText() == text) return *b;
        throw std::runtime_error("no button " + text.toStdString());
    }
    widgets::V6IconButton& play() { return e_.playButton; }
    widgets::V6IconButton& stop() { return e_.stopButton; }
    widgets::V6IconButton& close() { return e_.closeButton; }
    widgets::V6IconButton& zoomIn() { return e_.zoomInButton; }
    widgets::V6IconButton& zoomOut() { return e_.zoomOutButton; }
    juce::Label& title() { return e_.titleLabel; }
    // Types into a value field as the user does: the editor, then return.
    void type(juce::Label& field, const juce::String& text) {
        field.showEditor();
        auto* editor = field.getCurrentTextEditor();
        ASSERT_NE(editor, nullptr);
        editor->setText(text, false);
        field.hideEditor(false);
    }

private:
    SampleEditor& e_;
};

namespace {

using test::pumpUntil;

const juce::String kMinus = juce::String::fromUTF8("\xe2\x88\x92");

// What the editor asked of its host.
struct HostLog {
    int plays = 0, stops = 0, closes = 0, applies = 0;
    std::vector<float> played;
    int playedChannels = 0;
    std::vector<float> applied;
    int64_t appliedStart = -1, appliedEnd = -1;
    bool applyAnswer = true;
    SampleEditorDeps::Playhead playhead;
};

std::vector<float> ramp(int64_t frames, int channels) {
    std::vector<float> audio(static_cast<size_t>(frames * channels));
    for (int64_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
            audio[static_cast<size_t>(f * channels + c)] =
                0.5f * std::sin(0.05f * static_cast<float>(f)) * (c == 0 ? 1.0f : -0.5f);
    return audio;
}

SampleEditorDeps makeDeps(HostLog& log, std::vector<float> audio, int channels = 1, int rate = 44100,
                          bool withPlayhead = false) {
    SampleEditorDeps d;
    d.name = "Snare 3";
    d.groupName = "Soft";
    d.colour = 0xff40c0ff;
    d.audio = std::move(audio);
    d.channels = channels;
    d.sampleRate = rate;
    d.play = [&log](std::span<const float> s, int ch, int) {
        ++log.plays;
        log.played.assign(s.begin(), s.end());
        log.playedChannels = ch;
    };
    d.stop = [&log] { ++log.stops; };
    if (withPlayhead) d.playhead = [&log] { return log.playhead; };
    d.apply = [&log](std::vector<float> a, int, int, int64_t start, int64_t end) {
        ++log.applies;
        log.applied = std::move(a);
        log.appliedStart = start;
        log.appliedEnd = end;
        return log.applyAnswer;
    };
    d.close = [&log] { ++log.closes; };
    return d;
}

// Records every message box and menu and holds the last answer callback.
struct Seams {
    struct Box {
        juce::String title, message;
        juce::StringArray buttons;
        std::function<void(int)> answer;
    };
    std::vector<Box> boxes;
    juce::PopupMenu menu;
    std::function<void(int)> menuAnswer;
    int menus = 0;
    Seams() {
        widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> cb) {
            Box b{o.getTitle(), o.getMessage(), {}, std::move(cb)};
            for (int i = 0; i < o.getNumButtons(); ++i) b.buttons.add(o.getButtonText(i));
            boxes.push_back(std::move(b));
        });
        widgets::setMenuPresenter(
            [this](const juce::PopupMenu& m, const juce::PopupMenu::Options&, std::function<void(int)> cb) {
                menu = m;
                menuAnswer = std::move(cb);
                ++menus;
            });
    }
    ~Seams() {
        widgets::setMessageBoxPresenter({});
        widgets::setMenuPresenter({});
    }
};

struct Editor {
    HostLog log;
    std::unique_ptr<SampleEditor> editor;
    explicit Editor(std::vector<float> audio, int channels = 1, int rate = 44100, int64_t start = 0, int64_t end = 0,
                    bool withPlayhead = false) {
        auto d = makeDeps(log, std::move(audio), channels, rate, withPlayhead);
        d.regionStart = start;
        d.regionEnd = end;
        editor = std::make_unique<SampleEditor>(std::move(d));
        editor->setSize(1280, 689);
    }
    SampleEditor* operator->() { return editor.get(); }
    SampleEditor& operator*() { return *editor; }
    SampleEditorTestAccess access() { return SampleEditorTestAccess(*editor); }
    bool key(int code, juce::ModifierKeys mods = {}, juce::juce_wchar text = 0) {
        return editor->keyPressed(juce::KeyPress(code, mods, text));
    }
};

TEST(SampleEditorOpening, RegionIsKeptInsideTheSource) {
    struct Case {
        int64_t start, end, wantStart, wantEnd;
    };
    const Case cases[] = {
        {500, 400, 399, 400},  // start past the end
        {0, 0, 0, 1000},       // no region: the whole sample
        {-5, 2000, 0, 1000},   // negative start, end beyond the audio
        {100, 900, 100, 900},  // a plain region
        {999, 1000, 999, 1000},
        {0, 1, 0, 1},
    };
    for (const auto& c : cases) {
        Editor e(ramp(1000, 1), 1, 44100, c.start, c.end);
        EXPECT_EQ(e->state.start, c.wantStart) << c.start << "," << c.end;
        EXPECT_EQ(e->state.end, c.wantEnd) << c.start << "," << c.end;
        EXPECT_TRUE(e->state == e->appliedState);
    }
}

TEST(SampleEditorOpening, DefaultTextsAndControls) {
    Editor e(ramp(44100, 1), 1, 44100);
    auto a = e.access();
    EXPECT_EQ(a.info().getText(), juce::String::fromUTF8("44.1 kHz  \xc2\xb7  16-bit  \xc2\xb7  mono  \xc2\xb7  "
                                                         "1000.0 ms  \xc2\xb7  Soft"));
    EXPECT_EQ(a.title().getText(), "EDIT SAMPLE");
    EXPECT_EQ(a.name().getText(), "Snare 3");
    EXPECT_EQ(a.fadeIn().getText(), "0.0 ms");
    EXPECT_EQ(a.fadeOut().getText(), "0.0 ms");
    EXPECT_EQ(a.gain().getText(), "+0.0 dB");
    EXPECT_EQ(a.threshold().getText(), kMinus + "60 dB");
    EXPECT_EQ(a.shape().getSelectedIndex(), 0);
    EXPECT_TRUE(a.button("SNAP").isActive());
    for (const char* off : {"LOOP", "ALL", "NORMALIZE"}) EXPECT_FALSE(a.button(off).isActive()) << off;
    EXPECT_FALSE(a.button(juce::String::fromUTF8("PROCESS \xe2\x96\xbe")).isActive());
    // This platform's undo key.
    EXPECT_TRUE(a.hint().getText().endsWith("Ctrl+Z undo"));
    EXPECT_EQ(e->getName(), "Sample editor");
    EXPECT_TRUE(e->getWantsKeyboardFocus());
    for (auto* child : e->getChildren()) EXPECT_FALSE(child->getWantsKeyboardFocus()) << child->getName();
    EXPECT_EQ(e->viewStart, 0.0);
    EXPECT_EQ(e->viewLength, 44100.0);
}

TEST(SampleEditorOpening, InfoTextByFormat) {
    struct Case {
        int channels, rate;
        int64_t frames;
        const char* text;
    };
    const Case cases[] = {
        {2, 48000, 24000, "48 kHz  \xc2\xb7  16-bit  \xc2\xb7  stereo  \xc2\xb7  500.0 ms  \xc2\xb7  Soft"},
        {6, 96000, 96, "96 kHz  \xc2\xb7  16-bit  \xc2\xb7  6 ch  \xc2\xb7  1.0 ms  \xc2\xb7  Soft"},
        {1, 22050, 2205, "22.1 kHz  \xc2\xb7  16-bit  \xc2\xb7  mono  \xc2\xb7  100.0 ms  \xc2\xb7  Soft"},
    };
    for (const auto& c : cases) {
        Editor e(ramp(c.frames, c.channels), c.channels, c.rate);
        EXPECT_EQ(e.access().info().getText(), juce::String::fromUTF8(c.text));
    }
    HostLog log;
    auto d = makeDeps(log, ramp(100, 1));
    d.groupName.clear();
    SampleEditor plain(std::move(d));
    EXPECT_FALSE(SampleEditorTestAccess(plain).info().getText().contains("Soft"));
}

TEST(SampleEditorTexts, StatsLineAndLevels) {
    EXPECT_EQ(formatGainDb(0.0), kMinus + juce::String::fromUTF8("\xe2\x88\x9e dB"));
    EXPECT_EQ(formatGainDb(1.0), "+0.0 dB");
    EXPECT_EQ(formatGainDb(0.5), kMinus + "6.0 dB");
    EXPECT_EQ(formatGainDb(2.0), "+6.0 dB");
    EXPECT_EQ(formatGainDb(0.99999), "+0.0 dB");

    // A silent region: both levels read minus infinity.
    Editor silent(std::vector<float>(441, 0.0f));
    EXPECT_EQ(silent.access().stats().getText(),
              "START 0.0 ms   END 10.0 ms   LENGTH 10.0 ms (441 smp)   PEAK " + kMinus +
                  juce::String::fromUTF8("\xe2\x88\x9e dB   RMS ") + kMinus + juce::String::fromUTF8("\xe2\x88\x9e dB"));

    // A loud region with gain clips; the line turns to danger and lists the flags.
    Editor e(std::vector<float>(2000, 0.9f), 2);
    auto s = e->state;
    s.gainDb = 6.0;
    s.reverse = true;
    s.removeDc = false;
    s.channelMode = 2;
    e->pushState(s, "Edit sample");
    const auto text = e.access().stats().getText();
    EXPECT_TRUE(text.contains("   CLIPS   REVERSED" + juce::String::fromUTF8(" \xc2\xb7 ") + "MONO")) << text;
    EXPECT_EQ(e.access().stats().findColour(juce::Label::textColourId), themeColour(ThemeColour::danger));
    EXPECT_TRUE(e.access().button(juce::String::fromUTF8("PROCESS \xe2\x96\xbe")).isActive());
    e->undoManager.undo();
    EXPECT_FALSE(e.access().stats().getText().contains("CLIPS"));
    EXPECT_EQ(e.access().stats().findColour(juce::Label::textColourId), themeColour(ThemeColour::textSecondary));
}

TEST(SampleEditorEdits, NormalizeTwiceAndUndoTwiceClosesWithoutAQuestion) {
    Seams seams;
    Editor e(ramp(1000, 1));
    auto& normalize = e.access().button("NORMALIZE");
    normalize.triggerClick();
    pumpUntil([&] { return normalize.isActive(); });
    EXPECT_TRUE(e->state.normalize);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Normalize");
    normalize.triggerClick();
    pumpUntil([&] { return !normalize.isActive(); });
    EXPECT_FALSE(e->state.normalize);
    EXPECT_TRUE(e->undoManager.undo());
    EXPECT_TRUE(e->state.normalize);
    EXPECT_TRUE(e->undoManager.undo());
    EXPECT_FALSE(e->undoManager.canUndo());
    EXPECT_TRUE(e->state == e->appliedState);
    e->requestClose();
    EXPECT_EQ(e.log.closes, 1);
    EXPECT_TRUE(seams.boxes.empty());
}

TEST(SampleEditorTexts, LevelsFollowEveryFieldThatMovesThem) {
    // A stereo source with an offset, louder on the left near the end.
    std::vector<float> audio(2 * 2000);
    for (size_t f = 0; f < 2000; ++f) {
        audio[2 * f] = 0.2f + (f > 1500 ? 0.6f : 0.1f) * std::sin(0.1f * static_cast<float>(f));
        audio[2 * f + 1] = -0.1f + 0.3f * std::sin(0.07f * static_cast<float>(f));
    }
    Editor e(audio, 2);
    auto expected = [&] {
        const auto view = e->sourceView();
        const auto pr = measurePeakRms(e->state, view);
        const double g = editGain(e->state, view);
        return "PEAK " + formatGainDb(pr.peak * g) + "   RMS " + formatGainDb(pr.rms * g);
    };
    using Change = std::function<void(SampleEditState&)>;
    const std::pair<const char*, Change> changes[] = {
        {"gain", [](SampleEditState& s) { s.gainDb = -4.5; }},
        {"region", [](SampleEditState& s) { s.start = 100; s.end = 1400; }},
        {"normalize", [](SampleEditState& s) { s.normalize = true; }},
        {"region under normalize", [](SampleEditState& s) { s.end = 1900; }},
        {"dc", [](SampleEditState& s) { s.removeDc = true; }},
        {"mono", [](SampleEditState& s) { s.channelMode = 2; }},
        {"swap", [](SampleEditState& s) { s.channelMode = 1; }},
        {"reverse", [](SampleEditState& s) { s.reverse = true; }},
        {"normalize off", [](SampleEditState& s) { s.normalize = false; }},
        {"fades", [](SampleEditState& s) { s.fadeInMs = 3.0; s.fadeOutMs = 5.0; }},
    };
    for (const auto& [what, change] : changes) {
        auto s = e->state;
        change(s);
        e->pushState(s, "Edit sample");
        EXPECT_TRUE(e.access().stats().getText().contains(expected())) << what << ": " << e.access().stats().getText();
        EXPECT_EQ(e->means, channelMeans(e->state, e->sourceView())) << what;
    }
    // Normalised, the peak reads -0.3 dB.
    auto s = e->state;
    s.normalize = true;
    e->pushState(s, "Normalize");
    EXPECT_TRUE(e.access().stats().getText().contains("PEAK " + kMinus + "0.3 dB"));
}

TEST(SampleEditorTexts, LongRegionsReadTheSameLevels) {
    // Regions far longer than a few blocks are measured from block sums; the
    // texts read as the frame-by-frame measure gives them, live (as during a
    // handle drag) and recorded.
    const int64_t frames = 300000;
    std::vector<float> audio(static_cast<size_t>(frames * 2));
    for (int64_t f = 0; f < frames; ++f) {
        const auto t = static_cast<float>(f);
        audio[static_cast<size_t>(2 * f)] = 0.05f + (f > 250000 ? 0.9f : 0.3f) * std::sin(0.01f * t);
        audio[static_cast<size_t>(2 * f + 1)] = -0.2f * std::sin(0.013f * t);
    }
    Editor e(audio, 2);
    auto levels = [&] {
        const auto view = e->sourceView();
        const auto pr = measurePeakRms(e->state, view);
        const double g = editGain(e->state, view);
        return "PEAK " + formatGainDb(pr.peak * g) + "   RMS " + formatGainDb(pr.rms * g);
    };
    EXPECT_TRUE(e.access().stats().getText().contains(levels())) << e.access().stats().getText();
    for (const int64_t start : {1000, 77777, 160001}) {
        auto s = e->state;
        s.start = start;
        s.end = 260000 - start / 3;
        s.removeDc = start == 77777;
        s.channelMode = start == 160001 ? 2 : 0;
        e->setLiveState(s);
        EXPECT_TRUE(e.access().stats().getText().contains(levels())) << start << ": " << e.access().stats().getText();
    }
}

TEST(SampleEditorPlayback, AStreamingHostGetsTheRenderAsItIsMade) {
    // With a host that plays audio while it is rendered, Space hands it a
    // stream at once; the worker fills it with exactly what renderSampleEdit
    // gives. An unchanged edit plays the finished stream again; ALL streams
    // the untouched source.
    Editor e(ramp(200000, 2), 2);
    std::vector<std::shared_ptr<lib::StreamedAudio>> streams;
    e->deps.playStream = [&](std::shared_ptr<lib::StreamedAudio> audio) {
        streams.push_back(std::move(audio));
        return true;
    };
    auto s = e->state;
    s.start = 1234;
    s.end = 190000;
    s.fadeInMs = 5.0;
    s.gainDb = -2.0;
    s.removeDc = true;
    e->pushState(s, "Edit sample");
    e->startPlayback();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(e->playing);
    EXPECT_EQ(e.log.plays, 0);
    ASSERT_TRUE(pumpUntil([&] { return !e->auditionRendering(); }));
    const auto expected = renderSampleEdit(e->state, e->sourceView());
    const auto& stream = *streams[0];
    ASSERT_EQ(stream.frames * 2, static_cast<int64_t>(expected.size()));
    EXPECT_EQ(stream.channels, 2);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream.samples.get()));

    e->startPlayback();  // a loop restart
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[1], streams[0]);

    e.key('A');
    ASSERT_EQ(streams.size(), 3u);
    ASSERT_TRUE(pumpUntil([&] { return !e->auditionRendering(); }));
    const auto& whole = *streams[2];
    ASSERT_EQ(whole.frames, 200000);
    EXPECT_TRUE(std::equal(e->deps.audio.begin(), e->deps.audio.end(), whole.samples.get()));

    // A host that cannot stream gets the whole buffer as before.
    e->deps.playStream = [](std::shared_ptr<lib::StreamedAudio>) { return false; };
    e.key('A');  // back to the edit, restarted while playing
    EXPECT_EQ(e.log.plays, 1);
    EXPECT_EQ(e.log.played, expected);
}

TEST(SampleEditorEdits, GainGestureIsOneStep) {
    Editor e(ramp(1000, 1));
    auto& slider = e.access().gainSlider();
    {
        const juce::Slider::ScopedDragNotification drag(slider);
        for (double v = 0.0; v <= 6.0; v += 0.5) slider.setValue(v, juce::sendNotificationSync);
        EXPECT_DOUBLE_EQ(e->state.gainDb, 6.0);  // live, without a step
        EXPECT_FALSE(e->undoManager.canUndo());
    }
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Gain");
    EXPECT_EQ(e.access().gain().getText(), "+6.0 dB");
    EXPECT_TRUE(e->undoManager.undo());
    EXPECT_FALSE(e->undoManager.canUndo());
    EXPECT_DOUBLE_EQ(e->state.gainDb, 0.0);
    EXPECT_DOUBLE_EQ(slider.getValue(), 0.0);

    // A gesture that ends where it began leaves nothing.
    {
        const juce::Slider::ScopedDragNotification drag(slider);
        slider.setValue(3.0, juce::sendNotificationSync);
        slider.setValue(0.0, juce::sendNotificationSync);
    }
    EXPECT_FALSE(e->undoManager.canUndo());
}

TEST(SampleEditorEdits, TypedValues) {
    Editor e(ramp(1000, 1));
    auto a = e.access();
    struct Case {
        juce::Label* field;
        const char* typed;
        const char* shown;
    };
    const Case fades[] = {
        {&a.fadeIn(), "5000", "2000.0 ms"}, {&a.fadeIn(), "abc", "0.0 ms"},   {&a.fadeOut(), "12.34", "12.3 ms"},
        {&a.fadeOut(), "-7", "7.0 ms"},     {&a.fadeIn(), "3.5 ms", "3.5 ms"},
    };
    for (const auto& c : fades) {
        a.type(*c.field, c.typed);
        EXPECT_EQ(c.field->getText(), c.shown) << c.typed;
    }
    EXPECT_DOUBLE_EQ(e->state.fadeInMs, 3.5);
    EXPECT_DOUBLE_EQ(e->state.fadeOutMs, 7.0);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Edit sample");

    const std::pair<juce::String, double> thresholds[] = {
        {kMinus + "48 dB", -48.0}, {"10", 0.0}, {"-200", -120.0}, {"-6", -6.0}, {"x", 0.0}};
    for (const auto& [typed, stored] : thresholds) {
        a.type(a.threshold(), typed);
        EXPECT_DOUBLE_EQ(e->thresholdDb, stored) << typed;
    }
    a.type(a.threshold(), "-48");
    EXPECT_EQ(a.threshold().getText(), kMinus + "48 dB");

    const std::pair<juce::String, double> gains[] = {{"-6", -6.0}, {kMinus + "3.5 dB", -3.5}, {"99", 24.0}};
    for (const auto& [typed, stored] : gains) {
        a.type(a.gain(), typed);
        EXPECT_DOUBLE_EQ(e->state.gainDb, stored) << typed;
    }
    EXPECT_EQ(a.gain().getText(), "+24.0 dB");
    EXPECT_DOUBLE_EQ(a.gainSlider().getValue(), 24.0);

    EXPECT_DOUBLE_EQ(readFieldNumber("1.2.3"), 1.2);
    EXPECT_DOUBLE_EQ(readFieldNumber("--5"), 0.0);
}

TEST(SampleEditorEdits, ShapeTrimSilenceAndAutoTrim) {
    // Silence, a loud stretch, silence.
    std::vector<float> audio(10000, 0.0f);
    for (int i = 3000; i < 5000; ++i) audio[static_cast<size_t>(i)] = (i % 2 ? 0.5f : -0.5f);
    Editor e(audio);
    auto a = e.access();
    a.shape().setSelectedIndex(2, true);
    EXPECT_EQ(e->state.fadeShape, 2);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Fade shape");

    a.button("TRIM SILENCE").triggerClick();
    pumpUntil([&] { return e->state.start != 0; });
    EXPECT_EQ(e->state.start, 3000);
    EXPECT_EQ(e->state.end, 5000 + 441);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Trim silence");

    // Shorter than 4096 frames: AUTO-TRIM does nothing.
    Editor shortOne(std::vector<float>(4095, 0.25f));
    shortOne->autoTrim();
    EXPECT_FALSE(shortOne->undoManager.canUndo());
}

TEST(SampleEditorEdits, AutoTrimTakesTheLoudestHit) {
    // Two decaying hits in quiet noise; the second is louder.
    const int rate = 44100;
    std::vector<float> audio(static_cast<size_t>(rate * 2), 0.0f);
    juce::Random random(7);
    for (auto& v : audio) v = (random.nextFloat() - 0.5f) * 1e-4f;
    auto hit = [&](int at, float level) {
        for (int i = 0; i < rate / 4; ++i)
            audio[static_cast<size_t>(at + i)] +=
                level * std::exp(-static_cast<float>(i) / 2000.0f) * std::sin(0.3f * static_cast<float>(i));
    };
    hit(rate / 4, 0.3f);
    hit(rate, 0.9f);
    Editor e(audio);
    const auto before = e->state;
    e->autoTrim();
    // The hits are found on a worker: nothing changes yet, the button is busy
    // and a second press is ignored.
    EXPECT_TRUE(e->autoTrimRunning());
    EXPECT_EQ(e->state, before);
    EXPECT_FALSE(e.access().button("AUTO-TRIM").isEnabled());
    e->autoTrim();
    ASSERT_TRUE(pumpUntil([&] { return !e->autoTrimRunning(); }));
    EXPECT_TRUE(e.access().button("AUTO-TRIM").isEnabled());
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Auto-trim");
    EXPECT_TRUE(e->undoManager.undo());
    EXPECT_FALSE(e->undoManager.canUndo());  // one step only
    EXPECT_TRUE(e->undoManager.redo());
    EXPECT_NEAR(static_cast<double>(e->state.start), rate, 600.0);
    EXPECT_GT(e->state.end, rate + 2000);
    EXPECT_DOUBLE_EQ(e->state.fadeInMs, 0.5);
    EXPECT_DOUBLE_EQ(e->state.fadeOutMs, 8.0);
}

TEST(SampleEditorEdits, AutoTrimKeepsEditsMadeMeanwhileAndEndsWithItsEditor) {
    // Silence but for one short burst: no hit, so the fallback trims to what
    // lies within 60 dB of the peak; the gain set while it ran stays.
    std::vector<float> audio(20000, 0.0f);
    for (size_t i = 5000; i < 5100; ++i) audio[i] = 0.5f;
    {
        Editor e(audio);
        e->autoTrim();
        auto s = e->state;
        s.gainDb = -3.0;
        e->pushState(s, "Edit sample");
        ASSERT_TRUE(pumpUntil([&] { return !e->autoTrimRunning(); }));
        EXPECT_DOUBLE_EQ(e->state.gainDb, -3.0);
        EXPECT_EQ(e->undoManager.getUndoDescription(), "Auto-trim");
        const auto [start, end] = findTrimRegion(e->sourceView(), 20.0 * std::log10(0.5) - 60.0, 0.0, 10.0);
        EXPECT_EQ(e->state.start, start);
        EXPECT_EQ(e->state.end, end);
    }
    // Closed while the worker runs: no crash, and nothing arrives later.
    auto e = std::make_unique<Editor>(audio);
    (*e)->autoTrim();
    e.reset();
    test::pumpFor(50);
}

TEST(SampleEditorEdits, ProcessMenu) {
    Seams seams;
    auto itemsOf = [&] {
        std::vector<std::tuple<int, juce::String, bool, bool>> items;
        for (juce::PopupMenu::MenuItemIterator it(seams.menu); it.next();) {
            const auto& item = it.getItem();
            if (item.isSeparator) continue;
            items.emplace_back(item.itemID, item.text, item.isEnabled, item.isTicked);
        }
        return items;
    };
    Editor mono(ramp(1000, 1));
    mono->showProcessMenu();
    ASSERT_EQ(seams.menus, 1);
    const auto monoItems = itemsOf();
    ASSERT_EQ(monoItems.size(), 4u);
    EXPECT_EQ(std::get<1>(monoItems[2]), "Swap L / R");
    EXPECT_FALSE(std::get<2>(monoItems[2]));
    EXPECT_FALSE(std::get<2>(monoItems[3]));
    seams.menuAnswer(0);  // dismissed
    EXPECT_FALSE(mono->undoManager.canUndo());

    Editor stereo(ramp(1000, 2), 2);
    struct Step {
        int id;
        const char* name;
        uint8_t mode;
        bool reverse;
    };
    const Step steps[] = {{1, "Reverse", 0, true},   {3, "Swap L/R", 1, true}, {4, "Sum to mono", 2, true},
                          {4, "Sum to mono", 0, true}, {1, "Reverse", 0, false}};
    for (const auto& s : steps) {
        stereo->showProcessMenu();
        seams.menuAnswer(s.id);
        EXPECT_EQ(stereo->undoManager.getUndoDescription(), s.name);
        EXPECT_EQ(stereo->state.channelMode, s.mode) << s.name;
        EXPECT_EQ(stereo->state.reverse, s.reverse) << s.name;
    }
    stereo->showProcessMenu();
    seams.menuAnswer(2);
    EXPECT_TRUE(stereo->state.removeDc);
    stereo->showProcessMenu();
    EXPECT_TRUE(std::get<3>(itemsOf()[1]));  // ticked
    // The answer after the editor is gone does nothing.
    stereo.editor.reset();
    seams.menuAnswer(1);
}

TEST(SampleEditorKeys, TableOfKeys) {
    Editor e(ramp(44100 * 2, 1), 1, 44100, 1000, 50000);
    const auto shift = juce::ModifierKeys(juce::ModifierKeys::shiftModifier);
    const auto ctrl = juce::ModifierKeys(juce::ModifierKeys::ctrlModifier);

    // The last handle starts as the start handle.
    EXPECT_TRUE(e.key(juce::KeyPress::rightKey));
    EXPECT_EQ(e->state.start, 1001);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Nudge");
    EXPECT_TRUE(e.key(juce::KeyPress::leftKey, shift));
    EXPECT_EQ(e->state.start, 1001 - 441);
    e->lastHandle = 1;
    EXPECT_TRUE(e.key(juce::KeyPress::rightKey, shift));
    EXPECT_EQ(e->state.end, 50441);

    // Ctrl+Z undoes, Ctrl+Shift+Z redoes; plain Z is passed on.
    EXPECT_TRUE(e.key('Z', ctrl));
    EXPECT_EQ(e->state.end, 50000);
    EXPECT_TRUE(e.key('Z', juce::ModifierKeys(juce::ModifierKeys::ctrlModifier | juce::ModifierKeys::shiftModifier)));
    EXPECT_EQ(e->state.end, 50441);
    EXPECT_FALSE(e.key('Z'));
    EXPECT_FALSE(e.key('Q'));

    // Delete and Backspace never reach the zem editor behind.
    EXPECT_TRUE(e.key(juce::KeyPress::deleteKey));
    EXPECT_TRUE(e.key(juce::KeyPress::backspaceKey));

    // [ and ] only while playing with a playhead.
    EXPECT_FALSE(e.key('[', {}, '['));
    EXPECT_FALSE(e.key(']', {}, ']'));

    // L and A toggle with any modifier; letters are compared without case.
    EXPECT_TRUE(e.key('L', shift));
    EXPECT_TRUE(e->loop);
    EXPECT_TRUE(e.access().button("LOOP").isActive());
    EXPECT_TRUE(e.key('a'));
    EXPECT_TRUE(e->playAll);
    EXPECT_TRUE(e.access().button("ALL").isActive());

    // View keys.
    EXPECT_TRUE(e.key('=', {}, '='));
    EXPECT_DOUBLE_EQ(e->viewLength, 44100.0);
    EXPECT_DOUBLE_EQ(e->viewStart, 22050.0);
    EXPECT_TRUE(e.key(juce::KeyPress::homeKey));
    EXPECT_DOUBLE_EQ(e->viewStart, 0.0);
    EXPECT_TRUE(e.key(juce::KeyPress::endKey));
    EXPECT_DOUBLE_EQ(e->viewStart, 44100.0);
    EXPECT_TRUE(e.key('-', {}, '-'));
    EXPECT_DOUBLE_EQ(e->viewLength, 88200.0);
    EXPECT_TRUE(e.key('S'));
    const double n = 50441.0 - 560.0;
    EXPECT_DOUBLE_EQ(e->viewLength, 1.08 * n);
    EXPECT_DOUBLE_EQ(e->viewStart, 0.0);  // 560 - 0.04 n is before the sample
    EXPECT_TRUE(e.key('F'));
    EXPECT_DOUBLE_EQ(e->viewStart, 0.0);
    EXPECT_DOUBLE_EQ(e->viewLength, 88200.0);
    // Escape asks to close (the state is changed, so a question).
    Seams seams;
    EXPECT_TRUE(e.key(juce::KeyPress::escapeKey));
    ASSERT_EQ(seams.boxes.size(), 1u);
    EXPECT_EQ(seams.boxes[0].title, "Sample changed");
}

TEST(SampleEditorKeys, NudgesStayInsideTheSource) {
    Editor e(ramp(1000, 1), 1, 44100, 0, 1000);
    EXPECT_TRUE(e.key(juce::KeyPress::leftKey));
    EXPECT_EQ(e->state.start, 0);
    EXPECT_FALSE(e->undoManager.canUndo());
    e->lastHandle = 1;
    EXPECT_TRUE(e.key(juce::KeyPress::rightKey, juce::ModifierKeys(juce::ModifierKeys::shiftModifier)));
    EXPECT_EQ(e->state.end, 1000);
    EXPECT_FALSE(e->undoManager.canUndo());
    for (int i = 0; i < 5; ++i) e.key(juce::KeyPress::leftKey, juce::ModifierKeys(juce::ModifierKeys::shiftModifier));
    EXPECT_EQ(e->state.end, 1);
    e->lastHandle = 0;
    e.key(juce::KeyPress::rightKey);
    EXPECT_EQ(e->state.start, 0);  // one frame before the end at most
}

TEST(SampleEditorView, SetViewAndZoom) {
    Editor e(ramp(100000, 1));
    e->wave.setSize(1000, 300);
    e->setView(0.0, 1.0);
    EXPECT_DOUBLE_EQ(e->viewLength, 125.0);
    e->setView(-50.0, 1e9);
    EXPECT_DOUBLE_EQ(e->viewStart, 0.0);
    EXPECT_DOUBLE_EQ(e->viewLength, 100000.0);
    e->setView(99990.0, 500.0);
    EXPECT_DOUBLE_EQ(e->viewStart, 99500.0);
    e->zoomAbout(2.0, 99750.0);
    EXPECT_DOUBLE_EQ(e->viewLength, 250.0);
    EXPECT_DOUBLE_EQ(e->viewStart, 99625.0);

    // A tiny source: the minimum length wins over the sample's own length.
    Editor tiny(ramp(10, 1));
    tiny->wave.setSize(100, 100);
    tiny->setView(0.0, 1.0);
    EXPECT_DOUBLE_EQ(tiny->viewLength, 16.0);
    EXPECT_DOUBLE_EQ(tiny->viewStart, 0.0);

    auto a = e.access();
    a.button("FIT").triggerClick();
    pumpUntil([&] { return e->viewLength == 100000.0; });
    a.zoomIn().triggerClick();
    pumpUntil([&] { return e->viewLength == 50000.0; });
    EXPECT_DOUBLE_EQ(e->viewStart, 25000.0);
    a.zoomOut().triggerClick();
    pumpUntil([&] { return e->viewLength == 100000.0; });
    EXPECT_DOUBLE_EQ(e->viewStart, 0.0);
}

TEST(SampleEditorPlayback, SpaceTogglesOnceWithin80Ms) {
    Editor e(ramp(1000, 1), 1, 44100, 100, 300);
    EXPECT_TRUE(e.key(juce::KeyPress::spaceKey));
    EXPECT_TRUE(e.key(juce::KeyPress::spaceKey));
    EXPECT_EQ(e.log.plays, 1);
    EXPECT_TRUE(e->playing);
    EXPECT_TRUE(e.access().play().isActive());
    // The rendered region plays.
    EXPECT_EQ(e.log.played.size(), 200u);
    e->lastSpaceMs -= 200.0;
    EXPECT_TRUE(e.key(juce::KeyPress::spaceKey));
    EXPECT_FALSE(e->playing);
    EXPECT_EQ(e.log.stops, 1);
    EXPECT_FALSE(e.access().play().isActive());
}

TEST(SampleEditorPlayback, PlayheadLoopAndAll) {
    Editor e(ramp(44100, 1), 1, 44100, 1000, 2000, true);
    e->startPlayback();
    ASSERT_TRUE(e->playing);
    e.log.playhead = {true, 250, 1000};
    e->timerCallback();
    EXPECT_EQ(e->playheadFrame, 1250);
    EXPECT_EQ(e->shownPlayheadFrame(), 1250);

    // [ and ] at the playhead while playing.
    EXPECT_TRUE(e.key(']', {}, ']'));
    EXPECT_EQ(e->state.end, 1250);
    EXPECT_EQ(e->lastHandle, 1);
    EXPECT_EQ(e->undoManager.getUndoDescription(), "Trim at playhead");
    e.log.playhead = {true, 100, 1000};
    e->timerCallback();
    EXPECT_TRUE(e.key('[', {}, '['));
    EXPECT_EQ(e->state.start, 1100);
    EXPECT_EQ(e->lastHandle, 0);
    // The sound still comes from the region that started playing (1000 on):
    // "]" 50 frames later puts the end where the sound is, not 100 frames on.
    e.log.playhead = {true, 150, 1000};
    e->timerCallback();
    EXPECT_EQ(e->playheadFrame, 1150);
    EXPECT_TRUE(e.key(']', {}, ']'));
    EXPECT_EQ(e->state.end, 1150);

    // Reversed, the playhead runs backwards over the region it plays.
    auto s = e->state;
    s.reverse = true;
    e->pushState(s, "Reverse");
    e->startPlayback();
    e.log.playhead = {true, 0, 50};
    e->timerCallback();
    EXPECT_EQ(e->playheadFrame, 1149);

    // The end without LOOP stops; with LOOP the region plays again.
    e.log.playhead = {true, 50, 50};
    e->timerCallback();
    EXPECT_FALSE(e->playing);
    EXPECT_EQ(e->playheadFrame, -1);
    e->loop = true;
    e->startPlayback();
    const int plays = e.log.plays;
    e->timerCallback();
    EXPECT_TRUE(e->playing);
    EXPECT_EQ(e.log.plays, plays + 1);

    // ALL while playing restarts with the untouched source.
    e.access().button("ALL").triggerClick();
    pumpUntil([&] { return e->playAll; });
    EXPECT_EQ(e.log.played.size(), 44100u);
    EXPECT_EQ(e.log.played, e->deps.audio);
    e.log.playhead = {true, 441, 44100};
    e->timerCallback();
    EXPECT_EQ(e->playheadFrame, 441);  // not mirrored with ALL

    // Destroying the editor stops the host's audition.
    const int stops = e.log.stops;
    auto& log = e.log;
    e.editor.reset();
    EXPECT_EQ(log.stops, stops + 1);
}

TEST(SampleEditorPlayback, WithoutAPlayheadTheOwnClockEnds) {
    Editor e(ramp(441, 1));  // 10 ms
    EXPECT_FALSE(e->isTimerRunning());  // an idle editor wakes nobody
    e->startPlayback();
    EXPECT_TRUE(e->playing);
    EXPECT_TRUE(e->isTimerRunning());
    EXPECT_TRUE(pumpUntil([&] { return !e->playing; }, 2000));
    EXPECT_EQ(e->playheadFrame, -1);
    EXPECT_TRUE(pumpUntil([&] { return !e->isTimerRunning(); }, 2000));

    // Without a play callback nothing plays.
    HostLog log;
    auto d = makeDeps(log, ramp(100, 1));
    d.play = nullptr;
    SampleEditor silent(std::move(d));
    silent.startPlayback();
    EXPECT_FALSE(silent.playing);
}

TEST(SampleEditorClosing, QuestionAndAnswers) {
    Seams seams;
    Editor e(ramp(1000, 1), 1, 44100, 0, 1000);
    auto trimmed = e->state;
    trimmed.start = 100;
    e->pushState(trimmed, "Trim");

    // Cancel keeps everything.
    e->requestClose();
    ASSERT_EQ(seams.boxes.size(), 1u);
    EXPECT_EQ(seams.boxes[0].title, "Sample changed");
    EXPECT_EQ(seams.boxes[0].message,
              "Apply the changes to \"Snare 3\"? (Undo in the zem editor can still take them back.)");
    EXPECT_EQ(seams.boxes[0].buttons, juce::StringArray({"Apply", "Discard", "Cancel"}));
    seams.boxes[0].answer(0);
    EXPECT_EQ(e.log.closes, 0);
    EXPECT_EQ(e.log.applies, 0);

    // Discard closes without applying.
    e->requestClose();
    seams.boxes[1].answer(2);
    EXPECT_EQ(e.log.closes, 1);
    EXPECT_EQ(e.log.applies, 0);

    // Apply with the region only: an empty buffer and the new region.
    e->requestClose();
    seams.boxes[2].answer(1);
    EXPECT_EQ(e.log.applies, 1);
    EXPECT_TRUE(e.log.applied.empty());
    EXPECT_EQ(e.log.appliedStart, 100);
    EXPECT_EQ(e.log.appliedEnd, 1000);
    EXPECT_EQ(e.log.closes, 2);
    EXPECT_TRUE(e->state == e->appliedState);

    // A change of the fade shape alone changes no sample value either.
    auto shaped = e->state;
    shaped.fadeShape = 1;
    e->pushState(shaped, "Fade shape");
    EXPECT_TRUE(e->applyEdits());
    EXPECT_TRUE(e.log.applied.empty());

    // Processing hands the whole rendered sample.
    auto gained = e->state;
    gained.gainDb = -6.0;
    e->pushState(gained, "Gain");
    EXPECT_TRUE(e->applyEdits());
    ASSERT_EQ(e.log.applied.size(), 1000u);
    EXPECT_EQ(e.log.applied, renderWholeSample(gained, e->sourceView()));

    // The answer after the editor is gone does nothing.
    auto more = e->state;
    more.gainDb = -3.0;
    e->pushState(more, "Gain");
    e->requestClose();
    auto answer = seams.boxes.back().answer;
    auto& log = e.log;
    const int closes = log.closes;
    e.editor.reset();
    answer(1);
    EXPECT_EQ(log.closes, closes);
}

TEST(SampleEditorClosing, ApplyingAProcessedEditRendersOnAWorkerThenCloses) {
    Seams seams;
    Editor e(ramp(50000, 2), 2);
    auto s = e->state;
    s.start = 1000;
    s.end = 40000;
    s.reverse = true;
    s.fadeOutMs = 30.0;
    e->pushState(s, "Reverse");
    e->requestClose();
    seams.boxes.back().answer(1);
    EXPECT_TRUE(e->applyRunning());
    EXPECT_EQ(e.log.applies, 0);
    // Edits are not possible meanwhile, and the edit applied is the one asked for.
    EXPECT_FALSE(e->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return e.log.closes == 1; }));
    EXPECT_EQ(e.log.applies, 1);
    EXPECT_EQ(e.log.applied, renderWholeSample(s, e->sourceView()));
    EXPECT_EQ(e.log.appliedStart, 1000);
    EXPECT_EQ(e.log.appliedEnd, 40000);
    EXPECT_TRUE(e->state == e->appliedState);
    EXPECT_TRUE(e->isEnabled());

    // Gone before the render is done: nothing reaches the host.
    auto again = std::make_unique<Editor>(ramp(50000, 2), 2);
    auto t = (*again)->state;
    t.gainDb = -1.0;
    (*again)->pushState(t, "Gain");
    (*again)->applyEditsInBackground([](bool) { ADD_FAILURE() << "answered after the editor was gone"; });
    again.reset();
    test::pumpFor(50);
}

TEST(SampleEditorClosing, AFailedApplyStaysOpenAndSaysSo) {
    Seams seams;
    Editor e(ramp(1000, 1));
    e.log.applyAnswer = false;
    auto s = e->state;
    s.normalize = true;
    e->pushState(s, "Normalize");
    e->requestClose();
    seams.boxes.back().answer(1);
    // The render runs on a worker; the editor waits disabled meanwhile.
    EXPECT_TRUE(e->applyRunning());
    EXPECT_FALSE(e->isEnabled());
    EXPECT_EQ(e.log.applies, 0);
    ASSERT_TRUE(pumpUntil([&] { return !e->applyRunning(); }));
    EXPECT_TRUE(e->isEnabled());
    EXPECT_EQ(e.log.applies, 1);
    EXPECT_EQ(e.log.closes, 0);
    ASSERT_EQ(seams.boxes.size(), 2u);
    EXPECT_EQ(seams.boxes[1].title, "Sample editor");
    EXPECT_EQ(seams.boxes[1].message, "The changes could not be applied. The sample is unchanged.");
    EXPECT_FALSE(e->state == e->appliedState);
    EXPECT_TRUE(e->state.normalize);

    // Without an apply callback the state simply counts as applied.
    HostLog log;
    auto d = makeDeps(log, ramp(100, 1));
    d.apply = nullptr;
    SampleEditor plain(std::move(d));
    auto t = plain.state;
    t.reverse = true;
    plain.pushState(t, "Reverse");
    EXPECT_TRUE(plain.applyEdits());
    EXPECT_TRUE(plain.state == plain.appliedState);
}

TEST(SampleEditorLayout, RowsAtTheShellsSize) {
    Editor e(ramp(1000, 2), 2);
    auto a = e.access();
    // From top to bottom: 10, header 36, 6, transport 34, 6, fades 34, 6,
    // overview 48, 6, waveform, 6, stats 24, hint 18, 10.
    EXPECT_EQ(a.close().getBounds(), juce::Rectangle<int>(1236, 11, 34, 34));
    EXPECT_EQ(a.button("DONE").getBounds().getY(), 13);
    EXPECT_EQ(a.button("DONE").getRight(), 1236 - 8);
    EXPECT_EQ(a.title().getBounds().getX(), 10);
    EXPECT_GE(a.name().getWidth(), 120);
    EXPECT_EQ(a.play().getBounds(), juce::Rectangle<int>(10, 52, 34, 34));
    EXPECT_EQ(a.stop().getBounds(), juce::Rectangle<int>(48, 52, 34, 34));
    EXPECT_EQ(a.button("LOOP").getBounds().getY(), 54);
    EXPECT_EQ(a.button("LOOP").getX(), 90);
    EXPECT_EQ(a.fadeIn().getY(), 95);
    EXPECT_EQ(a.gainSlider().getBounds().withX(0), juce::Rectangle<int>(0, 97, 130, 24));
    EXPECT_EQ(a.button("TRIM").getRight(), 1270);
    EXPECT_EQ(e->overview.getBounds(), juce::Rectangle<int>(10, 132, 1260, 48));
    EXPECT_EQ(e->wave.getBounds(), juce::Rectangle<int>(10, 186, 1260, 679 - 18 - 24 - 6 - 186));
    EXPECT_EQ(a.stats().getBounds(), juce::Rectangle<int>(10, 679 - 18 - 24, 1260, 24));
    EXPECT_EQ(a.hint().getBounds(), juce::Rectangle<int>(10, 661, 1260, 18));

    // A narrow editor shrinks the right end of each row; nothing goes negative.
    e->setSize(200, 150);
    for (auto* child : e->getChildren()) {
        EXPECT_GE(child->getWidth(), 0) << child->getName();
        EXPECT_GE(child->getHeight(), 0) << child->getName();
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit
