#pragma once
// The fullwidth plus "＋" that labels add buttons and add segments. The
// default sans-serif typeface has no such glyph and the framework does not
// fall back to another typeface, so the label keeps its text (tests and
// accessible titles read it) but is measured and drawn in a typeface that has
// it; without that typeface a plus path of the same width stands in, never a
// missing-glyph box.

#include <juce_gui_basics/juce_gui_basics.h>

namespace vt6::ui::widgets {

// The label text, U+FF0B.
inline constexpr const char* kWidePlusLabel = "\xef\xbc\x8b";

bool isWidePlusLabel(const juce::String& text);

// The typeface that draws the fullwidth plus; empty when it is not installed.
juce::String widePlusTypefaceName();

// The font the label is drawn in: the fallback typeface at the base font's
// height and style when installed, else the base font.
juce::Font widePlusFont(const juce::Font& base);

// The label's width in the font it is drawn in: the fallback glyph's advance,
// or one em (the advance of every fullwidth form) for the stand-in path.
float widePlusWidth(const juce::Font& base);

// The stand-in plus, centred in the area at the base font's size.
juce::Path widePlusPath(const juce::Font& base, juce::Rectangle<float> area);

// Measures any label: the fullwidth plus as above, other text in the font.
float labelWidth(const juce::Font& font, const juce::String& text);

// Draws any label centred in the area, without shortening.
void drawLabel(juce::Graphics& g, const juce::String& text, const juce::Font& font, juce::Rectangle<int> area);

}  // namespace vt6::ui::widgets
