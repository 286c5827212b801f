#include "widgets/message_boxes.hpp"

namespace vt6::ui::widgets {

namespace {

MessageBoxPresenter& presenter() {
    static MessageBoxPresenter current;
    return current;
}

}  // namespace

void setMessageBoxPresenter(MessageBoxPresenter next) { presenter() = std::move(next); }

void showMessageBoxAsync(const juce::MessageBoxOptions& options, std::function<void(int)> onResult) {
    if (const auto& present = presenter()) {
        present(options, std::move(onResult));
        return;
    }
    juce::AlertWindow::showAsync(options, [callback = std::move(onResult)](int result) {
        if (callback) callback(result);
    });
}

void askToReplaceZem(const juce::String& fileName, juce::Component* associated, std::function<void()> replace) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::QuestionIcon)
                             .withTitle("Replace zem")
                             .withMessage(fileName + " already exists. Replace it?")
                             .withButton("Replace")
                             .withButton("Cancel")
                             .withAssociatedComponent(associated);
    showMessageBoxAsync(options, [replace = std::move(replace)](int button) {
        if (button == 1 && replace) replace();
    });
}

}  // namespace vt6::ui::widgets
