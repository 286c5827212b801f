#pragma once
// The label that follows the pointer while sample chips are dragged to
// another dynamic group: its size, its text and its painting.

#include <juce_gui_basics/juce_gui_basics.h>

namespace vt6::ui::zemedit {

inline constexpr int kDragGhostHeight = 22;

// Follows the first column's width, within 120 to 220 px.
int dragGhostWidth(int firstColumnWidth);
// The name, and "  +" with the number of further samples when several move.
juce::String dragGhostText(const juce::String& name, int count);
// The ghost's face: its group colour, a white outline and the text.
void paintDragGhost(juce::Graphics& g, int width, int height, juce::Colour colour, const juce::String& text);

}  // namespace vt6::ui::zemedit
