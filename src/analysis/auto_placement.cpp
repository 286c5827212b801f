#include "analysis/auto_placement.hpp"

#include <algorithm>
#include <utility>

namespace vt6::fmt {

namespace {

size_t idHome(uint64_t id, size_t mask) noexcept {
    return static_cast<size_t>((id * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

// Fills the id table; false when an id is 0 or repeated. Row numbers fit
// the table's 32 bits: rows of 112 bytes cannot number 2^32 in memory. `ids` holds the
// rows' ids side by side, so that probing never touches the rows.
bool indexIds(std::span<const PlacementRow> rows, std::vector<uint64_t>& ids, std::vector<uint32_t>& slots) {
    size_t capacity = 16;
    while (capacity < rows.size() * 2) capacity *= 2;
    slots.assign(capacity, 0);
    ids.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) ids[i] = rows[i].sortSample.id;
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < rows.size(); ++i) {
        const uint64_t id = ids[i];
        if (id == 0) return false;
        size_t slot = idHome(id, mask);
        for (; slots[slot] != 0; slot = (slot + 1) & mask)
            if (ids[slots[slot] - 1] == id) return false;
        slots[slot] = static_cast<uint32_t>(i + 1);
    }
    return true;
}

// Row of `id`, or ids.size() when no row has it.
size_t rowOfId(const std::vector<uint64_t>& ids, const std::vector<uint32_t>& slots, uint64_t id) noexcept {
    const size_t mask = slots.size() - 1;
    for (size_t slot = idHome(id, mask); slots[slot] != 0; slot = (slot + 1) & mask)
        if (ids[slots[slot] - 1] == id) return slots[slot] - 1;
    return ids.size();
}

} // namespace

std::vector<SortPlacement> computeAutoPlacement(std::span<const PlacementRow> rows,
                                                std::span<const int32_t> boundaries) {
    PlacementWorkspace work;
    std::vector<SortPlacement> out;
    computeAutoPlacement(rows, boundaries, work, out);
    return out;
}

bool computeAutoPlacement(std::span<const PlacementRow> rows, std::span<const int32_t> boundaries,
                          PlacementWorkspace& work, std::vector<SortPlacement>& out) {
    const size_t n = rows.size();
    out.clear();
    work.links.clear();
    if (!indexIds(rows, work.ids, work.idSlots)) return false;
    out.resize(n);
    for (size_t i = 0; i < n; ++i) out[i] = SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0};

    // Links from each direct row to the room rows it names, each room once.
    work.linkStart.assign(n + 1, 0);
    work.partnerStart.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        work.linkStart[i] = work.links.size();
        if (rows[i].isRoom != 0) continue;
        const size_t first = work.links.size();
        for (uint64_t uid : rows[i].roomLinks) {
            if (uid == 0) continue;
            const size_t room = rowOfId(work.ids, work.idSlots, uid);
            if (room == n || rows[room].isRoom == 0) continue;
            const bool seen = std::any_of(work.links.begin() + static_cast<std::ptrdiff_t>(first), work.links.end(),
                                          [room](const auto& link) { return link.second == room; });
            if (seen) continue;
            work.links.emplace_back(i, room);
            ++work.partnerStart[room + 1];
        }
    }
    work.linkStart[n] = work.links.size();
    // Partners of each room row, direct rows ascending (the links are).
    for (size_t r = 0; r < n; ++r) work.partnerStart[r + 1] += work.partnerStart[r];
    work.partners.resize(work.links.size());
    work.stack.assign(work.partnerStart.begin(), work.partnerStart.end() - 1);  // fill positions
    for (const auto& [direct, room] : work.links) work.partners[work.stack[room]++] = direct;
    auto partnerCount = [&](size_t r) { return work.partnerStart[r + 1] - work.partnerStart[r]; };

    // Batches: the direct rows first, then partnerless room rows per layer.
    auto sortBatch = [&](const std::vector<size_t>& members) {
        work.batch.resize(members.size());
        for (size_t k = 0; k < members.size(); ++k) work.batch[k] = &rows[members[k]].sortSample;
        autoSortBands(work.batch, boundaries, work.sort, work.batchPlaced);
        for (size_t k = 0; k < members.size(); ++k) out[members[k]] = work.batchPlaced[k];
    };
    work.members.clear();
    work.batchOrder.clear();
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0) {
            work.members.push_back(i);
        } else if (partnerCount(i) == 0) {
            work.batchOrder.push_back(uint64_t{rows[i].layerIndex} << 32 | i);
        }
    }
    if (!work.members.empty()) sortBatch(work.members);
    std::sort(work.batchOrder.begin(), work.batchOrder.end());
    for (size_t k = 0; k < work.batchOrder.size();) {
        const uint64_t layer = work.batchOrder[k] >> 32;
        work.members.clear();
        for (; k < work.batchOrder.size() && work.batchOrder[k] >> 32 == layer; ++k)
            work.members.push_back(static_cast<size_t>(work.batchOrder[k] & 0xFFFFFFFFu));
        sortBatch(work.members);
    }

    // A sort-locked room sample whose partners would leave its band keeps
    // its whole link group where it is.
    work.visited.assign(n, 0);
    work.stack.clear();
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || rows[i].sortSample.keep == 0) continue;
        const auto begin = work.partners.begin() + static_cast<std::ptrdiff_t>(work.partnerStart[i]);
        const auto end = work.partners.begin() + static_cast<std::ptrdiff_t>(work.partnerStart[i + 1]);
        const bool pins =
            std::any_of(begin, end, [&](size_t d) { return out[d].band != rows[i].sortSample.currentBand; });
        if (pins) work.stack.push_back(i);
    }
    while (!work.stack.empty()) {
        const size_t i = work.stack.back();
        work.stack.pop_back();
        if (work.visited[i] != 0) continue;
        work.visited[i] = 1;
        out[i] = SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0};
        if (rows[i].isRoom == 0) {
            for (size_t k = work.linkStart[i]; k < work.linkStart[i + 1]; ++k)
                if (work.visited[work.links[k].second] == 0) work.stack.push_back(work.links[k].second);
        } else {
            for (size_t k = work.partnerStart[i]; k < work.partnerStart[i + 1]; ++k)
                if (work.visited[work.partners[k]] == 0) work.stack.push_back(work.partners[k]);
        }
    }

    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || partnerCount(i) == 0 || work.visited[i] != 0 || rows[i].sortSample.keep != 0)
            continue;
        const auto begin = work.partners.begin() + static_cast<std::ptrdiff_t>(work.partnerStart[i]);
        const auto end = work.partners.begin() + static_cast<std::ptrdiff_t>(work.partnerStart[i + 1]);
        const int64_t band = out[*begin].band;
        const bool agree = std::all_of(begin, end, [&](size_t d) { return out[d].assigned != 0 && out[d].band == band; });
        if (!agree) continue;
        const int64_t current = rows[i].sortSample.currentBand;
        out[i] = SortPlacement{band, out[*begin].scaleLevel, 1, static_cast<uint8_t>(band != current ? 1 : 0)};
    }
    return true;
}

} // namespace vt6::fmt
