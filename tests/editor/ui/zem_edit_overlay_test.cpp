#include <gtest/gtest.h>

#include <cmath>

#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/user_messages.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::ui::zemedit {

// Reaches the overlay's private children and rectangles.
class ZemEditOverlayTestAccess {
public:
    explicit ZemEditOverlayTestAccess(ZemEditOverlay& o) : o_(o) {}
    juce::Label& title() { return o_.titleLabel; }
    juce::Label& counts() { return o_.countsLabel; }
    juce::Label& zoomLabel() { return o_.zoomLabel; }
    juce::Button& zoomIn() { return o_.zoomInButton; }
    juce::Button& zoomOut() { return o_.zoomOutButton; }
    juce::Button& close() { return o_.closeButton; }
    juce::Button& reset() { return o_.resetButton; }
    widgets::V6Button& button(const juce::String& text) {
        for (auto* b : {&o_.autoSortButton, &o_.newButton, &o_.resetButton, &o_.importButton, &o_.saveButton})
            if (b->getButtonText() == text) return *b;
        throw std::runtime_error("no button " + text.toStdString());
    }
    juce::Component& hitsAxis() { return o_.hitsAxis; }
    juce::Component& detailStrip() { return o_.detailStrip; }
    juce::ScrollBar& horizontal() { return o_.horizontalScrollBar; }
    juce::ScrollBar& vertical() { return o_.verticalScrollBar; }
    juce::Component& bandContent() { return o_.bandContent; }
    widgets::V6SegmentGroup& roomStrip() { return o_.roomStrip; }
    widgets::V6DropChip& drumChip() { return o_.drumTypeChip; }
    juce::Label& caption(int i) { return i == 0 ? o_.roomCaption : i == 1 ? o_.articulationCaption : o_.drumTypeCaption; }
    void openLevelPanel() { o_.toggleLevelPanel(); }
    bool levelPanelOpen() const { return o_.levelPanel != nullptr; }

private:
    ZemEditOverlay& o_;
};

namespace {

using test::pumpUntil;

ZemEditDeps standaloneDeps(const std::string& path = {}) {
    ZemEditDeps d;
    d.standalone = true;
    d.filePath = path;
    return d;
}

struct Mounted {
    std::unique_ptr<ZemEditOverlay> overlay;
    explicit Mounted(ZemEditDeps d, int w = 1280, int h = 689) {
        overlay = std::make_unique<ZemEditOverlay>(std::move(d));
        overlay->setSize(w, h);
    }
    ZemEditOverlay& operator*() { return *overlay; }
    ZemEditOverlay* operator->() { return overlay.get(); }
};

TEST(ZemEditOverlayTexts, SampleGroupSummary) {
    const std::pair<std::pair<uint64_t, uint64_t>, const char*> cases[] = {
        {{12, 4}, "12 SAMPLES \xc2\xb7 4 DYNAMIC GROUPS"},
        {{1, 1}, "1 SAMPLE \xc2\xb7 1 DYNAMIC GROUP"},
        {{1, 3}, "1 SAMPLE \xc2\xb7 3 DYNAMIC GROUPS"},
        {{0, 0}, "0 SAMPLES \xc2\xb7 0 DYNAMIC GROUPS"},
        {{5000, 2}, "5000 SAMPLES \xc2\xb7 2 DYNAMIC GROUPS"},
    };
    for (const auto& [counts, text] : cases) EXPECT_EQ(sampleGroupSummary(counts.first, counts.second), text);
}

// One name for a default group everywhere: the one a new zem gives it.
TEST(ZemEditOverlayTexts, GroupNamesAsTheMenusSayThem) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"Band 3", 2, "Dynamic 3"}, {"", 0, "Dynamic 1"}, {"Soft", 0, "Soft"}, {"Dynamic 2", 1, "Dynamic 2"},
        {"Band 3", 0, "Band 3"},  // a name of its own that only looks like the default
    };
    for (const auto& [name, index, shown] : cases) EXPECT_EQ(groupDisplayName(name, index), shown) << name;
}

