#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "editor/ui/reorder_strip.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/theme.hpp"
#include "widgets/wide_plus.hpp"

namespace vt6::ui::zemedit {
namespace {


juce::MouseEvent mouseAt(juce::Component& c, juce::Point<float> p, juce::Point<float> down,
                         juce::ModifierKeys mods = juce::ModifierKeys::leftButtonModifier) {
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), p, mods,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now, down, now, 1,
                            false);
}

// A strip laid out as the overlay lays it out: natural widths, standard style.
struct Strip {
    ReorderStrip strip;
    std::vector<std::pair<int, int>> reorders;
    std::vector<int> selections;
    std::vector<std::pair<int, juce::Point<int>>> menus;

    explicit Strip(const juce::StringArray& definitions) {
        juce::StringArray labels{"ALL"};
        labels.addArray(definitions);
        labels.add(juce::String::fromUTF8(widgets::kWidePlusLabel));
        strip.setStyle(2);
        strip.setNaturalLayout(true);
        strip.setLabels(labels, 0);
        strip.setBounds(0, 0, strip.getIdealWidth(), 40);
        strip.onReorder = [this](int from, int to) { reorders.emplace_back(from, to); };
        strip.onChange = [this](int i) { selections.push_back(i); };
        strip.onContextMenu = [this](int s, juce::Point<int> p) { menus.emplace_back(s, p); };
    }

    float centreOf(int segment) const { return strip.segmentBounds(segment).toFloat().getCentreX(); }

    // Press at x0, drag through each x, release at the last.
    void gesture(float x0, std::initializer_list<float> path) {
        const juce::Point<float> down(x0, 20.0f);
        strip.mouseDown(mouseAt(strip, down, down));
        juce::Point<float> last = down;
        for (float x : path) {
            last = {x, 20.0f};
            strip.mouseDrag(mouseAt(strip, last, down));
        }
        strip.mouseUp(mouseAt(strip, last, down));
    }
};

TEST(ReorderStrip, DraggingADefinitionReportsItsNewPlace) {
    struct Case {
        const char* what;
        int pressed;        // segment pressed
        int target;         // segment whose centre the drop is measured against
        float offset;       // from that centre
        std::optional<std::pair<int, int>> expected;
    };
    const Case cases[] = {
        {"A past the centre of C", 1, 3, 2.0f, std::make_pair(0, 2)},
        {"C left of the centre of A", 3, 1, -2.0f, std::make_pair(2, 0)},
        {"B just over its own centre", 2, 2, 1.0f, std::nullopt},
        {"B just before its own centre", 2, 2, -1.0f, std::nullopt},
        {"A just before the centre of B", 1, 2, -1.0f, std::nullopt},
        {"A past the centre of B", 1, 2, 1.0f, std::make_pair(0, 1)},
        {"C before the centre of B", 3, 2, -1.0f, std::make_pair(2, 1)},
    };
    for (const auto& c : cases) {
        Strip s({"A", "B", "C"});
        const float start = s.centreOf(c.pressed);
        s.gesture(start, {start + (c.target >= c.pressed ? 10.0f : -10.0f), s.centreOf(c.target) + c.offset});
        if (c.expected) {
            ASSERT_EQ(s.reorders.size(), 1u) << c.what;
            EXPECT_EQ(s.reorders[0], *c.expected) << c.what;
        } else {
            EXPECT_TRUE(s.reorders.empty()) << c.what;
        }
        // A drag never selects.
        EXPECT_TRUE(s.selections.empty()) << c.what;
        EXPECT_FALSE(s.strip.isDragging()) << c.what;
        EXPECT_EQ(s.strip.dropGap(), -1) << c.what;
    }
}

TEST(ReorderStrip, DragStartsAtFourPixelsSideways) {
    struct Case {
        float dx, dy;
        bool drags;
    };
    const Case cases[] = {{3.0f, 0.0f, false},  {-3.0f, 0.0f, false}, {3.4f, 0.0f, false}, {3.5f, 0.0f, true},
                          {4.0f, 0.0f, true},   {-4.0f, 0.0f, true},  {0.0f, 15.0f, false}, {3.0f, 19.0f, false}};
    for (const auto& c : cases) {
        Strip s({"A", "B", "C"});
        const juce::Point<float> down(s.centreOf(2), 20.0f);
        s.strip.mouseDown(mouseAt(s.strip, down, down));
        s.strip.mouseDrag(mouseAt(s.strip, down + juce::Point<float>(c.dx, c.dy), down));
        EXPECT_EQ(s.strip.isDragging(), c.drags) << c.dx << "," << c.dy;
        s.strip.mouseUp(mouseAt(s.strip, down + juce::Point<float>(c.dx, c.dy), down));
        // Without a drag the release selects the definition.
        EXPECT_EQ(s.selections, c.drags ? std::vector<int>{} : std::vector<int>{2}) << c.dx << "," << c.dy;
    }
}

