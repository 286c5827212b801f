// Where Tab goes in the main window: along the layout, from the header row to
// the editor's quit button, and round again.

#include <algorithm>

#include "app/main_component.hpp"

namespace vt6::maker {

namespace {

bool takesKeys(const juce::Component& c) {
    return c.isShowing() && c.isEnabled() && c.getWantsKeyboardFocus() &&
           !c.isCurrentlyBlockedByAnotherModalComponent();
}

}  // namespace

class MainComponent::TabOrder : public juce::ComponentTraverser {
public:
    explicit TabOrder(MainComponent& owner) : owner_(owner) {}

    // A component that does not take the keyboard itself hands it to one
    // inside it, as the framework's own order does.
    juce::Component* getDefaultComponent(juce::Component* parent) override {
        return juce::KeyboardFocusTraverser().getDefaultComponent(parent);
    }
    juce::Component* getNextComponent(juce::Component* current) override { return step(current, 1); }
    juce::Component* getPreviousComponent(juce::Component* current) override { return step(current, -1); }
    std::vector<juce::Component*> getAllComponents(juce::Component* parent) override {
        if (parent != nullptr && (parent == &owner_ || parent->isParentOf(&owner_))) return owner_.tabStops();
        return juce::KeyboardFocusTraverser().getAllComponents(parent);
    }

private:
    juce::Component* step(juce::Component* current, int direction) {
        const auto stops = owner_.tabStops();
        if (stops.empty()) return nullptr;
        const auto n = static_cast<long>(stops.size());
        auto at = stops.end();
        // The editor holding the keyboard unseen (where it goes by itself)
        // is no stop yet: Tab starts at the first stop, Shift+Tab at the last.
        auto* overlay = owner_.overlay_.get();
        if (!(current == overlay && !overlay->showsGridFocus()))
            // A field inside a stop (a name being typed) counts as that stop.
            for (auto* c = current; c != nullptr && c != &owner_ && at == stops.end(); c = c->getParentComponent())
                at = std::find(stops.begin(), stops.end(), c);
        if (at == stops.end()) return direction > 0 ? stops.front() : stops.back();
        const auto index = (static_cast<long>(at - stops.begin()) + direction + n) % n;
        return stops[static_cast<size_t>(index)];
    }

    MainComponent& owner_;
};

std::unique_ptr<juce::ComponentTraverser> MainComponent::createKeyboardFocusTraverser() {
    return std::make_unique<TabOrder>(*this);
}

std::vector<juce::Component*> MainComponent::tabStops() {
    std::vector<juce::Component*> stops;
    for (juce::Component* c : std::initializer_list<juce::Component*>{
             &openButton_, &importFolderButton_, &saveAsButton_, &undoButton_, &redoButton_, &settingsButton_,
             &importReportButton_, &newButton_})
        if (takesKeys(*c)) stops.push_back(c);
    if (overlay_ != nullptr) {
        const auto inside = overlay_->tabStops();
        stops.insert(stops.end(), inside.begin(), inside.end());
    }
    // Shown only while a job runs, when the editor takes no keys.
    if (takesKeys(cancelButton_)) stops.push_back(&cancelButton_);
    return stops;
}

}  // namespace vt6::maker
