#include "app/main_component.hpp"

#include <cmath>
#include <utility>

#include "app/file_choosers.hpp"
#include "widgets/message_boxes.hpp"
#include "app/new_model.hpp"
#include "app/new_zem_dialog.hpp"
#include "app/open_for_edit.hpp"
#include "app/save_job.hpp"
#include "app/save_model.hpp"
#include "editor/logic/path_helpers.hpp"
#include "editor/ui/user_messages.hpp"
#include "platform/file_info.hpp"
#include "platform/leftovers.hpp"
#include "platform/write_file.hpp"
#include "widgets/theme.hpp"

namespace vt6::maker {

namespace {

using ui::ThemeColour;
using ui::themeColour;

constexpr const char* kAudioUnavailable = "Audio output unavailable - open SETTINGS > Audio";

// Lines of the converted-file warnings shown at most; a header that declares
// thousands of cut-off samples would otherwise fill more than a screen.
constexpr int kShownWarnings = 12;

juce::String convertedWarningsText(const juce::StringArray& warnings) {
    juce::StringArray lines;
    for (int i = 0; i < std::min(warnings.size(), kShownWarnings); ++i) lines.add(warnings[i]);
    if (warnings.size() > kShownWarnings)
        lines.add("... and " + juce::String(warnings.size() - kShownWarnings) + " more");
    return "ZEM Rivir converted this legacy zem with these warnings:\n\n" + lines.joinIntoString("\n");
}

}  // namespace

MainComponent::MainComponent() {
    setLookAndFeel(&lookAndFeel_);
    setWantsKeyboardFocus(true);

    for (juce::Button* button : std::initializer_list<juce::Button*>{
             &openButton_, &importFolderButton_, &saveAsButton_, &undoButton_, &redoButton_, &settingsButton_,
             &importReportButton_, &newButton_, &cancelButton_})
        addAndMakeVisible(button);
    openButton_.onClick = [this] { protectChanges([this] { chooseOpen(); }); };
    importFolderButton_.onClick = [this] { chooseImport(true); };
    saveAsButton_.onClick = [this] { save(true, {}); };
    undoButton_.onClick = [this] {
        if (undoManager_ != nullptr) undoManager_->undo();
    };
    redoButton_.onClick = [this] {
        if (undoManager_ != nullptr) undoManager_->redo();
    };
    settingsButton_.onClick = [this] { showSettings(); };
    importReportButton_.onClick = [this] { showImportReport(); };
    newButton_.onClick = [this] { newDialog(); };
    cancelButton_.onClick = [this] { cancelFlag_ = true; };
    cancelButton_.setVisible(false);

    audioFormats_.registerBasicFormats();

    statusLine_.setJustificationType(juce::Justification::centredLeft);
    addAndMakeVisible(statusLine_);

    animationClock_.setGate([this] { return isShowing(); });
    animationClock_.start(33);

    const auto savedDevice = settings_.audioDeviceState();
    const auto audioError = audition_.initialise(savedDevice.get());
    audition_.deviceManager().addChangeListener(this);
    setStatus(audioError.isNotEmpty() ? juce::String(kAudioUnavailable) : juce::String());

    juce::Desktop::getInstance().addFocusChangeListener(this);
    setSize(1280, 780);
    updateButtons();
}

MainComponent::~MainComponent() {
    juce::Desktop::getInstance().removeFocusChangeListener(this);
    settingsWindow_.reset();
    audition_.deviceManager().removeChangeListener(this);
    settings_.saveAudioDevice(audition_.deviceManager());
    stopTimer();
    cancelFlag_ = true;
    if (worker_.joinable()) worker_.join();
    if (discarder_.joinable()) discarder_.join();
    overlay_.reset();
    setLookAndFeel(nullptr);
}

void MainComponent::paint(juce::Graphics& g) {
    g.fillAll(themeColour(ThemeColour::windowBackground));
    g.setColour(themeColour(ThemeColour::accent));
    g.setFont(juce::Font(20.0f, juce::Font::bold));
    g.drawText("ZEM MAKER", 18, 8, 165, 28, juce::Justification::centredLeft, true);
    if (overlay_ != nullptr) return;
    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(juce::Font(30.0f, juce::Font::plain));
    g.drawText("ZEM Rivir", 0, getHeight() / 2 - 88, getWidth(), 56, juce::Justification::centred, true);
}

void MainComponent::resized() {
    const int W = getWidth(), H = getHeight();

    juce::Rectangle<int> row(14, 8, std::max(0, W - 28), std::min(30, std::max(0, H - 16)));
    const int R = row.getHeight();
    row.removeFromLeft(175);  // the painted title
    const auto place = [&](juce::Component& c, int wanted) {
        const auto slice = row.removeFromLeft(std::min(row.getWidth(), wanted));
        c.setBounds(slice.getX() + 3, 8, std::max(0, slice.getWidth() - 6), R);
    };
    const auto textSlice = [](const ui::widgets::V6Button& b) {
        return static_cast<int>(std::ceil(b.getFont().getStringWidthFloat(b.getButtonText()))) + 34;
    };
    place(openButton_, textSlice(openButton_));
    place(importFolderButton_, textSlice(importFolderButton_));
    place(saveAsButton_, textSlice(saveAsButton_));
    place(undoButton_, R + 6);
    place(redoButton_, R + 6);
    place(settingsButton_, textSlice(settingsButton_));
    place(importReportButton_, textSlice(importReportButton_));

    juce::Rectangle<int> bottomArea(14, 6, std::max(0, W - 28), std::max(0, H - 12));
    auto bottomRow = bottomArea.removeFromBottom(std::min(30, bottomArea.getHeight()));
    cancelButton_.setBounds(bottomRow.removeFromRight(std::min(92, bottomRow.getWidth())));
    statusLine_.setBounds(bottomRow);

    if (overlay_ != nullptr) overlay_->setBounds(0, 49, W, H - 91);
    newButton_.setBounds(W / 2 - 80, H / 2, 160, 38);
}

bool MainComponent::keyPressed(const juce::KeyPress& key) {
    const auto mods = key.getModifiers();
    if (busy_ || !mods.isCtrlDown()) return false;
    const auto code = key.getKeyCode();
    if (code == ',') {
        showSettings();
        return true;
    }
    switch (juce::CharacterFunctions::toUpperCase(static_cast<juce::juce_wchar>(code))) {
        case 'N':
            protectChanges([this] { newDialog(); });
            return true;
        case 'O':
            protectChanges([this] { chooseOpen(); });
            return true;
        case 'S':
            save(mods.isShiftDown(), {});
            return true;
        default:
            return false;
    }
}

void MainComponent::globalFocusChanged(juce::Component* focused) {
    if (overlay_ == nullptr || !overlay_->isShowing()) return;
    auto* target = overlay_->keyboardTarget();
    if (target == nullptr || focused == target || target->isCurrentlyBlockedByAnotherModalComponent()) return;
    auto* peer = getPeer();
    const bool windowHasKeys = peer != nullptr && peer->isFocused();
    // Only a focus that landed on a container (this, the overlay behind an
    // open sample editor, or nothing inside the focused window) moves; a
    // field or control the user focused keeps it.
    const bool container = focused == this || (focused == overlay_.get() && target != overlay_.get()) ||
                           (focused == nullptr && windowHasKeys) ||
                           (focused != nullptr && focused == getTopLevelComponent());
    if (container) target->grabKeyboardFocus();
}

void MainComponent::timerCallback() {
    if (quitAfterJob_ && !busy_) {
        quitAfterJob_ = false;
        requestQuit();
    }
    updateButtons();
    // The tick only reports progress; an idle window sleeps (updateButtons
    // starts it again when work begins).
    if (!busy_) stopTimer();
    if (busy_ && importing_) setStatus(importProgressText(filesDone_.load(), filesTotal_.load()));
    if (busy_ && saving_ && samplesTotal_ > 0) {
        setStatus("Saving and verifying zem... " + juce::String(samplesDone_.load()) + "%");
    }
}

void MainComponent::changeListenerCallback(juce::ChangeBroadcaster* source) {
    if (source == &audition_.deviceManager()) {
        settings_.saveAudioDevice(audition_.deviceManager());
        return;
    }
    // The undo history changed: Undo and Redo follow it without polling.
    updateButtons();
    dropSavedStatusWhenChanged();
}

void MainComponent::dropSavedStatusWhenChanged() {
    if (savedStatus_.isEmpty() || statusLine_.getText() != savedStatus_) return;
    if (overlay_ == nullptr || !overlay_->document().dirty()) return;
    savedStatus_.clear();
    // What the line says for an opened file: its name, with no claim about it.
    setStatus(juce::String::fromUTF8(
        ui::zemedit::logic::fileNamePart(currentFile_.getFullPathName().toStdString()).c_str()));
}

void MainComponent::showMessage(const juce::String& title, const juce::String& text) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::InfoIcon)
                             .withTitle(title)
                             .withMessage(text)
                             .withButton("OK")
                             .withAssociatedComponent(this);
    ui::widgets::showMessageBoxAsync(options);
}

