// Test entry for the GUI tests: the framework's GUI support lives for the
// whole run, and the settings folder points into a private temporary folder
// so no test touches the user's own settings.

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <X11/Xlib.h>

#include <cstdlib>

namespace {

// A bare virtual display has no window manager, so the window-manager atoms
// the framework looks up without creating do not exist yet and its window
// set-up fails with an X error. Creating them once for the server's lifetime
// stands in for the window manager. The connection stays open for the run:
// a bare server resets, atoms and all, when its last client leaves.
Display* createWindowManagerAtoms() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return nullptr;
    const char* names[] = {"WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING",
                           "WM_CHANGE_STATE", "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE",
                           "_NET_WM_STATE_HIDDEN", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                           "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_MOTIF_WM_HINTS",
                           "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_FULLSCREEN",
                           "_NET_FRAME_EXTENTS", "_NET_WORKAREA", "_NET_WM_ALLOWED_ACTIONS",
                           "_NET_WM_ACTION_MOVE", "_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_CLOSE",
                           "_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_MAXIMIZE", "_NET_WM_ACTION_FULLSCREEN",
                           "_NET_WM_ICON", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_STATE_MAXIMIZED_VERT",
                           "_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_MODAL"};
    for (const char* name : names) XInternAtom(display, name, False);
    XSync(display, False);
    return display;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const auto config = juce::File::createTempFile("zem-gui-config");
    config.createDirectory();
    setenv("XDG_CONFIG_HOME", config.getFullPathName().toRawUTF8(), 1);
    int result = 0;
    Display* atomKeeper = createWindowManagerAtoms();
    {
        juce::ScopedJuceInitialiser_GUI gui;
        result = RUN_ALL_TESTS();
    }
    if (atomKeeper != nullptr) XCloseDisplay(atomKeeper);
    config.deleteRecursively();
    return result;
}
