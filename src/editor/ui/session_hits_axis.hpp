#pragma once
// The narrow strip under the band grid: a dB scale of the 0..127 hit-level
// axis, a labelled pill for every group boundary and, when the host supplies
// the hit levels of a recorded session, a histogram of them. It shares the
// grid's horizontal scale and scrolling and takes no mouse input.

#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vt6::ui::zemedit {

class SessionHitsAxis : public juce::Component, public juce::SettableTooltipClient {
public:
    using Bins = std::array<uint32_t, 128>;

    SessionHitsAxis();
    ~SessionHitsAxis() override;

    // The view model's histogram: bin counts and the largest count, not owned.
    void setHistogram(const Bins* bins, const uint32_t* largest);
    void setColourCategory(int category);
    // Content width (at least 1) and horizontal scroll start of the grid.
    void setScale(int contentWidth, int scrollOffset);
    // Boundary levels divided by 127, in boundary order.
    void setBoundaries(std::vector<double> fractions);

    int contentWidth() const noexcept { return contentWidth_; }
    int scrollOffset() const noexcept { return scrollOffset_; }
    const std::vector<double>& boundaries() const noexcept { return boundaries_; }

    void paint(juce::Graphics&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    // The dB values the scale marks, from -40 to 0.
    static const std::array<int, 14>& scaleDecibels();
    // The x of a scale fraction: f * W - sx.
    static double xOf(double fraction, int contentWidth, int scrollOffset);
    // A boundary's pill text: 20 log10(b) with one decimal, "-99.0" for b <= 0.
    static std::string boundaryText(double fraction);
    // The 36 x 14 box of a dB label at the bottom of an axis of size w x h.
    static juce::Rectangle<int> scaleLabelBox(int decibels, double x, int w, int h);
    // The pill of a boundary label: (lx, 1, lw, 16).
    static juce::Rectangle<int> pillBox(const std::string& text, double x);

    static juce::Font pillFont();
    static juce::Font scaleFont();

private:
    const Bins* bins_ = nullptr;
    const uint32_t* largest_ = nullptr;
    int colourCategory_ = 1;
    int contentWidth_ = 1;
    int scrollOffset_ = 0;
    std::vector<double> boundaries_;
};

}  // namespace vt6::ui::zemedit
