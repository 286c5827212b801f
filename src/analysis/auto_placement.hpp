#pragma once
// The automatic band of every sample of a document at once: direct samples
// are sorted by their own levels, room samples follow the direct samples
// that link to them, and room samples without a partner are sorted among
// themselves per room channel.

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "analysis/auto_sort.hpp"

namespace vt6::fmt {

struct PlacementRow {
    SortSample sortSample;              // id: uid (nonzero, unique); groupKey: articulation index
    uint32_t layerIndex = 0;
    uint8_t isRoom = 0;
    std::array<uint64_t, 3> roomLinks{};  // direct rows: uids of their room samples, 0 = none
};

// Working storage of computeAutoPlacement, all flat arrays indexed by row.
// A caller that places often keeps one and passes it every time, so that a
// placement allocates (almost) nothing once the arrays have their size.
struct PlacementWorkspace {
    std::vector<uint64_t> ids;             // per row
    std::vector<uint32_t> idSlots;         // open-addressing table of row + 1 by id, 0 = empty
    std::vector<std::pair<size_t, size_t>> links;  // (direct row, room row), direct rows ascending
    std::vector<size_t> linkStart;         // links of direct row i: [linkStart[i], linkStart[i + 1])
    std::vector<size_t> partnerStart;      // partners of room row r: [partnerStart[r], partnerStart[r + 1])
    std::vector<size_t> partners;          // direct rows, ascending per room
    std::vector<uint64_t> batchOrder;      // partnerless room rows keyed by layer
    std::vector<size_t> members;
    std::vector<const SortSample*> batch;
    std::vector<SortPlacement> batchPlaced;
    SortWorkspace sort;
    std::vector<uint8_t> visited;
    std::vector<size_t> stack;
};

// One placement per row in row order; empty when a uid is 0 or repeated.
std::vector<SortPlacement> computeAutoPlacement(std::span<const PlacementRow> rows,
                                                std::span<const int32_t> boundaries);

// The same into `out`, using `work` for storage. Returns false (and leaves
// `out` empty) when a uid is 0 or repeated. Afterwards work.links holds every
// (direct row, room row) link between rows, each once.
bool computeAutoPlacement(std::span<const PlacementRow> rows, std::span<const int32_t> boundaries,
                          PlacementWorkspace& work, std::vector<SortPlacement>& out);

} // namespace vt6::fmt