void MainComponent::setStatus(const juce::String& text) {
    statusLine_.setColour(juce::Label::textColourId, themeColour(ThemeColour::textSecondary));
    statusLine_.setText(text, juce::dontSendNotification);
}

void MainComponent::updateButtons() {
    const bool idle = !busy_;
    const bool mounted = overlay_ != nullptr;
    openButton_.setEnabled(idle);
    settingsButton_.setEnabled(idle);
    importReportButton_.setEnabled(idle);
    newButton_.setEnabled(idle);
    importFolderButton_.setEnabled(idle && mounted);
    saveAsButton_.setEnabled(idle && mounted);
    undoButton_.setEnabled(idle && undoManager_ != nullptr && undoManager_->canUndo());
    redoButton_.setEnabled(idle && undoManager_ != nullptr && undoManager_->canRedo());
    if (overlay_ != nullptr) overlay_->setEnabled(idle);
    newButton_.setVisible(!mounted);
    cancelButton_.setVisible(busy_ && importing_);
    if (busy_ && !isTimerRunning()) startTimer(100);
}

void MainComponent::showSettings() {
    if (busy_) return;
    started(ShellAction::settings);
    if (settingsWindow_ == nullptr) {
        settingsWindow_ = std::make_unique<SettingsWindow>(settings_, audition_.deviceManager(), this);
        settingsWindow_->setLookAndFeel(&lookAndFeel_);
    }
    settingsWindow_->setVisible(true);
    settingsWindow_->toFront(true);
}

