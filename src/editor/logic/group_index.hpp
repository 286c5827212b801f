#pragma once
// Per band, the samples of each (layer, articulation) group in position
// order, with tombstones for removed samples and a Fenwick tree over the
// live flags, so that counting, rank selection and windows of the visible
// samples never scan the band.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vt6::ui::zemedit::logic {

// Layer index << 20 | articulation index (20 bits).
using GroupKey = uint64_t;

inline GroupKey makeGroupKey(int32_t layer, int32_t articulation) noexcept {
    return (static_cast<uint64_t>(static_cast<uint32_t>(layer)) << 20) |
           (static_cast<uint64_t>(static_cast<uint32_t>(articulation)) & 0xFFFFFu);
}
inline int32_t groupKeyLayer(GroupKey key) noexcept { return static_cast<int32_t>(static_cast<uint32_t>(key >> 20)); }
inline int32_t groupKeyArticulation(GroupKey key) noexcept { return static_cast<int32_t>(key & 0xFFFFFu); }

// The visible page: a negative part stands for all.
struct PageFilter {
    int32_t layer = -1;
    int32_t articulation = -1;

    bool matches(GroupKey key) const noexcept {
        return (layer < 0 || layer == groupKeyLayer(key)) && (articulation < 0 || articulation == groupKeyArticulation(key));
    }
};

struct GroupEntry {
    std::vector<uint64_t> positions;      // ascending
    std::vector<int32_t> sampleIndices;   // parallel: record index in the document
    std::vector<uint8_t> live;            // parallel: 0 = tombstone
    std::vector<int32_t> counts;          // Fenwick tree over `live`
    int32_t liveCount = 0;

    bool operator==(const GroupEntry&) const = default;
};

struct GroupHit {
    GroupKey key = 0;
    uint64_t positionKey = 0;
    int32_t sampleIndex = -1;

    bool operator==(const GroupHit&) const = default;
};

class GroupIndex {
public:
    std::map<GroupKey, GroupEntry> entries;  // entries are never removed
    uint64_t maxPositionKey = 0;

    // Adds a live sample; revives a tombstone with exactly this position.
    void insert(GroupKey key, uint64_t positionKey, int32_t sampleIndex);

    static void markDead(GroupEntry& entry, size_t index);
    static void add(GroupEntry& entry, size_t index, int32_t delta);
    static size_t lowerBound(const GroupEntry& entry, uint64_t positionKey);
    // Live samples with position <= positionKey.
    static int countUpTo(const GroupEntry& entry, uint64_t positionKey);

    int countMatching(PageFilter filter, uint64_t positionKey) const;
    int totalLive() const;
    // The n-th (0-based) live matching sample in position order.
    std::optional<GroupHit> selectNth(PageFilter filter, int n) const;
    // Up to `count` live matching sample indices in position order from the
    // `start`-th on; `out` is emptied first.
    void collect(PageFilter filter, int start, int count, std::vector<int32_t>& out) const;

    bool operator==(const GroupIndex&) const = default;
};

} // namespace vt6::ui::zemedit::logic