TEST(ZemEditOverlayTexts, ZoomFactorAndRoomChannelNames) {
    const std::pair<double, const char*> zooms[] = {
        {1.0, "1\xc3\x97"}, {1.25, "1.25\xc3\x97"}, {2.5, "2.5\xc3\x97"}, {4.0, "4\xc3\x97"}, {1.75, "1.75\xc3\x97"}};
    for (const auto& [z, text] : zooms) EXPECT_EQ(formatZoomFactor(z), text) << z;
    const std::pair<const char*, const char*> names[] = {
        {"ROOM D", "Room channel D"}, {"room A", "Room channel A"}, {"Roomy", "Room channely"},
        {"Direct", "Direct"},         {"Roo", "Roo"},              {"", ""}};
    for (const auto& [name, shown] : names) EXPECT_EQ(roomChannelDisplayName(name), shown) << name;
}

TEST(ZemEditOverlayLayout, AtTheShellsSize) {
    Mounted o(standaloneDeps());
    ZemEditOverlayTestAccess a(*o);
    EXPECT_EQ(o->gridFrameBounds(), juce::Rectangle<int>(10, 126, 1260, 451));
    EXPECT_EQ(o->gridAreaBounds(), juce::Rectangle<int>(15, 131, 1238, 399));
    EXPECT_EQ(a.hitsAxis().getBounds(), juce::Rectangle<int>(15, 540, 1238, 32));
    EXPECT_EQ(a.horizontal().getBounds(), juce::Rectangle<int>(15, 530, 1238, 10));
    EXPECT_EQ(a.vertical().getBounds(), juce::Rectangle<int>(1253, 131, 10, 399));
    EXPECT_EQ(a.detailStrip().getBounds(), juce::Rectangle<int>(10, 623, 1260, 56));

    // The zoom row (10, 583, 1260, 34): zoom in at its right end, the label,
    // then zoom out.
    const auto font = a.zoomLabel().getFont();
    int widest = 0;
    for (int quarter = 4; quarter <= 16; ++quarter)
        widest = std::max(widest, static_cast<int>(std::ceil(font.getStringWidthFloat(
                                      juce::String::fromUTF8(formatZoomFactor(quarter / 4.0).c_str())))));
    const int t = widest + 16;
    EXPECT_EQ(a.zoomIn().getBounds(), juce::Rectangle<int>(1236, 583, 34, 34));
    EXPECT_EQ(a.zoomLabel().getBounds(), juce::Rectangle<int>(1236 - t, 583, t, 34));
    EXPECT_EQ(a.zoomOut().getBounds(), juce::Rectangle<int>(1236 - t - 34, 583, 34, 34));

    // The header from the right: close, gap 10, SAVE, IMPORT SAMPLES, RESET,
    // NEW ZEM with gaps of 6; text buttons 3 px in from the row's edges.
    EXPECT_EQ(a.close().getBounds(), juce::Rectangle<int>(1236, 11, 34, 34));
    int right = 1236 - 10;
    for (const char* text : {"SAVE", "IMPORT SAMPLES", "RESET", "NEW ZEM"}) {
        auto& b = a.button(text);
        EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(right - b.getIdealWidth(), 13, b.getIdealWidth(), 30)) << text;
        right -= b.getIdealWidth() + 6;
    }
    // The title is at least 120 wide and takes the row's full height.
    EXPECT_EQ(a.title().getBounds().getX(), 10);
    EXPECT_GE(a.title().getWidth(), 120);
    EXPECT_EQ(a.title().getHeight(), 36);
    EXPECT_EQ(a.counts().getX(), a.title().getRight());

    // Strips row (10, 62, 1260, 58): captions on its top 16 px, the drum chip
    // 28 high centred in the rest, at the right.
    EXPECT_EQ(a.drumChip().getRight(), 1270);
    EXPECT_EQ(a.drumChip().getBounds().getY(), 78 + (42 - 28) / 2);
    EXPECT_EQ(a.caption(2).getBounds().getY(), 62);
    EXPECT_EQ(a.caption(2).getHeight(), 16);
    EXPECT_EQ(a.roomStrip().getBounds().getY(), 80);
    EXPECT_EQ(a.roomStrip().getHeight(), 38);
    EXPECT_EQ(a.roomStrip().getX(), 10);
    EXPECT_EQ(a.roomStrip().getWidth(), a.roomStrip().getIdealWidth());
}

