#include "widgets/menus.hpp"

namespace vt6::ui::widgets {

namespace {

MenuPresenter& presenter() {
    static MenuPresenter current;
    return current;
}

}  // namespace

void setMenuPresenter(MenuPresenter next) { presenter() = std::move(next); }

void showMenuAsync(const juce::PopupMenu& menu, const juce::PopupMenu::Options& options,
                   std::function<void(int)> onResult) {
    if (const auto& present = presenter()) {
        present(menu, options, std::move(onResult));
        return;
    }
    juce::PopupMenu(menu).showMenuAsync(options, std::move(onResult));
}

}  // namespace vt6::ui::widgets
