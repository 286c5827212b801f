#pragma once
// The bridge from the document's commands to the framework's undo manager,
// which adds undo, redo and grouping of several commands into one step. The
// only editor logic that includes the framework, kept in its own target.

#include <juce_data_structures/juce_data_structures.h>

#include <cstdint>

#include "editor/logic/edit_document.hpp"
#include "editor/logic/history.hpp"

namespace vt6::ui::zemedit::logic {

inline constexpr int kUndoUnitsToKeep = 16384;  // units of 1 KiB
inline constexpr int kUndoMinTransactions = 60;

// One command as an undoable action; never coalesced with another.
class ZemCmdAction final : public juce::UndoableAction {
public:
    ZemCmdAction(ZemCmdPtr cmd, EditDocument* doc) : command(std::move(cmd)), document(doc) {}

    bool perform() override;
    bool undo() override;
    // The command's cost in KiB, at least 1.
    int getSizeInUnits() override;

    ZemCmdPtr command;
    EditDocument* document;  // not owned; outlives the undo manager
};

class JuceZemHistorySink final : public ZemHistorySink {
public:
    juce::UndoManager undoManager{kUndoUnitsToKeep, kUndoMinTransactions};
    // While 1, commands join the transaction a group opener began.
    uint8_t grouping = 0;

    bool execute(ZemCmdPtr command, EditDocument& doc) override;
    // Closes a grouped edit: the next command starts a transaction of its own.
    void endGroup();
};

} // namespace vt6::ui::zemedit::logic
