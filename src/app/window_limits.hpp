#pragma once
// Puts a resizable window's size limits into the hints the window manager
// reads. The framework writes them only when the window system reports a
// move or resize, and replaces them with position-only hints whenever it
// places the window itself (at creation and when it rebuilds its back
// buffer), so a new window could be shrunk to any size until the user had
// first resized it.

#include <juce_gui_basics/juce_gui_basics.h>

namespace vt6::maker {

// Adds the minimum and maximum size to the window's hints, keeping the rest.
// Does nothing for a window that is not on the desktop or has no limits.
void sendSizeLimitsToWindowManager(juce::ResizableWindow& window);

}  // namespace vt6::maker
