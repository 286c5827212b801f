#include "editor/ui/editor_message_boxes.hpp"

namespace vt6::ui::zemedit {

namespace {

EditorMessageBoxPresenter& presenter() {
    static EditorMessageBoxPresenter current;
    return current;
}

}  // namespace

void setEditorMessageBoxPresenter(EditorMessageBoxPresenter p) { presenter() = std::move(p); }

void showEditorMessageBoxAsync(const juce::MessageBoxOptions& options, std::function<void(int)> onResult) {
    if (presenter()) {
        presenter()(options, std::move(onResult));
        return;
    }
    juce::AlertWindow::showAsync(options, [callback = std::move(onResult)](int result) {
        if (callback) callback(result);
    });
}

}  // namespace vt6::ui::zemedit
