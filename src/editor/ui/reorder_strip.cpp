#include "editor/ui/reorder_strip.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"
#include "widgets/wide_plus.hpp"

namespace vt6::ui::zemedit {


ReorderStrip::ReorderStrip() : V6SegmentGroup({}, "V6SegmentGroup") {}

ReorderStrip::~ReorderStrip() = default;

int ReorderStrip::definitionCount() const noexcept {
    const int c = getNumSegments();
    return c < 3 ? 0 : c - 2;
}

bool ReorderStrip::interactionBlocked() const {
    for (auto* c = static_cast<const juce::Component*>(this); c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return true;
    return false;
}

void ReorderStrip::resetDrag() {
    const bool wasDragging = dragging;
    pressIndex = -1;
    movablePress = false;
    dragging = false;
    dropGapIndex = -1;
    if (wasDragging) repaint();
}

void ReorderStrip::mouseDown(const juce::MouseEvent& e) {
    if (interactionBlocked()) return;
    if (e.mods.isPopupMenu()) {
        pressIndex = -1;
        movablePress = false;
        dragging = false;
        if (onContextMenu) onContextMenu(segmentAt(e.getPosition()), e.getScreenPosition());
        return;
    }
    const int p = segmentAt(e.getPosition());
    const int n = definitionCount();
    pressIndex = p;
    dragging = false;
    dropGapIndex = -1;
    if (p >= 1 && p <= n && isSegmentEnabled(p)) {
        // A definition is selected on release, so that a drag can start first.
        movablePress = true;
        return;
    }
    movablePress = false;
    if (p >= 0 && isSegmentEnabled(p)) setSelectedIndex(p, true);
}

void ReorderStrip::mouseDrag(const juce::MouseEvent& e) {
    if (interactionBlocked()) return;
    if (!movablePress || definitionCount() < 2) return;
    if (!dragging) {
        const float dx = e.position.x - e.mouseDownPosition.x;
        if (std::abs(static_cast<int>(std::lround(dx))) < kDragThreshold) return;
        dragging = true;
    }
    dragX = e.position.x;
    dropGapIndex = dropIndexAt(e.position.x);
    repaint();
}

int ReorderStrip::dropIndexAt(float x) const {
    const int n = definitionCount();
    int b = 0;
    for (int i = 2; i <= n; ++i)
        if (x >= static_cast<float>(segmentBounds(i).getX())) b = i - 1;
    const auto s = segmentBounds(b + 1);
    return x >= static_cast<float>(s.getX()) + static_cast<float>(s.getWidth()) / 2.0f ? b + 1 : b;
}

void ReorderStrip::mouseUp(const juce::MouseEvent&) {
    if (interactionBlocked()) return;
    const int p = pressIndex;
    const bool wasDragging = dragging;
    const int g = dropGapIndex;
    const bool wasMovable = movablePress;
    pressIndex = -1;
    movablePress = false;
    dragging = false;
    dropGapIndex = -1;
    if (wasDragging) {
        repaint();
        if (g < 0 || g == p - 1 || g == p) return;
        if (onReorder) onReorder(p - 1, p - 1 < g ? g - 1 : g);
        return;
    }
    if (wasMovable && p >= 0 && isSegmentEnabled(p)) setSelectedIndex(p, true);
}

void ReorderStrip::paint(juce::Graphics& g) {
    paintSegments(g, widgets::paintStateOf(*this, false, 0.0f));
    const int c = getNumSegments();
    if (!dragging || pressIndex <= 0 || pressIndex >= c) return;

    const auto s = segmentBounds(pressIndex).toFloat();
    const float w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    const float sh = std::max(s.getHeight() - 4.0f, 0.0f);
    const float pill = static_cast<float>(Theme::instance().pillRadius);
    const auto accent = themeColour(ThemeColour::accent);

    g.setColour(accent.withAlpha(static_cast<juce::uint8>(46)));
    g.fillRoundedRectangle(s.getX() + 2.0f, s.getY() + 2.0f, std::max(s.getWidth() - 4.0f, 0.0f), sh,
                           std::min(sh / 2.0f, pill));

    const int n = definitionCount();
    if (dropGapIndex >= 0) {
        const float edge = dropGapIndex < n ? static_cast<float>(segmentBounds(dropGapIndex + 1).getX())
                                            : static_cast<float>(segmentBounds(n).getRight() - 1);
        const bool stays = dropGapIndex == pressIndex - 1 || dropGapIndex == pressIndex;
        g.setColour(stays ? accent.withAlpha(static_cast<juce::uint8>(89)) : accent.withAlpha(static_cast<juce::uint8>(255)));
        g.fillRoundedRectangle(edge - 1.5f, 0.0f, 3.0f, h, 1.5f);
    }

    const auto label = labels()[pressIndex];
    const auto font = makeFont(kTypeButton);
    const float fw = widgets::labelWidth(font, label) + 22.0f;
    const float cx = std::clamp(dragX, fw / 2.0f, std::max(w - fw / 2.0f, fw / 2.0f));
    const juce::Rectangle<float> box(cx - fw / 2.0f, h / 2.0f - sh / 2.0f, fw, sh);
    widgets::paintRoundedBox(g, box, std::min(sh / 2.0f, pill),
                             themeColour(ThemeColour::panelBackground).withAlpha(static_cast<juce::uint8>(235)),
                             accent);
    g.setColour(themeColour(ThemeColour::textPrimary));
    widgets::drawLabel(g, label, font, box.toNearestInt());
}

std::unique_ptr<juce::AccessibilityHandler> ReorderStrip::createAccessibilityHandler() {
    auto menu = [this] {
        if (onContextMenu) onContextMenu(0, localPointToGlobal(juce::Point<int>(getWidth() / 2, getHeight() / 2)));
    };
    juce::AccessibilityActions actions;
    actions.addAction(juce::AccessibilityActionType::showMenu, menu);
    actions.addAction(juce::AccessibilityActionType::press, menu);
    return std::make_unique<juce::AccessibilityHandler>(*this, juce::AccessibilityRole::group, std::move(actions));
}

}  // namespace vt6::ui::zemedit
