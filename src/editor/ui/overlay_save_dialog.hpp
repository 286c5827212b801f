#pragma once
// The overlay's own save: the content of its "Save zem" dialog and the
// checks on a place the host's chooser returned.

#include <juce_gui_basics/juce_gui_basics.h>

#include <string>

namespace vt6::ui::zemedit {

// "Overwrite existing zem" or "Save as:" with a name, 360 x 92 px.
class SaveDialogContent : public juce::Component {
public:
    SaveDialogContent(bool overwriteAllowed, const juce::String& proposedName);

    void resized() override;

    juce::ToggleButton overwriteToggle{"Overwrite existing zem"};
    juce::ToggleButton saveAsToggle{"Save as:"};
    juce::TextEditor nameEditor;
};

// What checkSaveLocation makes of a chosen path.
struct SaveLocationCheck {
    int verdict = 1;   // 0 usable, 1 nothing chosen, 2 inside the unsaved-work folder
    std::string path;  // verdict 0: the path to save at
};

// Absolute, "." and ".." resolved, slashes only, no trailing slash. Letter
// case is kept: on this system "/Kits" and "/kits" are different folders.
std::string normalizeFolderPath(const std::string& path);
// True when `path` is `folder` or lies below it; false when either is empty.
bool isPathInside(const std::string& path, const std::string& folder);
// The document's name, or "Untitled" when it has none, + ".zem".
std::string suggestedFileName(const std::string& documentName);
// Refuses an empty choice and any place inside the unsaved-work folder;
// otherwise the path, with ".zem" appended unless it already ends in it in
// any letter case.
SaveLocationCheck checkSaveLocation(const std::string& path, const std::string& unsavedWorkFolder);
// The name typed in the dialog as a file name: trimmed, made legal, without a
// final ".zem" in any letter case. Empty when nothing usable is left.
std::string dialogFileName(const juce::String& typed);

}  // namespace vt6::ui::zemedit
