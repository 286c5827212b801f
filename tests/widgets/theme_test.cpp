#include <gtest/gtest.h>

#include "widgets/theme.hpp"

namespace vt6::ui {
namespace {

// Restores the theme's mode flags whatever a test does to them.
struct ThemeModeGuard {
    Theme& theme = Theme::instance();
    int mode = theme.mode;
    bool safe = theme.colourSafe;
    ~ThemeModeGuard() {
        theme.mode = mode;
        theme.colourSafe = safe;
    }
};

juce::Colour argb(int a, int r, int g, int b) {
    return juce::Colour(static_cast<juce::uint8>(r), static_cast<juce::uint8>(g), static_cast<juce::uint8>(b),
                        static_cast<juce::uint8>(a));
}

TEST(Theme, PaletteEntriesPerMode) {
    struct Case {
        ThemeColour role;
        juce::Colour dark, light, safe;
    };
    const Case cases[] = {
        {ThemeColour::windowBackground, argb(255, 5, 12, 25), argb(255, 227, 225, 220), argb(255, 5, 12, 25)},
        {ThemeColour::border, argb(255, 31, 79, 134), argb(255, 197, 194, 184), argb(255, 94, 107, 165)},
        {ThemeColour::accent, argb(255, 253, 104, 63), argb(255, 31, 31, 31), argb(255, 253, 104, 63)},
        {ThemeColour::accentWash, argb(46, 253, 104, 63), argb(20, 25, 25, 25), argb(46, 253, 104, 63)},
        {ThemeColour::sliderTrack, argb(38, 255, 255, 255), argb(36, 20, 20, 20), argb(31, 255, 255, 255)},
        {ThemeColour::scrim, argb(166, 3, 8, 18), argb(115, 40, 38, 34), argb(166, 3, 8, 18)},
        {ThemeColour::glowStart, argb(255, 127, 92, 255), argb(0, 31, 31, 31), argb(255, 127, 92, 255)},
        {ThemeColour::glowEnd, argb(255, 53, 198, 255), argb(0, 31, 31, 31), argb(255, 53, 198, 255)},
        {ThemeColour::tintPale, argb(255, 207, 227, 255), argb(0, 255, 255, 255), argb(255, 207, 227, 255)},
        {ThemeColour::infoBlue, argb(255, 39, 159, 242), argb(255, 48, 103, 173), argb(255, 106, 180, 255)},
    };
    ThemeModeGuard guard;
    Theme& theme = guard.theme;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.role));
        theme.colourSafe = false;
        theme.mode = 0;
        EXPECT_EQ(theme.colour(c.role), c.dark);
        theme.mode = 1;
        EXPECT_EQ(theme.colour(c.role), c.light);
        theme.mode = 2;
        EXPECT_EQ(theme.colour(c.role), c.safe);
        theme.mode = 7;  // any other mode is colour-safe
        EXPECT_EQ(theme.colour(c.role), c.safe);
        theme.mode = 1;
        theme.colourSafe = true;  // wins over the light mode
        EXPECT_EQ(theme.colour(c.role), c.safe);
    }
}

TEST(Theme, DarkIsInForceAndPalettesAreComplete) {
    Theme& theme = Theme::instance();
    EXPECT_EQ(theme.mode, 0);
    EXPECT_FALSE(theme.colourSafe);
    EXPECT_EQ(theme.cornerRadius, 10);
    EXPECT_EQ(theme.pillRadius, 99);
    EXPECT_EQ(theme.smallRadius, 6);
    EXPECT_EQ(theme.spacing, 16);
    // The last entry of every palette is filled in (a short initialiser would leave zeros).
    EXPECT_NE(kDarkPalette[kPaletteSize - 1], 0u);
    EXPECT_NE(kLightPalette[kPaletteSize - 1], 0u);
    EXPECT_NE(kColourSafePalette[kPaletteSize - 1], 0u);
}

TEST(Theme, CategoryColourClamps) {
    const Theme& theme = Theme::instance();
    const std::pair<int, ThemeColour> cases[] = {
        {-3, ThemeColour::category0}, {0, ThemeColour::category0}, {3, ThemeColour::category3},
        {5, ThemeColour::category5},  {6, ThemeColour::category5}, {100, ThemeColour::category5},
    };
    for (const auto& [category, role] : cases) EXPECT_EQ(theme.categoryColour(category), theme.colour(role)) << category;
}

TEST(Theme, FontRoles) {
    const juce::Font caps = makeFont(kTypeCaps);
    EXPECT_FLOAT_EQ(caps.getHeight(), 12.0f);
    EXPECT_TRUE(caps.isBold());
    EXPECT_FLOAT_EQ(caps.getExtraKerningFactor(), 1.9f / 12.0f);

    const juce::Font eyebrow = makeFont(kTypeEyebrow);  // 800 draws as 700
    const juce::Font bold700 = makeFont(TypeStyle{11.0f, 700, 2.0f});
    EXPECT_TRUE(eyebrow.isBold());
    EXPECT_EQ(eyebrow, bold700);

    const juce::Font value = makeFont(kTypeValue);  // tracking 0 keeps the default kerning
    EXPECT_FALSE(value.isBold());
    EXPECT_FLOAT_EQ(value.getExtraKerningFactor(), juce::Font(14.0f).getExtraKerningFactor());
    EXPECT_EQ(value.getTypefaceName(), juce::Font::getDefaultSansSerifFontName());

    EXPECT_FLOAT_EQ(makeFont(kTypeChip).getHeight(), 10.5f);
    EXPECT_FLOAT_EQ(makeFont(kTypeMenu).getHeight(), 15.0f);
}

TEST(Theme, ListenersAddOnceAndRemove) {
    struct Probe : Theme::Listener {
        void themeChanged() override {}
    } probe;
    Theme& theme = Theme::instance();
    const auto before = theme.listeners().size();
    theme.addListener(&probe);
    theme.addListener(&probe);
    EXPECT_EQ(theme.listeners().size(), before + 1);
    theme.removeListener(&probe);
    EXPECT_EQ(theme.listeners().size(), before);
}

}  // namespace
}  // namespace vt6::ui
