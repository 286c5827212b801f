#include <gtest/gtest.h>

#include "widgets/gui_support.hpp"
#include "widgets/segment_group.hpp"
#include "widgets/theme.hpp"
#include "widgets/wide_plus.hpp"

namespace vt6::ui::widgets {
namespace {

// Ink bounds of white text drawn on black.
juce::Rectangle<int> inkOf(const juce::Image& image) {
    int x0 = image.getWidth(), y0 = image.getHeight(), x1 = -1, y1 = -1;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (image.getPixelAt(x, y).getBrightness() > 0.15f) {
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            }
    return x1 < 0 ? juce::Rectangle<int>() : juce::Rectangle<int>(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}

juce::Image drawn(const juce::String& text, const juce::Font& font) {
    return test::draw(60, 40, [&](juce::Graphics& g) {
        g.fillAll(juce::Colours::black);
        g.setColour(juce::Colours::white);
        drawLabel(g, text, font, {0, 0, 60, 40});
    });
}

TEST(WidePlus, TheLabelIsTheFullwidthPlus) {
    EXPECT_TRUE(isWidePlusLabel(juce::String::fromUTF8(kWidePlusLabel)));
    EXPECT_EQ(juce::String::fromUTF8(kWidePlusLabel)[0], static_cast<juce::juce_wchar>(0xFF0B));
    EXPECT_FALSE(isWidePlusLabel("+"));
    EXPECT_FALSE(isWidePlusLabel("ALL"));
}

TEST(WidePlus, TheSetUpInstallsTheFallbackTypeface) {
    EXPECT_EQ(widePlusTypefaceName(), "Droid Sans Fallback");
}

TEST(WidePlus, IsMeasuredAndDrawnAsAPlusInEveryFontRole) {
    const auto plus = juce::String::fromUTF8(kWidePlusLabel);
    for (const auto& role : {kTypeButton, kTypeMicro, kTypeHeading}) {
        const auto font = makeFont(role);
        const float width = labelWidth(font, plus);
        EXPECT_EQ(width, widePlusWidth(font));
        // A fullwidth form is about one em wide.
        EXPECT_GT(width, font.getHeight() * 0.7f);
        EXPECT_LT(width, font.getHeight() * 1.6f);
        const auto ink = inkOf(drawn(plus, font));
        ASSERT_FALSE(ink.isEmpty()) << role.size;
        // A plus: about as wide as high, centred, and not a hollow box: the
        // centre is lit and the ink's corners are dark.
        EXPECT_NEAR(ink.getWidth(), ink.getHeight(), 2) << role.size;
        EXPECT_NEAR(ink.getCentreX(), 30, 2) << role.size;
        const auto image = drawn(plus, font);
        EXPECT_GE(ink.getHeight(), 3) << role.size;
        int litCentre = 0;
        for (int y = ink.getY(); y < ink.getBottom(); ++y)
            for (int x = ink.getX(); x < ink.getRight(); ++x)
                if (std::abs(x - ink.getCentreX()) <= 1 && std::abs(y - ink.getCentreY()) <= 1 &&
                    image.getPixelAt(x, y).getBrightness() > 0.15f)
                    ++litCentre;
        EXPECT_GT(litCentre, 0) << role.size;
        EXPECT_LT(image.getPixelAt(ink.getX(), ink.getY()).getBrightness(), 0.15f) << role.size;
        EXPECT_LT(image.getPixelAt(ink.getRight() - 1, ink.getBottom() - 1).getBrightness(), 0.15f) << role.size;
    }
}

TEST(WidePlus, TheStandInPathIsAPlusOfOneEm) {
    const auto font = makeFont(kTypeButton);
    const auto path = widePlusPath(font, {0.0f, 0.0f, 40.0f, 40.0f});
    const auto bounds = path.getBounds();
    EXPECT_NEAR(bounds.getCentreX(), 20.0f, 0.01f);
    EXPECT_NEAR(bounds.getCentreY(), 20.0f, 0.01f);
    EXPECT_LT(bounds.getWidth(), font.getHeight());
    EXPECT_TRUE(path.contains(20.0f, 20.0f));
    EXPECT_FALSE(path.contains(bounds.getX() + 0.5f, bounds.getY() + 0.5f));
}

TEST(WidePlus, SegmentWidthFollowsTheSameMeasure) {
    const auto plus = juce::String::fromUTF8(kWidePlusLabel);
    V6SegmentGroup group({"ALL", plus}, "Strip");
    const auto font = group.getLabelFont();
    EXPECT_EQ(group.segmentNaturalWidth(1), static_cast<int>(std::ceil(labelWidth(font, plus))) + 8);
    EXPECT_EQ(group.segmentNaturalWidth(0), static_cast<int>(std::ceil(font.getStringWidthFloat("ALL"))) + 22);
}

}  // namespace
}  // namespace vt6::ui::widgets
