#pragma once
// The whole content of the main window: the header row of buttons, the status
// line, and the mounted editor between them. Owns every long-lived object of
// the shell and runs at most one background job at a time.

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "app/audition.hpp"
#include "app/import_job.hpp"
#include "app/settings.hpp"
#include "app/save_job.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "format/mtad.hpp"
#include "platform/copy_file.hpp"
#include "platform/file_info.hpp"
#include "platform/leftovers.hpp"
#include "widgets/buttons.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/tooltip_window.hpp"
#include "widgets/viz_service.hpp"

namespace vt6::maker {

class NewZemDialog;

// The shell operations that buttons and keys lead to.
enum class ShellAction { open, newFile, save, saveAs, settings };

class MainComponent : public juce::Component,
                      public juce::FileDragAndDropTarget,
                      public juce::Timer,
                      public juce::ChangeListener,
                      private juce::FocusChangeListener {
public:
    MainComponent();
    ~MainComponent() override;

    void paint(juce::Graphics&) override;
    void resized() override;
    bool keyPressed(const juce::KeyPress& key) override;
    void timerCallback() override;
    void changeListenerCallback(juce::ChangeBroadcaster*) override;
    // After a menu, dialog or popup closes, the window system or the
    // framework hands the keyboard back to the window or to whatever held it
    // before (possibly a component that is now covered); it goes on to the
    // component the user works in.
    void globalFocusChanged(juce::Component* focused) override;
    // Tab and Shift+Tab follow the layout over the whole window: the header
    // row, then the editor's stops (its quit button last).
    std::unique_ptr<juce::ComponentTraverser> createKeyboardFocusTraverser() override;

    // Files dragged over the editor go to the group under the pointer, or
    // are sorted by hit level when dropped beside the columns.
    bool isInterestedInFileDrag(const juce::StringArray& files) override;
    void fileDragEnter(const juce::StringArray& files, int x, int y) override;
    void fileDragMove(const juce::StringArray& files, int x, int y) override;
    void fileDragExit(const juce::StringArray& files) override;
    void filesDropped(const juce::StringArray& files, int x, int y) override;

    // Imports audio files and folders into the page on show, into one
    // dynamic group (-1: sorted by hit level); nothing while a job runs.
    void import(std::vector<juce::File> files, int targetGroup);

    void showMessage(const juce::String& title, const juce::String& text);
    void setStatus(const juce::String& text);
    void updateButtons();

    // Runs an action that replaces or leaves the open zem (open, new, reset,
    // quit) once nothing can be lost: never while a job runs or a sample
    // edit waits to be applied; after asking when the document has unsaved
    // changes, and after a successful save when the user chose to save.
    void protectChanges(std::function<void()> action);
    // The window's close button and the system's quit request: quits through
    // protectChanges; during an import it cancels the import and quits once it
    // has stopped; nothing while any other job runs.
    void requestQuit();
    // Replaces the framework's quit that requestQuit ends in, so that tests
    // can see it without ending their own message loop.
    void setQuitAction(std::function<void()> quit) { quitAction_ = std::move(quit); }
    void showSettings();
    void save(bool saveAs, std::function<void()> continuation);
    // Builds the open document's save and writes it over `target` on the
    // worker; the continuation runs only after a successful save.
    void write(const juce::File& target, std::function<void()> continuation);

    // The undo manager the header Undo and Redo act on, handed over by the
    // mounted editor; null when none.
    void setUndoManager(juce::UndoManager* manager);

    // Told each time one of the operations above starts (past its busy
    // guard), so that tests can see where a key or a button arrived, also for
    // operations that show nothing yet.
    void setActionObserver(std::function<void(ShellAction)> observer) { actionObserver_ = std::move(observer); }

    // Starts the open job for a chosen file; nothing while a job runs.
    void openFile(const juce::File& file);
    // Replaces the mounted editor: an empty file gives a new document, a file
    // without a model is read by the editor, a file with a model opens the
    // converted model.
    void mount(const juce::File& file, std::shared_ptr<const fmt::Zem6Model> model);

    ui::zemedit::ZemEditOverlay* overlay() noexcept { return overlay_.get(); }
    bool isBusy() const noexcept { return busy_; }

    Audition& audition() noexcept { return audition_; }
    SettingsStore& settings() noexcept { return settings_; }
    ui::widgets::V6VizService& animationClock() noexcept { return animationClock_; }

private:
    friend class MainComponentTestAccess;
    class TabOrder;
    // Every control Tab stops at, in order.
    std::vector<juce::Component*> tabStops();

    // What the open job hands back to the message thread.
    struct OpenResult {
        juce::File chosen;
        std::shared_ptr<platform::OwnedFile> workingCopy;
        fmt::Zem6Model model;
        bool convertedFromLegacy = false;
        bool isSigned = false;
        // The legacy importer's warnings, shown once the file is mounted
        // unless it is the current file again (RESET): they were seen then.
        juce::StringArray warnings;
        bool reopened = false;
        juce::String error;  // empty on success
        juce::String statusBefore;
    };

    void chooseOpen();
    void finishOpen(OpenResult result);
    void finishSave(SaveJobResult result, const juce::File& target, std::function<void()> continuation,
                    const juce::String& statusBefore);
    // The file opened from a converted or signed library: never written.
    bool isNoOverwriteFile(const juce::File& file) const;
    void resetAction();
    // Deletes a working copy that is no longer needed on a thread of its own.
    void discardWorkingCopy(std::shared_ptr<platform::OwnedFile> copy);
    void chooseImport(bool folder);
    // The message-thread end of an import: adds the samples as one undo step
    // and writes the import report.
    void finishImport(std::shared_ptr<ImportResult> result, ImportPage page);
    // Shows the modal "New ZEM" dialog; nothing while a job runs.
    void newDialog();
    // The dialog's answer: 1 mounts the new model as an unsaved zem without
    // a file; the caller deletes the dialog.
    void createFromDialog(int result, NewZemDialog& dialog);
    void showImportReport();
    void started(ShellAction action);
    // An open sample editor holds edits that are neither applied nor
    // discarded.
    bool sampleEditPending() const;
    // Takes "Saved ..." off the status line when the document has changed
    // since.
    void dropSavedStatusWhenChanged();

    ui::widgets::V6LookAndFeel lookAndFeel_;
    SettingsStore settings_;
    Audition audition_;
    std::unique_ptr<SettingsWindow> settingsWindow_;
    ui::widgets::V6VizService animationClock_;
    juce::AudioFormatManager audioFormats_;
    std::unique_ptr<ui::zemedit::ZemEditOverlay> overlay_;
    std::unique_ptr<juce::FileChooser> fileChooser_;
    juce::UndoManager* undoManager_ = nullptr;
    std::function<void(ShellAction)> actionObserver_;
    std::function<void()> quitAction_;

    ui::widgets::V6Button openButton_{"OPEN ZEM", 0};
    ui::widgets::V6Button importFolderButton_{"IMPORT FOLDER", 0};
    ui::widgets::V6Button saveAsButton_{"SAVE AS", 0};
    ui::widgets::V6Button settingsButton_{"SETTINGS", 0};
    ui::widgets::V6Button importReportButton_{"IMPORT REPORT", 0};
    ui::widgets::V6Button newButton_{"NEW ZEM", 0};
    ui::widgets::V6Button cancelButton_{"CANCEL", 0};
    ui::widgets::V6IconButton undoButton_{14, "Undo"};
    ui::widgets::V6IconButton redoButton_{15, "Redo"};
    juce::Label statusLine_;

    fmt::Zem6Model asOpenedModel_;
    juce::File currentFile_;
    // The current file as opened or last saved (links followed); a save over
    // it asks first when the file on disk is no longer this one.
    platform::FileIdentity currentFileIdentity_;
    platform::FileIdentity openingIdentity_;  // of the file an open job reads
    // The current file, and the one an open job reads, as open in this
    // window: no instance's leftover sweep removes them.
    platform::OpenFileMark currentFileMark_;
    platform::OpenFileMark openingMark_;
    juce::File noOverwriteFile_;
    juce::String importReport_;
    // The status line's text when a file drag entered; written back when it
    // leaves or drops.
    juce::String statusBeforeDrag_;
    // The status a successful save set; replaced by the file's name once the
    // document has changes that are not saved.
    juce::String savedStatus_;
    std::shared_ptr<platform::OwnedFile> workingCopy_;
    // The working copy holds a converted legacy file (RESET mounts it again
    // with the as-opened model).
    bool workingCopyConverted_ = false;
    std::map<std::string, uint64_t> importedKeys_;
    std::thread worker_;
    std::thread discarder_;  // deletes replaced working copies
    std::atomic<bool> cancelFlag_{false};
    std::atomic<int> filesDone_{0};
    std::atomic<int> filesTotal_{0};  // files the import can count; 0 until its list is known
    bool busy_ = false;
    bool importing_ = false;
    bool quitAfterJob_ = false;  // a quit came during an import
    bool saving_ = false;
    int samplesTotal_ = 0;
    std::atomic<int> samplesDone_{0};
    // Last, so that it is gone before the components it describes.
    ui::widgets::V6TooltipWindow tooltip_{*this};
};

}  // namespace vt6::maker
