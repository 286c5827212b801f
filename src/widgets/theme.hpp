#pragma once
// The one process-wide source of colours, corner radii and fonts. Widgets hold
// no colour or font of their own: they look colours up here at paint time and
// build fonts from the fixed roles below.

#include <juce_graphics/juce_graphics.h>

#include <cstdint>
#include <vector>

namespace vt6::ui {

enum class ThemeColour : uint16_t {
    windowBackground = 0,
    panelBackground,
    surfaceRaised,
    fieldBackground,
    border,
    borderSubtle,
    borderHover,
    textPrimary,
    textSecondary,
    textMuted,
    accent,
    accentWash,
    textOnAccent,
    success,
    danger,
    warning,
    category0,
    category1,
    category2,
    category3,
    category4,
    category5,
    categoryNeutral,
    editorGradientTop,
    editorGradientBottom,
    popupBackground,
    waveWell,
    sliderTrack,
    sliderThumb,
    scrim,
    glowStart,
    glowEnd,
    tintPale,
    tintWhite,
    shadowBlack,
    inkDark,
    infoBlue,
};

inline constexpr int kPaletteSize = 37;

// A font role: height in pixels, weight (400 plain, 700 and up bold) and
// extra letter spacing in pixels.
struct TypeStyle {
    float size;
    int weight;
    float tracking;
};

inline constexpr TypeStyle kTypeBody{13.0f, 400, 0.0f};
inline constexpr TypeStyle kTypeCaps{12.0f, 700, 1.9f};
inline constexpr TypeStyle kTypeTitle{17.0f, 700, 0.0f};
inline constexpr TypeStyle kTypeEyebrow{11.0f, 800, 2.0f};
inline constexpr TypeStyle kTypeButton{13.0f, 700, 1.5f};
inline constexpr TypeStyle kTypeHeading{16.0f, 700, 1.0f};
inline constexpr TypeStyle kTypeButtonSmall{12.0f, 700, 1.0f};
inline constexpr TypeStyle kTypeMenu{15.0f, 400, 0.0f};
inline constexpr TypeStyle kTypeLabelBold{13.0f, 700, 0.0f};
inline constexpr TypeStyle kTypeValue{14.0f, 400, 0.0f};
inline constexpr TypeStyle kTypeChip{10.5f, 800, 1.0f};
inline constexpr TypeStyle kTypeMicro{10.5f, 800, 1.5f};
inline constexpr TypeStyle kTypeText{13.5f, 400, 0.0f};

// The font of a role, in the framework's default sans-serif typeface.
juce::Font makeFont(const TypeStyle& desc);

// The three palettes as ARGB words, indexed by ThemeColour.
extern const uint32_t kDarkPalette[kPaletteSize];
extern const uint32_t kLightPalette[kPaletteSize];
extern const uint32_t kColourSafePalette[kPaletteSize];

struct Theme {
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void themeChanged() = 0;
    };

    int32_t mode = 0;         // 0 dark, 1 light, 2 colour-safe
    bool colourSafe = false;  // colour-safe palette whatever the mode
    int32_t spacing = 16;
    int32_t cornerRadius = 10;
    int32_t pillRadius = 99;
    int32_t smallRadius = 6;

    static Theme& instance();

    // Chosen at every lookup so that nothing caches a palette across paints.
    const uint32_t* palette() const noexcept {
        if (colourSafe) return kColourSafePalette;
        if (mode == 0) return kDarkPalette;
        if (mode == 1) return kLightPalette;
        return kColourSafePalette;
    }
    bool lightInForce() const noexcept { return !colourSafe && mode == 1; }

    juce::Colour colour(int index) const noexcept { return juce::Colour(palette()[index]); }
    juce::Colour colour(ThemeColour c) const noexcept { return colour(static_cast<int>(c)); }
    juce::Colour categoryColour(int category) const noexcept;

    void addListener(Listener* listener);
    void removeListener(Listener* listener);
    const std::vector<Listener*>& listeners() const noexcept { return listeners_; }

private:
    std::vector<Listener*> listeners_;
};

// Shorthand used by every painter: the current theme's colour of a role.
inline juce::Colour themeColour(ThemeColour c) { return Theme::instance().colour(c); }

}  // namespace vt6::ui