TEST(ReorderStrip, WhatAPressSelectsAndWhen) {
    struct Case {
        const char* what;
        juce::StringArray definitions;
        int segment;
        bool disabled;
        std::vector<int> onPress, onRelease;
    };
    const Case cases[] = {
        {"ALL acts on press", {"A", "B"}, 0, false, {0}, {0}},
        {"add acts on press", {"A", "B"}, 3, false, {3}, {3}},
        {"a definition waits for the release", {"A", "B"}, 2, false, {}, {2}},
        {"a single definition selects on release", {"A"}, 1, false, {}, {1}},
        {"a disabled add segment", {"A", "B"}, 3, true, {}, {}},
        {"a disabled definition", {"A", "B"}, 1, true, {}, {}},
    };
    for (const auto& c : cases) {
        Strip s(c.definitions);
        if (c.segment == 0) s.strip.setSelectedIndex(1, false);
        if (c.disabled) s.strip.setSegmentEnabled(c.segment, false);
        const juce::Point<float> at(s.centreOf(c.segment), 20.0f);
        s.strip.mouseDown(mouseAt(s.strip, at, at));
        EXPECT_EQ(s.selections, c.onPress) << c.what;
        s.strip.mouseUp(mouseAt(s.strip, at, at));
        EXPECT_EQ(s.selections, c.onRelease) << c.what;
    }
}

TEST(ReorderStrip, ASingleDefinitionNeverDrags) {
    Strip s({"A"});
    const float x = s.centreOf(1);
    s.gesture(x, {x + 10.0f, x + 40.0f, x - 40.0f});
    EXPECT_TRUE(s.reorders.empty());
    EXPECT_EQ(s.selections, std::vector<int>{1});
}

TEST(ReorderStrip, ADisabledStripIgnoresEverything) {
    juce::Component parent;
    Strip s({"A", "B", "C"});
    parent.addAndMakeVisible(s.strip);
    parent.setEnabled(false);
    const float x = s.centreOf(1);
    s.gesture(x, {x + 10.0f, s.centreOf(3) + 2.0f});
    const juce::Point<float> at(s.centreOf(0), 20.0f);
    s.strip.mouseDown(mouseAt(s.strip, at, at, juce::ModifierKeys::rightButtonModifier));
    EXPECT_TRUE(s.reorders.empty());
    EXPECT_TRUE(s.selections.empty());
    EXPECT_TRUE(s.menus.empty());
}

TEST(ReorderStrip, RightClickReportsTheSegmentUnderThePointer) {
    struct Case {
        const char* what;
        float x;
        int expected;
    };
    Strip probe({"A", "B"});
    const Case cases[] = {
        {"on B", probe.centreOf(2), 2},
        {"on ALL", probe.centreOf(0), 0},
        {"past the last segment", static_cast<float>(probe.strip.getIdealWidth() + 5), -1},
    };
    for (const auto& c : cases) {
        juce::Component parent;
        Strip s({"A", "B"});
        parent.setSize(s.strip.getWidth() + 40, 40);
        parent.addAndMakeVisible(s.strip);
        s.strip.setSize(s.strip.getWidth() + 40, 40);
        const juce::Point<float> at(c.x, 20.0f);
        s.strip.mouseDown(mouseAt(s.strip, at, at, juce::ModifierKeys::rightButtonModifier));
        ASSERT_EQ(s.menus.size(), 1u) << c.what;
        EXPECT_EQ(s.menus[0].first, c.expected) << c.what;
        EXPECT_TRUE(s.selections.empty()) << c.what;
        // A right press never starts a drag.
        s.strip.mouseDrag(mouseAt(s.strip, at + juce::Point<float>(30.0f, 0.0f), at));
        EXPECT_FALSE(s.strip.isDragging()) << c.what;
    }
}

TEST(ReorderStrip, DropIndexFollowsTheCentres) {
    Strip s({"A", "B", "C"});
    struct Case {
        float x;
        int gap;
    };
    const auto b1 = s.strip.segmentBounds(1), b3 = s.strip.segmentBounds(3);
    const Case cases[] = {{0.0f, 0},
                          {s.centreOf(1) - 0.5f, 0},
                          {s.centreOf(1), 1},
                          {static_cast<float>(b1.getRight()), 1},
                          {s.centreOf(2), 2},
                          {s.centreOf(3) - 0.5f, 2},
                          {s.centreOf(3), 3},
                          {static_cast<float>(b3.getRight() + 100), 3}};
    for (const auto& c : cases) EXPECT_EQ(s.strip.dropIndexAt(c.x), c.gap) << c.x;
}

