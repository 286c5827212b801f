#include "editor/logic/juce/juce_history_sink.hpp"

#include <algorithm>
#include <climits>

namespace vt6::ui::zemedit::logic {

bool ZemCmdAction::perform() {
    return command != nullptr && command->apply(*document);
}

bool ZemCmdAction::undo() {
    return command != nullptr && command->revert(*document);
}

int ZemCmdAction::getSizeInUnits() {
    if (command == nullptr) return 1;
    const uint64_t units = std::max<uint64_t>(command->cost() / 1024, 1);
    return static_cast<int>(std::min<uint64_t>(units, INT_MAX));
}

bool JuceZemHistorySink::execute(ZemCmdPtr command, EditDocument& doc) {
    if (command == nullptr) return false;
    if (grouping == 0) {
        const char* name = command->name();
        undoManager.beginNewTransaction(juce::String::fromUTF8(name != nullptr ? name : ""));
    }
    // The undo manager owns the action from here and deletes it when perform fails.
    return undoManager.perform(new ZemCmdAction(std::move(command), &doc));
}

void JuceZemHistorySink::endGroup() {
    grouping = 0;
    undoManager.beginNewTransaction();
}

} // namespace vt6::ui::zemedit::logic
