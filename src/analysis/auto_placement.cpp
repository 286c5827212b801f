#include "analysis/auto_placement.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace vt6::fmt {

std::vector<SortPlacement> computeAutoPlacement(std::span<const PlacementRow> rows,
                                                std::span<const int32_t> boundaries) {
    const size_t n = rows.size();
    std::vector<SortPlacement> out;
    out.reserve(n);
    for (const PlacementRow& row : rows) out.push_back(SortPlacement{row.sortSample.currentBand, 0.0, 0, 0});

    std::map<uint64_t, size_t> rowOf;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t id = rows[i].sortSample.id;
        if (id == 0 || !rowOf.emplace(id, i).second) return {};
    }

    std::vector<std::vector<size_t>> partners(n);
    std::vector<std::vector<size_t>> links(n);
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom != 0) continue;
        for (uint64_t uid : rows[i].roomLinks) {
            if (uid == 0) continue;
            const auto found = rowOf.find(uid);
            if (found == rowOf.end()) continue;
            const size_t room = found->second;
            if (rows[room].isRoom == 0) continue;
            auto& list = partners[room];
            if (std::find(list.begin(), list.end(), i) != list.end()) continue;
            list.push_back(i);
            links[i].push_back(room);
            links[room].push_back(i);
        }
    }

    // Key (room flag, layer): the direct batch sorts first.
    std::map<std::pair<uint8_t, uint32_t>, std::vector<size_t>> batches;
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0) {
            batches[{0, 0}].push_back(i);
        } else if (partners[i].empty()) {
            batches[{1, rows[i].layerIndex}].push_back(i);
        }
    }
    for (const auto& [key, members] : batches) {
        std::vector<SortSample> batch;
        batch.reserve(members.size());
        for (size_t i : members) batch.push_back(rows[i].sortSample);
        const std::vector<SortPlacement> placed = autoSortBands(batch, boundaries);
        for (size_t k = 0; k < members.size(); ++k) out[members[k]] = placed[k];
    }

    // A sort-locked room sample whose partners would leave its band keeps
    // its whole link group where it is.
    std::vector<uint8_t> visited(n, 0);
    std::vector<size_t> stack;
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || rows[i].sortSample.keep == 0) continue;
        const bool pins = std::any_of(partners[i].begin(), partners[i].end(), [&](size_t d) {
            return out[d].band != rows[i].sortSample.currentBand;
        });
        if (pins) stack.push_back(i);
    }
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        if (visited[i] != 0) continue;
        visited[i] = 1;
        out[i] = SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0};
        for (size_t next : links[i]) {
            if (visited[next] == 0) stack.push_back(next);
        }
    }

    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || partners[i].empty() || visited[i] != 0 || rows[i].sortSample.keep != 0) continue;
        const std::vector<size_t>& list = partners[i];
        const int64_t band = out[list.front()].band;
        const bool agree = std::all_of(list.begin(), list.end(),
                                       [&](size_t d) { return out[d].assigned != 0 && out[d].band == band; });
        if (!agree) continue;
        const int64_t current = rows[i].sortSample.currentBand;
        out[i] = SortPlacement{band, out[list.front()].scaleLevel, 1, static_cast<uint8_t>(band != current ? 1 : 0)};
    }
    return out;
}

} // namespace vt6::fmt
