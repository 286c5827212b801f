#include <gtest/gtest.h>

#include <cmath>

#include "editor/ui/session_hits_axis.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {
namespace {


double scaleX(int decibels, int W, int sx) {
    return SessionHitsAxis::xOf(std::pow(10.0, decibels / 20.0), W, sx);
}

TEST(SessionHitsAxis, ScaleTicksAndLabelsOnAThousandPixels) {
    struct Case {
        int decibels;
        double x;
    };
    const Case cases[] = {{-40, 10.0}, {-6, 501.2}, {0, 1000.0}, {-20, 100.0}};
    for (const auto& c : cases) EXPECT_NEAR(scaleX(c.decibels, 1000, 0), c.x, 0.1) << c.decibels;

    SessionHitsAxis axis;
    axis.setBounds(0, 0, 1000, 32);
    axis.setScale(1000, 0);
    const auto image = test::render(axis);
    // Each tick darkens rows 1 to 3 of its column, above which only the hairline lies.
    for (const int v : {-40, -6, -1}) {
        const int x = static_cast<int>(std::floor(scaleX(v, 1000, 0)));
        EXPECT_NE(image.getPixelAt(x, 2), juce::Colours::black) << v;
    }
    EXPECT_EQ(image.getPixelAt(300, 2), juce::Colours::black);
    // The "0 dB" label never runs past the right end.
    EXPECT_EQ(SessionHitsAxis::scaleLabelBox(0, 1000.0, 1000, 32), juce::Rectangle<int>(964, 18, 36, 14));
    EXPECT_EQ(SessionHitsAxis::scaleLabelBox(-6, 501.19, 1000, 32), juce::Rectangle<int>(483, 18, 36, 14));
    const auto muted = themeColour(ThemeColour::textMuted);
    const auto lit = [&](int x0, int x1) {
        for (int y = 18; y < 32; ++y)
            for (int x = x0; x < x1; ++x)
                if (test::nearColour(image.getPixelAt(x, y), muted, 60)) return true;
        return false;
    };
    EXPECT_TRUE(lit(964, 1000));
    EXPECT_FALSE(lit(930, 960));
    EXPECT_EQ(SessionHitsAxis::scaleFont().getHeight(), 9.2647057f);
}

TEST(SessionHitsAxis, BoundaryPillTexts) {
    struct Case {
        double level;
        const char* text;
    };
    const Case cases[] = {{32, "-12.0"}, {127, "0.0"}, {0, "-99.0"}, {64, "-6.0"}, {-3, "-99.0"}, {1, "-42.1"}};
    for (const auto& c : cases) EXPECT_EQ(SessionHitsAxis::boundaryText(c.level / 127.0), c.text) << c.level;
    // The pill is centred on the boundary, 12 px wider than its text, 16 high.
    const auto pill = SessionHitsAxis::pillBox("-6.0", 504.5);
    const int lw = static_cast<int>(std::ceil(SessionHitsAxis::pillFont().getStringWidthFloat("-6.0"))) + 12;
    EXPECT_EQ(pill, juce::Rectangle<int>(505 - lw / 2, 1, lw, 16));
}

TEST(SessionHitsAxis, PillsAreDrawnAtTheirBoundaries) {
    SessionHitsAxis axis;
    axis.setBounds(0, 0, 1000, 32);
    axis.setScale(1000, 0);
    axis.setBoundaries({32.0 / 127.0, 127.0 / 127.0});
    const auto image = test::render(axis);
    const auto raised = themeColour(ThemeColour::surfaceRaised);
    const auto pill = SessionHitsAxis::pillBox("-12.0", 1000.0 * 32.0 / 127.0);
    EXPECT_TRUE(test::nearColour(image.getPixelAt(pill.getX() + 3, 9), raised));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(pill.getRight() - 3, 9), raised));
    EXPECT_EQ(image.getPixelAt(pill.getX() - 3, 9), juce::Colours::black);
}

TEST(SessionHitsAxis, ScrollingMovesEverythingWithTheColumns) {
    std::array<uint32_t, 128> bins{};
    bins[40] = 3;
    bins[90] = 7;
    uint32_t largest = 7;
    auto paintAt = [&](int scroll) {
        SessionHitsAxis axis;
        axis.setBounds(0, 0, 1000, 32);
        axis.setScale(1300, scroll);
        axis.setHistogram(&bins, &largest);
        axis.setBoundaries({64.0 / 127.0, 100.0 / 127.0});
        return test::render(axis);
    };
    const auto still = paintAt(0), scrolled = paintAt(300);
    int differing = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 600; ++x)
            // Glyph edges may differ by a unit of rounding.
            if (!test::nearColour(scrolled.getPixelAt(x, y), still.getPixelAt(x + 300, y), 2)) ++differing;
    EXPECT_EQ(differing, 0);
    // And something is there to move.
    EXPECT_NE(still.getPixelAt(static_cast<int>(1300.0 * 64.0 / 127.0), 9), juce::Colours::black);
}

