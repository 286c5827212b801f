#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "editor/logic/sample_commands.hpp"
#include "editor/ui/detail_fixture.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/menus.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {
namespace {

using namespace detailtest;
using Access = ZemEditOverlayDetailAccess;

const char* kAboveFull = "Stored above the full recorded level (+3.5 dB). Moving the slider replaces it.";
const char* kPlainTip = "The level this channel starts at when the zem is loaded";
const char* kStep = "Set room channel default level";

// Answers the slider's value menu with "Type a value…" while it lives.
struct TypeValueAnswer {
    TypeValueAnswer() {
        widgets::setMenuPresenter(
            [](const juce::PopupMenu&, const juce::PopupMenu::Options&, std::function<void(int)> done) {
                done(widgets::kTypeValueItem);
            });
    }
    ~TypeValueAnswer() { widgets::setMenuPresenter({}); }
};

ChannelLevelPanel& openPanel(Shown& s) {
    Access a(*s);
    s.click(a.levelButton());
    if (a.panel() == nullptr) throw std::runtime_error("the level panel did not open");
    return *a.panel();
}

double levelOf(Shown& s, const char* layer) {
    auto& doc = s->document();
    for (size_t i = 0; i < doc.layers.size(); ++i)
        if (doc.layers[i].name == layer) return doc.layerDefaultLevel(static_cast<int32_t>(i), true);
    ADD_FAILURE() << "no layer " << layer;
    return -1.0;
}

juce::Point<float> pointOf(widgets::V6HSlider& slider, double value) {
    return {static_cast<float>(slider.getPositionOfValue(value)), slider.getHeight() / 2.0f};
}

// Opens the typed-value box of a slider through its right-click menu.
juce::TextEditor* typeInto(Shown& s, widgets::V6HSlider& slider, const juce::String& text) {
    TypeValueAnswer answer;
    s.mouse.gesture(s.at(slider, slider.getLocalBounds().toFloat().getCentre()), std::nullopt, true);
    auto* box = slider.valueEntry().box();
    if (box == nullptr) return nullptr;
    box->setText(text, true);
    return box;
}

TEST(LevelPanelTexts, SliderValuesTooltipsAndValueColumn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> values[] = {{1.5, 100.0}, {1.0, 100.0}, {0.8, 80.0}, {0.0, 0.0},
                                                 {-0.5, 0.0},  {nan, 0.0},   {inf, 0.0},  {0.333, 33.3}};
    for (const auto& [level, value] : values) EXPECT_NEAR(levelSliderValue(level), value, 1e-9) << level;
    EXPECT_EQ(levelTooltip(1.5), kAboveFull);
    EXPECT_EQ(levelTooltip(2.0), "Stored above the full recorded level (+6.0 dB). Moving the slider replaces it.");
    for (double level : {1.0, 0.5, 0.0, nan, inf}) EXPECT_EQ(levelTooltip(level), kPlainTip) << level;
    const std::pair<double, const char*> texts[] = {
        {79.5, "80 %"}, {79.4, "79 %"}, {0.0, "0 %"}, {-3.0, "0 %"}, {140.0, "100 %"}, {nan, "0 %"}};
    for (const auto& [value, text] : texts) EXPECT_EQ(ChannelLevelPanel::valueColumnText(value), text) << value;
}

TEST(LevelPanelLayout, ColumnsAndSizeFollowTheRows) {
    const auto nameWidth = [](const char* name) {
        return static_cast<int>(std::ceil(makeFont(kTypeValue).getStringWidthFloat(name)));
    };
    const int valueColumn = static_cast<int>(std::ceil(makeFont(kTypeText).getStringWidthFloat("100 %"))) + 4;
    const int titleWidth =
        static_cast<int>(std::ceil(makeFont(kTypeHeading).getStringWidthFloat(ChannelLevelPanel::kTitle))) + 28;
    const std::string longName(80, 'W');
    struct Case {
        std::vector<std::string> names;
        int nameColumn;
    };
    const Case cases[] = {
        {{"A", "B"}, 64},
        {{"A", "Direct channel wide"}, std::clamp(nameWidth("Direct channel wide") + 4, 64, 160)},
        {{"Direct", longName}, 160},
        {{"Direct"}, 64},
    };
    for (const auto& c : cases) {
        ChannelLevelPanel panel;
        std::vector<LevelRow> rows;
        for (size_t i = 0; i < c.names.size(); ++i) rows.push_back({static_cast<uint32_t>(i), i + 10, c.names[i], 1.0});
        panel.setRows(rows, 2);
        const int n = static_cast<int>(rows.size());
        EXPECT_EQ(panel.nameColumnWidth(), c.nameColumn) << c.names.back();
        EXPECT_EQ(panel.valueColumnWidth(), valueColumn);
        EXPECT_EQ(panel.getWidth(), std::max(titleWidth, c.nameColumn + valueColumn + 228)) << c.names.back();
        EXPECT_EQ(panel.getHeight(), 58 + 30 * n + 4 * (n - 1));
        ASSERT_EQ(panel.sliderCount(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            auto& slider = panel.slider(i);
            EXPECT_EQ(slider.getBounds(), juce::Rectangle<int>(c.nameColumn + 24, 44 + 34 * static_cast<int>(i), 180, 30));
            EXPECT_EQ(slider.getName(), juce::String(c.names[i]) + " default level");
            EXPECT_EQ(slider.colourIndex, 2);
            EXPECT_EQ(slider.getMinimum(), 0.0);
            EXPECT_EQ(slider.getMaximum(), 100.0);
            EXPECT_EQ(slider.getInterval(), 1.0);
            EXPECT_EQ(slider.valueText(42.4), "42 %");
            EXPECT_EQ(slider.unit, "%");
        }
        test::render(panel);
    }
}

TEST(LevelPanel, OpensUnderItsButtonWithARowPerChannel) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& button = a.levelButton();
    EXPECT_TRUE(button.isEnabled());
    EXPECT_EQ(button.getTooltip(), "Room channel default levels");
    EXPECT_EQ(button.getName(), "Room channel default levels");
    auto& panel = openPanel(s);
    EXPECT_EQ(panel.getName(), "Room Channel Default Levels");
    EXPECT_EQ(panel.getTitle(), "Room Channel Default Levels");
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.getParentComponent(), s.overlay.get());
    EXPECT_TRUE(button.isActive());
    const auto b = button.getBounds();
    EXPECT_EQ(panel.getPosition(), juce::Point<int>(b.getX(), b.getBottom() + 4));