void MainComponent::save(bool saveAs, std::function<void()> continuation) {
    if (busy_) return;
    started(saveAs ? ShellAction::saveAs : ShellAction::save);
    if (overlay_ == nullptr) return;
    if (overlay_->sampleEditor != nullptr) {
        showMessage("Sample editor", "Press DONE in the sample editor to apply or discard its changes before saving the zem.");
        return;
    }
    if (!saveAs && currentFile_ != juce::File() && !isNoOverwriteFile(currentFile_)) {
        const std::string currentPath = currentFile_.getFullPathName().toStdString();
        const auto now = platform::queryFileIdentity(currentPath);
        std::string resolved;
        // What cannot be replaced at all is refused by write without a question.
        if (now.exists && now != currentFileIdentity_ && platform::resolveReplaceTarget(currentPath, resolved).ok()) {
            // Another program replaced or rewrote the file since it was
            // opened or last saved: its content is not what the user saw.
            juce::Component::SafePointer<MainComponent> safe(this);
            const juce::File target = currentFile_;
            ui::widgets::askToReplaceChangedZem(target.getFileName(), this, [safe, target, continuation] {
                if (auto* self = safe.getComponent()) self->write(target, continuation);
            });
            return;
        }
        write(currentFile_, std::move(continuation));
        return;
    }
    juce::File start = currentFile_;
    if (start == juce::File()) {
        const auto name = juce::File::createLegalFileName(juce::String::fromUTF8(overlay_->document().name.c_str()));
        start = defaultSaveFolder().getChildFile((name.isEmpty() ? juce::String("Untitled") : name) + ".zem");
    }
    if (isNoOverwriteFile(start)) start = start.getSiblingFile(start.getFileNameWithoutExtension() + "_ZEM6.zem");

    FileChooserRequest request{"Save zem", start, "*.zem",
                               juce::FileBrowserComponent::saveMode | juce::FileBrowserComponent::canSelectFiles |
                                   juce::FileBrowserComponent::warnAboutOverwriting};
    fileChooser_ = makeZemFileChooser(request.title, request.start);
    juce::Component::SafePointer<MainComponent> safe(this);
    launchFileChooser(fileChooser_, request, [safe, continuation, start](const juce::File& chosen) {
        auto* self = safe.getComponent();
        if (self == nullptr || chosen == juce::File()) return;
        const juce::File target = chosen.withFileExtension("zem");
        // The proposed folder may have gone meanwhile; accepting it still saves.
        if (const auto folder = target.getParentDirectory();
            folder == start.getParentDirectory() && !folder.isDirectory())
            folder.createDirectory();
        if (target == chosen || !target.exists()) {
            self->write(target, continuation);
            return;
        }
        // The chooser warned about the name the user typed, not about the
        // one the extension turned it into: ask before replacing that.
        ui::widgets::askToReplaceZem(target.getFileName(), self, [safe, target, continuation] {
            if (auto* owner = safe.getComponent()) owner->write(target, continuation);
        });
    });
}