TEST(ZemEditOverlayLayout, StandaloneStripsRowIsTenPixelsTaller) {
    auto plain = standaloneDeps();
    plain.standalone = false;
    Mounted p(std::move(plain));
    Mounted s(standaloneDeps());
    EXPECT_EQ(p->gridFrameBounds(), juce::Rectangle<int>(10, 116, 1260, 461));
    EXPECT_EQ(s->gridFrameBounds().getHeight() + 10, p->gridFrameBounds().getHeight());
    ZemEditOverlayTestAccess a(*p);
    EXPECT_EQ(a.button("NEW").getButtonText(), "NEW");
    EXPECT_EQ(a.button("ADD FROM AUDIO").getTooltip(), "Extract hits live from the track, or from an audio file");
    ZemEditOverlayTestAccess b(*s);
    EXPECT_EQ(b.button("IMPORT SAMPLES").getName(), "IMPORT SAMPLES");
    EXPECT_EQ(b.button("NEW ZEM").getTitle(), "NEW ZEM");
    EXPECT_EQ(b.button("SAVE").getTooltip(),
              "Write and verify a Vantorel 6 zem, preserving native sample rate and stereo audio");
}

TEST(ZemEditOverlayLayout, SmallSizesGiveEmptyPiecesNeverNegative) {
    const std::pair<int, int> sizes[] = {{100, 100}, {20, 20}, {0, 0}, {300, 150}};
    for (const auto& [w, h] : sizes) {
        Mounted o(standaloneDeps(), w, h);
        ZemEditOverlayTestAccess a(*o);
        for (auto r : {o->gridFrameBounds(), o->gridAreaBounds(), a.hitsAxis().getBounds(),
                       a.detailStrip().getBounds(), a.horizontal().getBounds(), a.vertical().getBounds(),
                       a.zoomIn().getBounds(), a.zoomLabel().getBounds(), a.title().getBounds(),
                       a.roomStrip().getBounds()}) {
            EXPECT_GE(r.getWidth(), 0) << w << "x" << h;
            EXPECT_GE(r.getHeight(), 0) << w << "x" << h;
        }
        if (h <= 100) {
            EXPECT_TRUE(o->gridFrameBounds().isEmpty()) << w << "x" << h;
            EXPECT_TRUE(o->gridAreaBounds().isEmpty()) << w << "x" << h;
        }
    }
}

TEST(ZemEditOverlayLayout, AutoSortKeepsItsWidthBesideALongNameAndManyGroups) {
    Mounted o(standaloneDeps(), 1180, 689);
    o->addToDesktop(0);
    o->setVisible(true);
    ZemEditOverlayTestAccess a(*o);
    o->document().name = "Vintage Supraphonic 14x6.5 close, overhead and room";
    o->refreshHeader();
    a.counts().setText(juce::String::fromUTF8("5000 SAMPLES \xc2\xb7 127 DYNAMIC GROUPS"), juce::dontSendNotification);
    o->resized();
    auto& autoSort = a.button("AUTO-SORT");
    auto& newZem = a.button("NEW ZEM");
    EXPECT_GE(autoSort.getWidth(), autoSort.getIdealWidth());
    EXPECT_LE(autoSort.getRight() + 8, newZem.getX());
    EXPECT_LE(a.counts().getRight(), autoSort.getX());
    // The screenshot: the button's last letter is drawn inside it, so the
    // column of pixels just inside its right edge (before the outline) stays
    // clear of text while the text's right end is left of it.
    const auto shot = o->createComponentSnapshot(autoSort.getBounds());
    const auto ink = themeColour(ThemeColour::textSecondary);
    bool textAtEdge = false;
    for (int y = 4; y < shot.getHeight() - 4; ++y)
        textAtEdge = textAtEdge || test::nearColour(shot.getPixelAt(shot.getWidth() - 6, y), ink, 60);
    EXPECT_FALSE(textAtEdge);
    o->removeFromDesktop();
}

