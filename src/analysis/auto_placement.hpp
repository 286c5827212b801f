#pragma once
// The automatic band of every sample of a document at once: direct samples
// are sorted by their own levels, room samples follow the direct samples
// that link to them, and room samples without a partner are sorted among
// themselves per room channel.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/auto_sort.hpp"

namespace vt6::fmt {

struct PlacementRow {
    SortSample sortSample;              // id: uid (nonzero, unique); groupKey: articulation index
    uint32_t layerIndex = 0;
    uint8_t isRoom = 0;
    std::array<uint64_t, 3> roomLinks{};  // direct rows: uids of their room samples, 0 = none
};

// One placement per row in row order; empty when a uid is 0 or repeated.
std::vector<SortPlacement> computeAutoPlacement(std::span<const PlacementRow> rows,
                                                std::span<const int32_t> boundaries);

} // namespace vt6::fmt
