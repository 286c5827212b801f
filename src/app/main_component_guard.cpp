// The one gate in front of every action that replaces or leaves the open zem:
// opening another file, starting a new one, RESET and quitting.
#include <utility>

#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::maker {

bool MainComponent::sampleEditPending() const {
    return overlay_ != nullptr && overlay_->sampleEditorHasUnappliedChanges();
}

void MainComponent::protectChanges(std::function<void()> action) {
    if (busy_ || !action) return;
    if (sampleEditPending()) {
        // Its edits are not in the document yet, so saving could not keep
        // them: the user settles them in the sample editor first.
        showMessage("Sample editor",
                    "Press DONE in the sample editor to apply or discard its changes before leaving this zem.");
        return;
    }
    if (overlay_ == nullptr || !overlay_->document().dirty()) {
        action();
        return;
    }
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::InfoIcon)
                             .withTitle("Unsaved changes")
                             .withMessage("Save changes to this zem?")
                             .withButton("Save")
                             .withButton("Discard")
                             .withButton("Cancel")
                             .withAssociatedComponent(this);
    juce::Component::SafePointer<MainComponent> safe(this);
    ui::widgets::showMessageBoxAsync(options, [safe, action = std::move(action)](int result) {
        auto* self = safe.getComponent();
        // A second quit request can answer its own box first and start a
        // save: this answer then waits for nothing and is dropped.
        if (self == nullptr || self->busy_) return;
        if (result == 1)
            self->save(false, action);  // the action runs only after a successful save
        else if (result == 2)
            action();
    });
}

void MainComponent::requestQuit() {
    if (busy_) {
        // An import stops at its next decoded block; the quit then goes the
        // usual way (timerCallback). A save is never cut short.
        if (importing_) {
            cancelFlag_ = true;
            quitAfterJob_ = true;
        }
        return;
    }
    protectChanges([safe = juce::Component::SafePointer<MainComponent>(this)] {
        auto* self = safe.getComponent();
        if (self == nullptr) return;
        if (self->quitAction_)
            self->quitAction_();
        else
            juce::JUCEApplicationBase::quit();
    });
}

}  // namespace vt6::maker
