#pragma once
// The two forms of a band layout and the conversions between them: velocity
// splits (n - 1 integers in 1..126 on the 0..127 scale, what the plug-in
// plays by) and level positions (one centre per band on the 0..1 hit-level
// scale, what the band grid shows and automatic sorting uses).

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace vt6::ui::zemedit::logic {

struct BandLayout {
    std::vector<double> positions;
    std::vector<int32_t> splits;  // splitsToLevelPositions: the input when exact, else recomputed
    uint8_t exact = 0;            // 1: the midpoints of positions reproduce the input splits

    bool operator==(const BandLayout&) const = default;
};

// Positions whose neighbour midpoints fall exactly on the splits when such
// positions exist (they need not stay inside 0..1); otherwise a greedy
// fallback whose splits are recomputed.
BandLayout splitsToLevelPositions(std::span<const int32_t> splits);

// The layout of splits the user set: the positions of splitsToLevelPositions
// when they give the splits back by the midpoint rule; otherwise each band's
// position in the middle of its own range. The splits are the input either way, so a split
// the user set never moves (exact 0 says the midpoint rule would not give
// them back).
BandLayout layoutKeepingSplits(std::span<const int32_t> splits);

// One split per pair of neighbours: their midpoint on the 0..127 scale, kept
// strictly increasing within 1..126. Empty for fewer than two positions.
std::vector<int32_t> levelPositionsToVelocitySplits(std::span<const double> positions);

// The first band of greatest velocity width and that width; (0, 0) when no
// band has a positive width.
std::pair<int32_t, int32_t> widestBand(std::span<const int32_t> splits);

// The layout left when band `index` of splits.size() + 1 bands goes and a
// neighbour takes over its range, every other split staying: the band below
// takes it (the band above for the first band), or the band above when only
// that keeps positions that reproduce the splits; when neither does, the
// first choice with layoutKeepingSplits' positions.
BandLayout layoutWithoutBand(std::span<const int32_t> splits, size_t index);

// layoutWithoutBand for every band whose `drop` entry is set, from the last
// down, as pruning removes them. Positions are those of the final splits;
// with nothing dropped, the splits unchanged and no positions.
BandLayout layoutWithoutBands(std::span<const int32_t> splits, std::span<const uint8_t> drop);

} // namespace vt6::ui::zemedit::logic
