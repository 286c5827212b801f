#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "analysis/auto_sort.hpp"
#include "editor/logic/doc_fixture.hpp"
#include "editor/ui/band_column.hpp"
#include "editor/ui/boundary_editor.hpp"
#include "editor/ui/band_grid_access.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "editor/ui/zem_chip.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

using logic::EditDocument;
using test::pumpUntil;

using test::PeerMouse;

// A component on the desktop holding the component under test at (0, 0).
struct Window {
    juce::Component top;
    explicit Window(juce::Component& c, int w, int h) {
        top.setSize(w, h);
        c.setTopLeftPosition(0, 0);
        top.addAndMakeVisible(c);
        top.addToDesktop(0);
        top.setVisible(true);
        pumpUntil([&] { return top.getPeer() != nullptr && top.isShowing(); }, 1000);
    }
    ~Window() { top.removeFromDesktop(); }
};

TEST(BandColour, TableEntriesAndTextColour) {
    struct Case {
        int group;
        uint8_t r, g, b;
        bool dark;
    };
    const Case cases[] = {
        {0, 0, 108, 96, false},   {1, 220, 154, 39, true},   {14, 254, 226, 146, true},
        {15, 107, 116, 123, false}, {17, 220, 154, 39, true}, {-1, 107, 116, 123, false},
        {-17, 107, 116, 123, false}, {5, 130, 21, 23, false}, {32, 0, 108, 96, false},
    };
    for (const auto& c : cases) {
        const auto colour = bandColour(c.group);
        EXPECT_EQ(colour, juce::Colour(c.r, c.g, c.b)) << c.group;
        EXPECT_EQ(bandColourWantsDarkText(colour), c.dark) << c.group;
    }
}

TEST(ZemChipZones, SplitTheRow) {
    struct Case {
        int width;
        bool soloed;
        ChipZones want;
    };
    const Case cases[] = {
        // 40 px: inner 26, no label, play [19, 33), mute [7, 19).
        {40, false, {7, 0, 7, 0, 7, 12, 19, 14}},
        {40, true, {7, 0, 7, 0, 7, 12, 19, 14}},
        {200, false, {7, 156, 163, 0, 165, 14, 179, 14}},
        {200, true, {7, 142, 149, 14, 165, 14, 179, 14}},
        {10, false, {7, 0, 7, 0, 7, 0, 7, 0}},
        // 38 px: 10 px left for the mute zone, too narrow for its "M": none.
        {38, false, {7, 0, 7, 0, 17, 0, 17, 14}},
    };
    for (const auto& c : cases) {
        const auto z = chipZones(c.width, c.soloed);
        EXPECT_EQ(std::vector<int>({z.nameX, z.nameW, z.soloX, z.soloW, z.muteX, z.muteW, z.playX, z.playW}),
                  std::vector<int>({c.want.nameX, c.want.nameW, c.want.soloX, c.want.soloW, c.want.muteX,
                                    c.want.muteW, c.want.playX, c.want.playW}))
            << c.width << (c.soloed ? " soloed" : "");
    }
}

logic::EditSample sampleRecord(uint64_t uid, bool muted = false, bool soloed = false) {
    logic::EditSample s;
    s.uid = uid;
    s.muted = muted ? 1 : 0;
    s.soloed = soloed ? 1 : 0;
    s.recordIndex = static_cast<int32_t>(uid) - 1;
    return s;
}

// Counts each callback of a chip and keeps the last arguments.
struct ChipLog {
    std::vector<std::string> events;
    void attach(ZemChip& chip) {
        chip.onClick = [this](uint64_t, const juce::ModifierKeys& m) {
            events.push_back(std::string("click") + (m.isShiftDown() ? "+shift" : "") + (m.isCtrlDown() ? "+ctrl" : ""));
        };
        chip.onAudition = [this](uint64_t) { events.push_back("audition"); };
        chip.onMute = [this](uint64_t, bool muted) { events.push_back(muted ? "mute" : "unmute"); };
        chip.onDrag = [this](uint64_t, juce::Point<int>) {
            if (events.empty() || events.back() != "drag") events.push_back("drag");
        };
        chip.onMenu = [this](uint64_t, juce::Point<int>) { events.push_back("menu"); };
        chip.onDrop = [this](uint64_t, bool dropped) { events.push_back(dropped ? "drop" : "cancel"); };
        chip.onEdit = [this](uint64_t) { events.push_back("edit"); };
    }
};

TEST(ZemChipGestures, ThroughARealPeer) {
    using P = juce::Point<float>;
    struct Case {
        const char* name;
        bool selected, muted;
        P press;
        std::optional<P> to;
        bool right;
        int mods;
        std::vector<std::string> want;
    };
    // A 176 x 22 chip: play zone [155, 169), mute zone [141, 155).
    const Case cases[] = {
        {"click on the label", false, false, {30, 11}, {}, false, 0, {"click"}},
        {"shift click", false, false, {30, 11}, {}, false, juce::ModifierKeys::shiftModifier, {"click+shift"}},
        {"ctrl click", false, false, {30, 11}, {}, false, juce::ModifierKeys::ctrlModifier, {"click+ctrl"}},
        {"play zone only auditions", false, false, {160, 11}, {}, false, 0, {"audition"}},
        {"mute zone reports the opposite", false, false, {148, 11}, {}, false, 0, {"mute"}},
        {"mute zone on a muted chip", false, true, {148, 11}, {}, false, 0, {"unmute"}},
        {"9 px sideways drags and drops", false, false, {30, 11}, P{39, 11}, false, 0, {"drag", "drop"}},
        {"8 px sideways is still a click", false, false, {30, 11}, P{38, 11}, false, 0, {"click"}},
        {"20 px vertically never drags", false, false, {30, 2}, P{30, 22}, false, 0, {"click"}},
        {"release below the play zone clicks", false, false, {160, 11}, P{160, 24}, false, 0, {"click"}},
        {"right click on an unselected chip", false, false, {30, 11}, {}, true, 0, {"click", "menu"}},
        {"right click on a selected chip", true, false, {30, 11}, {}, true, 0, {"menu"}},
    };
    for (const auto& c : cases) {
        ZemChip chip;
        chip.setSize(176, 22);
        chip.setSample(sampleRecord(1, c.muted), "Snare 1", c.selected, false, 0, false);
        ChipLog log;
        log.attach(chip);
        Window window(chip, 200, 40);
        PeerMouse mouse{window.top};
        mouse.gesture(c.press, c.to, c.right, c.mods);
        EXPECT_EQ(log.events, c.want) << c.name;
    }
}

