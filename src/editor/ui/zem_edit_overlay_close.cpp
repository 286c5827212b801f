// Closing the editor and opening the sample editor.
#include "editor/ui/zem_edit_overlay.hpp"

#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::doClose() {
    if (!document().dirty()) {
        closeNow();
        return;
    }
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::QuestionIcon)
                             .withTitle("Unsaved changes")
                             .withMessage("The loaded zem has unsaved changes. Save them before closing the editor?")
                             .withButton("Save")
                             .withButton("Discard")
                             .withButton("Cancel")
                             .withAssociatedComponent(this);
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMessageBoxAsync(options, [safe](int result) {
        auto* self = safe.getComponent();
        if (self == nullptr) return;
        if (result == 1) {
            // The host runs this only after the save succeeded.
            self->doSave([safe] {
                if (auto* again = safe.getComponent()) again->closeNow();
            });
        } else if (result == 2) {
            if (self->deps.discardSnapshot) self->deps.discardSnapshot(self->snapshotKey());
            self->closeNow();
        }
    });
}

void ZemEditOverlay::closeNow() {
    if (deps.onClose) deps.onClose();
}

void ZemEditOverlay::openSampleEditor(uint64_t) {}

bool ZemEditOverlay::sampleEditorHasUnappliedChanges() const { return false; }

}  // namespace vt6::ui::zemedit