TEST(ZemEditOverlayZoom, SetZoomRoundsClampsAndEnablesTheButtons) {
    Mounted o(standaloneDeps());
    ZemEditOverlayTestAccess a(*o);
    struct Case {
        double asked;
        double zoom;
        const char* text;
        bool outEnabled, inEnabled;
    };
    const Case cases[] = {
        {1.3, 1.25, "1.25\xc3\x97", true, true},  {3.9, 4.0, "4\xc3\x97", true, false},
        {0.2, 1.0, "1\xc3\x97", false, true},     {2.6, 2.5, "2.5\xc3\x97", true, true},
        {1.125, 1.25, "1.25\xc3\x97", true, true}, {9.0, 4.0, "4\xc3\x97", true, false},
    };
    for (const auto& c : cases) {
        o->setZoom(c.asked, -1.0f);
        EXPECT_DOUBLE_EQ(o->zoomFactor(), c.zoom) << c.asked;
        EXPECT_EQ(a.zoomLabel().getText(), juce::String::fromUTF8(c.text)) << c.asked;
        // The whole factor fits inside the label's text area: never "1...".
        const auto& label = a.zoomLabel();
        EXPECT_LE(label.getFont().getStringWidthFloat(label.getText()),
                  static_cast<float>(label.getWidth() - label.getBorderSize().getLeftAndRight()))
            << c.asked;
        EXPECT_EQ(a.zoomOut().isEnabled(), c.outEnabled) << c.asked;
        EXPECT_EQ(a.zoomIn().isEnabled(), c.inEnabled) << c.asked;
        EXPECT_EQ(a.bandContent().getWidth(), static_cast<int>(std::round(1238 * c.zoom))) << c.asked;
    }
    EXPECT_EQ(a.zoomLabel().findColour(juce::Label::textColourId), themeColour(ThemeColour::textSecondary));
    EXPECT_EQ(a.zoomLabel().getJustificationType(), juce::Justification::centred);
}

TEST(ZemEditOverlayZoom, AnchorsKeepTheirContentInPlace) {
    Mounted o(standaloneDeps());
    ZemEditOverlayTestAccess a(*o);
    // The buttons keep the middle: 1 -> 1.5 puts the middle (619) at 928.5.
    a.zoomIn().triggerClick();
    pumpUntil([&] { return o->zoomFactor() == 1.5; });
    EXPECT_DOUBLE_EQ(o->zoomFactor(), 1.5);
    EXPECT_NEAR(a.horizontal().getCurrentRangeStart(), 928.5 - 619.0, 1e-9);
    EXPECT_EQ(a.bandContent().getX(), -309);

    // The left edge as anchor keeps the left edge's content: at scroll 309.5
    // and zoom 1.5, going to 3 doubles the offset.
    o->setZoom(3.0, 0.0f);
    EXPECT_NEAR(a.horizontal().getCurrentRangeStart(), 619.0, 1e-9);
    // Back to 1: the whole content is visible, so the scroll start is 0.
    o->setZoom(1.0, 100.0f);
    EXPECT_DOUBLE_EQ(a.horizontal().getCurrentRangeStart(), 0.0);
    EXPECT_DOUBLE_EQ(a.horizontal().getRangeLimit().getLength(), 1238.0);
    // With zoom 2 the bar allows one grid width of travel.
    o->setZoom(2.0, -1.0f);
    EXPECT_DOUBLE_EQ(a.horizontal().getRangeLimit().getLength() - a.horizontal().getCurrentRangeSize(), 1238.0);
}

TEST(ZemEditOverlayZoom, WheelZoomsOnlyOverTheGrid) {
    Mounted o(standaloneDeps());
    const auto wheel = [&](juce::Point<int> p, float dy) {
        juce::MouseWheelDetails details{};
        details.deltaY = dy;
        const auto now = juce::Time::getCurrentTime();
        const juce::MouseEvent e(juce::Desktop::getInstance().getMainMouseSource(), p.toFloat(), {}, 0.0f, 0.0f, 0.0f,
                                 0.0f, 0.0f, o.overlay.get(), o.overlay.get(), now, p.toFloat(), now, 0, false);
        o->mouseWheelMove(e, details);
    };
    struct Case {
        juce::Point<int> at;
        float dy;
        double zoomAfter;
    };
    const Case cases[] = {
        {{15, 131}, -1.0f, 1.0},   // down at 1: stays
        {{15, 131}, 1.0f, 1.25},   // top-left corner of the grid is inside
        {{600, 550}, 1.0f, 1.25},  // over the hits axis
        {{600, 535}, 1.0f, 1.25},  // over the horizontal scrollbar
        {{1253, 300}, 1.0f, 1.25}, // right edge of the grid is outside
        {{1252, 529}, 1.0f, 1.5},  // last pixel inside
        {{1252, 529}, -1.0f, 1.25},
    };
    for (const auto& c : cases) {
        wheel(c.at, c.dy);
        EXPECT_DOUBLE_EQ(o->zoomFactor(), c.zoomAfter) << c.at.toString();
    }
}