TEST(ZemChipGestures, ANarrowChipMutesOnlyWhereItDrawsItsM) {
    const juce::String m("M");
    for (const auto& [width, want] : {std::pair{40, "mute"}, std::pair{38, "click"}}) {
        ZemChip chip;
        chip.setSize(width, 22);
        chip.setSample(sampleRecord(1), "Snare 1", false, false, 0, false);
        ChipLog log;
        log.attach(chip);
        Window window(chip, 60, 40);
        PeerMouse mouse{window.top};
        mouse.gesture({12.0f, 11.0f});
        ASSERT_EQ(log.events.size(), 1u) << width;
        EXPECT_EQ(log.events.front(), want) << width;
    }
}

TEST(ZemChipGestures, DoubleClickEditsAfterTwoClicks) {
    ZemChip chip;
    chip.setSize(176, 22);
    chip.setSample(sampleRecord(1), "Kick", false, false, 0, false);
    ChipLog log;
    log.attach(chip);
    Window window(chip, 200, 40);
    PeerMouse mouse{window.top};
    const juce::Point<float> p{30, 11};
    mouse.send(p, {}, 1000);
    mouse.send(p, PeerMouse::held(false));
    mouse.send(p, {});
    mouse.send(p, PeerMouse::held(false));
    mouse.send(p, {});
    EXPECT_EQ(log.events, (std::vector<std::string>{"click", "click", "edit"}));
}

TEST(ZemChipPaint, FaceTextSilencingAndRings) {
    struct Case {
        const char* name;
        int band;
        bool muted, soloed, anySolo, selected, suggested;
        float flash;
        bool silenced, whiteRing, redRing;
        juce::Colour face;  // expected near the bottom of the face, left of the text
    };
    const auto c0 = bandColour(0), c1 = bandColour(1);
    const Case cases[] = {
        {"plain", 0, false, false, false, false, false, 0.0f, false, false, false, c0},
        {"group 17 is entry 1", 17, false, false, false, false, false, 0.0f, false, false, false, c1},
        {"muted dims", 0, true, false, false, false, false, 0.0f, true, false, false, c0},
        {"another solo dims", 0, false, false, true, false, false, 0.0f, true, false, false, c0},
        {"own solo does not", 0, false, true, true, false, false, 0.0f, false, false, false, c0},
        {"selected", 0, false, false, false, true, false, 0.0f, false, true, false, c0},
        {"suggested", 0, false, false, false, false, true, 0.0f, false, false, true, c0},
        {"selected and suggested", 0, false, false, false, true, true, 0.0f, false, true, false, c0},
        {"full flash covers the face", 0, false, false, false, false, false, 1.0f, false, false, false,
         juce::Colours::white},
    };
    for (const auto& c : cases) {
        ZemChip chip;
        chip.setSize(176, 22);
        chip.setSample(sampleRecord(1, c.muted, c.soloed), "", c.selected, c.suggested, c.band, c.anySolo);
        chip.flashLevel = c.flash;
        EXPECT_EQ(chip.silenced, c.silenced) << c.name;
        const auto image = test::render(chip, juce::Colours::black);
        // Row 16, x 60: clear of text, cross and rings; the face under the
        // top-down white highlight (alpha 41 at the top, 0 at the bottom).
        const auto face = image.getPixelAt(60, 16);
        const float highlight = 41.0f / 255.0f * (1.0f - 16.5f / 22.0f);
        const auto lit = c.face.overlaidWith(juce::Colours::white.withAlpha(highlight));
        const auto expected = c.silenced ? juce::Colours::black.interpolatedWith(lit, 0.55f) : lit;
        EXPECT_TRUE(test::nearColour(face, expected, 5))
            << c.name << " " << face.toDisplayString(true) << " want " << expected.toDisplayString(true);
        // The white selection ring lies on the outermost pixels of the long edge.
        const auto top = image.getPixelAt(88, 0);
        const auto ring = image.getPixelAt(88, 1);
        if (c.whiteRing) {
            EXPECT_GT(top.getBrightness(), 0.8f) << c.name;
        }
        if (c.redRing) {
            EXPECT_TRUE(test::nearColour(ring, juce::Colour(255, 112, 112), 30)) << c.name << ring.toDisplayString(true);
        }
        if (!c.redRing) {
            EXPECT_FALSE(test::nearColour(ring, juce::Colour(255, 112, 112), 30)) << c.name;
        }
        if (c.silenced) {
            // The cross is drawn at full strength over the dimmed chip.
            EXPECT_GT(image.getPixelAt(88, 11).getBrightness(), face.getBrightness()) << c.name;
        }
    }
}

