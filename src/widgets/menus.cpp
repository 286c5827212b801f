#include "widgets/menus.hpp"

#include "widgets/message_boxes.hpp"

namespace vt6::ui::widgets {

namespace {

MenuPresenter& presenter() {
    static MenuPresenter current;
    return current;
}

}  // namespace

void setMenuPresenter(MenuPresenter next) { presenter() = std::move(next); }

void showMenuAsync(const juce::PopupMenu& menu, const juce::PopupMenu::Options& options,
                   std::function<void(int)> onResult, juce::Component* themedBy) {
    juce::PopupMenu themed(menu);
    if (themedBy == nullptr) themedBy = options.getTargetComponent();
    if (themedBy == nullptr) themedBy = options.getParentComponent();
    if (themedBy != nullptr) themed.setLookAndFeel(&themedBy->getLookAndFeel());
    if (const auto& present = presenter()) {
        present(themed, options, std::move(onResult));
        return;
    }
    juce::Component::SafePointer<juce::Component> before(juce::Component::getCurrentlyFocusedComponent());
    themed.showMenuAsync(options, [before, callback = std::move(onResult)](int result) {
        restoreKeyboardFocus(before.getComponent());
        if (callback) callback(result);
    });
}

}  // namespace vt6::ui::widgets
