#include <juce_gui_basics/juce_gui_basics.h>

#include <X11/Xlib.h>

namespace vt6::test {

void warpPointer(juce::Point<int> screen) {
    if (Display* display = XOpenDisplay(nullptr)) {
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, screen.x, screen.y);
        XSync(display, False);
        XCloseDisplay(display);
    }
}

}  // namespace vt6::test
