#include "editor/ui/hit_sort_progress.hpp"

#include <algorithm>
#include <utility>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

// Touched on the message thread only.
HitThreadStarter& starterSlot() {
    static HitThreadStarter starter;
    return starter;
}

HitAnalysisHook& hookSlot() {
    static HitAnalysisHook hook;
    return hook;
}

}  // namespace

HitSortProgress::HitSortProgress() {
    setSize(kWidth, kHeight);
    // The fill stands out from the box it sits in.
    bar.setColour(juce::ProgressBar::backgroundColourId, themeColour(ThemeColour::fieldBackground));
    bar.setColour(juce::ProgressBar::foregroundColourId, themeColour(ThemeColour::accent));
    addAndMakeVisible(bar);
    addAndMakeVisible(cancelButton);
}

HitSortProgress::~HitSortProgress() = default;

void HitSortProgress::paint(juce::Graphics& g) {
    widgets::paintThemedBox(g, getLocalBounds().toFloat(), static_cast<float>(Theme::instance().spacing),
                            ThemeColour::surfaceRaised);
    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(makeFont(kTypeHeading));
    g.drawText("Analyzing sample dynamics", 16, 16, std::max(0, getWidth() - 32), 28, juce::Justification::centred,
               true);
}

void HitSortProgress::resized() {
    bar.setBounds(20, 52, std::max(0, getWidth() - 40), 20);
    cancelButton.setBounds((getWidth() - 90) / 2, 88, 90, 30);
}

void setHitThreadStarter(HitThreadStarter starter) { starterSlot() = std::move(starter); }

std::thread startHitThread(std::function<void()> body) {
    if (const auto& starter = starterSlot()) return starter(std::move(body));
    return std::thread(std::move(body));
}

void setHitAnalysisHook(HitAnalysisHook hook) { hookSlot() = std::move(hook); }

HitAnalysisHook hitAnalysisHook() { return hookSlot(); }

}  // namespace vt6::ui::zemedit
