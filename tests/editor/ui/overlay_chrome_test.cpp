#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "editor/logic/juce/juce_history_sink.hpp"
#include "widgets/message_boxes.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/wide_plus.hpp"

namespace vt6::ui::zemedit {

// Reaches the overlay's header and strip controls.
class ZemEditOverlayChromeAccess {
public:
    explicit ZemEditOverlayChromeAccess(ZemEditOverlay& o) : o_(o) {}
    ReorderStrip& strip(bool rooms) { return rooms ? o_.roomStrip : o_.articulationStrip; }
    juce::Viewport& articulationViewport() { return o_.articulationViewport; }
    widgets::V6DropChip& drumChip() { return o_.drumTypeChip; }
    juce::Button& addGroup() { return o_.addGroupButton; }
    juce::Button& close() { return o_.closeButton; }
    juce::Button& zoomIn() { return o_.zoomInButton; }
    juce::Button& zoomOut() { return o_.zoomOutButton; }
    juce::Button& level() { return o_.levelButton; }
    juce::Label& title() { return o_.titleLabel; }
    juce::Label& counts() { return o_.countsLabel; }
    SessionHitsAxis& axis() { return o_.hitsAxis; }
    juce::ScrollBar& horizontal() { return o_.horizontalScrollBar; }
    juce::Rectangle<int> gridArea() const { return o_.gridArea; }
    widgets::V6Button& button(const juce::String& text) {
        for (auto* b : {&o_.autoSortButton, &o_.newButton, &o_.resetButton, &o_.importButton, &o_.saveButton})
            if (b->getButtonText() == text) return *b;
        throw std::runtime_error("no button " + text.toStdString());
    }
    void reorder(bool rooms, int from, int to) { o_.stripReordered(rooms, from, to); }
    const std::vector<int32_t>& list(bool rooms) const { return rooms ? o_.roomList : o_.articulationList; }

private:
    ZemEditOverlay& o_;
};

namespace {

using test::pumpUntil;
using Access = ZemEditOverlayChromeAccess;

const juce::String kPlus = juce::String::fromUTF8(widgets::kWidePlusLabel);

// The overlay in a window of its own: mouse events go through the window's
// peer, as the user's do.
struct Shown {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;

    explicit Shown(ZemEditDeps deps) {
        host.setSize(1280, 689);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        host.addToDesktop(0);
        host.setVisible(true);
        pumpUntil([&] { return host.getPeer() != nullptr; }, 1000);
    }
    ~Shown() {
        host.removeFromDesktop();
        overlay.reset();
    }
    ZemEditOverlay* operator->() { return overlay.get(); }
    ZemEditOverlay& operator*() { return *overlay; }

    // Undo steps on the overlay's undo manager.
    int count() {
        int n = 0;
        auto& um = overlay->undoManager();
        while (um.canUndo()) {
            um.undo();
            ++n;
        }
        for (int i = 0; i < n; ++i) um.redo();
        return n;
    }