TEST(ZemChipPaint, LabelAndSoloMark) {
    struct Case {
        int band;
        bool soloed;
        float flash;
        bool darkText;
    };
    const Case cases[] = {{0, false, 0.0f, false}, {1, false, 0.0f, true}, {0, false, 0.5f, true}, {0, true, 0.0f, false}};
    for (const auto& c : cases) {
        ZemChip chip;
        chip.setSize(176, 22);
        chip.setSample(sampleRecord(1, false, c.soloed), "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW", false, false, c.band, c.soloed);
        chip.flashLevel = c.flash;
        const auto image = test::render(chip);
        const auto z = chipZones(176, c.soloed);
        bool sawDark = false, sawWhite = false;
        for (int y = 4; y < 18; ++y)
            for (int x = z.nameX; x < z.nameX + z.nameW; ++x) {
                const auto p = image.getPixelAt(x, y);
                sawDark = sawDark || p.getBrightness() < 0.25f;
                sawWhite = sawWhite || p.getBrightness() > 0.95f;
            }
        if (c.darkText) {
            EXPECT_TRUE(sawDark) << c.band << " " << c.flash;
        }
        if (!c.darkText && c.flash == 0.0f) {
            EXPECT_TRUE(sawWhite) << c.band;
        }
        bool markInk = false;
        for (int y = 4; y < 18; ++y)
            for (int x = z.soloX; x < z.soloX + std::max(z.soloW, 0); ++x)
                markInk = markInk || image.getPixelAt(x, y).getBrightness() > 0.8f;
        EXPECT_EQ(markInk, c.soloed) << c.band;
    }
}

// A document with one layer, one articulation, `counts.size()` bands holding
// that many loaded samples each.
void fill(EditDocument& doc, const std::vector<int>& counts) {
    logic::test::shape(doc, {false}, 1, static_cast<int>(counts.size()));
    for (size_t b = 0; b < counts.size(); ++b)
        for (int i = 0; i < counts[b]; ++i)
            logic::test::addLoaded(doc, 0, 0, static_cast<int32_t>(b), logic::test::measuredLevel(-20.0));
}

TEST(BandColumnPopulate, SubColumnsAndRows) {
    struct Case {
        int samples, subColumns, rows;
    };
    // A visible height of 400 fits 14 rows.
    const Case cases[] = {{0, 1, 1}, {10, 1, 10}, {14, 1, 14}, {15, 2, 14}, {40, 2, 20}, {29, 2, 15}};
    for (const auto& c : cases) {
        EditDocument doc;
        fill(doc, {c.samples});
        BandColumn column;
        column.setSize(200, 400);
        int budget = 256;
        column.populate(doc, 0, 0, 400, 400, budget);
        EXPECT_EQ(column.subColumns, c.subColumns) << c.samples;
        EXPECT_EQ(column.rows, c.rows) << c.samples;
        EXPECT_EQ(column.sampleCount, c.samples);
    }
}

TEST(BandColumnPopulate, ChipPlaces) {
    struct Case {
        int width, samples;
        std::vector<juce::Rectangle<int>> first;  // chips 0 and, with two sub-columns, the first of the right
        size_t rightChip;
    };
    const Case cases[] = {
        {200, 3, {{12, 14, 176, 22}, {12, 40, 176, 22}}, 1},
        {200, 15, {{3, 14, 93, 22}, {100, 14, 93, 22}}, 14},
        {100, 2, {{3, 14, 94, 22}, {3, 40, 94, 22}}, 1},
        {4, 1, {{3, 14, 1, 22}}, 0},
    };
    for (const auto& c : cases) {
        EditDocument doc;
        fill(doc, {c.samples});
        BandColumn column;
        column.setSize(c.width, 400);
        int budget = 256;
        column.populate(doc, 0, 0, 400, 400, budget);
        ASSERT_GT(column.chips.size(), c.rightChip);
        EXPECT_EQ(column.chips[0]->getBounds(), c.first[0]) << c.width << " " << c.samples;
        if (c.first.size() > 1) {
            EXPECT_EQ(column.chips[c.rightChip]->getBounds(), c.first[1]) << c.width;
        }
        for (auto& chip : column.chips) EXPECT_LE(chip->getWidth(), 176);
    }
}

