#include "editor/logic/history.hpp"

#include <numeric>

namespace vt6::ui::zemedit::logic {

bool ZemEditHistory::execute(ZemCmdPtr command, EditDocument& doc) {
    if (!command) return false;
    if (!command->apply(doc)) return false;
    const uint64_t cost = command->cost();
    undoEntries.push_back(HistoryEntry{std::move(command), cost});
    redoEntries.clear();

    auto total = [this] {
        return std::accumulate(undoEntries.begin(), undoEntries.end(), uint64_t{0},
                               [](uint64_t sum, const HistoryEntry& e) { return sum + e.cost; });
    };
    for (;;) {
        const size_t n = undoEntries.size();
        if (n <= kHistoryMaxEntries && (n <= 1 || total() <= kHistoryMaxCostBytes)) break;
        undoEntries.erase(undoEntries.begin());
    }
    return true;
}

void ZemEditHistory::clear() {
    undoEntries.clear();
    redoEntries.clear();
}

} // namespace vt6::ui::zemedit::logic
