// What the overlay does itself when its host leaves a callback empty: new,
// reset, adding samples from audio, snapshots of unsaved work and saving.
#include <algorithm>

#include "audio/codec.hpp"
#include "editor/logic/path_helpers.hpp"
#include "editor/logic/save_destination.hpp"
#include "editor/ui/extract_hits.hpp"
#include "editor/ui/listening_box.hpp"
#include "editor/ui/user_messages.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

namespace {

// More decoded audio than one sample may hold is refused before conversion.
constexpr uint64_t kMaxDecodedFloatBytes = 256ull * 1024 * 1024;

juce::String utf8(const std::string& text) { return juce::String::fromUTF8(text.c_str()); }

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

// ---------------------------------------------------------------- NEW, RESET

void ZemEditOverlay::doNew() {
    runAskingToSave("The loaded zem has unsaved changes. Save them before starting a new zem?",
                    &ZemEditOverlay::startNewDocument);
}

void ZemEditOverlay::startNewDocument() {
    viewModel.newDocument();
    deps.filePath.clear();
    deps.model.reset();
    deps.restoredSnapshot = false;
    deps.originalPath.clear();
    // The old document's commands must never be applied to the new one.
    undoManager().clearUndoHistory();
    rebuildStructure();
    notifyDirtyChanged();
}

void ZemEditOverlay::doReset() {
    if (!document().dirty()) {
        resetDocument();
        return;
    }
    const auto options =
        juce::MessageBoxOptions()
            .withIconType(juce::MessageBoxIconType::QuestionIcon)
            .withTitle("Reset the zem")
            .withMessage("Discard every edit and reload the zem as it was opened? This cannot be undone.")
            .withButton("Reset")
            .withButton("Cancel")
            .withAssociatedComponent(this);
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMessageBoxAsync(options, [safe](int result) {
        if (auto* self = safe.getComponent(); self != nullptr && result == 1) self->resetDocument();
    });
}

void ZemEditOverlay::resetDocument() {
    const std::string key = snapshotKey();
    if (deps.discardSnapshot) deps.discardSnapshot(key);
    reloadFromSource();
    undoManager().clearUndoHistory();
}

// ------------------------------------------------------------ add from audio

void ZemEditOverlay::showAddFromAudioMenu() {
    juce::PopupMenu menu;
    menu.addItem(1, juce::String::fromUTF8("Extract samples live from the track\xe2\x80\xa6"),
                 static_cast<bool>(deps.setCaptureEnabled));
    menu.addItem(2, juce::String::fromUTF8("Add from audio file\xe2\x80\xa6"), static_cast<bool>(deps.chooseAudioFile));
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMenuAsync(menu, juce::PopupMenu::Options().withTargetComponent(&importButton), [safe](int result) {
        if (auto* self = safe.getComponent()) self->applyAddFromAudioChoice(result);
    });
}

void ZemEditOverlay::applyAddFromAudioChoice(int result) {
    if (result == 1) {
        startLiveCapture();
    } else if (result == 2 && deps.chooseAudioFile && deps.decodeAudioFile) {
        juce::Component::SafePointer<ZemEditOverlay> safe(this);
        deps.chooseAudioFile([safe](const juce::File& file) {
            if (auto* self = safe.getComponent()) self->extractFileHits(file);
        });
    }
}

void ZemEditOverlay::extractFileHits(const juce::File& file) {
    const std::string path = file.getFullPathName().toStdString();
    if (path.empty() || !deps.decodeAudioFile) return;
    const std::string fileName = logic::fileNamePart(path);
    auto decoded = deps.decodeAudioFile(file);
    if (!decoded.ok() || decoded->bitsPerSample < 8) {
        showFallbackMessage("Cannot add samples", utf8(maker::importRefusalText(0, fileName)), true);
        return;
    }
    const DecodedAudioFile& audio = decoded.value();
    const uint64_t count = audio.pcm.size() / static_cast<uint64_t>(audio.bitsPerSample / 8);
    if (count > kMaxDecodedFloatBytes / sizeof(float)) {
        showFallbackMessage("Cannot add samples", utf8(maker::importRefusalText(2, fileName)), true);
        return;
    }
    std::vector<float> samples(static_cast<size_t>(count));
    fmt::pcmToFloat(audio.pcm.data(), audio.pcm.size(), audio.bitsPerSample, count, samples.data());
    captureConsumedEnd = 0;
    extractHits(samples, audio.channels, audio.sampleRate, utf8(hitBaseName(path)), 0, -1);
}

int ZemEditOverlay::extractHits(std::span<const float> samples, int channels, int sampleRate,
                                const juce::String& baseName, int64_t firstFrame, int64_t lastFrame) {
    const int added = extractHitsInto(viewModel, samples, channels, sampleRate, baseName.toStdString(), firstFrame,
                                      lastFrame, captureConsumedEnd);
    if (added > 0) refreshAfterCommand();
    return added;
}

void ZemEditOverlay::startLiveCapture() {
    if (!deps.setCaptureEnabled || !deps.pullCapture) return;
    captureBuffer.clear();
    captureConsumedEnd = 0;
    auto box = std::make_unique<ListeningBox>();
    box->onCancel = [this] { stopLiveCapture(); };
    listeningBox = std::move(box);
    addAndMakeVisible(*listeningBox);
    listeningBox->setCentrePosition(getWidth() / 2, getHeight() / 2);
    repaint();
    deps.setCaptureEnabled(true);
    captureSwitch.set = deps.setCaptureEnabled;
    liveCaptureTimer.function = [this] { captureTick(); };
    liveCaptureTimer.startTimer(200);
}

void ZemEditOverlay::captureTick() {
    if (!deps.pullCapture) return;
    deps.pullCapture(captureBuffer);
    const int added = captureStep(viewModel, captureBuffer, captureConsumedEnd, deps.previewSampleRate,
                                  document().name);
    if (added > 0) refreshAfterCommand();
    if (auto* box = dynamic_cast<ListeningBox*>(listeningBox.get())) {
        juce::String text = juce::String(static_cast<juce::uint64>(viewModel.addedPayloads.size())) +
                            " captured so far";
        if (added >= 1) text << "  (+" << added << ")";
        box->message = text;
        box->repaint();
    }
}

void ZemEditOverlay::stopLiveCapture() {
    liveCaptureTimer.stopTimer();
    captureSwitch.set = nullptr;
    if (deps.setCaptureEnabled) deps.setCaptureEnabled(false);
    if (!captureBuffer.empty())
        extractHits(captureBuffer, 1, static_cast<int>(deps.previewSampleRate), utf8(document().name),
                    captureConsumedEnd, -1);
    // The box's own button got us here: delete it after its click returns.
    if (listeningBox != nullptr) {
        removeChildComponent(listeningBox.get());
        juce::MessageManager::callAsync([box = std::shared_ptr<juce::Component>(listeningBox.release())] {});
    }
    repaint();
    captureBuffer.clear();
}

// ----------------------------------------------------------------- snapshots

std::string ZemEditOverlay::snapshotKey() const {
    std::string path = viewModel.destinationPath;
    if (path.empty())
        if (const auto* source = viewModel.activeSource()) path = source->path();
    return makeSnapshotKey(path, viewModel.document.name);
}

fmt::Result<EditorSnapshot> ZemEditOverlay::buildSnapshot() const {
    return buildEditorSnapshot(viewModel, deps.model, snapshotKey());
}

void ZemEditOverlay::snapshotTick() {
    notifyDirtyChanged();
    if (!deps.snapshotSink || !loaded()) return;
    const uint64_t c = document().changeCounter;
    const uint32_t t = snapshotClock();
    if (c != seenChangeCount) {
        seenChangeCount = c;
        changeTimeMs = t;
        return;
    }
    if (!document().dirty() || snapshotInFlight || c == snapshotChangeCount ||
        static_cast<uint32_t>(t - changeTimeMs) < 2000u)
        return;
    auto snapshot = buildSnapshot();
    // A failed snapshot is not retried before the next edit.
    snapshotChangeCount = c;
    if (!snapshot.ok()) return;
    snapshotInFlight = true;
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    deps.snapshotSink(snapshot.value(), [safe](const std::string&) {
        if (auto* self = safe.getComponent()) self->snapshotInFlight = false;
    });
}

// ---------------------------------------------------------------------- save

void ZemEditOverlay::doSave(std::function<void()> then) {
    if (deps.onSave) {
        deps.onSave(std::move(then));
        return;
    }
    if (deps.chooseSaveLocation) {
        std::string path;
        if (!(deps.restoredSnapshot && deps.originalPath.empty())) {
            path = viewModel.destinationPath;
            if (path.empty())
                if (const auto* source = viewModel.activeSource()) path = source->path();
        }
        if (path.empty() || isPathInside(path, deps.unsavedWorkFolder)) {
            chooseSaveLocation(std::move(then));
            return;
        }
    }
    showSaveDialog(std::move(then));
}

void ZemEditOverlay::showSaveDialog(std::function<void()> then) {
    const auto* source = viewModel.activeSource();
    bool allowed = false;
    if (!viewModel.destinationPath.empty())
        allowed = !logic::kindForcesNew(viewModel.destinationKind);
    else if (source != nullptr)
        allowed = !logic::kindForcesNew(source->sourceFormat());
    const char* message = allowed ? "Overwrite the loaded zem, or save a new one:"
                          : (source != nullptr || !viewModel.destinationPath.empty())
                              ? "This zem is factory content: it is saved as a new zem."
                              : "A new zem: name it.";

    auto* window = new juce::AlertWindow("Save zem", message, juce::MessageBoxIconType::NoIcon, this);
    window->setDescription(message);  // read out by screen readers with the title
    auto* content = new SaveDialogContent(allowed, utf8(viewModel.copyDestination(deps.libraryFolder)));
    window->addCustomComponent(content);
    window->addButton("Save", 1, juce::KeyPress(juce::KeyPress::returnKey));
    window->addButton("Cancel", 0, juce::KeyPress(juce::KeyPress::escapeKey));
    saveDialog = window;
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    window->enterModalState(true, juce::ModalCallbackFunction::create([safe, window, content, then](int result) {
                                if (auto* self = safe.getComponent()) self->finishSaveDialog(result, *content, then);
                                delete content;
                                delete window;
                            }),
                            false);
}

void ZemEditOverlay::finishSaveDialog(int result, const SaveDialogContent& content, std::function<void()> then) {
    if (result != 1) return;
    std::string name;
    if (!content.overwriteToggle.getToggleState()) {
        name = dialogFileName(content.nameEditor.getText());
        if (name.empty()) return;
    }
    if (!name.empty()) {
        // A typed name may be that of a zem already there; its owner is
        // asked before it is replaced.
        std::string current = viewModel.destinationPath;
        if (current.empty())
            if (const auto* source = viewModel.activeSource()) current = source->path();
        std::string target;
        if (viewModel.writtenAsNewPending)
            target = logic::joinPath(logic::parentPath(viewModel.destinationPath), name + ".zem");
        else if (current.empty())
            target = logic::joinPath(deps.libraryFolder, name + ".zem");
        else
            target = logic::deriveDestination(current, viewModel.currentDestinationKind(), deps.libraryFolder, name)
                         .path;
        const bool replacesOther = logic::queryFileInfo(target).exists &&
                                   (current.empty() || logic::normalizePath(target) != logic::normalizePath(current));
        if (replacesOther) {
            juce::Component::SafePointer<ZemEditOverlay> safe(this);
            widgets::askToReplaceZem(utf8(logic::fileNamePart(target)), this, [safe, name, then] {
                if (auto* self = safe.getComponent()) self->saveUnderName(name, then);
            });
            return;
        }
    }
    saveUnderName(name, std::move(then));
}

void ZemEditOverlay::saveUnderName(const std::string& name, std::function<void()> then) {
    const std::string key = snapshotKey();
    auto outcome = viewModel.save(deps.libraryFolder, name);
    if (outcome.ok()) {
        if (deps.onSaved) deps.onSaved(outcome->path);
        if (deps.discardSnapshot) deps.discardSnapshot(key);
    }
    endOwnSave(outcome, std::move(then));
}

void ZemEditOverlay::chooseSaveLocation(std::function<void()> then) {
    const auto usableFolder = [&](const std::string& folder) {
        if (folder.empty() || isPathInside(folder, deps.unsavedWorkFolder)) return false;
        const auto info = logic::queryFileInfo(folder);
        return info.exists && info.isDirectory;
    };
    std::string start;
    if (std::string last = deps.lastSaveFolder ? deps.lastSaveFolder() : std::string(); usableFolder(last))
        start = last;
    else if (usableFolder(deps.suggestedSaveFolder))
        start = deps.suggestedSaveFolder;
    else if (!deps.libraryFolder.empty() && !isPathInside(deps.libraryFolder, deps.unsavedWorkFolder))
        start = deps.libraryFolder;
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    deps.chooseSaveLocation(start, suggestedFileName(document().name), [safe, then](const std::string& chosen) {
        if (auto* self = safe.getComponent()) self->finishSaveLocation(chosen, then);
    });
}

void ZemEditOverlay::finishSaveLocation(const std::string& chosenPath, std::function<void()> then) {
    const SaveLocationCheck check = checkSaveLocation(chosenPath, deps.unsavedWorkFolder);
    if (check.verdict == 1) return;
    if (check.verdict == 2) {
        showFallbackMessage("Save zem", "That folder holds unsaved work. Choose a folder in your zem library.", false);
        return;
    }
    // The editor's save writes the extension as ".zem"; on this system
    // "Kick.ZEM" and "Kick.zem" are different files.
    std::string target = check.path;
    target.replace(target.size() - 4, 4, ".zem");
    // The chooser warned about the name as chosen, not about the one the
    // extension turned it into: ask before replacing that.
    if (target != chosenPath && logic::queryFileInfo(target).exists) {
        juce::Component::SafePointer<ZemEditOverlay> safe(this);
        widgets::askToReplaceZem(utf8(logic::fileNamePart(target)), this, [safe, target, then] {
            if (auto* self = safe.getComponent()) self->saveAtLocation(target, then);
        });
        return;
    }
    saveAtLocation(target, std::move(then));
}

void ZemEditOverlay::saveAtLocation(const std::string& path, std::function<void()> then) {
    std::string oldPath;
    if (!(deps.restoredSnapshot && deps.originalPath.empty())) {
        oldPath = viewModel.destinationPath;
        if (oldPath.empty())
            if (const auto* source = viewModel.activeSource()) oldPath = source->path();
    }
    const std::string key = snapshotKey();
    auto outcome = viewModel.saveAs(path);
    if (outcome.ok()) {
        const std::string written = outcome->path;
        deps.filePath = written;
        deps.model.reset();
        if (deps.restoredSnapshot) deps.originalPath = written;
        if (deps.rememberSaveFolder) deps.rememberSaveFolder(folderOf(written));
        if (deps.onSavedAs) deps.onSavedAs(oldPath, written);
        if (deps.onSaved) deps.onSaved(written);
        if (deps.discardSnapshot) deps.discardSnapshot(key);
    }
    endOwnSave(outcome, std::move(then));
}

void ZemEditOverlay::endOwnSave(const fmt::Result<logic::SaveOutcome>& outcome, std::function<void()> then) {
    refreshHeader();
    notifyDirtyChanged();
    if (!outcome.ok()) {
        showSaveFailure(outcome.code());
        return;
    }
    showSaveReport(outcome.value());
    if (then) then();
}

void ZemEditOverlay::showSaveReport(const logic::SaveOutcome& outcome) {
    if (outcome.unmatchedRoomSamples.empty()) return;
    showFallbackMessage("Match room samples", utf8(logic::savedMessage(outcome.unmatchedRoomSamples)), false);
}

void ZemEditOverlay::showSaveFailure(fmt::ErrorCode code) {
    const uint32_t resultCode = code == fmt::ErrorCode::WriteIo ? 6u : 5u;
    showFallbackMessage("Cannot save zem", utf8(maker::saveErrorText(resultCode)), true);
}

void ZemEditOverlay::showFallbackMessage(const juce::String& title, const juce::String& text, bool withIcon) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(withIcon ? juce::MessageBoxIconType::InfoIcon
                                                    : juce::MessageBoxIconType::NoIcon)
                             .withTitle(title)
                             .withMessage(text)
                             .withButton("OK")
                             .withAssociatedComponent(this);
    widgets::showMessageBoxAsync(options);
}

}  // namespace vt6::ui::zemedit
