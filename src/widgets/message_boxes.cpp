#include "widgets/message_boxes.hpp"

namespace vt6::ui::widgets {

namespace {

MessageBoxPresenter& presenter() {
    static MessageBoxPresenter current;
    return current;
}

}  // namespace

void setMessageBoxPresenter(MessageBoxPresenter next) { presenter() = std::move(next); }

void restoreKeyboardFocus(juce::Component* before) {
    if (before != nullptr && before->isShowing() && !before->isCurrentlyBlockedByAnotherModalComponent())
        before->grabKeyboardFocus();
}

KeyboardReturn::KeyboardReturn()
    : before_(juce::Component::getCurrentlyFocusedComponent()),
      window_(before_ != nullptr ? before_->getTopLevelComponent()
                                 : static_cast<juce::Component*>(juce::TopLevelWindow::getActiveTopLevelWindow())) {}

void KeyboardReturn::windowClosed() const {
    auto* before = before_.getComponent();
    if (before != nullptr && before->isShowing() && !before->isCurrentlyBlockedByAnotherModalComponent())
        before->grabKeyboardFocus();
    else if (auto* window = window_.getComponent();
             window != nullptr && window->isShowing() && !window->isCurrentlyBlockedByAnotherModalComponent())
        window->grabKeyboardFocus();
    auto& desktop = juce::Desktop::getInstance();
    for (int i = 0; i < desktop.getNumComponents(); ++i)
        if (auto* c = desktop.getComponent(i); c->isShowing()) c->repaint();
}

void showMessageBoxAsync(const juce::MessageBoxOptions& options, std::function<void(int)> onResult) {
    if (const auto& present = presenter()) {
        present(options, std::move(onResult));
        return;
    }
    // The box is a window of its own.
    juce::AlertWindow::showAsync(options, [callback = std::move(onResult), back = KeyboardReturn()](int result) {
        back.windowClosed();
        if (callback) callback(result);
    });
}

namespace {

void askReplace(const juce::String& message, juce::Component* associated, std::function<void()> replace) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::QuestionIcon)
                             .withTitle("Replace zem")
                             .withMessage(message)
                             .withButton("Replace")
                             .withButton("Cancel")
                             .withAssociatedComponent(associated);
    showMessageBoxAsync(options, [replace = std::move(replace)](int button) {
        if (button == 1 && replace) replace();
    });
}

}  // namespace

void askToReplaceZem(const juce::String& fileName, juce::Component* associated, std::function<void()> replace) {
    askReplace(fileName + " already exists. Replace it?", associated, std::move(replace));
}

void askToReplaceChangedZem(const juce::String& fileName, juce::Component* associated,
                            std::function<void()> replace) {
    askReplace(fileName + " changed on disk since it was opened. Replacing it discards those changes. Replace it?",
               associated, std::move(replace));
}

}  // namespace vt6::ui::widgets