bool MainComponent::isNoOverwriteFile(const juce::File& file) const {
    if (noOverwriteFile_ == juce::File()) return false;
    if (file == noOverwriteFile_) return true;
    // A link to the protected file, or another path to it, is that file too.
    return platform::isSameFile(file.getFullPathName().toStdString(), noOverwriteFile_.getFullPathName().toStdString());
}

void MainComponent::write(const juce::File& target, std::function<void()> continuation) {
    if (busy_ || overlay_ == nullptr) return;
    if (isNoOverwriteFile(target)) {
        showMessage("Save a copy", "Choose a new filename to preserve the original library.");
        return;
    }
    // The name after the last separator of either kind, without its extension.
    const std::string chosenPath = target.getFullPathName().toStdString();
    const std::string fileName = ui::zemedit::logic::fileNamePart(chosenPath);
    const size_t dot = fileName.find_last_of('.');
    const std::string baseName = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    // A link stays and the file it names is replaced, written beside that
    // file; a pipe, device or folder is never replaced.
    std::string path;
    if (const auto where = platform::resolveReplaceTarget(chosenPath, path); !where.ok()) {
        setStatus("Zem not saved");
        showMessage("Cannot save zem", juce::String::fromUTF8((fileName + " cannot be replaced: " + where.reason +
                                                               ". The zem was not saved; choose another name.")
                                                                  .c_str()));
        return;
    }

    auto& viewModel = overlay_->viewModel;
    // The worker composes from a copy of the document: the window keeps
    // painting it, and a hit analysis may still set levels, while the save
    // runs. The source model is only read; no source is replaced while busy.
    std::shared_ptr<const ui::zemedit::logic::EditDocument> document = viewModel.document.snapshot();
    static const fmt::Zem6Model noSource;  // a new document composes from the default model
    const auto* activeSource = viewModel.activeSource();
    const fmt::Zem6Model* source = activeSource != nullptr ? &activeSource->model() : &noSource;
    // The payloads are built on the worker's pool as the writer reaches
    // them, from audio the loader shares or reads itself: the message thread
    // neither decodes nor holds every sample's floats.
    SaveAudioSource loader = makeDetachedAudioSource(viewModel);
    samplesTotal_ = static_cast<int>(document->liveSampleCount);
    samplesDone_ = 0;
    saving_ = true;
    busy_ = true;
    const juce::String statusBefore = statusLine_.getText();
    setStatus("Saving and verifying zem...");
    updateButtons();
    if (worker_.joinable()) worker_.join();
    // Recorded before any temporary exists there, so that a later start
    // finds what a kill during this save leaves.
    platform::noteSaveFolder(path);
    juce::Component::SafePointer<MainComponent> safe(this);
    worker_ = std::thread([this, safe, document, source, baseName, loader, target, path, continuation, statusBefore] {
        SaveJobResult result = composeAndRunSave(*document, *source, baseName, path, loader,
                                              [this](const SaveProgress& p) {
                                                  // The share of the whole job done, through every phase of it.
                                                  const int percent = saveProgressPercent(p);
                                                  int seen = samplesDone_.load();
                                                  while (percent > seen &&
                                                         !samplesDone_.compare_exchange_weak(seen, percent)) {
                                                  }
                                              });
        // What killed saves of other instances left beside this target.
        platform::sweepLeftoversBeside(path);
        juce::MessageManager::callAsync([safe, result = std::move(result), target, continuation, statusBefore] {
            if (auto* self = safe.getComponent()) self->finishSave(result, target, continuation, statusBefore);
        });
    });
}

