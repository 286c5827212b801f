#include "app/message_boxes.hpp"

namespace vt6::maker {

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
    juce::AlertWindow::showAsync(options, std::move(onResult));
}

}  // namespace vt6::maker