    struct Row {
        const char* name;
        double value;
        const char* tip;
    };
    const Row rows[] = {{"Direct", 100.0, kPlainTip}, {"Room A", 100.0, kAboveFull}, {"Room B", 50.0, kPlainTip}};
    ASSERT_EQ(panel.sliderCount(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(panel.rows()[i].name, rows[i].name);
        EXPECT_EQ(panel.slider(i).getValue(), rows[i].value) << rows[i].name;
        EXPECT_EQ(panel.slider(i).getTooltip(), rows[i].tip) << rows[i].name;
        EXPECT_TRUE(panel.slider(i).isEnabled());
    }
    EXPECT_EQ(panel.rows()[1].level, 1.5);

    // A press inside keeps it open; the button closes it again.
    s.click(panel, {20.0f, 20.0f});
    EXPECT_NE(a.panel(), nullptr);
    s.click(button);
    EXPECT_EQ(a.panel(), nullptr);
    EXPECT_FALSE(button.isActive());
    EXPECT_EQ(s.steps(), 0);
}

TEST(LevelPanel, StaysInsideTheOverlay) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    // Narrow and short: the panel is pushed inside a 10 px margin.
    Shown s(depsFor(kit), 330, 160);
    Access a(*s);
    auto& panel = openPanel(s);
    const auto b = a.levelButton().getBounds();
    const int W = s->getWidth(), H = s->getHeight();
    const int x = b.getX() < 10 ? 10 : std::min(b.getX(), std::max(10, W - 10 - panel.getWidth()));
    const int y = std::min(b.getBottom() + 4, std::max(10, H - 10 - panel.getHeight()));
    EXPECT_EQ(panel.getPosition(), juce::Point<int>(x, std::max(10, y)));
    EXPECT_EQ(panel.getPosition().y, 10);
    // It follows the overlay's size.
    s->setSize(1280, 689);
    EXPECT_EQ(panel.getPosition(), juce::Point<int>(a.levelButton().getX(), a.levelButton().getBottom() + 4));
}

