#include "editor/ui/boundary_editor.hpp"

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

BoundaryEditor::BoundaryEditor(int boundaryIndex) : index(boundaryIndex) {
    setName("Dynamics boundary");
    setTitle("Dynamics boundary");
    setMouseCursor(juce::MouseCursor::LeftRightResizeCursor);
}

void BoundaryEditor::paint(juce::Graphics& g) {
    g.setColour(themeColour(ThemeColour::border));
    g.fillRect(getWidth() / 2 - 1, 0, 2, getHeight());
}

void BoundaryEditor::mouseDown(const juce::MouseEvent&) {
    if (onDragStart) onDragStart(index);
}

void BoundaryEditor::mouseDrag(const juce::MouseEvent& e) {
    if (!positionToLevel || !onDragMove) return;
    auto* parent = getParentComponent();
    const float x = parent != nullptr ? e.getEventRelativeTo(parent).position.x : e.position.x + static_cast<float>(getX());
    const int level = positionToLevel(x);
    onDragMove(index, level);
}

void BoundaryEditor::mouseUp(const juce::MouseEvent&) {
    if (onDragEnd) onDragEnd(index);
}

std::unique_ptr<juce::AccessibilityHandler> BoundaryEditor::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::slider);
}

}  // namespace vt6::ui::zemedit