void MainComponent::finishSave(SaveJobResult result, const juce::File& target, std::function<void()> continuation,
                               const juce::String& statusBefore) {
    if (worker_.joinable()) worker_.join();
    busy_ = false;
    saving_ = false;
    const int code = result.code;
    if (!result.notes.empty()) {
        juce::StringArray lines;
        for (const auto& note : result.notes) lines.add(juce::String::fromUTF8(note.c_str()));
        // Said in the box and on the status line: nothing was written.
        setStatus("Zem not saved");
        showMessage("Match room samples",
                    lines.joinIntoString("\n") +
                        "\n\nThe zem was not saved. Give each room recording the same name as its direct "
                        "recording, apart from the mic label, then save again.");
    } else if (code == 0) {
        currentFile_ = target;
        currentFileIdentity_ = platform::queryFileIdentity(target.getFullPathName().toStdString());
        // The save put a new file there.
        currentFileMark_ = platform::OpenFileMark(target.getFullPathName().toStdString());
        // The document takes what the file took: room samples in their
        // direct samples' groups, and no group left empty.
        if (overlay_ != nullptr) settleSavedDocument(overlay_->document(), result.roomMoves);
        const auto name = ui::zemedit::logic::fileNamePart(target.getFullPathName().toStdString());
        savedStatus_ = "Saved " + juce::String::fromUTF8(name.c_str());
        setStatus(savedStatus_);
    } else {
        // Nothing is being saved any more; the line says what it said before.
        setStatus(statusBefore);
        std::string text = !result.refusal.empty() ? result.refusal : saveErrorText(static_cast<uint32_t>(code));
        if (code == kSaveAudioUnreadable && !result.unreadableSample.empty())
            text = sampleAudioSaveErrorText(result.unreadableSample);
        showMessage("Cannot save zem", juce::String::fromUTF8(text.c_str()));
    }
    updateButtons();
    if (code == 0 && result.notes.empty() && continuation) continuation();
}

void MainComponent::setUndoManager(juce::UndoManager* manager) {
    if (manager != undoManager_) {
        if (undoManager_ != nullptr) undoManager_->removeChangeListener(this);
        undoManager_ = manager;
        if (undoManager_ != nullptr) undoManager_->addChangeListener(this);
    }
    updateButtons();
    dropSavedStatusWhenChanged();
}

void MainComponent::chooseOpen() {
    if (busy_) return;
    started(ShellAction::open);
    FileChooserRequest request{"Open zem", currentFile_, "*.zem",
                               juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles};
    fileChooser_ = makeZemFileChooser(request.title, request.start);
    juce::Component::SafePointer<MainComponent> safe(this);
    launchFileChooser(fileChooser_, request, [safe](const juce::File& chosen) {
        auto* self = safe.getComponent();
        if (self == nullptr || chosen == juce::File() || !chosen.existsAsFile()) return;
        self->openFile(chosen);
    });
}

void MainComponent::openFile(const juce::File& file) {
    if (busy_) return;
    busy_ = true;
    const auto statusBefore = statusLine_.getText();
    setStatus("Opening zem...");
    updateButtons();
    if (worker_.joinable()) worker_.join();

    // Taken before the copy: a file replaced meanwhile reads as changed.
    openingIdentity_ = platform::queryFileIdentity(file.getFullPathName().toStdString());
    openingMark_ = platform::OpenFileMark(file.getFullPathName().toStdString());
    // A unique name in the temporary folder that carries this instance's id,
    // so that a later start can remove the copy if this one is killed.
    auto workingCopy = std::make_shared<platform::OwnedFile>(platform::newOwnedTemporaryPath(".zem"));
    juce::Component::SafePointer<MainComponent> safe(this);
    const bool reopened = file == currentFile_;
    worker_ = std::thread([safe, file, workingCopy, statusBefore, reopened] {
        auto result = std::make_shared<OpenResult>();
        result->chosen = file;
        result->reopened = reopened;
        result->workingCopy = workingCopy;
        result->statusBefore = statusBefore;
        const std::string target = workingCopy->path();
        // Whole and synced, or no copy at all: a short copy would open as a
        // damaged file, or a legacy file with silence in place of its audio.
        const platform::CopyStatus copied = platform::copyToNewFile(file.getFullPathName().toStdString(), target);
        if (!copied.ok()) {
            const std::string folder = target.substr(0, std::max<size_t>(target.rfind('/'), 1));
            result->error = juce::String::fromUTF8(
                (copied.noSpace() ? workingCopyFolderFullText(folder) : workingCopyErrorText()).c_str());
        } else {
            workingCopy->adopt();
            auto opened = openForEdit(target, file.getFullPathName().toStdString());
            if (opened.ok()) {
                result->model = std::move(opened.value().model);
                result->convertedFromLegacy = opened.value().convertedFromLegacy;
                result->isSigned = opened.value().isSigned;
                for (const auto& line : opened.value().warnings)
                    result->warnings.add(juce::String::fromUTF8(line.c_str()));
            } else {
                // The reader's own code and message are not shown.
                result->error = juce::String::fromUTF8(openErrorText().c_str());
            }
        }
        juce::MessageManager::callAsync([safe, result] {
            // When the component is gone the result and its working copy go here.
            if (auto* self = safe.getComponent()) self->finishOpen(std::move(*result));
        });
    });
}

