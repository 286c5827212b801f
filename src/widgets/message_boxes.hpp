#pragma once
// Every message box of the program goes through here, so that tests can
// record and answer them instead of the framework showing a window (JUCE's
// alert window does not expose its text). The shell and the editor share it.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace vt6::ui::widgets {

// Shows the box and later calls back with the framework's button result
// (for three buttons: 1, 2, and 0 for the last or for closing the box).
using MessageBoxPresenter =
    std::function<void(const juce::MessageBoxOptions& options, std::function<void(int)> onResult)>;

// Replaces the presenter process-wide; an empty one restores the framework's.
void setMessageBoxPresenter(MessageBoxPresenter presenter);

void showMessageBoxAsync(const juce::MessageBoxOptions& options, std::function<void(int)> onResult = {});

// Gives the keyboard back to `before` (the component that held it when a box
// or menu window opened) when it is still shown and not blocked.
void restoreKeyboardFocus(juce::Component* before);

// Where the keyboard was when a window of the program's own (a box, a file
// chooser) opened. Once that window is gone, `windowClosed` gives the
// keyboard back, also where no window manager does (the X focus would stay
// on the root window), and repaints the program's windows, so that none
// keeps the closed window's pixels.
class KeyboardReturn {
public:
    KeyboardReturn();
    void windowClosed() const;

private:
    juce::Component::SafePointer<juce::Component> before_;
    // The window that was active, for when nothing in it held the keyboard.
    juce::Component::SafePointer<juce::Component> window_;
};

// Asks "Replace zem" before a save replaces a file the user was not warned
// about; `replace` runs only on "Replace" (it must check that its owner still
// exists).
void askToReplaceZem(const juce::String& fileName, juce::Component* associated, std::function<void()> replace);

// Asks "Replace zem" before a save replaces the open file when another
// program changed it on disk since it was opened or last saved: the user is
// saving their own file and must learn that Replace discards those changes.
void askToReplaceChangedZem(const juce::String& fileName, juce::Component* associated,
                            std::function<void()> replace);

}  // namespace vt6::ui::widgets