TEST(LevelPanel, ADragIsOneStepOnlyWhenItEndsElsewhere) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    struct Case {
        const char* what;
        size_t row;
        const char* layer;
        std::vector<double> path;  // slider values: press at the first, release at the last
        double level;
        int steps;
    };
    const Case cases[] = {
        {"above full, released at 80", 1, "Room A", {100, 90, 80}, 0.8, 1},
        {"above full, back where it began", 1, "Room A", {100, 80, 100}, 1.5, 0},
        {"half, back where it began", 2, "Room B", {50, 70, 50}, 0.5, 0},
        {"half, down to nothing", 2, "Room B", {50, 20, 0}, 0.0, 1},
        {"direct, down to 35", 0, "Direct", {100, 35}, 0.35, 1},
    };
    for (const auto& c : cases) {
        Shown s(depsFor(kit));
        Access a(*s);
        auto& panel = openPanel(s);
        auto* slider = &panel.slider(c.row);
        std::vector<juce::Point<float>> through;
        for (size_t i = 1; i < c.path.size(); ++i) through.push_back(pointOf(*slider, c.path[i]));
        const auto from = pointOf(*slider, c.path.front());
        s.mouse.send(s.at(*slider, from), {}, 1000);
        s.mouse.send(s.at(*slider, from), test::PeerMouse::held(false));
        for (const auto& p : through) {
            s.mouse.send(s.at(*slider, p), test::PeerMouse::held(false));
            // Live moves change nothing in the document.
            EXPECT_EQ(s.steps(), 0) << c.what;
        }
        s.mouse.send(s.at(*slider, through.back()), {});
        EXPECT_NEAR(levelOf(s, c.layer), c.level, 1e-12) << c.what;
        EXPECT_EQ(s.steps(), c.steps) << c.what;
        if (c.steps == 1) {
            EXPECT_EQ(s->undoManager().getUndoDescription(), kStep) << c.what;
        }
        // Still open, the same sliders, showing the stored level.
        ASSERT_EQ(a.panel(), &panel) << c.what;
        EXPECT_EQ(&panel.slider(c.row), slider) << c.what;
        EXPECT_EQ(slider->getValue(), levelSliderValue(c.level)) << c.what;
        EXPECT_EQ(panel.draggedRow(), -1) << c.what;
    }
}

TEST(LevelPanel, ClicksLandWhereTheTrackIsPainted) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    Shown s(depsFor(kit));
    // As in the program: the window's look-and-feel reaches the panel.
    widgets::V6LookAndFeel lookAndFeel;
    s.host.setLookAndFeel(&lookAndFeel);
    auto& panel = openPanel(s);
    auto& slider = panel.slider(2);
    // The track is painted from the thumb radius (7) to width - 7.
    const float left = 7.0f, right = static_cast<float>(slider.getWidth()) - 7.0f;
    const std::pair<double, double> cases[] = {{0.247, 25.0}, {0.753, 75.0}, {0.5, 50.0}};
    for (const auto& [fraction, want] : cases) {
        const juce::Point<float> p(left + static_cast<float>(fraction) * (right - left), slider.getHeight() / 2.0f);
        s.mouse.gesture(s.at(slider, p));
        EXPECT_EQ(slider.getValue(), want) << fraction;
    }
    s.host.setLookAndFeel(nullptr);
}

TEST(LevelPanel, TheWheelOverTheOpenPanelLeavesTheGridAlone) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    Shown s(depsFor(kit));
    auto& panel = openPanel(s);
    const double zoom = s->zoomFactor();
    // Its edge, beside the names and sliders, lies over the grid.
    const juce::Point<float> edge(4.0f, static_cast<float>(panel.getHeight()) - 4.0f);
    ASSERT_TRUE(s->gridAreaBounds().contains(s->getLocalPoint(&panel, edge).toInt()));
    s.mouse.wheel(s.at(panel, edge), 0.5f);
    EXPECT_EQ(s->zoomFactor(), zoom);
    EXPECT_EQ(Access(*s).panel(), &panel);
}