    juce::Point<float> inHost(juce::Component& c, juce::Point<float> local) {
        return host.getLocalPoint(&c, local);
    }
    void event(juce::Point<float> p, juce::ModifierKeys mods) {
        static int64_t clock = juce::Time::currentTimeMillis();
        clock += 400;  // never a double click
        host.getPeer()->handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, p, mods,
                                         juce::MouseInputSource::defaultPressure,
                                         juce::MouseInputSource::defaultOrientation, clock);
    }
    void click(juce::Component& c, juce::Point<float> local, bool right = false) {
        const auto p = inHost(c, local);
        event(p, {});
        event(p, right ? juce::ModifierKeys::rightButtonModifier : juce::ModifierKeys::leftButtonModifier);
        event(p, {});
    }
    void click(juce::Component& c) { click(c, c.getLocalBounds().toFloat().getCentre()); }
    void drag(juce::Component& c, float y, std::initializer_list<float> xs) {
        auto it = xs.begin();
        const auto start = inHost(c, {*it, y});
        event(start, {});
        event(start, juce::ModifierKeys::leftButtonModifier);
        juce::Point<float> last = start;
        for (++it; it != xs.end(); ++it) {
            last = inHost(c, {*it, y});
            event(last, juce::ModifierKeys::leftButtonModifier);
        }
        event(last, {});
    }
    void clickSegment(bool rooms, int segment) {
        Access a(*overlay);
        auto& strip = a.strip(rooms);
        click(strip, strip.segmentBounds(segment).toFloat().getCentre());
    }
};

ZemEditDeps standalone() {
    ZemEditDeps d;
    d.standalone = true;
    return d;
}

juce::StringArray labelsOf(ReorderStrip& strip) { return strip.labels(); }

TEST(OverlayHeader, ControlsCarryTheirTooltips) {
    Shown s(standalone());
    Access a(*s);
    const std::pair<juce::SettableTooltipClient*, const char*> cases[] = {
        {&a.button("AUTO-SORT"),
         "Sort by recorded attack strength within each articulation; preserve manual placements"},
        {&a.button("NEW ZEM"), "Start an empty zem"},
        {&a.button("RESET"), "Discard every edit and reload the zem as it was opened"},
        {&a.button("IMPORT SAMPLES"), "Import audio into the selected room channel and articulation"},
        {&a.button("SAVE"), "Write and verify a Vantorel 6 zem, preserving native sample rate and stereo audio"},
        {&a.drumChip(), "The kind of drum this zem is"},
        {&a.strip(true), "Click to filter; drag to reorder; right-click to delete a room channel"},
        {&a.strip(false), "Click to filter; drag to reorder; right-click to delete an articulation"},
        {dynamic_cast<juce::SettableTooltipClient*>(&a.zoomIn()), "Zoom in"},
        {dynamic_cast<juce::SettableTooltipClient*>(&a.zoomOut()), "Zoom out"},
        {dynamic_cast<juce::SettableTooltipClient*>(&a.addGroup()),
         "Add a dynamic \xe2\x80\x94 splits the widest band"},
    };
    for (const auto& [control, tip] : cases) {
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->getTooltip(), juce::String::fromUTF8(tip));
    }
    EXPECT_EQ(a.strip(true).getName(), "Room channel filters");
    EXPECT_EQ(a.strip(true).getTitle(), "Room channel filters");
    EXPECT_EQ(a.strip(false).getName(), "Articulation filters");
    EXPECT_EQ(a.addGroup().getButtonText(), kPlus);
}

TEST(OverlayHeader, AddGroupAndZoomButtons) {
    Shown s(standalone());
    Access a(*s);
    const auto bands = s->document().bandCount();
    s.click(a.addGroup());
    EXPECT_EQ(s->document().bandCount(), bands + 1);
    EXPECT_EQ(s.count(), 1);
    EXPECT_EQ(s->undoManager().getUndoDescription(), "Add dynamic");
    EXPECT_TRUE(a.counts().getText().contains(juce::String(bands + 1) + " DYNAMIC GROUPS"));

    struct Case {
        bool in;
        double zoom;
    };
    const Case steps[] = {{true, 1.5}, {true, 2.0}, {false, 1.5}, {false, 1.0}, {false, 1.0}};
    for (const auto& c : steps) {
        auto& b = c.in ? a.zoomIn() : a.zoomOut();
        if (b.isEnabled()) s.click(b);
        EXPECT_EQ(s->zoomFactor(), c.zoom);
    }
}

