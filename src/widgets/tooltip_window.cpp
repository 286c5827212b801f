#include "widgets/tooltip_window.hpp"

namespace vt6::ui::widgets {

V6TooltipWindow::V6TooltipWindow(juce::Component& host) : host_(host) {
    setInterceptsMouseClicks(false, false);
    setWantsKeyboardFocus(false);
    setAccessible(false);
    setVisible(false);
    host_.addChildComponent(this);
    host_.addMouseListener(this, true);
}

V6TooltipWindow::~V6TooltipWindow() {
    stopTimer();
    host_.removeMouseListener(this);
    host_.removeChildComponent(this);
}

juce::String V6TooltipWindow::tipFor(juce::Component* c) {
    if (c == nullptr || c->isCurrentlyBlockedByAnotherModalComponent()) return {};
    if (auto* client = dynamic_cast<juce::TooltipClient*>(c)) return client->getTooltip();
    return {};
}

bool V6TooltipWindow::insideClicked(juce::Component* c) const {
    auto* clicked = clicked_.getComponent();
    return clicked != nullptr && c != nullptr && (c == clicked || clicked->isParentOf(c));
}

void V6TooltipWindow::pointerAt(const juce::MouseEvent& e) {
    if (e.eventComponent == this) return;
    if (insideClicked(e.eventComponent) && tipFor(e.eventComponent) == clickedTip_) return;
    clicked_ = nullptr;
    const auto p = host_.getLocalPoint(nullptr, e.getScreenPosition());
    if (isVisible()) {
        // A tip stays while the pointer stays on what it describes.
        if (e.eventComponent == under_.getComponent() && tipFor(e.eventComponent) == text_) return;
        hideTip();
    }
    under_ = e.eventComponent;
    pointer_ = p;
    startTimer(kDelayMs);
}

void V6TooltipWindow::mouseEnter(const juce::MouseEvent& e) { pointerAt(e); }
void V6TooltipWindow::mouseMove(const juce::MouseEvent& e) { pointerAt(e); }

void V6TooltipWindow::mouseExit(const juce::MouseEvent& e) {
    // Moving between components sends an exit and then an enter, which arms
    // the delay again; leaving the window sends only the exit.
    stopTimer();
    hideTip();
    // Moving onto a child of the clicked control is no leaving it.
    if (auto* clicked = clicked_.getComponent(); clicked != nullptr && e.eventComponent == clicked &&
                                                 !clicked->getScreenBounds().contains(e.getScreenPosition()))
        clicked_ = nullptr;
}

void V6TooltipWindow::mouseDown(const juce::MouseEvent& e) {
    stopTimer();
    hideTip();
    clicked_ = e.eventComponent == this ? nullptr : e.eventComponent;
    clickedTip_ = tipFor(clicked_.getComponent());
}

void V6TooltipWindow::mouseDrag(const juce::MouseEvent&) {
    stopTimer();
    hideTip();
}

void V6TooltipWindow::mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) {
    stopTimer();
    hideTip();
}

void V6TooltipWindow::timerCallback() {
    stopTimer();
    auto* c = under_.getComponent();
    if (c == nullptr || !(c == &host_ || host_.isParentOf(c)) || !c->isShowing()) return;
    if (juce::ModifierKeys::currentModifiers.isAnyMouseButtonDown()) return;
    const auto text = tipFor(c);
    if (text.isEmpty()) return;
    text_ = text;
    setBounds(getLookAndFeel().getTooltipBounds(text_, pointer_, host_.getLocalBounds()));
    setVisible(true);
    toFront(false);
    repaint();
}

void V6TooltipWindow::hideTip() {
    if (!isVisible() && text_.isEmpty()) return;
    text_.clear();
    setVisible(false);
}

void V6TooltipWindow::paint(juce::Graphics& g) { getLookAndFeel().drawTooltip(g, text_, getWidth(), getHeight()); }

}  // namespace vt6::ui::widgets
