// Keeps, beside each sample's band, the band automatic placement would give
// it, and groups direct samples with their room samples.

#include <unordered_map>

#include "analysis/auto_placement.hpp"
#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

size_t findRoot(std::vector<size_t>& parent, size_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

} // namespace

void EditDocument::rebuildIndexes() {
    if (structureRevision == indexedRevision) return;
    autoPlacement.clear();
    linkRoots.clear();
    indexedRevision = structureRevision;
    // Placement waits until every placed sample has been measured.
    if (!unmeasuredUids.empty()) return;

    std::unordered_map<int32_t, int64_t> bandPosition;
    for (size_t i = 0; i < bandOrder.size(); ++i) bandPosition.emplace(bandOrder[i], static_cast<int64_t>(i));

    std::vector<fmt::PlacementRow> rows;
    rows.reserve(liveSampleCount);
    std::unordered_map<uint64_t, size_t> rowOf;
    rowOf.reserve(liveSampleCount);
    for (const EditSample& record : samples) {
        if (uidIndex.count(record.uid) == 0) continue;
        const auto band = bandPosition.find(record.bandId);
        if (band == bandPosition.end()) continue;
        rowOf[record.uid] = rows.size();
        fmt::PlacementRow row;
        row.sortSample.id = record.uid;
        row.sortSample.groupKey = static_cast<uint32_t>(record.articulationIndex);
        row.sortSample.currentBand = band->second;
        row.sortSample.hitLevel = record.hitLevel;
        row.sortSample.keep = record.sortLock;
        row.sortSample.locked = record.anchored;
        row.layerIndex = static_cast<uint32_t>(record.layerIndex);
        row.isRoom = row.layerIndex < layers.size() && layers[row.layerIndex].isRoom != 0 ? 1 : 0;
        row.roomLinks = record.roomLinks;
        rows.push_back(row);
    }

    const std::vector<SortPlacement> placements = fmt::computeAutoPlacement(rows, velocitySplits);
    if (placements.size() != rows.size()) return;

    std::vector<size_t> parent(rows.size());
    for (size_t i = 0; i < parent.size(); ++i) parent[i] = i;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].isRoom != 0) continue;
        for (uint64_t uid : rows[i].roomLinks) {
            const auto room = rowOf.find(uid);
            if (uid == 0 || room == rowOf.end() || rows[room->second].isRoom == 0) continue;
            const size_t r1 = findRoot(parent, i);
            const size_t r2 = findRoot(parent, room->second);
            parent[r2] = r1;
        }
    }

    autoPlacement.reserve(rows.size());
    linkRoots.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const uint64_t uid = rows[i].sortSample.id;
        autoPlacement[uid] = placements[i];
        linkRoots[uid] = rows[findRoot(parent, i)].sortSample.id;
    }
}

} // namespace vt6::ui::zemedit::logic