TEST(BandColumnPopulate, SharedBudgetAndVisibleRows) {
    EditDocument doc;
    fill(doc, {60, 60, 60, 60, 60});
    const int visible = 14 + 26 * 60;
    int budget = 256;
    std::vector<size_t> shown;
    std::vector<std::unique_ptr<BandColumn>> columns;
    for (int b = 0; b < 5; ++b) {
        columns.push_back(std::make_unique<BandColumn>());
        columns.back()->setSize(200, visible);
        columns.back()->populate(doc, b, 0, visible, visible, budget);
        shown.push_back(columns.back()->slots.size());
    }
    EXPECT_EQ(shown, (std::vector<size_t>{60, 60, 60, 60, 16}));
    EXPECT_EQ(budget, 0);

    // The budget's last column counts what it left out in the row after
    // its chips.
    EXPECT_EQ(columns[4]->moreRow, 16);
    EXPECT_EQ(columns[4]->moreCount, 44);
    EXPECT_EQ(columns[0]->moreRow, -1);

    // Scrolled: only rows in view get chips, and rebinding reuses the chips
    // instead of making new ones. The last row wholly in view says how many
    // samples lie below it, the first one offers the way back once rows are
    // scrolled away; a row only partly in view holds neither.
    struct Case {
        int top, bottom;
        int firstSlot, slotCount;
        int backRow, moreRow, moreCount;
    };
    const Case cases[] = {{0, 400, 0, 14, -1, 14, 46},      {260, 660, 11, 13, 10, 24, 36},
                          {1560, 1960, 0, 0, 60, -1, 0},    {0, 0, 0, 0, -1, -1, 0},
                          {5000, 5400, 0, 0, 192, -1, 0},   {0, 1574, 0, 60, -1, -1, 0},
                          {1000, 1074, 37, 2, -1, 39, 21}};
    auto& column = *columns[0];
    for (const auto& c : cases) {
        int b = 256;
        const size_t chipsBefore = column.chips.size();
        column.populate(doc, 0, c.top, c.bottom, visible, b);
        ASSERT_EQ(static_cast<int>(column.slots.size()), c.slotCount) << c.top;
        if (c.slotCount > 0) {
            EXPECT_EQ(column.slots.front(), c.firstSlot) << c.top;
        }
        EXPECT_EQ(column.backRow, c.backRow) << c.top;
        EXPECT_EQ(column.moreRow, c.moreRow) << c.top;
        EXPECT_EQ(column.moreCount, c.moreCount) << c.top;
        EXPECT_EQ(column.chips.size(), chipsBefore);
        size_t visibleChips = 0;
        for (auto& chip : column.chips) visibleChips += chip->isVisible() ? 1 : 0;
        EXPECT_EQ(visibleChips, static_cast<size_t>(c.slotCount));
    }
}

TEST(BandColumnPopulate, BindsSelectionSoloAndPage) {
    EditDocument doc;
    logic::test::shape(doc, {false, true}, 1, 1);
    const uint64_t a = logic::test::addLoaded(doc, 0, 0, 0, logic::test::measuredLevel(-20.0));
    const uint64_t b = logic::test::addLoaded(doc, 1, 0, 0, logic::test::measuredLevel(-20.0));
    doc.samples[1].soloed = 1;
    struct Case {
        const char* name;
        int pageLayer;
        bool all;
        std::vector<uint64_t> selection;
        std::vector<uint64_t> shown, selected, silenced;
    };
    const Case cases[] = {
        {"every page", -1, false, {b}, {a, b}, {b}, {a}},
        {"all selected on a page", 0, true, {}, {a}, {a}, {a}},
        {"room page", 1, false, {}, {b}, {}, {}},
    };
    for (const auto& c : cases) {
        doc.setPage(c.pageLayer, -1);
        doc.allSelected = c.all ? 1 : 0;
        doc.selection = {c.selection.begin(), c.selection.end()};
        BandColumn column;
        column.setSize(200, 400);
        int budget = 256;
        column.populate(doc, 0, 0, 400, 400, budget);
        std::vector<uint64_t> shown, selected, silenced;
        for (auto& chip : column.chips) {
            if (!chip->isVisible()) continue;
            shown.push_back(chip->uid);
            if (chip->selected) selected.push_back(chip->uid);
            if (chip->silenced) silenced.push_back(chip->uid);
        }
        EXPECT_EQ(shown, c.shown) << c.name;
        EXPECT_EQ(selected, c.selected) << c.name;
        EXPECT_EQ(silenced, c.silenced) << c.name;
    }
}

TEST(BandColumnPopulate, SuggestionsOnlyFromACurrentPlacement) {
    struct Case {
        const char* name;
        int64_t placedBand;
        uint8_t changed;
        bool current;
        bool suggested;
    };
    const Case cases[] = {
        {"another group", 1, 1, true, true},
        {"its own group", 0, 0, true, false},
        {"placement out of date", 1, 1, false, false},
    };
    for (const auto& c : cases) {
        EditDocument doc;
        fill(doc, {1, 0});
        const uint64_t uid = doc.samples[0].uid;
        fmt::SortPlacement placed;
        placed.band = c.placedBand;
        placed.assigned = 1;
        placed.changed = c.changed;
        doc.autoPlacement[uid] = placed;
        doc.indexedRevision = c.current ? doc.structureRevision : doc.structureRevision - 1;
        BandColumn column;
        column.setSize(200, 400);
        int budget = 256;
        column.populate(doc, 0, 0, 400, 400, budget);
        ASSERT_FALSE(column.chips.empty());
        EXPECT_EQ(column.chips[0]->suggested, c.suggested) << c.name;
        EXPECT_EQ(column.chips[0]->getTooltip().isNotEmpty(), c.suggested) << c.name;
    }
}

TEST(BandColumnPaint, TintDotAndCross) {
    struct Case {
        int band;
        uint8_t alpha;
    };
    const Case cases[] = {{0, 7}, {5, 35}, {45, 255}, {60, 255}};
    for (const auto& c : cases) {
        BandColumn column;
        column.setSize(100, 60);
        column.bandIndex = c.band;
        const auto image = test::draw(100, 60, [&](juce::Graphics& g) { column.paintEntireComponent(g, false); });
        EXPECT_EQ(image.getPixelAt(50, 40).getAlpha(), c.alpha) << c.band;
        // The dot sits at x 7 in the group's colour; the cross at the right of the title row.
        const auto dot = image.getPixelAt(11, 7);
        EXPECT_TRUE(test::nearColour(dot.withAlpha(static_cast<uint8_t>(255)), bandColour(c.band), 6))
            << c.band << dot.toDisplayString(true);
        bool crossInk = false;
        for (int y = 0; y < 14; ++y)
            for (int x = 84; x < 100; ++x)
                crossInk = crossInk || image.getPixelAt(x, y).getAlpha() > c.alpha + 40;
        EXPECT_TRUE(crossInk || c.alpha == 255) << c.band;
    }
}

