#include "editor/ui/session_hits_axis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {


namespace {

// Rounds halves away from zero.
int nearest(double v) { return static_cast<int>(std::lround(v)); }

}  // namespace

SessionHitsAxis::SessionHitsAxis() : juce::Component("Session hits axis") {
    setTitle("Session hits axis");
    setTooltip(juce::String::fromUTF8("Every tick is one hit from the analyzed track, at its measured velocity "
                                      "\xe2\x80\x94 it shows which dynamics the performance actually reaches"));
    setInterceptsMouseClicks(false, false);
}

SessionHitsAxis::~SessionHitsAxis() = default;

void SessionHitsAxis::setHistogram(const Bins* bins, const uint32_t* largest) {
    bins_ = bins;
    largest_ = largest;
    repaint();
}

void SessionHitsAxis::setColourCategory(int category) {
    colourCategory_ = category;
    repaint();
}

void SessionHitsAxis::setScale(int contentWidth, int scrollOffset) {
    contentWidth_ = std::max(contentWidth, 1);
    scrollOffset_ = scrollOffset;
}

void SessionHitsAxis::setBoundaries(std::vector<double> fractions) {
    boundaries_ = std::move(fractions);
    repaint();
}

const std::array<int, 14>& SessionHitsAxis::scaleDecibels() {
    static const std::array<int, 14> values{-40, -30, -24, -18, -14, -12, -10, -8, -6, -4, -3, -2, -1, 0};
    return values;
}

double SessionHitsAxis::xOf(double fraction, int contentWidth, int scrollOffset) {
    return fraction * static_cast<double>(contentWidth) - static_cast<double>(scrollOffset);
}

std::string SessionHitsAxis::boundaryText(double fraction) {
    const double db = fraction <= 0.0 ? -99.0 : 20.0 * std::log10(fraction);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", db);
    return text;
}

juce::Font SessionHitsAxis::pillFont() { return makeFont(kTypeMicro); }

juce::Font SessionHitsAxis::scaleFont() {
    auto font = makeFont(kTypeMicro);
    font.setHeight(9.2647057f);
    return font;
}

juce::Rectangle<int> SessionHitsAxis::pillBox(const std::string& text, double x) {
    const int lw = static_cast<int>(std::ceil(pillFont().getStringWidthFloat(juce::String(text)))) + 12;
    return {nearest(x) - lw / 2, 1, lw, 16};
}

juce::Rectangle<int> SessionHitsAxis::scaleLabelBox(int decibels, double x, int w, int h) {
    if (decibels == 0) {
        const int right = std::min(nearest(x) + 18, w);
        return {right - 36, h - 14, 36, 14};
    }
    return {nearest(x) - 18, h - 14, 36, 14};
}

void SessionHitsAxis::paint(juce::Graphics& g) {
    const int w = getWidth(), h = getHeight();
    const double wd = static_cast<double>(w);

    g.setColour(themeColour(ThemeColour::border).withAlpha(static_cast<juce::uint8>(89)));
    g.fillRect(0, 0, w, 1);

    if (bins_ != nullptr && largest_ != nullptr && *largest_ > 0) {
        g.setColour(Theme::instance().categoryColour(colourCategory_));
        const double W = static_cast<double>(contentWidth_);
        const double bw = std::max(W / 128.0 * 0.8, 1.5);
        const double hs = std::max(static_cast<double>(h) - 14.0, 4.0);
        const double top = static_cast<double>(*largest_);
        for (size_t i = 0; i < bins_->size(); ++i) {
            const uint32_t count = (*bins_)[i];
            if (count == 0) continue;
            const double bh = std::max(std::sqrt(static_cast<double>(count) / top) * hs, 2.0);
            const double x = xOf(static_cast<double>(i) / 127.0, contentWidth_, scrollOffset_);
            if (x + bw >= 0.0 && x - bw <= wd)
                g.fillRect(juce::Rectangle<double>(x - bw / 2.0, 1.0, bw, bh).toFloat());
        }
    }

    const auto pill = pillFont();
    const float radius = static_cast<float>(std::min(8, Theme::instance().smallRadius));
    for (const double b : boundaries_) {
        const double x = xOf(b, contentWidth_, scrollOffset_);
        const auto text = boundaryText(b);
        const auto box = pillBox(text, x);
        const double lw = static_cast<double>(box.getWidth());
        if (x < -lw || x > wd + lw) continue;
        g.setColour(themeColour(ThemeColour::border));
        g.fillRect(juce::Rectangle<double>(x - 1.0, 0.0, 2.0, 3.0).toFloat());
        widgets::paintRoundedBox(g, box.toFloat(), radius, themeColour(ThemeColour::surfaceRaised),
                                 themeColour(ThemeColour::border));
        g.setColour(themeColour(ThemeColour::textPrimary));
        g.setFont(pill);
        g.drawText(juce::String(text), box, juce::Justification::centred, false);
    }

    g.setFont(scaleFont());
    for (const int v : scaleDecibels()) {
        const double x = xOf(std::pow(10.0, static_cast<double>(v) / 20.0), contentWidth_, scrollOffset_);
        if (x < -18.0 || x > wd + 18.0) continue;
        g.setColour(themeColour(ThemeColour::border).withAlpha(static_cast<juce::uint8>(128)));
        g.fillRect(juce::Rectangle<double>(x - 0.5, 0.0, 1.0, 4.0).toFloat());
        g.setColour(themeColour(ThemeColour::textMuted));
        g.drawText(v == 0 ? juce::String("0 dB") : juce::String(v), scaleLabelBox(v, x, w, h),
                   juce::Justification::centred, false);
    }
}

std::unique_ptr<juce::AccessibilityHandler> SessionHitsAxis::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::image);
}

}  // namespace vt6::ui::zemedit
