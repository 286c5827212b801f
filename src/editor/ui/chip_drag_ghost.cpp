#include "editor/ui/chip_drag_ghost.hpp"

#include <algorithm>

#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

int dragGhostWidth(int firstColumnWidth) { return std::min(std::max(firstColumnWidth - 6, 120), 220); }

juce::String dragGhostText(const juce::String& name, int count) {
    if (count < 2) return name;
    return name + "  +" + juce::String(count - 1);
}

void paintDragGhost(juce::Graphics& g, int width, int height, juce::Colour colour, const juce::String& text) {
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    const float r = std::min(h / 2.0f, static_cast<float>(Theme::instance().cornerRadius));
    g.setColour(colour.withAlpha(static_cast<juce::uint8>(217)));
    g.fillRoundedRectangle(0.0f, 0.0f, w, h, r);
    g.setColour(juce::Colours::white.withAlpha(static_cast<juce::uint8>(230)));
    g.drawRoundedRectangle(0.75f, 0.75f, std::max(w - 1.5f, 0.0f), std::max(h - 1.5f, 0.0f), r, 1.5f);
    auto font = makeFont(kTypeValue);
    font.setHeight(std::min(h - 8.0f, 14.0f));
    g.setFont(font);
    g.setColour(juce::Colours::white);
    g.drawText(text, juce::Rectangle<int>(7, 0, std::max(width - 14, 0), height), juce::Justification::centredLeft,
               true);
}

ZemEditOverlay::DragGhost::DragGhost() {
    setAlwaysOnTop(true);
    setInterceptsMouseClicks(false, false);
    setVisible(false);
}

void ZemEditOverlay::DragGhost::paint(juce::Graphics& g) {
    paintDragGhost(g, getWidth(), getHeight(), colour, dragGhostText(name, count));
}

}  // namespace vt6::ui::zemedit
