// Entry point. Checks for a display before the framework starts: without one
// its window system would fail deep inside start-up instead of saying why.

#include <X11/Xlib.h>

#include <cstdio>

#include "app/application.hpp"

namespace {

bool displayAvailable() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

juce::JUCEApplicationBase* createApplication() { return new vt6::maker::Application(); }

}  // namespace

int main(int argc, char* argv[]) {
    if (!displayAvailable()) {
        std::fprintf(stderr, "ZEM Rivir needs a graphical display, and none is available (is DISPLAY set?).\n");
        return 1;
    }
    juce::JUCEApplicationBase::createInstance = &createApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