TEST(BandColumnMouse, TitleRowBackgroundAndRename) {
    struct Case {
        const char* name;
        juce::Point<float> at;
        bool right;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"below the title row clears", {50, 15}, false, {"background"}},
        {"on the last title pixel nothing", {50, 14}, false, {}},
        {"the cross deletes", {90, 6}, false, {"delete 2"}},
        {"the cross's left edge", {84, 13}, false, {"delete 2"}},
        {"left of the cross nothing", {83, 6}, false, {}},
        {"right button asks for the menu", {50, 100}, true, {"menu 2"}},
    };
    for (const auto& c : cases) {
        BandColumn column;
        column.setSize(100, 200);
        column.bandIndex = 2;
        std::vector<std::string> got;
        column.callbacks.onBackgroundClick = [&] { got.push_back("background"); };
        column.callbacks.onBandDelete = [&](int g) { got.push_back("delete " + std::to_string(g)); };
        column.callbacks.onBandMenu = [&](int g, juce::Point<int>) { got.push_back("menu " + std::to_string(g)); };
        Window window(column, 100, 200);
        PeerMouse mouse{window.top};
        mouse.gesture(c.at, {}, c.right);
        EXPECT_EQ(got, c.want) << c.name;
    }

    // A double-click on the title row opens the rename editor with the
    // stored name; Return hands the text as typed to the callback.
    BandColumn column;
    column.setSize(100, 200);
    column.name = "Soft";
    std::vector<std::string> renamed;
    column.callbacks.onBandRename = [&](int, const std::string& n) { renamed.push_back(n); };
    Window window(column, 100, 200);
    PeerMouse mouse{window.top};
    mouse.send({20, 5}, {}, 1000);
    mouse.send({20, 5}, PeerMouse::held(false));
    mouse.send({20, 5}, {});
    mouse.send({20, 5}, PeerMouse::held(false));
    mouse.send({20, 5}, {});
    ASSERT_TRUE(column.renameEditor.isVisible());
    EXPECT_EQ(column.renameEditor.getBounds(), juce::Rectangle<int>(4, 1, 110, 12));
    EXPECT_EQ(column.renameEditor.getText(), "Soft");
    // The text fits the 12 px box: its font, indents and border leave the
    // whole line height inside.
    const auto& box = column.renameEditor;
    EXPECT_LE(box.getFont().getHeight() + static_cast<float>(box.getTopIndent() + box.getBorder().getTopAndBottom()),
              static_cast<float>(box.getHeight()));
    column.renameEditor.setText("  soft ");
    column.renameEditor.keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
    pumpUntil([&] { return !renamed.empty(); }, 1000);
    EXPECT_FALSE(column.renameEditor.isVisible());
    EXPECT_EQ(renamed, std::vector<std::string>{"  soft "});

    // A group with the default name opens the box with the name the menus
    // show; Return on it unchanged keeps the stored name (no rename at all),
    // Escape hands nothing on.
    struct NameCase {
        const char* name;
        std::string typed;  // empty: left as shown
        juce::KeyPress key;
        std::vector<std::string> want;
    };
    const NameCase names[] = {
        {"unchanged", "", juce::KeyPress(juce::KeyPress::returnKey), {"Band 3"}},
        {"typed over", "Ghost", juce::KeyPress(juce::KeyPress::returnKey), {"Ghost"}},
        {"escape", "Ghost", juce::KeyPress(juce::KeyPress::escapeKey), {}},
    };
    for (const auto& c : names) {
        renamed.clear();
        column.name = "Band 3";
        column.shownName = "Dynamic 3";
        mouse.send({20, 5}, {}, 1000);
        mouse.send({20, 5}, PeerMouse::held(false));
        mouse.send({20, 5}, {});
        mouse.send({20, 5}, PeerMouse::held(false));
        mouse.send({20, 5}, {});
        ASSERT_TRUE(column.renameEditor.isVisible()) << c.name;
        EXPECT_EQ(column.renameEditor.getText(), "Dynamic 3") << c.name;
        EXPECT_EQ(column.renameEditor.getHighlightedRegion(), juce::Range<int>(0, 9)) << c.name;
        for (const auto ch : juce::String(c.typed)) column.renameEditor.keyPressed(juce::KeyPress(0, 0, ch));
        column.renameEditor.keyPressed(c.key);
        EXPECT_TRUE(pumpUntil([&] { return !column.renameEditor.isVisible(); }, 1000)) << c.name;
        test::pumpFor(30);
        EXPECT_EQ(renamed, c.want) << c.name;
    }
}

