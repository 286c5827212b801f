// Closing the editor and opening the sample editor.
#include "editor/ui/zem_edit_overlay.hpp"

#include "editor/ui/sample_editor.hpp"
#include "editor/ui/user_messages.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::doClose() {
    runAskingToSave("The loaded zem has unsaved changes. Save them before closing the editor?",
                    &ZemEditOverlay::closeNow);
}

void ZemEditOverlay::runAskingToSave(const char* question, void (ZemEditOverlay::*action)()) {
    if (!document().dirty()) {
        (this->*action)();
        return;
    }
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::QuestionIcon)
                             .withTitle("Unsaved changes")
                             .withMessage(question)
                             .withButton("Save")
                             .withButton("Discard")
                             .withButton("Cancel")
                             .withAssociatedComponent(this);
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMessageBoxAsync(options, [safe, action](int result) {
        auto* self = safe.getComponent();
        if (self == nullptr) return;
        if (result == 1) {
            // The host runs this only after the save succeeded.
            self->doSave([safe, action] {
                if (auto* again = safe.getComponent()) (again->*action)();
            });
        } else if (result == 2) {
            if (self->deps.discardSnapshot) self->deps.discardSnapshot(self->snapshotKey());
            (self->*action)();
        }
    });
}

void ZemEditOverlay::closeNow() {
    if (deps.onClose) deps.onClose();
}

namespace {

void showCannotEdit(juce::Component* owner, const fmt::ErrorInfo& error) {
    const std::string text = error.code == fmt::ErrorCode::UnsupportedScheme ? error.message
                                                                              : maker::sampleEditorAudioErrorText();
    widgets::showMessageBoxAsync(juce::MessageBoxOptions()
                                     .withIconType(juce::MessageBoxIconType::WarningIcon)
                                     .withTitle("Cannot edit this sample")
                                     .withMessage(juce::String::fromUTF8(text.c_str()))
                                     .withButton("OK")
                                     .withAssociatedComponent(owner));
}

}  // namespace

void ZemEditOverlay::openSampleEditor(uint64_t uid) {
    if (sampleEditor != nullptr || sampleLoad.busy) return;
    const auto* sample = document().sampleByUid(uid);
    if (sample == nullptr) return;

    // Copying or decoding a long take, and measuring it, runs on a worker;
    // the window stays live with a wait cursor meanwhile.
    auto request = viewModel.sampleAudioRequest(uid);
    if (!request.ok()) {
        showCannotEdit(this, request.error());
        return;
    }
    sampleLoad.busy = true;
    setMouseCursor(juce::MouseCursor::WaitCursor);
    if (sampleLoad.thread.joinable()) sampleLoad.thread.join();
    const uint32_t revision = sample->audioRevision;
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    sampleLoad.thread = std::thread([safe, uid, revision, request = std::move(request).value()] {
        auto loaded = std::make_shared<fmt::Result<fmt::SampleAudio>>(logic::ZemEditViewModel::loadSampleAudio(request));
        // What the editor's levels and the views' first paint read, built here.
        auto prebuilt = std::make_shared<SampleEditorPrebuilt>();
        if (loaded->ok()) {
            const auto& audio = loaded->value();
            const auto view = InterleavedAudioView::of(audio.samples, audio.channels, audio.sampleRate);
            prebuilt->meter.build(view);
            auto extremes = std::make_shared<SourceExtremes>();
            extremes->build(view);
            prebuilt->extremes = std::move(extremes);
        }
        juce::MessageManager::callAsync([safe, uid, revision, loaded, prebuilt] {
            auto* self = safe.getComponent();
            if (self == nullptr) return;
            self->sampleLoad.busy = false;
            self->setMouseCursor(juce::MouseCursor::NormalCursor);
            // The sample went away or got other audio meanwhile: nothing to edit.
            const auto* now = self->document().sampleByUid(uid);
            if (now == nullptr || now->audioRevision != revision || self->sampleEditor != nullptr) return;
            if (!loaded->ok()) {
                showCannotEdit(self, loaded->error());
                return;
            }
            self->mountSampleEditor(uid, std::move(*loaded).value(), std::move(*prebuilt));
        });
    });
}

