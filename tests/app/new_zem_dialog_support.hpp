#pragma once
// Reaching into a dialog's component tree the way a user's input would:
// children by name or text, typing into a field, mouse presses through the
// window's peer.

#include <juce_gui_basics/juce_gui_basics.h>

#include <stdexcept>
#include <string>

namespace vt6::test {

// The first component of type T named `name` anywhere below root.
template <typename T>
T* findChildOrNull(juce::Component& root, const juce::String& name) {
    for (auto* child : root.getChildren()) {
        if (auto* t = dynamic_cast<T*>(child); t != nullptr && child->getName() == name) return t;
        if (auto* inner = findChildOrNull<T>(*child, name)) return inner;
    }
    return nullptr;
}

template <typename T>
T& findChild(juce::Component& root, const juce::String& name) {
    if (auto* t = findChildOrNull<T>(root, name)) return *t;
    throw std::runtime_error("no child named " + name.toStdString());
}

// The direct child label showing `text`.
inline juce::Label& labelWithText(juce::Component& parent, const juce::String& text) {
    for (auto* child : parent.getChildren())
        if (auto* label = dynamic_cast<juce::Label*>(child); label != nullptr && label->getText() == text) return *label;
    throw std::runtime_error("no label " + text.toStdString());
}

// Types each character as a key press into the field.
inline void typeInto(juce::TextEditor& field, const juce::String& text) {
    for (auto ch : text) field.keyPressed(juce::KeyPress(static_cast<int>(ch), juce::ModifierKeys(), ch));
}

// Moves the display's real pointer, which the framework reads back when it
// asks whether the mouse is still over a held button.
// (Its own source file keeps the X headers' macros away from the framework's
// names.)
void warpPointer(juce::Point<int> screen);

// A mouse event at a point of the peer's window: the button state given by
// mods (left button held, or none for a release).
inline void injectMouse(juce::ComponentPeer& peer, juce::Point<float> at, juce::ModifierKeys mods) {
    peer.handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, at, mods,
                          juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                          juce::Time::currentTimeMillis());
}

}  // namespace vt6::test
