#pragma once
// Every popup menu of the widgets goes through here, so that tests can read
// the menu as built and answer it instead of the framework showing a window.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace vt6::ui::widgets {

// Shows the menu and later calls back with the chosen item id (0 when the
// menu was dismissed).
using MenuPresenter = std::function<void(const juce::PopupMenu& menu, const juce::PopupMenu::Options& options,
                                         std::function<void(int)> onResult)>;

// Replaces the presenter process-wide; an empty one restores the framework's.
void setMenuPresenter(MenuPresenter presenter);

// The menu wears the look-and-feel of `themedBy`, else of the options'
// target or parent component: without one the framework would draw it in
// its stock look. Once it closes the keyboard goes back to where it was.
void showMenuAsync(const juce::PopupMenu& menu, const juce::PopupMenu::Options& options,
                   std::function<void(int)> onResult, juce::Component* themedBy = nullptr);

}  // namespace vt6::ui::widgets