void ZemEditOverlay::mountSampleEditor(uint64_t uid, fmt::SampleAudio audio, SampleEditorPrebuilt prebuilt) {
    auto& doc = document();
    const auto* sample = doc.sampleByUid(uid);
    if (sample == nullptr) return;

    SampleEditorDeps d;
    d.name = doc.sampleLabel(*sample, doc.samplePosition(*sample));
    const int32_t band = doc.bandIndexOf(sample->bandId);
    if (band >= 0 && static_cast<size_t>(band) < doc.bands.size())
        d.groupName = groupDisplayName(doc.bands[static_cast<size_t>(band)].name, band);
    d.colour = Theme::instance().categoryColour(deps.colourCategory).getARGB();
    d.channels = audio.channels;
    d.sampleRate = audio.sampleRate;
    d.audio = std::move(audio.samples);
    d.bitDepth = static_cast<int32_t>(sample->bits);
    d.regionStart = static_cast<int64_t>(sample->regionStart);
    d.regionEnd = static_cast<int64_t>(sample->regionEnd);
    d.previewRate = deps.previewSampleRate;

    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    d.play = [safe](std::span<const float> samples, int channels, int rate) {
        auto* self = safe.getComponent();
        if (self != nullptr && self->deps.previewService != nullptr)
            self->deps.previewService->play(samples.data(), samples.size(), channels, rate);
    };
    d.playStream = [safe](std::shared_ptr<lib::StreamedAudio> audio) {
        auto* self = safe.getComponent();
        return self != nullptr && self->deps.previewService != nullptr &&
               self->deps.previewService->playStreamed(std::move(audio));
    };
    d.stop = [safe] {
        auto* self = safe.getComponent();
        if (self != nullptr && self->deps.previewService != nullptr) self->deps.previewService->stop();
    };
    if (deps.playhead) {
        d.playhead = [safe] {
            SampleEditorDeps::Playhead p;
            auto* self = safe.getComponent();
            if (self == nullptr || !self->deps.playhead) return p;
            const auto h = self->deps.playhead();
            p.playing = h.playing != 0;
            p.position = static_cast<uint32_t>(h.position);
            p.length = static_cast<int32_t>(h.length);
            return p;
        };
    }
    d.apply = [safe, uid](std::vector<float> edited, int channels, int rate, int64_t start, int64_t end) {
        auto* self = safe.getComponent();
        if (self == nullptr) return false;
        bool ok = false;
        if (edited.empty()) {
            const auto* current = self->document().sampleByUid(uid);
            if (current == nullptr || start < 0 || end <= start) return false;
            const auto frames = static_cast<int64_t>(current->frames);
            const auto regionEnd = static_cast<int64_t>(current->regionEnd);
            const int64_t shownEnd = regionEnd >= 1 && regionEnd <= frames ? regionEnd : frames;
            // A region the sample already plays needs no step; the document
            // would refuse it and the user would read that as a failure.
            if (static_cast<int64_t>(current->regionStart) == start && shownEnd == end) return true;
            ok = self->document().setSampleAudio(uid, static_cast<uint64_t>(start), static_cast<uint64_t>(end));
        } else {
            ok = self->viewModel.replaceSampleAudio(uid, std::move(edited), channels, rate,
                                                    static_cast<uint64_t>(start), static_cast<uint64_t>(end));
        }
        self->refreshAfterCommand();
        return ok;
    };
    d.prepareApply = [safe, uid](std::vector<float> edited, int channels, int rate, int64_t start,
                                 int64_t end) -> std::function<bool()> {
        // On the editor's worker: only the encoding, no overlay state.
        auto prepared = std::make_shared<logic::ZemEditViewModel::PreparedEdit>(
            logic::ZemEditViewModel::prepareEdit(std::move(edited), channels, rate));
        return [safe, uid, prepared, start, end] {
            auto* self = safe.getComponent();
            if (self == nullptr) return false;
            const bool ok = self->viewModel.replaceSampleAudio(uid, std::move(*prepared), static_cast<uint64_t>(start),
                                                               static_cast<uint64_t>(end));
            self->refreshAfterCommand();
            return ok;
        };
    };
    d.close = [safe] {
        // Never destroy the editor inside its own callback.
        juce::MessageManager::callAsync([safe] {
            if (auto* self = safe.getComponent()) self->closeSampleEditor();
        });
    };

    auto editor = std::make_unique<SampleEditor>(std::move(d), std::move(prebuilt));
    auto* shown = editor.get();
    sampleEditor = std::move(editor);
    addAndMakeVisible(*shown);
    shown->setBounds(0, 0, getWidth(), getHeight());
    shown->toFront(true);
    shown->grabKeyboardFocus();
    if (deps.onUndoManager) deps.onUndoManager(&shown->undoManager);
}

void ZemEditOverlay::closeSampleEditor() {
    if (sampleEditor == nullptr) return;
    if (deps.onUndoManager) deps.onUndoManager(&undoManager());
    removeChildComponent(sampleEditor.get());
    sampleEditor.reset();
    grabKeyboardFocus();
    refreshAll();
}

juce::Component* ZemEditOverlay::keyboardTarget() noexcept {
    return sampleEditor != nullptr ? sampleEditor.get() : static_cast<juce::Component*>(this);
}

bool ZemEditOverlay::sampleEditorHasUnappliedChanges() const {
    const auto* editor = dynamic_cast<const SampleEditor*>(sampleEditor.get());
    return editor != nullptr && !(editor->state == editor->appliedState);
}

}  // namespace vt6::ui::zemedit