TEST(ZemEditOverlayPaint, FrameInsideTheGlowAndTheFailureText) {
    // A file that fails to open: the overlay paints the failure text in the
    // warning colour and keeps its controls.
    test::TempDir dir;
    const auto junk = dir.write("junk.zem", fmt::Bytes(200, 0x41));
    Mounted o(standaloneDeps(junk));
    ZemEditOverlayTestAccess a(*o);
    EXPECT_EQ(o->viewModel.openState, 2);
    const auto image = test::render(*o);
    const auto panel = themeColour(ThemeColour::panelBackground);
    EXPECT_EQ(panel, juce::Colour(0xFF0D1C31));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(30, 300), panel));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(1250, 140), panel));
    // Just outside the frame: the glow over the black background.
    EXPECT_FALSE(test::nearColour(image.getPixelAt(8, 300), juce::Colours::black, 1));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(2, 300), juce::Colours::black));
    const auto warning = themeColour(ThemeColour::warning);
    EXPECT_TRUE(test::anyPixel(image.getClippedImage({40, 300, 1200, 90}),
                               [&](juce::Colour c) { return test::nearColour(c, warning, 20); }));
    for (const char* text : {"NEW ZEM", "RESET", "IMPORT SAMPLES", "SAVE", "AUTO-SORT"}) {
        EXPECT_TRUE(a.button(text).isVisible()) << text;
        EXPECT_TRUE(a.button(text).isEnabled()) << text;
    }

    // A loaded document has no failure text.
    Mounted fine(standaloneDeps());
    const auto clean = test::render(*fine);
    EXPECT_FALSE(test::anyPixel(clean.getClippedImage({40, 300, 1200, 90}),
                                [&](juce::Colour c) { return test::nearColour(c, warning, 20); }));
}

TEST(ZemEditOverlayHeader, TitleAndCounts) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"));
    Mounted o(standaloneDeps(kit));
    ZemEditOverlayTestAccess a(*o);
    ASSERT_EQ(o->viewModel.openState, 1);
    EXPECT_EQ(a.title().getText(), "Kit");
    EXPECT_EQ(a.counts().getText(), juce::String::fromUTF8("12 SAMPLES \xc2\xb7 4 DYNAMIC GROUPS"));
    EXPECT_EQ(a.title().findColour(juce::Label::textColourId), themeColour(ThemeColour::textPrimary));
    EXPECT_EQ(a.counts().findColour(juce::Label::textColourId), themeColour(ThemeColour::textMuted));
    // The counts label follows the title, as wide as its text plus 12.
    const int countsWidth = static_cast<int>(std::ceil(a.counts().getFont().getStringWidthFloat(a.counts().getText()))) + 12;
    EXPECT_EQ(a.counts().getWidth(), countsWidth);

    // A long name widens the title up to 360; an empty one reads "No zem loaded".
    o->document().name = std::string(200, 'W');
    o->refreshHeader();
    EXPECT_EQ(a.title().getWidth(), 360);
    o->document().name.clear();
    o->refreshHeader();
    EXPECT_EQ(a.title().getText(), "No zem loaded");
    EXPECT_EQ(a.counts().getX(), a.title().getRight());
}

