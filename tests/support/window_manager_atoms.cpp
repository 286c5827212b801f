// A bare virtual display has no window manager, so the window-manager atoms
// the framework looks up without creating do not exist and its window set-up
// fails with an X error. Creating them once, and keeping the connection open
// so the server does not reset, stands in for the window manager.

#include "support/window_manager_atoms.hpp"

#include <X11/Xlib.h>

void* createWindowManagerAtoms() {
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

void closeWindowManagerAtoms(void* keeper) {
    if (keeper != nullptr) XCloseDisplay(static_cast<Display*>(keeper));
}
