#include "app/window_limits.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>

namespace vt6::maker {

namespace {

// A connection of our own: hints are a property of the window, which any
// client may set, and the framework's connection is not ours to use.
Display* hintsConnection() {
    static Display* const display = XOpenDisplay(nullptr);
    return display;
}

}  // namespace

void sendSizeLimitsToWindowManager(juce::ResizableWindow& window) {
    auto* peer = window.getPeer();
    auto* limits = window.getConstrainer();
    Display* display = hintsConnection();
    if (peer == nullptr || limits == nullptr || display == nullptr) return;
    const auto handle = static_cast<::Window>(reinterpret_cast<uintptr_t>(peer->getNativeHandle()));
    if (handle == 0) return;

    XSizeHints* hints = XAllocSizeHints();
    if (hints == nullptr) return;
    long supplied = 0;
    if (XGetWMNormalHints(display, handle, hints, &supplied) == 0) hints->flags = 0;

    // The same sums the framework makes when it sends them itself, so the two
    // never disagree: limits are scaled to physical pixels, less the frame.
    const auto present = peer->getFrameSizeIfPresent();
    const auto frame = present ? *present : juce::BorderSize<int>();
    const double scale = peer->getPlatformScaleFactor();
    const auto physical = [scale](int size, int border) {
        return std::max(1, static_cast<int>(scale * size) - border);
    };
    hints->min_width = physical(limits->getMinimumWidth(), frame.getLeftAndRight());
    hints->max_width = physical(limits->getMaximumWidth(), frame.getLeftAndRight());
    hints->min_height = physical(limits->getMinimumHeight(), frame.getTopAndBottom());
    hints->max_height = physical(limits->getMaximumHeight(), frame.getTopAndBottom());
    hints->flags |= PMinSize | PMaxSize;
    XSetWMNormalHints(display, handle, hints);
    XFlush(display);
    XFree(hints);
}

}  // namespace vt6::maker