TEST(LevelPanel, UndoMovesTheSliderAndItsTooltipBack) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& panel = openPanel(s);
    auto* slider = &panel.slider(1);
    s.drag(*slider, pointOf(*slider, 100), {pointOf(*slider, 80)});
    ASSERT_EQ(levelOf(s, "Room A"), 0.8);
    EXPECT_EQ(slider->getTooltip(), kPlainTip);
    s->undoManager().undo();
    test::pumpUntil([&] { return slider->getTooltip() == kAboveFull; }, 2000);
    EXPECT_EQ(levelOf(s, "Room A"), 1.5);
    EXPECT_EQ(slider->getValue(), 100.0);
    EXPECT_EQ(slider->getTooltip(), kAboveFull);
    EXPECT_EQ(&panel.slider(1), slider);  // not rebuilt
    s->undoManager().redo();
    test::pumpUntil([&] { return slider->getValue() == 80.0; }, 2000);
    EXPECT_EQ(slider->getValue(), 80.0);
}

TEST(LevelPanel, ArrowKeysAreOneStepEach) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    auto& panel = openPanel(s);
    auto& slider = panel.slider(2);
    slider.grabKeyboardFocus();
    ASSERT_TRUE(slider.hasKeyboardFocus(false));
    EXPECT_TRUE(s.host.getPeer()->handleKeyPress(juce::KeyPress(juce::KeyPress::rightKey)));
    EXPECT_TRUE(s.host.getPeer()->handleKeyPress(juce::KeyPress(juce::KeyPress::rightKey)));
    EXPECT_NEAR(levelOf(s, "Room B"), 0.52, 1e-12);
    EXPECT_EQ(s.steps(), 2);
}

TEST(LevelPanel, TypedValuesCommitWhenClosedByAPressOrTheButtonNotByEscape) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    enum Closer { PressOutside, LevelButton, OverlayEscape, BoxEscape, BoxReturn };
    struct Case {
        const char* what;
        const char* text;
        Closer closer;
        double level;
        int steps;
        bool panelOpen;
    };
    const Case cases[] = {
        {"press outside", "80", PressOutside, 0.8, 1, false},
        {"level button", "80 %", LevelButton, 0.8, 1, false},
        {"overlay's Escape", "80", OverlayEscape, 1.5, 0, false},
        {"Escape in the box", "80", BoxEscape, 1.5, 0, true},
        {"Return in the box", "  80,4 ", BoxReturn, 0.8, 1, true},
        {"unreadable text, press outside", "loud", PressOutside, 1.5, 0, false},
        {"unchanged text, button", "100 %", LevelButton, 1.5, 0, false},
        // Clamped to 100 %, where it began: the stored 1.5 stays.
        {"above the range, press outside", "250", PressOutside, 1.5, 0, false},
        {"below the range, press outside", "-5", PressOutside, 0.0, 1, false},
    };
    for (const auto& c : cases) {
        Shown s(depsFor(kit));
        Access a(*s);
        auto& panel = openPanel(s);
        auto* box = typeInto(s, panel.slider(1), juce::String::fromUTF8(c.text));
        ASSERT_NE(box, nullptr) << c.what;
        EXPECT_FALSE(s.overlay->isParentOf(box)) << c.what;  // the window holds it
        switch (c.closer) {
            case PressOutside: s.click(a.title()); break;
            case LevelButton: s.click(a.levelButton()); break;
            case OverlayEscape: s->keyPressed(juce::KeyPress(juce::KeyPress::escapeKey)); break;
            case BoxEscape: s.host.getPeer()->handleKeyPress(juce::KeyPress(juce::KeyPress::escapeKey)); break;
            case BoxReturn: s.host.getPeer()->handleKeyPress(juce::KeyPress(juce::KeyPress::returnKey)); break;
        }
        test::pumpFor(30);  // late focus callbacks of the box
        EXPECT_NEAR(levelOf(s, "Room A"), c.level, 1e-12) << c.what;
        EXPECT_EQ(s.steps(), c.steps) << c.what;
        if (c.steps == 1) {
            EXPECT_EQ(s->undoManager().getUndoDescription(), kStep) << c.what;
        }
        EXPECT_EQ(a.panel() != nullptr, c.panelOpen) << c.what;
        EXPECT_EQ(a.levelButton().isActive(), c.panelOpen) << c.what;
        if (a.panel() != nullptr) {
            EXPECT_FALSE(a.panel()->slider(1).valueEntry().isOpen()) << c.what;
        }
    }
}

