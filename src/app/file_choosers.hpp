#pragma once
// Every file chooser of the shell goes through here, so that tests can
// record and answer them instead of the framework showing a dialog.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>

namespace vt6::maker {

struct FileChooserRequest {
    juce::String title;
    juce::File start;
    juce::String patterns;
    int flags = 0;  // juce::FileBrowserComponent flags
};

// Shows the chooser and later calls back with the chosen file (an empty
// File when the user cancelled).
using FileChooserPresenter =
    std::function<void(const FileChooserRequest& request, std::function<void(const juce::File&)> onResult)>;

// Replaces the presenter process-wide; an empty one restores the framework's.
void setFileChooserPresenter(FileChooserPresenter presenter);

// Where the save of a zem without a file starts: the user's Documents
// folder when it exists (a fresh account need not have one), else the home
// folder.
juce::File defaultSaveFolder();

// A framework chooser with the title, start file, the pattern "*.zem" and the
// native dialog.
std::unique_ptr<juce::FileChooser> makeZemFileChooser(const juce::String& title, const juce::File& start);

// Launches the request asynchronously. `holder` keeps the framework's chooser
// alive until the next one replaces it.
void launchFileChooser(std::unique_ptr<juce::FileChooser>& holder, const FileChooserRequest& request,
                       std::function<void(const juce::File&)> onResult);

// The same for a chooser that may return several files (or one folder); the
// callback gets every chosen file, none when the user cancelled. An
// installed presenter answers with one file.
void launchFileChooserForMany(std::unique_ptr<juce::FileChooser>& holder, const FileChooserRequest& request,
                              std::function<void(const juce::Array<juce::File>&)> onResult);

}  // namespace vt6::maker