TEST(ZemEditOverlayLifetime, HostNotificationsAndClockRegistration) {
    widgets::V6VizService clock;
    std::vector<std::string> events;
    auto d = standaloneDeps();
    d.vizService = &clock;
    d.onActiveChanged = [&](bool on) { events.push_back(on ? "active" : "inactive"); };
    d.onDirtyChanged = [&](bool dirty) { events.push_back(dirty ? "dirty" : "clean"); };
    juce::UndoManager* handedBack = nullptr;
    d.onUndoManager = [&](juce::UndoManager* m) {
        handedBack = m;
        events.push_back("undo manager");
    };
    {
        Mounted o(std::move(d));
        EXPECT_EQ(clock.clients().size(), 1u);
        clock.addClient(o.overlay.get());  // a second registration is not added
        EXPECT_EQ(clock.clients().size(), 1u);
        EXPECT_EQ(events, std::vector<std::string>{"active"});  // a new document is clean: nothing sent
        o->sampleEditor = std::make_unique<juce::Component>("sample editor");
        o->addAndMakeVisible(*o->sampleEditor);
        o->document().changeCounter += 1;  // an edit the host hears about
        o->notifyDirtyChanged();
        EXPECT_EQ(events.back(), "dirty");
        events.clear();
        juce::UndoManager* own = &o->undoManager();
        o.overlay.reset();
        EXPECT_EQ(handedBack, own);
    }
    EXPECT_TRUE(clock.clients().empty());
    EXPECT_EQ(events, (std::vector<std::string>{"inactive", "undo manager", "clean"}));

    // No dirty report at destruction when clean was the last value sent.
    std::vector<bool> sent;
    auto e = standaloneDeps();
    e.onDirtyChanged = [&](bool dirty) { sent.push_back(dirty); };
    { Mounted o(std::move(e)); }
    EXPECT_TRUE(sent.empty());
}

TEST(ZemEditOverlayLifetime, RestoredSnapshotIsDirtyAtOnce) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("snapshot.zem"), 3, 2, "Snap");
    std::vector<bool> sent;
    auto d = standaloneDeps(kit);
    d.restoredSnapshot = true;
    d.libraryFolder = dir.path("library");
    d.onDirtyChanged = [&](bool dirty) { sent.push_back(dirty); };
    Mounted o(std::move(d));
    ASSERT_EQ(o->viewModel.openState, 1);
    EXPECT_EQ(sent, std::vector<bool>{true});
    EXPECT_EQ(o->document().changeCounter, o->document().savedChangeCounter + 1);
    EXPECT_EQ(o->viewModel.destinationPath, dir.path("library") + "/Snap.zem");
    EXPECT_EQ(o->viewModel.destinationKind, 3);
}

TEST(ZemEditOverlayLifetime, OpensAsTheHostAsks) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"), 5, 3, "Five");
    auto model = std::make_shared<fmt::Zem6Model>();
    {
        test::SampleFileBuilder builder;
        *model = test::kitModel(builder, 2, 2, "Converted");
    }
    struct Case {
        std::string path;
        bool withModel;
        int openState;
        std::string name;
        uint64_t samples;
    };
    const Case cases[] = {
        {"", false, 1, "Untitled", 0},
        {"", true, 1, "Untitled", 0},  // a model without a path: the host adopts it later
        {kit, false, 1, "Five", 5},
        {kit, true, 1, "Converted", 2},
        {dir.path("missing.zem"), false, 2, "", 0},
    };
    for (const auto& c : cases) {
        auto d = standaloneDeps(c.path);
        if (c.withModel) d.model = model;
        Mounted o(std::move(d));
        EXPECT_EQ(o->viewModel.openState, c.openState) << c.path;
        if (c.openState == 1) {
            EXPECT_EQ(o->document().name, c.name) << c.path;
            EXPECT_EQ(o->document().liveSampleCount, c.samples) << c.path;
        }
    }
}

TEST(ZemEditOverlayAudition, ServicesReachTheHost) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"), 4, 2);
    struct Recorder : lib::PreviewService {
        std::vector<std::pair<std::string, int32_t>> auditions;
        size_t played = 0;
        bool auditionSample(const std::string& p, int32_t key) override {
            auditions.emplace_back(p, key);
            return true;
        }
        void stop() override {}
        bool play(const float*, size_t count, int32_t, int32_t) override {
            played += count;
            return true;
        }
        void setGain(float) override {}
        float gain() override { return 1.0f; }
    } preview;
    std::vector<std::pair<std::string, int>> files;
    auto d = standaloneDeps(kit);
    d.previewService = &preview;
    d.auditionFile = [&](const std::string& p, int position) { files.emplace_back(p, position); };
    Mounted o(std::move(d));
    ASSERT_EQ(o->viewModel.openState, 1);
    const auto& third = o->document().samples.at(2);
    o->viewModel.auditionStored(kit, third.uid);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], std::make_pair(kit, third.recordIndex + 1));
    const float pcm[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    o->viewModel.playPcm(std::span<const float>(pcm, 4), 2, 44100);
    EXPECT_EQ(preview.played, 4u);

    // Without the host's file audition, the preview service's own.
    o->deps.auditionFile = {};
    o->viewModel.auditionStored(kit, 999999);  // no such sample
    ASSERT_EQ(preview.auditions.size(), 1u);
    EXPECT_EQ(preview.auditions[0].second, -1);

    // Without a preview service nothing plays.
    o->deps.previewService = nullptr;
    o->viewModel.playPcm(std::span<const float>(pcm, 4), 2, 44100);
    o->viewModel.auditionStored(kit, third.uid);
    EXPECT_EQ(preview.played, 4u);
    EXPECT_EQ(preview.auditions.size(), 1u);
}

