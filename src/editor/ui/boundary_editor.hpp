#pragma once
// The handle on the boundary between two neighbouring dynamic-group columns:
// a 14 px full-height strip drawn as a 2 px line. It knows only its boundary
// index; the grid turns positions into levels, clamps and commits them.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace vt6::ui::zemedit {

class BoundaryEditor : public juce::Component {
public:
    std::function<int(float x)> positionToLevel;  // x in the parent's coordinates
    std::function<void(int boundary)> onDragStart;
    std::function<void(int boundary, int level)> onDragMove;
    std::function<void(int boundary)> onDragEnd;

    explicit BoundaryEditor(int boundaryIndex);

    int boundary() const noexcept { return index; }

    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

private:
    int index;
};

}  // namespace vt6::ui::zemedit
