// Keeps, beside each sample's band, the band automatic placement would give
// it, and groups direct samples with their room samples. Everything works on
// flat arrays indexed by row (live records in record order) that the
// document keeps between rebuilds, so a rebuild after an edit allocates
// almost nothing.

#include <algorithm>
#include <utility>

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

    IndexScratch& s = indexScratch;
    s.bandPositions.clear();
    for (size_t i = 0; i < bandOrder.size(); ++i) s.bandPositions.emplace_back(bandOrder[i], static_cast<int64_t>(i));
    // Sorted by id, the first position of a repeated id first.
    std::stable_sort(s.bandPositions.begin(), s.bandPositions.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    // Live records: those whose uid the uid index holds. Marked from the
    // index itself by noting, per record it points at, the uid it was filed
    // under (no record is read here); a record whose own uid was not noted is
    // looked up.
    // The union-find storage is free until the rows are built and holds
    // those uids meanwhile.
    static_assert(sizeof(size_t) >= sizeof(uint64_t));
    std::vector<size_t>& liveUid = s.parent;
    s.live.assign(samples.size(), 0);
    liveUid.resize(samples.size());
    for (const auto& [uid, index] : uidIndex) {
        if (index < 0 || static_cast<size_t>(index) >= samples.size()) continue;
        s.live[static_cast<size_t>(index)] = 1;
        liveUid[static_cast<size_t>(index)] = uid;
    }

    s.rows.clear();
    s.rows.reserve(liveSampleCount);
    for (size_t k = 0; k < samples.size(); ++k) {
        const EditSample& record = samples[k];
        const bool noted = s.live[k] != 0 && liveUid[k] == record.uid;
        if (!noted && uidIndex.count(record.uid) == 0) continue;
        const auto band = std::lower_bound(s.bandPositions.begin(), s.bandPositions.end(), record.bandId,
                                           [](const auto& entry, int32_t id) { return entry.first < id; });
        if (band == s.bandPositions.end() || band->first != record.bandId) continue;
        fmt::PlacementRow& row = s.rows.emplace_back();
        row.sortSample.id = record.uid;
        row.sortSample.groupKey = static_cast<uint32_t>(record.articulationIndex);
        row.sortSample.currentBand = band->second;
        row.sortSample.hitLevel = record.hitLevel;
        row.sortSample.keep = record.sortLock;
        row.sortSample.locked = record.anchored;
        row.layerIndex = static_cast<uint32_t>(record.layerIndex);
        row.isRoom = row.layerIndex < layers.size() && layers[row.layerIndex].isRoom != 0 ? 1 : 0;
        row.roomLinks = record.roomLinks;
    }

    if (!fmt::computeAutoPlacement(s.rows, velocitySplits, s.placement, s.placements)) return;

    // Link groups: each direct row joined with the room rows it names, in
    // row order, so every rebuild picks the same representatives.
    const size_t n = s.rows.size();
    s.parent.resize(n);
    for (size_t i = 0; i < n; ++i) s.parent[i] = i;
    for (const auto& [direct, room] : s.placement.links) {
        const size_t r1 = findRoot(s.parent, direct);
        const size_t r2 = findRoot(s.parent, room);
        s.parent[r2] = r1;
    }

    // The placement accepted the rows, so their uids are distinct and
    // nonzero; both maps share one key order and one slot table.
    autoPlacement.reserve(n);
    for (size_t i = 0; i < n; ++i) autoPlacement.appendNew(s.rows[i].sortSample.id, s.placements[i]);
    linkRoots.assignKeysOf(autoPlacement);
    auto root = linkRoots.begin();
    for (size_t i = 0; i < n; ++i, ++root) root->second = s.rows[findRoot(s.parent, i)].sortSample.id;
}

} // namespace vt6::ui::zemedit::logic
