#pragma once
// The two document-wide edits: removing empty groups after a save, and
// moving samples into their automatic groups.

#include <cstdint>
#include <memory>
#include <vector>

#include "editor/logic/history.hpp"

namespace vt6::ui::zemedit::logic {

// Decides what to delete at its first apply, against the document at that
// moment, and from then on replays exactly those parts.
struct PruneEmptyGroupsCmd final : ZemCmd {
    std::vector<ZemCmdPtr> parts;  // band and definition deletions, in first-apply order
    uint8_t built = 0;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override;
    const char* name() const override { return "Remove empty groups"; }
};

} // namespace vt6::ui::zemedit::logic
