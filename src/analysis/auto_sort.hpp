#pragma once
// Sorting samples into dynamic groups (bands) by their hit levels. Bands are
// separated by boundaries on a 0..127 scale; B boundaries make B + 1 bands.
// Groups without a locked sample use the gap rule (clusters spread over the
// whole scale); groups with one use the anchored sort (locked samples give
// each band a reference level).

#include <cstdint>
#include <span>
#include <vector>

#include "format/hit_level.hpp"

namespace vt6::fmt {

struct SortSample {
    uint64_t id = 0;          // breaks ties between equal levels
    uint32_t groupKey = 0;    // samples of different keys are sorted apart
    int64_t currentBand = -1; // -1 (or any value >= band count): none
    HitLevel hitLevel;
    uint8_t keep = 0;         // never moved; still counts
    uint8_t locked = 0;       // anchors its band's level
};

struct SortPlacement {
    int64_t band = -1;        // the current band while unassigned
    double scaleLevel = 0.0;  // position on the 0..127 scale; 0 when not considered
    uint8_t assigned = 0;
    uint8_t changed = 0;

    bool operator==(const SortPlacement&) const = default;
};

// True for a level the sort can use: version 1, finite, not cancelled.
bool usableLevel(const HitLevel& level) noexcept;

// One placement per input row, in input order. Invalid boundaries (none, not
// strictly increasing within 1..126) leave every row at its current band.
std::vector<SortPlacement> autoSortBands(std::span<const SortSample> samples, std::span<const int32_t> boundaries);

// The anchored sort repeated until it settles (at most 8 passes); gives every
// row back unassigned in its current band when it does not.
std::vector<SortPlacement> anchoredSort(std::span<const SortSample> samples, std::span<const int32_t> boundaries);

// One pass of the anchored sort.
std::vector<SortPlacement> anchoredSortPass(std::span<const SortSample> samples, std::span<const int32_t> boundaries);

// Working storage of the sort, flat arrays reused from call to call, so a
// caller that sorts often allocates (almost) nothing once they have grown.
struct SortWorkspace {
    struct Anchor {
        uint32_t key = 0;
        uint32_t band = 0;
        double level = 0.0;
    };
    struct BandStats {
        bool anchored = false;
        bool robust = false;
        bool consistent = true;
        double reference = 0.0;
        double spread = 0.0;
    };
    std::vector<uint32_t> groupKeys;   // ascending
    std::vector<size_t> groupStart;    // members of group g: [groupStart[g], groupStart[g + 1])
    std::vector<size_t> groupMembers;  // input positions, ascending per group
    std::vector<int64_t> workBands;    // the anchored sort's working bands, per member
    std::vector<Anchor> anchors;
    std::vector<Anchor> anchorsByBand;
    std::vector<size_t> bandFill;
    std::vector<uint32_t> statKeys;    // keys with anchors, ascending
    std::vector<BandStats> stats;      // band count per key in statKeys
    struct Cluster {
        size_t first = 0;  // positions in `sorted`
        size_t last = 0;
        double centre = 0.0;
        double span = 0.0;
    };
    std::vector<double> deviations;
    std::vector<size_t> sorted;
    std::vector<Cluster> clusters;
    std::vector<double> gaps;
    std::vector<const SortSample*> pointers;

    // The last groups sorted with this workspace, inputs and results: a group
    // whose every input is as before gets its results back without sorting
    // again (after an edit, most groups are).
    struct MemoRow {
        uint64_t id = 0;
        int64_t currentBand = 0;
        uint64_t levelBits = 0;  // 0 unless usable
        uint8_t usable = 0;
        uint8_t keep = 0;
        uint8_t locked = 0;
        bool operator==(const MemoRow&) const = default;
    };
    struct Memo {
        uint32_t key = 0;
        uint64_t lastUse = 0;
        std::vector<int32_t> boundaries;
        std::vector<MemoRow> rows;
        std::vector<SortPlacement> placements;
    };
    std::vector<Memo> memos;
    uint64_t memoClock = 0;
};

// autoSortBands over the samples `rows` point at, into `out` (one placement
// per row, in row order), with `work` for storage.
void autoSortBands(std::span<const SortSample* const> rows, std::span<const int32_t> boundaries,
                   SortWorkspace& work, std::vector<SortPlacement>& out);

} // namespace vt6::fmt