void MainComponent::finishOpen(OpenResult result) {
    if (worker_.joinable()) worker_.join();
    busy_ = false;
    if (result.error.isNotEmpty()) {
        // The previous file stays mounted; the status no longer says opening.
        setStatus(result.statusBefore);
        openingMark_ = {};
        discardWorkingCopy(std::move(result.workingCopy));
        showMessage("Cannot open zem", result.error);
    } else {
        asOpenedModel_ = result.model;
        const bool converted = result.convertedFromLegacy;
        mount(juce::File(juce::String::fromUTF8(result.workingCopy->path().c_str())),
              converted ? std::make_shared<const fmt::Zem6Model>(std::move(result.model)) : nullptr);
        discardWorkingCopy(std::exchange(workingCopy_, std::move(result.workingCopy)));
        workingCopyConverted_ = converted;
        noOverwriteFile_ = converted || result.isSigned ? result.chosen : juce::File();
        currentFile_ = result.chosen;
        currentFileIdentity_ = openingIdentity_;
        currentFileMark_ = std::move(openingMark_);
        importedKeys_.clear();
        // The file name after the last separator of either kind.
        const auto name = ui::zemedit::logic::fileNamePart(result.chosen.getFullPathName().toStdString());
        setStatus(juce::String::fromUTF8(name.c_str()));
        if (!result.warnings.isEmpty() && !result.reopened)
            showMessage("Converted zem", convertedWarningsText(result.warnings));
    }
    updateButtons();
}

void MainComponent::discardWorkingCopy(std::shared_ptr<platform::OwnedFile> copy) {
    if (copy == nullptr) return;
    // Deleting a copy of a large file takes the file system a while (over
    // 100 ms for 1 GiB); the message thread does not wait for it.
    if (discarder_.joinable()) discarder_.join();
    discarder_ = std::thread([doomed = std::move(copy)]() mutable { doomed.reset(); });
}