TEST(OverlayHeader, HostCallbacksAndSave) {
    struct Calls {
        int news = 0, resets = 0, imports = 0, saves = 0;
        bool saveHadContinuation = true;
    } calls;
    auto deps = standalone();
    deps.onNew = [&] { ++calls.news; };
    deps.onReset = [&] { ++calls.resets; };
    deps.onImport = [&] { ++calls.imports; };
    deps.onSave = [&](std::function<void()> then) {
        ++calls.saves;
        calls.saveHadContinuation = static_cast<bool>(then);
    };
    Shown s(std::move(deps));
    Access a(*s);
    for (const char* text : {"NEW ZEM", "RESET", "IMPORT SAMPLES", "SAVE", "AUTO-SORT"}) s.click(a.button(text));
    EXPECT_EQ(calls.news, 1);
    EXPECT_EQ(calls.resets, 1);
    EXPECT_EQ(calls.imports, 1);
    EXPECT_EQ(calls.saves, 1);
    EXPECT_FALSE(calls.saveHadContinuation);
    // Without the host's callbacks the buttons reach the overlay's own
    // fallbacks: NEW starts an empty zem at once (nothing is unsaved), SAVE
    // opens the overlay's save dialog.
    s->deps.onNew = {};
    s->deps.onSave = {};
    s->document().name = "Renamed";
    s.click(a.button("NEW ZEM"));
    EXPECT_EQ(s->document().name, "Untitled");
    s.click(a.button("SAVE"));
    auto* dialog = dynamic_cast<juce::AlertWindow*>(juce::Component::getCurrentlyModalComponent());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->getName(), "Save zem");
    dialog->exitModalState(0);
    EXPECT_TRUE(pumpUntil([] { return juce::Component::getCurrentlyModalComponent() == nullptr; }, 2000));
}

TEST(OverlayHeader, DrumTypeIsOneStepWhenItChanges) {
    struct Case {
        int id;
        uint8_t stored;
        int steps;
        int presetType;  // set behind the chip's back, -1 none
    };
    // The new document's type is UNKNOWN (id 6). Choosing the type the
    // document already has is no step but still refreshes.
    const Case cases[] = {{1, 0, 1, -1}, {2, 1, 1, -1}, {3, 2, 1, -1}, {4, 3, 1, -1},
                          {5, 4, 1, -1}, {3, 2, 0, 2},  {1, 0, 0, 0}};
    for (const auto& c : cases) {
        Shown s(standalone());
        Access a(*s);
        if (c.presetType >= 0) s->document().drumType = static_cast<uint8_t>(c.presetType);
        ASSERT_EQ(a.drumChip().getNumItems(), 6);
        EXPECT_EQ(a.drumChip().getItemText(c.id - 1),
                  (juce::StringArray{"KICK", "SNARE", "HI-HAT", "TOM", "CYMBAL", "UNKNOWN"})[c.id - 1]);
        // A name changed behind the overlay's back shows only after a refresh.
        s->document().name = "Renamed";
        a.drumChip().setSelectedId(c.id, juce::sendNotificationSync);
        EXPECT_EQ(s->document().drumType, c.stored) << c.id;
        EXPECT_EQ(s.count(), c.steps) << c.id;
        if (c.steps == 1) {
            EXPECT_EQ(s->undoManager().getUndoDescription(), "Set drum type");
        }
        EXPECT_EQ(a.title().getText(), "Renamed") << c.id;
    }
}

TEST(OverlayStrips, SegmentsAndFiltering) {
    Shown s(standalone());
    Access a(*s);
    EXPECT_EQ(labelsOf(a.strip(true)), (juce::StringArray{"ALL", "Direct", kPlus}));
    EXPECT_EQ(labelsOf(a.strip(false)), (juce::StringArray{"ALL", "CENTER", kPlus}));

    struct Case {
        bool rooms;
        int segment;
        int32_t pageLayer, pageArticulation;
    };
    const Case cases[] = {{true, 1, 0, -1}, {false, 1, 0, 0}, {true, 0, -1, 0}, {false, 0, -1, -1}};
    for (const auto& c : cases) {
        s.clickSegment(c.rooms, c.segment);
        EXPECT_EQ(s->document().pageLayer, c.pageLayer) << c.rooms << c.segment;
        EXPECT_EQ(s->document().pageArticulation, c.pageArticulation) << c.rooms << c.segment;
        EXPECT_EQ(a.strip(c.rooms).getSelectedIndex(), c.segment);
    }
    // Filters are not edits.
    EXPECT_EQ(s.count(), 0);
}

