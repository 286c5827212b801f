#pragma once
// Which dynamic group each imported sample joins: the group the files were
// dropped on, or the one the automatic sort gives it together with the
// samples already on the page, against the boundaries on screen.

#include <cstdint>
#include <span>
#include <vector>

#include "app/import_job.hpp"
#include "editor/logic/edit_document.hpp"
#include "format/hit_level.hpp"

namespace vt6::maker {

struct ImportPlacement {
    std::vector<int> groups;  // one dynamic group index per imported sample
    int64_t keptInMiddle = 0; // samples whose level did not decide a group
};

// `levels` holds the imported samples' hit levels in result order; the page
// indexes are 0 or more; a target group outside the groups means auto-sort.
ImportPlacement placeImportedSamples(const ui::zemedit::logic::EditDocument& document,
                                     std::span<const fmt::HitLevel> levels, int pageLayer, int pageArticulation,
                                     int targetGroup);
// The same for the samples of a finished import.
ImportPlacement placeImportedSamples(const ui::zemedit::logic::EditDocument& document, const ImportResult& result,
                                     ImportPage page, int targetGroup);

}  // namespace vt6::maker