// Rows of one column painted in the bar colour.
int barHeightAt(const juce::Image& image, int x, juce::Colour colour) {
    int rows = 0;
    for (int y = 0; y < image.getHeight(); ++y)
        if (test::nearColour(image.getPixelAt(x, y), colour, 8)) ++rows;
    return rows;
}

TEST(SessionHitsAxis, HistogramBars) {
    const auto bar = Theme::instance().categoryColour(1);
    struct Case {
        const char* what;
        bool withHits;
        uint32_t largest;
    };
    const Case cases[] = {{"no histogram", false, 0}, {"largest count 0", true, 0}, {"hits", true, 9}};
    for (const auto& c : cases) {
        std::array<uint32_t, 128> bins{};
        bins[20] = 9;
        bins[100] = 1;
        uint32_t largest = c.largest;
        SessionHitsAxis axis;
        axis.setBounds(0, 0, 1000, 32);
        axis.setScale(1000, 0);
        if (c.withHits) axis.setHistogram(&bins, &largest);
        const auto image = test::render(axis);
        const int x20 = static_cast<int>(std::lround(1000.0 * 20.0 / 127.0));
        const int x100 = static_cast<int>(std::lround(1000.0 * 100.0 / 127.0));
        if (c.largest == 0) {
            EXPECT_FALSE(test::anyPixel(image, [&](juce::Colour p) { return test::nearColour(p, bar, 8); }))
                << c.what;
            continue;
        }
        // The largest bin hangs h - 14 = 18 px; a ninth of it a third as far.
        EXPECT_EQ(barHeightAt(image, x20, bar), 18) << c.what;
        EXPECT_EQ(barHeightAt(image, x100, bar), 6) << c.what;
        // Bars are W / 128 * 0.8 = 6.25 px wide here.
        int wide = 0;
        for (int x = x20 - 6; x <= x20 + 6; ++x)
            if (test::nearColour(image.getPixelAt(x, 10), bar, 8)) ++wide;
        EXPECT_GE(wide, 5);
        EXPECT_LE(wide, 7);
    }
}

TEST(SessionHitsAxis, NarrowGridsAndRareLevelsStillShowABar) {
    const auto bar = Theme::instance().categoryColour(1);
    std::array<uint32_t, 128> bins{};
    bins[64] = 10000;
    bins[10] = 1;
    uint32_t largest = 10000;
    SessionHitsAxis axis;
    axis.setBounds(0, 0, 100, 32);
    axis.setScale(100, 0);
    axis.setHistogram(&bins, &largest);
    juce::Image image(juce::Image::ARGB, 400, 128, true);
    {
        // Four times the resolution, to see sub-pixel sizes.
        juce::Graphics g(image);
        g.fillAll(juce::Colours::black);
        g.addTransform(juce::AffineTransform::scale(4.0f));
        axis.paintEntireComponent(g, false);
    }
    // Bin 10: sqrt(1 / 10000) * 18 is far below 2 px, so 2 px (8 rows here) at
    // least 1.5 px (6 columns) wide.
    const int x = static_cast<int>(std::lround(4.0 * 100.0 * 10.0 / 127.0));
    EXPECT_EQ(barHeightAt(image, x, bar), 8);
    // Coverage summed over the row: 1.5 px is 6 columns here.
    // (The -24 dB tick ends 5 columns left of the bar.)
    float covered = 0.0f;
    for (int c = x - 4; c <= x + 4; ++c)
        covered += static_cast<float>(image.getPixelAt(c, 6).getGreen()) / static_cast<float>(bar.getGreen());
    EXPECT_NEAR(covered, 6.0f, 0.2f);
}

TEST(SessionHitsAxis, TakesNoClicksAndNamesItself) {
    SessionHitsAxis axis;
    EXPECT_EQ(axis.getName(), "Session hits axis");
    EXPECT_EQ(axis.getTitle(), "Session hits axis");
    bool self = true, children = true;
    axis.getInterceptsMouseClicks(self, children);
    EXPECT_FALSE(self);
    EXPECT_FALSE(children);
    EXPECT_TRUE(axis.getTooltip().startsWith("Every tick is one hit"));
    auto handler = axis.createAccessibilityHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->getRole(), juce::AccessibilityRole::image);
    axis.setScale(0, 5);
    EXPECT_EQ(axis.contentWidth(), 1);
}

}  // namespace
}  // namespace vt6::ui::zemedit