TEST(OverlayStrips, AddingRoomChannels) {
    Shown s(standalone());
    Access a(*s);
    const char* added[] = {"Room channel A", "Room channel B", "Room channel C"};
    for (const char* name : added) {
        const int plus = a.strip(true).getNumSegments() - 1;
        ASSERT_TRUE(a.strip(true).isSegmentEnabled(plus));
        s.clickSegment(true, plus);
        EXPECT_EQ(a.strip(true).labels()[a.strip(true).getNumSegments() - 2], name);
    }
    EXPECT_EQ(s->document().layers.back().name, "Room C");
    EXPECT_EQ(s->document().layers.size(), 4u);
    const int plus = a.strip(true).getNumSegments() - 1;
    EXPECT_FALSE(a.strip(true).isSegmentEnabled(plus));
    s.clickSegment(true, plus);
    EXPECT_EQ(s->document().layers.size(), 4u);
    EXPECT_EQ(s.count(), 3);

    // Any letter case of "room" shows as a room channel.
    s->document().layers[3].name = "ROOM D";
    s->refreshStrips();
    EXPECT_EQ(a.strip(true).labels()[4], "Room channel D");
}

TEST(OverlayStrips, WithoutStandaloneTheNextFreeRoomSlotIsShown) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"), 4, 2);
    ZemEditDeps deps;
    deps.filePath = kit;
    Shown s(std::move(deps));
    Access a(*s);
    EXPECT_EQ(labelsOf(a.strip(true)), (juce::StringArray{"ALL", "Direct", kPlus}));
    s.clickSegment(true, 2);
    EXPECT_EQ(a.strip(true).getNumSegments(), 4);
    EXPECT_EQ(a.strip(true).labels()[2], "Room channel A");
    EXPECT_EQ(s.count(), 1);
}

TEST(OverlayStrips, ArticulationsUpToTheLimitAndAScrollingStrip) {
    Shown s(standalone());
    Access a(*s);
    while (s->document().articulations.size() < 127) ASSERT_TRUE(s->document().addArticulation());
    s->refreshAfterCommand();
    const int plus = a.strip(false).getNumSegments() - 1;
    EXPECT_TRUE(a.strip(false).isSegmentEnabled(plus));
    // The add segment is scrolled into view first.
    a.articulationViewport().setViewPosition(a.strip(false).getWidth(), 0);
    s.clickSegment(false, plus);
    EXPECT_EQ(s->document().articulations.size(), 128u);
    EXPECT_FALSE(a.strip(false).isSegmentEnabled(a.strip(false).getNumSegments() - 1));
    // The strip is wider than its viewport and scrolls in it, above the
    // viewport's own 10 px scrollbar.
    auto& viewport = a.articulationViewport();
    EXPECT_EQ(a.strip(false).getParentComponent(), viewport.getViewedComponent()->getParentComponent());
    EXPECT_GT(a.strip(false).getWidth(), viewport.getWidth());
    EXPECT_EQ(a.strip(false).getHeight(), viewport.getHeight() - 10);
    EXPECT_TRUE(viewport.getHorizontalScrollBar().isVisible());
    viewport.setViewPosition(400, 0);
    EXPECT_EQ(a.strip(false).getX(), -400);
}