TEST(BoundaryEditorTest, LineAndGestures) {
    BoundaryEditor editor(1);
    editor.setSize(14, 50);
    const auto image = test::draw(14, 50, [&](juce::Graphics& g) { editor.paintEntireComponent(g, false); });
    for (int x = 0; x < 14; ++x)
        EXPECT_EQ(image.getPixelAt(x, 25), (x == 6 || x == 7) ? themeColour(ThemeColour::border) : juce::Colour())
            << x;

    struct Case {
        const char* name;
        std::optional<juce::Point<float>> to;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"press and release", {}, {"start 1", "end 1"}},
        {"drag reports the parent's x", juce::Point<float>{40, 5}, {"start 1", "move 1 40", "end 1"}},
        {"far left", juce::Point<float>{-300, 5}, {"start 1", "move 1 -300", "end 1"}},
    };
    for (const auto& c : cases) {
        juce::Component parent;
        parent.setSize(300, 50);
        BoundaryEditor e(1);
        e.setBounds(100, 0, 14, 50);
        parent.addAndMakeVisible(e);
        std::vector<std::string> got;
        e.positionToLevel = [](float x) { return static_cast<int>(x); };
        e.onDragStart = [&](int b) { got.push_back("start " + std::to_string(b)); };
        e.onDragMove = [&](int b, int l) { got.push_back("move " + std::to_string(b) + " " + std::to_string(l)); };
        e.onDragEnd = [&](int b) { got.push_back("end " + std::to_string(b)); };
        Window window(parent, 300, 50);
        PeerMouse mouse{window.top};
        mouse.gesture({107, 5}, c.to);
        EXPECT_EQ(got, c.want) << c.name;
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit

namespace vt6::ui::zemedit {
namespace {

ZemEditDeps kitDeps(const std::string& path) {
    ZemEditDeps d;
    d.standalone = true;
    d.filePath = path;
    return d;
}

// An overlay on a written kit, sized so that its grid is `gridWidth` wide.
struct GridFixture {
    test::TempDir dir;
    std::unique_ptr<ZemEditOverlay> overlay;

    explicit GridFixture(int samples = 12, int groups = 4, int gridWidth = 1000) {
        const auto path = test::writeKit(dir.path("kit.zem"), samples, groups);
        overlay = std::make_unique<ZemEditOverlay>(kitDeps(path));
        overlay->setSize(1280, 689);
        const int w = overlay->gridAreaBounds().getWidth();
        overlay->setSize(1280 + gridWidth - w, 689);
    }
    BandGridTestAccess access() { return BandGridTestAccess(*overlay); }
    EditDocument& doc() { return overlay->document(); }
    // Boundaries as a loaded file could carry them.
    void setBoundaries(const std::vector<int32_t>& splits) {
        std::vector<double> positions(splits.size() + 1, 0.0);
        doc().setBandLayout(splits, positions);
        overlay->refreshAfterCommand();
    }
};

TEST(BandGridLayout, ColumnsAndHandlesFollowTheBoundaries) {
    GridFixture f;
    ASSERT_EQ(f.overlay->gridAreaBounds().getWidth(), 1000);
    f.setBoundaries({32, 64, 96});
    auto a = f.access();
    ASSERT_EQ(a.columns().size(), 4u);
    ASSERT_EQ(a.editors().size(), 3u);
    const int H = a.content().getHeight();
    const int ends[] = {252, 504, 756, 1000};
    int start = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a.columns()[i]->getBounds(), juce::Rectangle<int>(start, 0, ends[i] - start, H)) << i;
        EXPECT_EQ(a.columns()[i]->getTitle(), juce::String("G") + juce::String(static_cast<int>(i) + 1));
        start = ends[i];
    }
    const int xs[] = {245, 497, 749};
    const char* titles[] = {"Dynamics boundary 32", "Dynamics boundary 64", "Dynamics boundary 96"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(a.editors()[i]->getBounds(), juce::Rectangle<int>(xs[i], 0, 14, H)) << i;
        EXPECT_EQ(a.editors()[i]->getTitle(), titles[i]);
    }
    // Handles lie over the columns they separate.
    EXPECT_GT(a.content().getIndexOfChildComponent(a.editors()[0].get()),
              a.content().getIndexOfChildComponent(a.columns()[3].get()));
}

TEST(BandGridLayout, OneGroupZoomAndEmptyColumns) {
    GridFixture one(3, 1, 600);
    auto a = one.access();
    ASSERT_EQ(a.columns().size(), 1u);
    EXPECT_TRUE(a.editors().empty());
    EXPECT_EQ(a.columns()[0]->getBounds().getWidth(), 600);

    one.overlay->setZoom(2.0, 0.0f);
    EXPECT_EQ(a.content().getWidth(), 1200);
    EXPECT_EQ(a.columns()[0]->getWidth(), 1200);
    EXPECT_EQ(a.horizontal().getMaximumRangeLimit() - a.horizontal().getCurrentRangeSize(), 600.0);

    // Two boundaries on one level: the column between them keeps 1 px.
    GridFixture f(6, 3, 1000);
    f.setBoundaries({64, 64});
    EXPECT_EQ(f.access().columns()[1]->getWidth(), 1);
}

// Kits with many samples per group in the window of a 1600 x 1000 screen:
// every column fills the rows in view before it hides anything, "+N more"
// counts what lies below the chips shown and pages on to it, and "Back to
// first" returns to the first chips.
TEST(BandGridLayout, MoreLinesPageOnAndBack) {
    struct Case {
        int groups, perGroup;
    };
    for (const Case c : {Case{8, 500}, Case{12, 100}}) {
        SCOPED_TRACE(std::to_string(c.groups) + " x " + std::to_string(c.perGroup));
        GridFixture f(c.groups * c.perGroup, c.groups, 1600 - 42);
        f.overlay->setSize(f.overlay->getWidth(), 1000 - 91);
        f.overlay->addToDesktop(0);
        f.overlay->setVisible(true);
        pumpUntil([&] { return f.overlay->isShowing(); }, 1000);
        f.overlay->refreshAll();
        auto a = f.access();
        ASSERT_EQ(a.columns().size(), static_cast<size_t>(c.groups));
        const int gridH = f.overlay->gridAreaBounds().getHeight();
        // The rows whose chips lie wholly in view; the last holds the line.
        const int rowsInView = (gridH - BandColumn::kTitleHeight - BandColumn::kChipHeight) / BandColumn::kRowPitch + 1;
        for (auto& column : a.columns()) {
            SCOPED_TRACE(column->bandIndex);
            EXPECT_EQ(column->sampleCount, c.perGroup);
            EXPECT_EQ(column->subColumns, 2);
            EXPECT_EQ(column->moreRow, rowsInView - 1);
            // Both sub-columns full down to the line: no free row above it.
            EXPECT_EQ(column->slots.size(), static_cast<size_t>(2 * column->moreRow));
            EXPECT_EQ(column->slots.front(), 0);
            EXPECT_EQ(column->moreCount, c.perGroup - static_cast<int>(column->slots.size()));
            EXPECT_EQ(column->backRow, -1);
        }

        // The screenshot: the last column draws "+N more" below its chips.
        auto& last = *a.columns().back();
        EXPECT_TRUE(test::anyPixel(last.createComponentSnapshot(last.moreArea), [](juce::Colour colour) {
            return test::nearColour(colour, themeColour(ThemeColour::textSecondary), 60);
        }));

        // Pressed, it brings the rows below the chips shown into view, under
        // "Back to first", and counts what is still below.
        PeerMouse mouse{*f.overlay};
        const int moreRow = last.moreRow;
        const int moreCount = last.moreCount;
        const auto firstUid = last.chips[0]->uid;
        mouse.gesture(f.overlay->getLocalPoint(&last, last.moreArea.getCentre()).toFloat());
        ASSERT_TRUE(pumpUntil([&] { return !last.slots.empty() && last.slots.front() > 0; }, 1000));
        EXPECT_EQ(last.slots.front(), moreRow);
        EXPECT_EQ(last.backRow, moreRow - 1);
        EXPECT_LT(last.moreCount, moreCount);
        EXPECT_EQ(last.moreCount, c.perGroup - 2 * last.moreRow);
        EXPECT_NE(last.chips[0]->uid, firstUid);
        // The chips now shown lie in the view.
        const auto shown = f.overlay->getLocalArea(last.chips[0].get(), last.chips[0]->getLocalBounds());
        EXPECT_TRUE(f.overlay->gridAreaBounds().contains(shown)) << shown.toString();

        // Paging on to the end leaves no line below the last chips.
        for (int page = 0; page < 40 && last.moreRow >= 0; ++page) {
            const int before = last.moreCount;
            mouse.gesture(f.overlay->getLocalPoint(&last, last.moreArea.getCentre()).toFloat());
            ASSERT_TRUE(pumpUntil([&] { return last.moreCount < before; }, 1000)) << page;
        }
        EXPECT_EQ(last.moreRow, -1);
        EXPECT_EQ(last.slots.back(), c.perGroup - 1);

        // "Back to first" returns to the first chips.
        ASSERT_GE(last.backRow, 0);
        mouse.gesture(f.overlay->getLocalPoint(&last, last.backArea.getCentre()).toFloat());
        ASSERT_TRUE(pumpUntil([&] { return !last.slots.empty() && last.slots.front() == 0; }, 1000));
        EXPECT_EQ(last.backRow, -1);
        EXPECT_EQ(last.chips[0]->uid, firstUid);
        EXPECT_EQ(last.moreCount, moreCount);
        f.overlay->removeFromDesktop();
    }
}

TEST(BandGridLayout, ContentGrowsWithRows) {
    GridFixture f(120, 2, 1000);
    auto a = f.access();
    const int gridH = f.overlay->gridAreaBounds().getHeight();
    int rows = 0;
    for (auto& c : a.columns()) rows = std::max(rows, c->rows);
    EXPECT_EQ(a.content().getHeight(), std::max(gridH, rows * 26 + 18));
    int chips = 0;
    for (auto& c : a.columns()) chips += static_cast<int>(c->slots.size());
    EXPECT_LE(chips, 256);
    EXPECT_GT(chips, 0);
}

TEST(BandGridLayout, BandIndexAtEdges) {
    GridFixture f;
    f.setBoundaries({32, 64, 96});
    const auto g = f.overlay->gridAreaBounds();
    struct Case {
        juce::Point<int> p;
        int want;
    };
    const Case cases[] = {
        {{g.getX(), g.getY()}, 0},
        {{g.getX() + 251, g.getY() + 5}, 0},
        {{g.getX() + 252, g.getY() + 5}, 1},
        {{g.getX() + 999, g.getBottom() - 1}, 3},
        {{g.getRight(), g.getY() + 5}, -1},
        {{g.getX() + 10, g.getBottom()}, -1},
        {{g.getX() - 1, g.getY() + 5}, -1},
        {{g.getX() + 10, g.getY() - 1}, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(f.overlay->bandIndexAt(c.p), c.want) << c.p.toString();
}

TEST(BandGridBoundaryDrag, ClampsCommitsAndStaysSortable) {
    struct Case {
        const char* name;
        std::vector<int32_t> start;
        int boundary;
        int level;
        std::vector<int32_t> want;
    };
    const Case cases[] = {
        {"first towards 0", {32, 64, 96}, 0, 0, {6, 64, 96}},
        {"last towards 127", {32, 64, 96}, 2, 127, {32, 64, 121}},
        {"past the right neighbour", {32, 64, 96}, 0, 100, {58, 64, 96}},
        {"past the left neighbour", {32, 64, 96}, 2, 10, {32, 64, 70}},
        {"within the limits", {32, 64, 96}, 1, 50, {32, 50, 96}},
        // Neighbours closer than 12: stay strictly between them.
        {"tight, towards the right", {10, 14, 16}, 1, 127, {10, 15, 16}},
        {"tight, towards the left", {10, 14, 16}, 1, 0, {10, 11, 16}},
        {"tight first", {3, 5, 100}, 0, 127, {4, 5, 100}},
        {"tight last", {20, 122, 125}, 2, 0, {20, 122, 123}},
        {"tight last to the top", {20, 122, 125}, 2, 127, {20, 122, 126}},
    };
    for (const auto& c : cases) {
        GridFixture f;
        f.setBoundaries(c.start);
        auto a = f.access();
        auto& editor = *a.editors()[static_cast<size_t>(c.boundary)];
        const int before = f.overlay->undoManager().getNumActionsInCurrentTransaction() +
                           (f.overlay->undoManager().canUndo() ? 1 : 0);
        editor.onDragStart(c.boundary);
        editor.onDragMove(c.boundary, c.level);
        // The layout follows the drag values before anything is committed.
        EXPECT_EQ(f.doc().velocitySplits, c.start) << c.name;
        editor.onDragEnd(c.boundary);
        EXPECT_EQ(f.doc().velocitySplits, c.want) << c.name;
        EXPECT_EQ(f.doc().dragBoundary, -1);
        EXPECT_TRUE(f.overlay->undoManager().canUndo()) << c.name;
        (void)before;
        EXPECT_EQ(f.overlay->undoManager().getUndoDescription(), "Move dynamics boundary") << c.name;

        // The sort assigns the softest of two hits (level 0 on the scale) only
        // under boundaries it accepts.
        std::vector<fmt::SortSample> samples(2);
        for (size_t i = 0; i < 2; ++i) {
            samples[i].id = i + 1;
            samples[i].currentBand = 0;
            samples[i].hitLevel = logic::test::measuredLevel(i == 0 ? -60.0 : 0.0);
        }
        const auto placed = fmt::autoSortBands(samples, f.doc().velocitySplits);
        ASSERT_EQ(placed.size(), 2u);
        EXPECT_NE(placed[0].assigned, 0)
            << c.name << ": the sort refused the boundaries";
        const std::vector<int32_t> unordered = {c.want[0], c.want[0], c.want[2]};
        EXPECT_EQ(fmt::autoSortBands(samples, unordered)[0].assigned, 0);
    }
}

TEST(BandGridBoundaryDrag, LevelsFromPositionsAndLiveLayout) {
    GridFixture f;
    f.setBoundaries({32, 64, 96});
    auto a = f.access();
    auto& editor = *a.editors()[1];
    struct Case {
        float x;
        int level;
    };
    const Case cases[] = {{-500.0f, 0}, {0.0f, 0}, {500.0f, 64}, {503.9f, 64}, {1000.0f, 127}, {5000.0f, 127}};
    for (const auto& c : cases) EXPECT_EQ(editor.positionToLevel(c.x), c.level) << c.x;

    editor.onDragStart(1);
    editor.onDragMove(1, 80);
    // Live: the columns and the handle follow the drag values.
    EXPECT_EQ(a.columns()[1]->getRight(), 630);
    EXPECT_EQ(a.editors()[1]->getX(), 623);
    EXPECT_EQ(a.editors()[1]->getTitle(), "Dynamics boundary 80");
    // The axis under the grid moves its dB pill with the edge.
    ASSERT_EQ(a.hitsAxis().boundaries().size(), 3u);
    EXPECT_DOUBLE_EQ(a.hitsAxis().boundaries()[1], 80.0 / 127.0);
    editor.onDragEnd(1);
    EXPECT_EQ(f.doc().velocitySplits, (std::vector<int32_t>{32, 80, 96}));
    // The handles survive their own release: no rebuild for a boundary change.
    EXPECT_EQ(a.editors()[1].get(), &editor);

    // Press and release without moving: no step.
    f.overlay->undoManager().clearUndoHistory();
    editor.onDragStart(1);
    editor.onDragEnd(1);
    EXPECT_FALSE(f.overlay->undoManager().canUndo());
    // Out-of-range starts and moves without a drag change nothing.
    editor.onDragStart(7);
    EXPECT_EQ(f.doc().dragBoundary, -1);
    editor.onDragMove(1, 10);
    editor.onDragEnd(1);
    EXPECT_EQ(f.doc().velocitySplits, (std::vector<int32_t>{32, 80, 96}));
    EXPECT_FALSE(f.overlay->undoManager().canUndo());
}

TEST(BandGridFlashes, TriggeredSampleCountsFromTheHost) {
    struct Case {
        int reported;
        std::vector<int32_t> numbers;  // written into the buffer
        std::vector<uint32_t> lit;     // flash slots lit afterwards
    };
    const Case cases[] = {
        {2, {1, 3}, {0, 2}},
        {70, {2}, {1}},   // more than the buffer holds: read the 64 entries only
        {-1, {1, 2}, {}}, // negative: nothing
        {3, {0, -4, 500}, {}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const auto path = test::writeKit(dir.path("kit.zem"));
        auto deps = kitDeps(path);
        int calls = 0, capacity = 0;
        deps.pullTriggeredSamples = [&](int32_t* buffer, int cap) {
            ++calls;
            capacity = cap;
            for (size_t i = 0; i < c.numbers.size(); ++i) buffer[i] = c.numbers[i];
            return c.reported;
        };
        ZemEditOverlay overlay(std::move(deps));
        overlay.setSize(1280, 689);
        BandGridTestAccess a(overlay);
        overlay.updateFlashes(juce::Time::getMillisecondCounter());
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(capacity, 64);
        std::vector<uint32_t> lit(a.chipFlashes().litList().begin(), a.chipFlashes().litList().end());
        std::sort(lit.begin(), lit.end());
        EXPECT_EQ(lit, c.lit) << c.reported;
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit
