// Where Tab goes inside the editor, and the ring of the grid when Tab
// brought the keyboard to it.

#include <algorithm>
#include <tuple>

#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

bool takesKeys(const juce::Component& c) {
    return c.isShowing() && c.isEnabled() && c.getWantsKeyboardFocus() &&
           !c.isCurrentlyBlockedByAnotherModalComponent();
}

}  // namespace

std::vector<juce::Component*> ZemEditOverlay::tabStops() {
    if (!takesKeys(*this)) return {};
    if (sampleEditor != nullptr) {
        // It covers the editor and takes every key itself.
        if (takesKeys(*sampleEditor)) return {sampleEditor.get()};
        return {};
    }
    // Rows of the layout from the top; within a row, left to right. The
    // panel a control opened follows that control.
    using Key = std::tuple<int, int, int, int>;  // row, x, after the opener, y
    const auto keyOf = [this](juce::Component* c) -> Key {
        if (c == this) return {2, gridFrame.getX(), 0, gridFrame.getY()};
        if (levelPanel != nullptr && levelPanel->isParentOf(c)) {
            const auto at = getLocalArea(c, c->getLocalBounds());
            return {1, levelButton.getX(), 1, at.getY()};
        }
        const auto at = getLocalArea(c, c->getLocalBounds());
        const int y = at.getCentreY();
        if (y < headerRow.getBottom()) return {0, at.getX(), 0, at.getY()};
        if (y < gridFrame.getY()) return {1, at.getX(), 0, at.getY()};
        if (y < gridFrame.getBottom()) return {2, at.getX(), 0, at.getY()};
        // Below the grid the zoom row and the detail strip are rows of their own.
        return {3, y, 0, at.getX()};
    };
    auto stops = juce::KeyboardFocusTraverser().getAllComponents(this);
    stops.erase(std::remove_if(stops.begin(), stops.end(),
                               [this](juce::Component* c) { return c == &closeButton || !takesKeys(*c); }),
                stops.end());
    // The grid: Delete and the undo keys act on what it shows.
    stops.push_back(this);
    std::stable_sort(stops.begin(), stops.end(),
                     [&](juce::Component* a, juce::Component* b) { return keyOf(a) < keyOf(b); });
    // Quitting is the last thing a user tabs to.
    if (takesKeys(closeButton)) stops.push_back(&closeButton);
    return stops;
}

void ZemEditOverlay::focusGained(FocusChangeType cause) {
    const bool shown = cause == focusChangedByTabKey;
    if (shown == gridFocusShown) return;
    gridFocusShown = shown;
    repaint(gridFrame.expanded(4));
}

void ZemEditOverlay::focusLost(FocusChangeType) {
    if (!gridFocusShown) return;
    gridFocusShown = false;
    repaint(gridFrame.expanded(4));
}

void ZemEditOverlay::paintGridFocusRing(juce::Graphics& g) {
    if (!gridFocusShown || !hasKeyboardFocus(false) || gridFrame.isEmpty()) return;
    const float radius = static_cast<float>(Theme::instance().spacing);
    g.setColour(themeColour(ThemeColour::accent));
    g.drawRoundedRectangle(gridFrame.toFloat().reduced(1.0f), radius, 2.0f);
}

}  // namespace vt6::ui::zemedit
