#include "editor/ui/overlay_save_dialog.hpp"

#include <algorithm>

#include "editor/logic/path_helpers.hpp"

namespace vt6::ui::zemedit {

SaveDialogContent::SaveDialogContent(bool overwriteAllowed, const juce::String& proposedName) {
    setSize(360, 92);
    overwriteToggle.setRadioGroupId(1);
    overwriteToggle.setEnabled(overwriteAllowed);
    saveAsToggle.setRadioGroupId(1);
    nameEditor.setMultiLine(false);
    nameEditor.setSelectAllWhenFocused(true);
    nameEditor.setText(proposedName, false);
    (overwriteAllowed ? overwriteToggle : saveAsToggle).setToggleState(true, juce::dontSendNotification);
    nameEditor.onTextChange = [this] { saveAsToggle.setToggleState(true, juce::dontSendNotification); };
    addAndMakeVisible(overwriteToggle);
    addAndMakeVisible(saveAsToggle);
    addAndMakeVisible(nameEditor);
}

void SaveDialogContent::resized() {
    const int w = getWidth(), h = getHeight();
    const int a = std::min(h, 26);
    const int g = std::min(h - a, 6);
    const int b = std::min(h - a - g, 28);
    const int labelWidth = std::min(w, 92);
    overwriteToggle.setBounds(0, 0, w, a);
    saveAsToggle.setBounds(0, a + g, labelWidth, b);
    nameEditor.setBounds(labelWidth, a + g + 2, std::max(0, w - labelWidth), std::max(0, b - 4));
}

std::string normalizeFolderPath(const std::string& path) {
    if (path.empty()) return {};
    std::string p = logic::normalizePath(path);
    std::replace(p.begin(), p.end(), '\\', '/');
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool isPathInside(const std::string& path, const std::string& folder) {
    if (path.empty() || folder.empty()) return false;
    const std::string p = normalizeFolderPath(path);
    std::string f = normalizeFolderPath(folder);
    if (p == f) return true;
    if (f.empty() || f.back() != '/') f += '/';
    return p.size() > f.size() && p.compare(0, f.size(), f) == 0;
}

std::string suggestedFileName(const std::string& documentName) {
    return (documentName.empty() ? std::string("Untitled") : documentName) + ".zem";
}

SaveLocationCheck checkSaveLocation(const std::string& path, const std::string& unsavedWorkFolder) {
    if (path.empty() || logic::fileNamePart(path).empty()) return {1, {}};
    if (isPathInside(path, unsavedWorkFolder)) return {2, {}};
    if (logic::fileExtensionLower(logic::fileNamePart(path)) == ".zem") return {0, path};
    return {0, path + ".zem"};
}

std::string dialogFileName(const juce::String& typed) {
    juce::String name = juce::File::createLegalFileName(typed.trim());
    if (name.endsWithIgnoreCase(".zem")) name = name.dropLastCharacters(4);
    return name.toStdString();
}

}  // namespace vt6::ui::zemedit
