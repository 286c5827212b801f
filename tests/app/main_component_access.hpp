#pragma once
// The one friend of MainComponent that tests use to reach the state only
// jobs and the shell's own flow change, and the controls they press.

#include <juce_gui_basics/juce_gui_basics.h>

#include <map>
#include <stdexcept>
#include <string>

#include "app/main_component.hpp"

namespace vt6::maker {

class MainComponentTestAccess {
public:
    explicit MainComponentTestAccess(MainComponent& c) : c_(c) {}

    juce::Button& button(const juce::String& name) {
        for (auto* child : c_.getChildren())
            if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getName() == name) return *b;
        throw std::runtime_error("no button " + name.toStdString());
    }
    juce::Button& undo() { return c_.undoButton_; }
    juce::Button& cancel() { return c_.cancelButton_; }
    juce::Button& importFolder() { return c_.importFolderButton_; }
    juce::Button& importReport() { return c_.importReportButton_; }

    juce::Label& statusLabel() { return c_.statusLine_; }
    juce::String status() const { return c_.statusLine_.getText(); }
    juce::File current() const { return c_.currentFile_; }
    juce::File noOverwrite() const { return c_.noOverwriteFile_; }
    bool hasWorkingCopy() const { return c_.workingCopy_ != nullptr; }
    juce::File workingCopy() const { return c_.workingCopy_ != nullptr ? juce::File(juce::String::fromUTF8(c_.workingCopy_->path().c_str())) : juce::File(); }
    juce::UndoManager* undoManager() const { return c_.undoManager_; }
    const fmt::Zem6Model& asOpened() const { return c_.asOpenedModel_; }
    std::map<std::string, uint64_t>& importedKeys() { return c_.importedKeys_; }
    const juce::String& report() const { return c_.importReport_; }
    bool cancelRequested() const { return c_.cancelFlag_; }
    juce::Component* overlay() { return c_.overlay_.get(); }
    SettingsWindow* settingsWindow() { return c_.settingsWindow_.get(); }

    void setBusy(bool busy, bool importing = false) {
        c_.busy_ = busy;
        c_.importing_ = importing;
        c_.updateButtons();
    }
    void setFilesDone(int n) { c_.filesDone_ = n; }
    void setFilesTotal(int n) { c_.filesTotal_ = n; }
    int filesDone() const { return c_.filesDone_; }
    int filesTotal() const { return c_.filesTotal_; }
    // The message-thread end of an import job, reached directly.
    void finishImport(std::shared_ptr<ImportResult> result, ImportPage page) {
        c_.finishImport(std::move(result), page);
    }
    // A new document in the editor.
    void mountNew() { c_.mount(juce::File(), nullptr); }

private:
    MainComponent& c_;
};

} // namespace vt6::maker
