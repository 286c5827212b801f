#include <gtest/gtest.h>

#include "widgets/gui_support.hpp"
#include "widgets/paint.hpp"

namespace vt6::ui::widgets {
namespace {

using test::draw;

struct LightPalette {
    Theme& theme = Theme::instance();
    int mode = theme.mode;
    LightPalette() { theme.mode = 1; }
    ~LightPalette() { theme.mode = mode; }
};

bool blank(const juce::Image& image) {
    return !test::anyPixel(image, [](juce::Colour c) { return c.getAlpha() != 0; });
}

TEST(Paint, RoundedBoxFillsAndOutlinesOnWholePixels) {
    const auto image = draw(40, 20, [](juce::Graphics& g) {
        paintRoundedBox(g, {0, 0, 40, 20}, 4.0f, juce::Colours::red, juce::Colours::blue);
    });
    EXPECT_EQ(image.getPixelAt(20, 10), juce::Colours::red);
    EXPECT_EQ(image.getPixelAt(20, 0), juce::Colours::blue);   // the half-pixel inset lands on row 0
    EXPECT_EQ(image.getPixelAt(20, 19), juce::Colours::blue);
    // A 1 x 1 box strokes a zero-size outline and does not fail.
    draw(4, 4, [](juce::Graphics& g) { paintRoundedBox(g, {1, 1, 1, 1}, 0.5f, juce::Colours::red, juce::Colours::blue); });
}

TEST(Paint, ThemedBoxUsesThePaletteAndBorder) {
    const auto image = draw(40, 20, [](juce::Graphics& g) {
        paintThemedBox(g, {0, 0, 40, 20}, 10.0f, ThemeColour::popupBackground);
    });
    EXPECT_EQ(image.getPixelAt(20, 10), themeColour(ThemeColour::popupBackground));
    EXPECT_EQ(image.getPixelAt(20, 0), themeColour(ThemeColour::border));
}

TEST(Paint, HalosAndGlowsVanishInTheLightPalette) {
    const auto paintAll = [](juce::Graphics& g) {
        paintHaloRing(g, {20, 20, 40, 20}, 4.0f, juce::Colours::white, 4.0f, 1.0f);
        paintAccentGlow(g, {20, 20, 40, 20}, 4.0f);
        juce::Path p;
        p.addRectangle(30, 25, 10, 10);
        strokeGlowPath(g, p, juce::Colours::white, {true, false, 0.0f});
    };
    const auto dark = draw(80, 60, paintAll);
    EXPECT_FALSE(blank(dark));
    EXPECT_GT(dark.getPixelAt(19, 30).getAlpha(), 0);  // the halo lies outside the box

    LightPalette light;
    const auto lit = draw(80, 60, paintAll);
    // Only the plain 1 px stroke of the path remains.
    EXPECT_EQ(lit.getPixelAt(19, 30).getAlpha(), 0);
    EXPECT_EQ(lit.getPixelAt(10, 10).getAlpha(), 0);
    EXPECT_GT(lit.getPixelAt(30, 30).getAlpha(), 0);
    EXPECT_EQ(lit.getPixelAt(28, 30).getAlpha(), 0);  // the 4 px halo around the stroke is gone
}

TEST(Paint, HaloNeedsThicknessAndAlpha) {
    EXPECT_TRUE(blank(draw(40, 40, [](juce::Graphics& g) {
        paintHaloRing(g, {10, 10, 20, 20}, 2.0f, juce::Colours::white, 0.0f, 1.0f);
        paintHaloRing(g, {10, 10, 20, 20}, 2.0f, juce::Colours::white, 4.0f, 0.0f);
    })));
}

TEST(Paint, SnappedSpan) {
    struct Case {
        float left, width, scale;
        int firstLit, firstDark;  // columns in a 1:1 image
    };
    const Case cases[] = {
        {2.4f, 3.2f, 1.0f, 2, 6},  // 2.4 -> 2, 5.6 -> 6
        {2.5f, 1.0f, 1.0f, 3, 4},  // halves away from zero
    };
    for (const auto& c : cases) {
        const auto image = draw(12, 4, [&](juce::Graphics& g) {
            g.setColour(juce::Colours::white);
            fillSnappedSpan(g, c.left, c.width, 0.0f, 4.0f, c.scale);
        });
        EXPECT_EQ(image.getPixelAt(c.firstLit - 1, 1).getAlpha(), 0) << c.left;
        EXPECT_EQ(image.getPixelAt(c.firstLit, 1).getAlpha(), 255) << c.left;
        EXPECT_EQ(image.getPixelAt(c.firstDark - 1, 1).getAlpha(), 255) << c.left;
        EXPECT_EQ(image.getPixelAt(c.firstDark, 1).getAlpha(), 0) << c.left;
    }
    const auto nothing = [](float left, float width, float top, float bottom, float scale) {
        return blank(draw(12, 4, [&](juce::Graphics& g) {
            g.setColour(juce::Colours::white);
            fillSnappedSpan(g, left, width, top, bottom, scale);
        }));
    };
    EXPECT_TRUE(nothing(3.1f, 0.2f, 0, 4, 1.0f));  // both ends snap to 3
    EXPECT_TRUE(nothing(1, 5, 3, 3, 1.0f));         // no height
    // Scale 0 is taken as 0.01: ends snap to multiples of 100 px.
    EXPECT_TRUE(nothing(2, 5, 0, 4, 0.0f));
}

TEST(Paint, IconsAreFillablePathsCentredInTheirArea) {
    const juce::Rectangle<float> area(0, 0, 40, 40);
    for (int id = 0; id <= 11; ++id) {
        const auto icon = makeIcon(id, area, 32.0f);
        ASSERT_FALSE(icon.isEmpty()) << id;
        const auto bounds = icon.getBounds();
        EXPECT_TRUE(area.contains(bounds)) << id;
        EXPECT_NEAR(bounds.getCentreY(), 20.0f, 2.5f) << id;
    }
    EXPECT_TRUE(makeIcon(12, area, 32.0f).isEmpty());
    EXPECT_TRUE(makeIcon(-1, area, 32.0f).isEmpty());
}

TEST(Paint, GearHasAHoleAndTeeth) {
    const auto gear = makeIcon(0, {0, 0, 100, 100}, 100.0f);
    EXPECT_FALSE(gear.contains(50.0f, 50.0f));  // centre hole
    EXPECT_TRUE(gear.contains(50.0f, 50.0f - 15.0f));  // body
    EXPECT_TRUE(gear.contains(50.0f, 50.0f - 24.0f));  // tooth at twelve o'clock
    EXPECT_FALSE(gear.contains(50.0f + 24.0f * 0.3827f, 50.0f - 24.0f * 0.9239f));  // gap between teeth
}

TEST(Paint, TrayArrowPointsTheRightWay) {
    const auto up = makeTrayArrowIcon({0, 0, 100, 100}, true).getBounds();
    const auto down = makeTrayArrowIcon({0, 0, 100, 100}, false).getBounds();
    EXPECT_EQ(up, juce::Rectangle<float>(0, 0, 100, 100));
    EXPECT_EQ(down, juce::Rectangle<float>(0, 0, 100, 100));
    // The down arrow's wings end above the shaft's lower end.
    juce::Path downPath = makeTrayArrowIcon({0, 0, 100, 100}, false);
    juce::Path::Iterator it(downPath);
    float lowestWing = 0.0f;
    int subPath = 0;
    while (it.next())
        if (it.elementType == juce::Path::Iterator::startNewSubPath && ++subPath == 3) lowestWing = it.y1;
    EXPECT_NEAR(lowestWing, 100.0f - 40.3f - 30.0f, 0.01f);
}

}  // namespace
}  // namespace vt6::ui::widgets
