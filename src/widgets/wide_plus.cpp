#include "widgets/wide_plus.hpp"

#include <algorithm>

namespace vt6::ui::widgets {

namespace {

constexpr const char* kFallbackTypeface = "Droid Sans Fallback";

}  // namespace

bool isWidePlusLabel(const juce::String& text) { return text == juce::String::fromUTF8(kWidePlusLabel); }

juce::String widePlusTypefaceName() {
    // The font list does not change while the program runs.
    static const juce::String name = [] {
        const auto names = juce::Font::findAllTypefaceNames();
        return names.contains(kFallbackTypeface) ? juce::String(kFallbackTypeface) : juce::String();
    }();
    return name;
}

juce::Font widePlusFont(const juce::Font& base) {
    const auto name = widePlusTypefaceName();
    if (name.isEmpty()) return base;
    // The fallback typeface has one style only; bold is synthesised.
    juce::Font font(name, base.getHeight(), base.getStyleFlags());
    return font;
}

float widePlusWidth(const juce::Font& base) {
    if (widePlusTypefaceName().isEmpty()) return base.getHeight();
    return widePlusFont(base).getStringWidthFloat(juce::String::fromUTF8(kWidePlusLabel));
}

juce::Path widePlusPath(const juce::Font& base, juce::Rectangle<float> area) {
    const float em = base.getHeight();
    const float arm = em * 0.62f;
    const float bar = std::max(1.0f, em * (base.isBold() ? 0.13f : 0.09f));
    const auto c = area.getCentre();
    juce::Path p;
    p.addRectangle(c.x - arm / 2.0f, c.y - bar / 2.0f, arm, bar);
    p.addRectangle(c.x - bar / 2.0f, c.y - arm / 2.0f, bar, arm);
    p.setUsingNonZeroWinding(true);
    return p;
}

float labelWidth(const juce::Font& font, const juce::String& text) {
    return isWidePlusLabel(text) ? widePlusWidth(font) : font.getStringWidthFloat(text);
}

void drawLabel(juce::Graphics& g, const juce::String& text, const juce::Font& font, juce::Rectangle<int> area) {
    if (isWidePlusLabel(text) && widePlusTypefaceName().isEmpty()) {
        g.fillPath(widePlusPath(font, area.toFloat()));
        return;
    }
    g.setFont(isWidePlusLabel(text) ? widePlusFont(font) : font);
    g.drawText(text, area, juce::Justification::centred, false);
}

}  // namespace vt6::ui::widgets