// Keys go through a real window's peer, as the user's do.
struct OverlayWindowTest : ::testing::Test {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;
    struct Step : juce::UndoableAction {
        int& value;
        explicit Step(int& v) : value(v) {}
        bool perform() override {
            ++value;
            return true;
        }
        bool undo() override {
            --value;
            return true;
        }
    };
    int value = 0;

    void SetUp() override {
        host.setSize(1280, 689);
        overlay = std::make_unique<ZemEditOverlay>(standaloneDeps());
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        host.addToDesktop(0);
        host.setVisible(true);
        overlay->grabKeyboardFocus();
        pumpUntil([&] { return overlay->hasKeyboardFocus(false); }, 1000);
        overlay->undoManager().beginNewTransaction();
        overlay->undoManager().perform(new Step(value));
    }
    void TearDown() override {
        host.removeFromDesktop();
        overlay.reset();
    }
    bool press(const juce::KeyPress& key) { return host.getPeer()->handleKeyPress(key); }
};

TEST_F(OverlayWindowTest, UndoRedoAndDeleteKeys) {
    const auto ctrl = juce::ModifierKeys::ctrlModifier;
    const auto shift = juce::ModifierKeys::shiftModifier;
    ASSERT_EQ(value, 1);
    struct Case {
        juce::KeyPress key;
        bool used;
        int valueAfter;
    };
    const Case cases[] = {
        {juce::KeyPress('z', ctrl, 0), true, 0},
        {juce::KeyPress('Z', ctrl | shift, 0), true, 1},
        {juce::KeyPress(juce::KeyPress::deleteKey), true, 1},     // nothing selected: swallowed
        {juce::KeyPress(juce::KeyPress::backspaceKey), true, 1},
        {juce::KeyPress('o', ctrl, 0), false, 1},                 // the host's
        {juce::KeyPress('s', ctrl, 0), false, 1},
        {juce::KeyPress(juce::KeyPress::escapeKey), false, 1},    // no level panel open
    };
    for (const auto& c : cases) {
        EXPECT_EQ(press(c.key), c.used) << c.key.getTextDescription();
        EXPECT_EQ(value, c.valueAfter) << c.key.getTextDescription();
    }
}

TEST_F(OverlayWindowTest, EscapeClosesTheLevelPanelWithoutModifiersOnly) {
    ZemEditOverlayTestAccess a(*overlay);
    a.openLevelPanel();
    EXPECT_FALSE(press(juce::KeyPress(juce::KeyPress::escapeKey, juce::ModifierKeys::shiftModifier, 0)));
    EXPECT_TRUE(a.levelPanelOpen());
    EXPECT_TRUE(press(juce::KeyPress(juce::KeyPress::escapeKey)));
    EXPECT_FALSE(a.levelPanelOpen());
}

TEST_F(OverlayWindowTest, AnOpenSampleEditorLeavesEveryKeyAlone) {
    // A sample editor that passes keys on (a placeholder taking none).
    overlay->sampleEditor = std::make_unique<juce::Component>("sample editor");
    overlay->addAndMakeVisible(*overlay->sampleEditor);
    overlay->resized();
    EXPECT_EQ(overlay->sampleEditor->getBounds(), overlay->getLocalBounds());
    overlay->sampleEditor->setWantsKeyboardFocus(true);
    overlay->sampleEditor->grabKeyboardFocus();
    const auto ctrl = juce::ModifierKeys::ctrlModifier;
    for (const auto& key : {juce::KeyPress(juce::KeyPress::deleteKey), juce::KeyPress(juce::KeyPress::backspaceKey),
                            juce::KeyPress('z', ctrl, 0)}) {
        EXPECT_FALSE(press(key)) << key.getTextDescription();
        EXPECT_EQ(value, 1) << key.getTextDescription();
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit
