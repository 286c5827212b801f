#include "app/import_placing.hpp"

#include "analysis/auto_sort.hpp"

namespace vt6::maker {

ImportPlacement placeImportedSamples(const ui::zemedit::logic::EditDocument& document,
                                     std::span<const fmt::HitLevel> levels, int pageLayer, int pageArticulation,
                                     int targetGroup) {
    ImportPlacement placement;
    const int groups = static_cast<int>(document.bands.size());
    if (levels.empty() || groups == 0) return placement;
    if (targetGroup >= 0 && targetGroup < groups) {
        placement.groups.assign(levels.size(), targetGroup);
        return placement;
    }

    // While a boundary is dragged the columns show its working values, so
    // the sort uses those.
    const bool dragging = document.dragBoundary >= 0 && document.dragSplits.size() == document.velocitySplits.size();
    const std::vector<int32_t> boundaries = dragging ? document.dragSplits : document.velocitySplits;
    const int middle = groups / 2;
    const auto key = static_cast<uint32_t>(pageArticulation);

    std::vector<fmt::SortSample> rows;
    for (size_t i = 0; i < document.samples.size(); ++i) {
        const auto& record = document.samples[i];
        const auto live = document.uidIndex.find(record.uid);
        if (live == document.uidIndex.end() || static_cast<size_t>(live->second) != i) continue;
        if (record.layerIndex != pageLayer || record.articulationIndex != pageArticulation) continue;
        fmt::SortSample row;
        row.id = record.uid;
        row.groupKey = key;
        row.currentBand = document.bandIndexOf(record.bandId);
        row.hitLevel = document.sampleLevels(record.uid);
        row.keep = 1;
        row.locked = record.sortLock;
        rows.push_back(row);
    }
    const size_t firstImported = rows.size();
    for (size_t i = 0; i < levels.size(); ++i) {
        fmt::SortSample row;
        row.id = document.nextUid + i;  // never an existing uid
        row.groupKey = key;
        row.currentBand = middle;
        row.hitLevel = levels[i];
        rows.push_back(row);
    }

    const auto sorted = fmt::autoSortBands(rows, boundaries);
    placement.groups.reserve(levels.size());
    for (size_t i = firstImported; i < rows.size(); ++i) {
        const auto& placed = sorted[i];
        const bool inRange = placed.band >= 0 && placed.band < groups;
        placement.groups.push_back(inRange ? static_cast<int>(placed.band) : middle);
        if (groups > 1 && placed.assigned == 0) ++placement.keptInMiddle;
    }
    return placement;
}

ImportPlacement placeImportedSamples(const ui::zemedit::logic::EditDocument& document, const ImportResult& result,
                                     ImportPage page, int targetGroup) {
    std::vector<fmt::HitLevel> levels;
    levels.reserve(result.samples.size());
    for (const auto& sample : result.samples) levels.push_back(sample.hitLevel);
    return placeImportedSamples(document, levels, page.layer, page.articulation, targetGroup);
}

}  // namespace vt6::maker
