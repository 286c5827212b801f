#pragma once
// Free painting functions shared by every widget and screen, and the
// procedural icons: every icon of the program is a path, none is an image.

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

#include "widgets/theme.hpp"

namespace vt6::ui::widgets {

struct WidgetPaintState {
    bool hovered = false;
    bool pressed = false;
    bool active = false;
    bool disabled = false;
    float level = 0.0f;
};

struct GlowStrokeOptions {
    bool halo = false;
    bool fill = false;
    float fillAlpha = 0.0f;
};

// The opacity of the layer a disabled widget paints its whole face inside.
inline constexpr float kDisabledOpacity = 0.35f;

WidgetPaintState paintStateOf(const juce::Component& component, bool active, float level = 0.0f);

std::unique_ptr<juce::AccessibilityHandler> makeAccessibilityHandler(juce::Component& component,
                                                                     juce::AccessibilityRole role);

// An alpha product as a byte: rounded to nearest, clamped to 0..255.
juce::Colour withAlphaProduct(juce::Colour colour, float factor);

void paintRoundedBox(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, juce::Colour fill,
                     juce::Colour outline);
void paintThemedBox(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, ThemeColour fill);
void paintHaloRing(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, juce::Colour colour,
                   float thickness, float alpha);
void paintAccentGlow(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius);
void strokeGlowPath(juce::Graphics& g, const juce::Path& path, juce::Colour colour, GlowStrokeOptions options);
void fillSnappedSpan(juce::Graphics& g, float left, float width, float top, float bottom, float scale);

// Basic icons 0 to 11, centred in the rectangle at the given size; any other
// id gives an empty path. The result is always filled.
juce::Path makeIcon(int id, juce::Rectangle<float> area, float size);
// An open path, to be stroked.
juce::Path makeTrayArrowIcon(juce::Rectangle<float> area, bool up);

}  // namespace vt6::ui::widgets