TEST(LevelPanel, RowsFollowTheRoomChannelStripWithoutStandalone) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem")), false));
    Access a(*s);
    auto& doc = s->document();
    // Room B has no samples and is not shown: no row.
    auto& panel = openPanel(s);
    ASSERT_EQ(panel.sliderCount(), 2u);
    EXPECT_EQ(panel.rows()[0].name, "Direct");
    EXPECT_EQ(panel.rows()[1].name, "Room A");
    auto* direct = &panel.slider(0);

    const auto removeAllOn = [&](int32_t layer) {
        std::vector<logic::SampleRemoval> removals;
        for (const auto& sample : doc.samples)
            if (doc.uidIndex.count(sample.uid) != 0 && sample.layerIndex == layer)
                removals.push_back({sample.uid, sample.bandId, sample.positionKey});
        doc.execute(std::make_unique<logic::RemoveSamplesCmd>(std::move(removals)));
        s->refreshAfterCommand();
    };
    // Room A loses its only sample: its row goes, the sliders are rebuilt.
    removeAllOn(1);
    ASSERT_EQ(a.panel(), &panel);
    ASSERT_EQ(panel.sliderCount(), 1u);
    EXPECT_EQ(panel.rows()[0].name, "Direct");
    EXPECT_NE(&panel.slider(0), direct);
    // A typed value open when the last row goes is dropped with the panel.
    ASSERT_NE(typeInto(s, panel.slider(0), "20"), nullptr);
    removeAllOn(0);
    EXPECT_EQ(a.panel(), nullptr);
    EXPECT_FALSE(a.levelButton().isEnabled());
    EXPECT_FALSE(a.levelButton().isActive());
    EXPECT_EQ(a.levelButton().getTooltip(), "No channel of this zem carries a default level");
    EXPECT_EQ(levelOf(s, "Direct"), 1.0);
    // Disabled with no rows: a toggle opens nothing.
    s.click(a.levelButton());
    EXPECT_EQ(a.panel(), nullptr);
    // Undo brings the channels and the button back.
    s->undoManager().undo();
    test::pumpUntil([&] { return a.levelButton().isEnabled(); }, 2000);
    EXPECT_EQ(a.levelButton().getTooltip(), "Room channel default levels");
    EXPECT_EQ(a.rows().size(), 1u);
}

TEST(LevelPanel, ActionsForVanishedOrRefusedLevelsChangeNothing) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& doc = s->document();
    const uint64_t roomKey = doc.layers.at(1).key;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        uint32_t index;
        uint64_t key;
        double level;
    };
    const Case cases[] = {
        {"index past the layers", 7, roomKey, 0.5},
        {"key of another layer", 1, roomKey + 1, 0.5},
        {"not finite", 1, roomKey, nan},
        {"negative", 1, roomKey, -0.1},
        {"above full", 1, roomKey, 1.2},
        {"the stored value", 1, roomKey, 1.5},
    };
    for (const auto& c : cases) {
        a.levelChanged(c.index, c.key, c.level);
        EXPECT_EQ(levelOf(s, "Room A"), 1.5) << c.what;
        EXPECT_EQ(s.steps(), 0) << c.what;
    }
    a.levelChanged(1, roomKey, 0.25);
    EXPECT_EQ(levelOf(s, "Room A"), 0.25);
    EXPECT_EQ(s.steps(), 1);
}

TEST(LevelPanel, ClosingWithTheOverlayOpen) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    Shown s(depsFor(kit));
    auto& panel = openPanel(s);
    ASSERT_NE(typeInto(s, panel.slider(0), "10"), nullptr);
    // Destroying the overlay with a panel and a typed value open commits
    // nothing and leaves no box behind in the window.
    s.overlay.reset();
    test::pumpFor(30);
    EXPECT_EQ(s.host.getNumChildComponents(), 0);
}

}  // namespace
}  // namespace vt6::ui::zemedit
