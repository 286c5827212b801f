#pragma once
// Mouse events delivered through a real window's peer, as the platform layer
// delivers them.

#include <juce_gui_basics/juce_gui_basics.h>

#include <optional>

namespace vt6::test {

// Keeps a clock of its own so that separate gestures never make a
// double-click.
struct PeerMouse {
    juce::Component& top;
    juce::int64 time = 100000;

    void send(juce::Point<float> p, juce::ModifierKeys mods, int gapMs = 20) {
        time += gapMs;
        // The platform layer records the keys before it delivers the event.
        juce::ModifierKeys::currentModifiers = mods;
        top.getPeer()->handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, p, mods,
                                        juce::MouseInputSource::defaultPressure,
                                        juce::MouseInputSource::defaultOrientation, time);
    }
    static juce::ModifierKeys held(bool right, int extra = 0) {
        return juce::ModifierKeys((right ? juce::ModifierKeys::rightButtonModifier
                                         : juce::ModifierKeys::leftButtonModifier) |
                                  extra);
    }
    void wheel(juce::Point<float> p, float deltaY) {
        time += 1000;
        juce::ModifierKeys::currentModifiers = juce::ModifierKeys();
        juce::MouseWheelDetails w{};
        w.deltaY = deltaY;
        top.getPeer()->handleMouseWheel(juce::MouseInputSource::InputSourceType::mouse, p, time, w);
    }
    // Press at a, move through b (when given), release there.
    void gesture(juce::Point<float> a, std::optional<juce::Point<float>> b = {}, bool right = false,
                 int extra = 0) {
        send(a, juce::ModifierKeys(extra), 1000);
        send(a, held(right, extra));
        if (b) send(*b, held(right, extra));
        send(b.value_or(a), juce::ModifierKeys(extra));
    }
};

}  // namespace vt6::test