TEST(OverlayStrips, DraggingReordersAsOneUndoStep) {
    struct Case {
        const char* what;
        int pressed, target;
        float offset;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {"first past the third's centre", 1, 3, 3.0f, {"B", "C", "A"}},
        {"third left of the first's centre", 3, 1, -3.0f, {"C", "A", "B"}},
        {"second over its own centre", 2, 2, 3.0f, {"A", "B", "C"}},
    };
    for (const auto& c : cases) {
        Shown s(standalone());
        Access a(*s);
        auto& doc = s->document();
        doc.articulations[0].name = "A";
        doc.addArticulation();
        doc.addArticulation();
        doc.articulations[1].name = "B";
        doc.articulations[2].name = "C";
        s->refreshAfterCommand();
        s->undoManager().clearUndoHistory();
        auto& strip = a.strip(false);
        ASSERT_EQ(strip.labels(), (juce::StringArray{"ALL", "A", "B", "C", kPlus}));
        const float y = strip.getHeight() / 2.0f;
        const float x0 = strip.segmentBounds(c.pressed).toFloat().getCentreX();
        const float x1 = strip.segmentBounds(c.target).toFloat().getCentreX() + c.offset;
        s.drag(strip, y, {x0, x0 + (x1 >= x0 ? 6.0f : -6.0f), x1});
        std::vector<std::string> order;
        for (int32_t i : doc.defOrder(false)) order.push_back(doc.articulations[static_cast<size_t>(i)].name);
        EXPECT_EQ(order, c.order) << c.what;
        const bool moved = c.order != std::vector<std::string>{"A", "B", "C"};
        EXPECT_EQ(s.count(), moved ? 1 : 0) << c.what;
        // The page did not change: a drag is no click.
        EXPECT_EQ(doc.pageArticulation, -1) << c.what;
        if (moved) {
            s->undoManager().undo();
            s->refreshAfterCommand();
            EXPECT_EQ(strip.labels(), (juce::StringArray{"ALL", "A", "B", "C", kPlus})) << c.what;
        }
    }
}

TEST(OverlayStrips, ReordersOutOfRangeAreIgnored) {
    Shown s(standalone());
    Access a(*s);
    s->document().addArticulation();
    s->refreshAfterCommand();
    s->undoManager().clearUndoHistory();
    const std::pair<int, int> cases[] = {{-1, 0}, {0, -1}, {0, 2}, {2, 0}, {1, 1}, {0, 99}};
    for (const auto& [from, to] : cases) a.reorder(false, from, to);
    EXPECT_EQ(s.count(), 0);
    a.reorder(false, 0, 1);
    EXPECT_EQ(s.count(), 1);
}

