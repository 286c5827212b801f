#pragma once
// Undo commands and the sinks that run them. Every change to an
// EditDocument is one command holding its before and after values; the
// document hands it to a sink, which applies and keeps it.

#include <cstdint>
#include <memory>
#include <vector>

namespace vt6::ui::zemedit::logic {

class EditDocument;

class ZemCmd {
public:
    virtual ~ZemCmd() = default;
    // False when the change cannot be made (its sample, band or definition
    // is missing).
    virtual bool apply(EditDocument& doc) = 0;
    virtual bool revert(EditDocument& doc) = 0;
    // Estimate of the bytes the command holds.
    virtual uint64_t cost() const = 0;
    // Undo text.
    virtual const char* name() const = 0;
};

using ZemCmdPtr = std::unique_ptr<ZemCmd>;

class ZemHistorySink {
public:
    virtual ~ZemHistorySink() = default;
    // Takes the command, applies it and records it; false when not applied
    // (the command is then destroyed).
    virtual bool execute(ZemCmdPtr command, EditDocument& doc) = 0;
};

inline constexpr size_t kHistoryMaxEntries = 60;
inline constexpr uint64_t kHistoryMaxCostBytes = 16ull * 1024 * 1024;

struct HistoryEntry {
    ZemCmdPtr command;
    uint64_t cost = 0;  // read right after the successful apply
};

// The document's own bounded history, used while no external sink is set:
// at most 60 entries and 16 MiB of commands, trimmed oldest first but never
// below one entry.
class ZemEditHistory final : public ZemHistorySink {
public:
    std::vector<HistoryEntry> undoEntries;  // oldest first
    std::vector<HistoryEntry> redoEntries;

    bool execute(ZemCmdPtr command, EditDocument& doc) override;
    void clear();
};

} // namespace vt6::ui::zemedit::logic