// Colour under the insertion bar's middle column while dragging the pressed
// segment to the gap, and the colour there without a drag.
std::pair<juce::Colour, juce::Colour> barColour(int pressed, float pointerX, int expectedGap) {
    Strip s({"A", "B", "C"});
    const auto idle = test::render(s.strip, juce::Colours::black);
    const juce::Point<float> down(s.centreOf(pressed), 20.0f);
    s.strip.mouseDown(mouseAt(s.strip, down, down));
    // Far enough first to start the drag, then to the pointer.
    s.strip.mouseDrag(mouseAt(s.strip, down + juce::Point<float>(pointerX < down.x ? -10.0f : 10.0f, 0.0f), down));
    s.strip.mouseDrag(mouseAt(s.strip, {pointerX, 20.0f}, down));
    EXPECT_EQ(s.strip.dropGap(), expectedGap);
    const auto image = test::render(s.strip, juce::Colours::black);
    const int edge = expectedGap < 3 ? s.strip.segmentBounds(expectedGap + 1).getX()
                                     : s.strip.segmentBounds(3).getRight() - 1;
    // Row 1: above the segment faces and the floating label.
    return {image.getPixelAt(edge, 1), idle.getPixelAt(edge, 1)};
}

TEST(ReorderStrip, InsertionBarIsFaintOverThePressedSegmentsOwnEdges) {
    const auto accent = themeColour(ThemeColour::accent);
    Strip p({"A", "B", "C"});
    struct Case {
        const char* what;
        int pressed;
        float x;
        int gap;
        bool isFaint;
    };
    const Case cases[] = {
        {"B over its left edge", 2, p.centreOf(1) + 1.0f, 1, true},
        {"B over its right edge", 2, p.centreOf(2) + 1.0f, 2, true},
        {"B before A", 2, p.centreOf(1) - 1.0f, 0, false},
        {"B after C", 2, p.centreOf(3) + 1.0f, 3, false},
        {"A after C", 1, p.centreOf(3) + 1.0f, 3, false},
    };
    for (const auto& c : cases) {
        const auto [colour, under] = barColour(c.pressed, c.x, c.gap);
        const auto faint = under.interpolatedWith(accent, 89.0f / 255.0f);
        EXPECT_TRUE(test::nearColour(colour, c.isFaint ? faint : accent, 4))
            << c.what << " " << colour.toDisplayString(true);
    }
}

TEST(ReorderStrip, FloatingLabelStaysInsideTheStrip) {
    const auto panel = themeColour(ThemeColour::panelBackground);
    for (const float x : {-300.0f, 2000.0f}) {
        Strip s({"ALPHA", "B", "C"});
        const juce::Point<float> down(s.centreOf(1), 20.0f);
        s.strip.mouseDown(mouseAt(s.strip, down, down));
        s.strip.mouseDrag(mouseAt(s.strip, {x, 20.0f}, down));
        ASSERT_TRUE(s.strip.isDragging());
        const auto image = test::render(s.strip, juce::Colours::black);
        const int w = s.strip.getWidth();
        // The label box's fill reaches one edge of the strip and no further.
        const int column = x < 0 ? 3 : w - 4;
        EXPECT_TRUE(test::nearColour(image.getPixelAt(column, 20), panel, 24))
            << x << " " << image.getPixelAt(column, 20).toDisplayString(true);
    }
}

TEST(ReorderStrip, AccessibleActionsOpenTheMenuForTheWholeStrip) {
    Strip s({"A", "B"});
    juce::Component parent;
    parent.setBounds(100, 50, 400, 100);
    parent.addAndMakeVisible(s.strip);
    s.strip.setTopLeftPosition(10, 20);
    auto handler = s.strip.createAccessibilityHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->getRole(), juce::AccessibilityRole::group);
    for (auto action : {juce::AccessibilityActionType::showMenu, juce::AccessibilityActionType::press}) {
        s.menus.clear();
        ASSERT_TRUE(handler->getActions().invoke(action));
        ASSERT_EQ(s.menus.size(), 1u);
        EXPECT_EQ(s.menus[0].first, 0);
        EXPECT_EQ(s.menus[0].second,
                  s.strip.localPointToGlobal(juce::Point<int>(s.strip.getWidth() / 2, s.strip.getHeight() / 2)));
    }
}

TEST(ReorderStrip, ConstructedUnnamedAsASegmentGroup) {
    ReorderStrip strip;
    EXPECT_EQ(strip.getName(), "V6SegmentGroup");
    EXPECT_EQ(strip.getTitle(), "V6SegmentGroup");
    EXPECT_EQ(strip.getNumSegments(), 0);
    EXPECT_EQ(strip.definitionCount(), 0);
}

}  // namespace
}  // namespace vt6::ui::zemedit