TEST(OverlayClose, AsksOnlyWithUnsavedChanges) {
    struct Case {
        const char* what;
        bool dirty;
        std::optional<int> answer;  // none: no question expected
        int closes, saves, discards;
    };
    const Case cases[] = {
        {"clean closes at once", false, std::nullopt, 1, 0, 0},
        {"Save saves, then closes", true, 1, 1, 1, 0},
        {"Discard closes without saving", true, 2, 1, 0, 1},
        {"Cancel leaves everything", true, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        int closes = 0, saves = 0;
        std::vector<std::string> discarded;
        std::vector<juce::MessageBoxOptions> asked;
        widgets::setMessageBoxPresenter([&](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            asked.push_back(o);
            if (c.answer) done(*c.answer);
        });
        auto deps = standalone();
        deps.onClose = [&] { ++closes; };
        deps.onSave = [&](std::function<void()> then) {
            ++saves;
            // The host runs the continuation after its save succeeded.
            if (then) then();
        };
        deps.discardSnapshot = [&](const std::string& key) { discarded.push_back(key); };
        Shown s(std::move(deps));
        Access a(*s);
        if (c.dirty) s->document().addBand();
        const auto bands = s->document().bandCount();
        s.click(a.close());
        widgets::setMessageBoxPresenter({});
        EXPECT_EQ(asked.size(), c.answer ? 1u : 0u) << c.what;
        if (!asked.empty()) {
            const auto& o = asked[0];
            EXPECT_EQ(o.getTitle(), "Unsaved changes");
            EXPECT_EQ(o.getMessage(), "The loaded zem has unsaved changes. Save them before closing the editor?");
            EXPECT_EQ(o.getNumButtons(), 3);
            EXPECT_EQ(o.getButtonText(0), "Save");
            EXPECT_EQ(o.getButtonText(1), "Discard");
            EXPECT_EQ(o.getButtonText(2), "Cancel");
            EXPECT_EQ(o.getIconType(), juce::MessageBoxIconType::QuestionIcon);
            EXPECT_EQ(o.getAssociatedComponent(), s.overlay.get());
        }
        EXPECT_EQ(closes, c.closes) << c.what;
        EXPECT_EQ(saves, c.saves) << c.what;
        EXPECT_EQ(discarded.size(), static_cast<size_t>(c.discards)) << c.what;
        if (!discarded.empty()) {
            EXPECT_EQ(discarded[0], s->snapshotKey());
        }
        EXPECT_EQ(s->document().bandCount(), bands) << c.what;
    }
}

TEST(OverlayClose, AFailedSaveLeavesTheEditorOpenAndALateAnswerDoesNothing) {
    int closes = 0;
    std::function<void(int)> pending;
    widgets::setMessageBoxPresenter(
        [&](const juce::MessageBoxOptions&, std::function<void(int)> done) { pending = std::move(done); });
    {
        auto deps = standalone();
        deps.onClose = [&] { ++closes; };
        deps.onSave = [&](std::function<void()>) {};  // refused: the continuation never runs
        Shown s(std::move(deps));
        s->document().addBand();
        s->doClose();
        ASSERT_TRUE(pending);
        pending(1);
        EXPECT_EQ(closes, 0);
        s->doClose();
    }
    // The overlay is gone when the second question is answered.
    pending(2);
    widgets::setMessageBoxPresenter({});
    EXPECT_EQ(closes, 0);
}

TEST(OverlaySnapshots, KeysHashThePathOrTheName) {
    struct Case {
        std::string path, name;
    };
    // FNV-1a over the text with the offset basis 1469598103934665603.
    auto reference = [](const std::string& text) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char b : text) h = (h ^ b) * 1099511628211ull;
        char out[17];
        std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
        return std::string(out);
    };
    EXPECT_EQ(makeSnapshotKey("", ""), reference("new:"));
    EXPECT_EQ(makeSnapshotKey("/a/b.zem", "Kit"), reference("src:/a/b.zem"));
    EXPECT_EQ(makeSnapshotKey("", "Kit"), reference("new:Kit"));
    EXPECT_NE(makeSnapshotKey("/a/b.zem", ""), makeSnapshotKey("/a/c.zem", ""));
    EXPECT_EQ(makeSnapshotKey("", "").size(), 16u);
}

TEST(OverlayDetail, CyclingAssignmentsMuteAndSolo) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"), 1, 1);
    ZemEditDeps deps;
    deps.standalone = true;
    deps.filePath = kit;
    Shown s(std::move(deps));
    Access a(*s);
    auto& doc = s->document();
    EXPECT_EQ(a.counts().getText(), juce::String::fromUTF8("1 SAMPLE \xc2\xb7 1 DYNAMIC GROUP"));
    const uint64_t uid = doc.samples.at(0).uid;
    doc.addLayer("Room A");
    doc.addLayer("Room B");
    s->undoManager().clearUndoHistory();
    struct Case {
        const char* what;
        uint64_t uid;
        char field;
        int32_t layer, articulation;
        int steps;
    };
    const Case cases[] = {
        {"next layer", uid, 'l', 1, 0, 1},   {"next layer again", uid, 'l', 2, 0, 1},
        {"last layer wraps", uid, 'l', 0, 0, 1}, {"one articulation stays", uid, 'a', 0, 0, 1},
        {"unknown uid", 999999, 'l', 0, 0, 0},  {"unknown field", uid, 'x', 0, 0, 0},
    };
    for (const auto& c : cases) {
        s->undoManager().clearUndoHistory();
        s->reassignFromDetail(c.uid, c.field);
        const auto* sample = doc.sampleByUid(uid);
        ASSERT_NE(sample, nullptr);
        EXPECT_EQ(sample->layerIndex, c.layer) << c.what;
        EXPECT_EQ(sample->articulationIndex, c.articulation) << c.what;
        EXPECT_EQ(s.count(), c.steps) << c.what;
        if (c.steps == 1) {
            EXPECT_EQ(s->undoManager().getUndoDescription(), "Reassign sample") << c.what;
        }
    }
    s->setMutedFromDetail(uid, true);
    EXPECT_EQ(doc.sampleByUid(uid)->muted, 1);
    s->setSoloedFromDetail(uid, true);
    EXPECT_EQ(doc.sampleByUid(uid)->soloed, 1);
    s->setSoloedFromDetail(uid, true);  // no change, no step
    s->undoManager().undo();
    EXPECT_EQ(doc.sampleByUid(uid)->soloed, 0);
    EXPECT_EQ(doc.sampleByUid(uid)->muted, 1);
}