void MainComponent::mount(const juce::File& file, std::shared_ptr<const fmt::Zem6Model> model) {
    audition_.stop();
    setUndoManager(nullptr);
    if (overlay_ != nullptr) {
        removeChildComponent(overlay_.get());
        overlay_.reset();
    }
    // The going editor may have handed back its own history while it went;
    // that history is gone with it.
    undoManager_ = nullptr;

    ui::zemedit::ZemEditDeps deps;
    deps.standalone = true;
    deps.filePath = file == juce::File() ? std::string() : file.getFullPathName().toStdString();
    deps.model = model;
    deps.colourCategory = 1;
    deps.previewService = &audition_;
    deps.previewSampleRate = 44100.0;
    deps.vizService = &animationClock_;
    deps.onNew = [this] { protectChanges([this] { newDialog(); }); };
    deps.onImport = [this] { chooseImport(false); };
    juce::Component::SafePointer<MainComponent> safe(this);
    // Posted, so that the editor whose button asked is not replaced inside
    // its own click.
    deps.onReset = [safe] {
        juce::MessageManager::callAsync([safe] {
            if (auto* self = safe.getComponent()) self->protectChanges([self] { self->resetAction(); });
        });
    };
    deps.onSave = [this](std::function<void()> continuation) { save(false, std::move(continuation)); };
    deps.onClose = [safe] {
        juce::MessageManager::callAsync([safe] {
            if (safe.getComponent() != nullptr) juce::JUCEApplicationBase::quit();
        });
    };
    deps.onUndoManager = [this](juce::UndoManager* manager) { setUndoManager(manager); };
    deps.playhead = [this] {
        // Both are 0 while the transport has no sample rate.
        auto& transport = audition_.transport();
        ui::zemedit::ZemEditDeps::PreviewPlayhead playhead;
        playhead.playing = transport.isPlaying() ? 1 : 0;
        playhead.position = static_cast<int32_t>(transport.getCurrentPosition() * 44100.0);
        playhead.length = static_cast<int64_t>(transport.getLengthInSeconds() * 44100.0);
        return playhead;
    };
    deps.auditionFile = [this](const std::string& path, int position) { audition_.auditionPosition(path, position); };

    overlay_ = std::make_unique<ui::zemedit::ZemEditOverlay>(std::move(deps));
    if (file == juce::File() && model != nullptr) overlay_->viewModel.openLegacy(model, {});
    overlay_->document().setPage(0, 0);
    overlay_->rebuildStructure();
    setUndoManager(&overlay_->undoManager());
    addAndMakeVisible(*overlay_);
    resized();
    updateButtons();
}

void MainComponent::resetAction() {
    importedKeys_.clear();
    if (currentFile_ != juce::File() && currentFile_.existsAsFile()) {
        openFile(currentFile_);
        return;
    }
    // The file is gone from disk. While its working copy is held, the editor
    // reads that again, so every sample keeps its audio; only a new file,
    // which has no copy, is rebuilt from the as-opened model alone.
    if (workingCopy_ != nullptr) {
        mount(juce::File(juce::String::fromUTF8(workingCopy_->path().c_str())),
              workingCopyConverted_ ? std::make_shared<const fmt::Zem6Model>(asOpenedModel_) : nullptr);
        return;
    }
    mount(juce::File(), std::make_shared<const fmt::Zem6Model>(asOpenedModel_));
}

void MainComponent::newDialog() {
    if (busy_) return;
    started(ShellAction::newFile);
    auto* dialog = new NewZemDialog();
    dialog->centreAroundComponent(this, dialog->getWidth(), dialog->getHeight());
    juce::Component::SafePointer<MainComponent> safe(this);
    juce::Component::SafePointer<NewZemDialog> safeDialog(dialog);
    dialog->enterModalState(true, juce::ModalCallbackFunction::create([safe, safeDialog](int result) {
                                // Deleted whatever the answer; when the main
                                // component is gone, only deleted.
                                std::unique_ptr<NewZemDialog> owned(safeDialog.getComponent());
                                auto* self = safe.getComponent();
                                if (self == nullptr || owned == nullptr) return;
                                self->createFromDialog(result, *owned);
                                owned.reset();
                                // The shortcuts live here; not every window
                                // system hands the focus back by itself.
                                self->grabKeyboardFocus();
                            }),
                            false);
    dialog->focusNameField();
}

void MainComponent::createFromDialog(int result, NewZemDialog& dialog) {
    if (result != 1) return;
    const auto choices = dialog.content().readChoices();
    auto model = buildNewModel(choices, {});
    nameArticulations(model, splitArticulationNames(dialog.content().articulationNamesText().toStdString()),
                      choices.articulations);

    // A zem without a file: nothing to protect from overwriting, RESET
    // returns to this model, and no earlier import counts as a duplicate.
    noOverwriteFile_ = juce::File();
    asOpenedModel_ = model;
    currentFile_ = juce::File();
    currentFileMark_ = {};
    importedKeys_.clear();
    mount(juce::File(), std::make_shared<const fmt::Zem6Model>(std::move(model)));
    discardWorkingCopy(std::exchange(workingCopy_, nullptr));
    workingCopyConverted_ = false;
    setStatus(juce::String::fromUTF8(newZemStatus(choices.articulations).c_str()));
}

void MainComponent::started(ShellAction action) {
    if (actionObserver_) actionObserver_(action);
}

void MainComponent::showImportReport() {
    showMessage("Import report", importReport_.isEmpty() ? juce::String("No files imported yet.") : importReport_);
}

}  // namespace vt6::maker
