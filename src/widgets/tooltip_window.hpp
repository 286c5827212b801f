#pragma once
// The tooltip of a window, drawn inside it by the look-and-feel. Unlike the
// framework's tooltip window it polls nothing: pointer events over the host
// arm a one-shot delay, so a still pointer, or one outside the window, keeps
// no timer running. As on desktops, a click hides the tip, and the control
// clicked shows none again until the pointer has left it.

#include <juce_gui_basics/juce_gui_basics.h>

namespace vt6::ui::widgets {

class V6TooltipWindow : public juce::Component, private juce::Timer {
public:
    static constexpr int kDelayMs = 700;

    // Adds itself to `host` and listens to the pointer over the host and
    // every component inside it.
    explicit V6TooltipWindow(juce::Component& host);
    ~V6TooltipWindow() override;

    // The text shown, empty while hidden.
    const juce::String& shownText() const noexcept { return text_; }
    bool isArmed() const noexcept { return isTimerRunning(); }

    void paint(juce::Graphics&) override;

    void mouseEnter(const juce::MouseEvent&) override;
    void mouseMove(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;
    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;

private:
    void timerCallback() override;
    void hideTip();
    void pointerAt(const juce::MouseEvent&);
    bool insideClicked(juce::Component* c) const;
    static juce::String tipFor(juce::Component* c);

    juce::Component& host_;
    juce::Component::SafePointer<juce::Component> under_;
    // The control last clicked, while the pointer has not left it, and its
    // tip then: a component with several parts tells them apart by their
    // tips, so another tip under the pointer is another control.
    juce::Component::SafePointer<juce::Component> clicked_;
    juce::String clickedTip_;
    juce::Point<int> pointer_;  // in host coordinates
    juce::String text_;
};

}  // namespace vt6::ui::widgets