TEST(OverlayAxis, FollowsTheGridsScaleScrollAndBoundaries) {
    Shown s(standalone());
    Access a(*s);
    const int g = a.gridArea().getWidth();
    EXPECT_EQ(a.axis().contentWidth(), g);
    EXPECT_EQ(a.axis().scrollOffset(), 0);
    std::vector<double> expected;
    for (int32_t split : s->document().velocitySplits) expected.push_back(split / 127.0);
    EXPECT_EQ(a.axis().boundaries(), expected);
    ASSERT_FALSE(expected.empty());
    s->setZoom(2.0, 0.0f);
    a.horizontal().setCurrentRangeStart(300.0, juce::sendNotificationSync);
    EXPECT_EQ(a.axis().contentWidth(), static_cast<int>(std::round(g * 2.0)));
    EXPECT_EQ(a.axis().scrollOffset(), 300);
    // Without session hits no bars: the shell passes none.
    const auto image = test::render(a.axis());
    const auto bar = Theme::instance().categoryColour(1);
    EXPECT_FALSE(test::anyPixel(image, [&](juce::Colour p) { return test::nearColour(p, bar, 8); }));
}

TEST(OverlayAxis, SessionHitsFromTheHostDrawBars) {
    auto deps = standalone();
    deps.sessionHitLevels = {0.5f, 0.5f, 0.9f};
    Shown s(std::move(deps));
    Access a(*s);
    const auto image = test::render(a.axis());
    const auto bar = Theme::instance().categoryColour(1);
    const int x = static_cast<int>(std::lround(a.axis().contentWidth() * 64.0 / 127.0));
    int rows = 0;
    for (int y = 0; y < image.getHeight(); ++y)
        if (test::nearColour(image.getPixelAt(x, y), bar, 8)) ++rows;
    EXPECT_EQ(rows, 18);
}

TEST(OverlayDrumType, TheListOpensInsideAWindowsContent) {
    juce::DocumentWindow window("Drum type", juce::Colours::black, 0, true);
    window.setUsingNativeTitleBar(true);
    auto* overlay = new ZemEditOverlay(standalone());
    overlay->setSize(1280, 689);
    window.setContentOwned(overlay, true);
    window.setVisible(true);
    pumpUntil([&] { return window.isShowing(); }, 1000);
    Access a(*overlay);
    auto* content = window.getContentComponent();
    const int before = content->getNumChildComponents();
    const int windowBefore = window.getNumChildComponents();
    a.drumChip().showPopup();
    EXPECT_TRUE(pumpUntil([&] { return content->getNumChildComponents() > before; }, 2000));
    EXPECT_EQ(window.getNumChildComponents(), windowBefore);
    juce::PopupMenu::dismissAllActiveMenus();
    pumpUntil([&] { return content->getNumChildComponents() == before; }, 2000);
}

}  // namespace
}  // namespace vt6::ui::zemedit
