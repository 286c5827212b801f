#pragma once
// A segment group whose definition segments can be dragged to a new place:
// "ALL", one segment per room channel or articulation, and the add segment.
// A click selects (the owner filters by it or adds a definition), a
// right-click asks for the definition menu, a sideways drag reorders.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

#include "widgets/segment_group.hpp"

namespace vt6::ui::zemedit {

class ReorderStrip : public widgets::V6SegmentGroup {
public:
    ReorderStrip();
    ~ReorderStrip() override;

    // Positions over the definitions only: 0 is the first definition.
    std::function<void(int from, int to)> onReorder;
    std::function<void(int segment, juce::Point<int> screenPoint)> onContextMenu;

    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    // The drop gap for a pointer x: 0 before the first definition, n after the last.
    int dropIndexAt(float x) const;
    // Forgets a gesture under way, for when the segments are replaced.
    void resetDrag();

    int definitionCount() const noexcept;
    bool isDragging() const noexcept { return dragging; }
    int dropGap() const noexcept { return dropGapIndex; }
    int pressedIndex() const noexcept { return pressIndex; }

    // A horizontal movement smaller than this (rounded) never starts a drag.
    static constexpr int kDragThreshold = 4;

private:
    bool interactionBlocked() const;

    int pressIndex = -1;
    bool movablePress = false;
    bool dragging = false;
    int dropGapIndex = -1;
    float dragX = 0.0f;
};

}  // namespace vt6::ui::zemedit
