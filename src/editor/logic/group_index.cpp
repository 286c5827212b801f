#include "editor/logic/group_index.hpp"

#include <algorithm>

namespace vt6::ui::zemedit::logic {
namespace {

size_t lowbit(size_t x) { return x & (~x + 1); }

// Sum of the first m live flags, through the tree.
int32_t prefix(const GroupEntry& entry, size_t m) {
    int32_t sum = 0;
    for (size_t i = m; i > 0; i -= lowbit(i)) sum += entry.counts[i - 1];
    return sum;
}

// Appends the tree element for the flag just appended at the end.
void appendCount(GroupEntry& entry, uint8_t flag) {
    const size_t n = entry.counts.size();
    entry.counts.push_back(static_cast<int32_t>(flag) + prefix(entry, n) - prefix(entry, n + 1 - lowbit(n + 1)));
    entry.liveCount += flag;
}

void rebuildCounts(GroupEntry& entry) {
    entry.counts.clear();
    entry.liveCount = 0;
    for (uint8_t flag : entry.live) appendCount(entry, flag);
}

size_t upperBound(const GroupEntry& entry, uint64_t positionKey) {
    return static_cast<size_t>(std::upper_bound(entry.positions.begin(), entry.positions.end(), positionKey) -
                               entry.positions.begin());
}

} // namespace

void GroupIndex::insert(GroupKey key, uint64_t positionKey, int32_t sampleIndex) {
    GroupEntry& entry = entries[key];
    if (entry.positions.empty() || entry.positions.back() < positionKey) {
        entry.positions.push_back(positionKey);
        entry.sampleIndices.push_back(sampleIndex);
        entry.live.push_back(1);
        appendCount(entry, 1);
    } else {
        const size_t p = lowerBound(entry, positionKey);
        if (p == entry.positions.size() || entry.positions[p] != positionKey || entry.live[p] != 0) {
            const auto at = static_cast<std::ptrdiff_t>(p);
            entry.positions.insert(entry.positions.begin() + at, positionKey);
            entry.sampleIndices.insert(entry.sampleIndices.begin() + at, sampleIndex);
            entry.live.insert(entry.live.begin() + at, uint8_t{1});
            rebuildCounts(entry);
        } else {
            entry.live[p] = 1;
            entry.sampleIndices[p] = sampleIndex;
            add(entry, p, 1);
        }
    }
    maxPositionKey = std::max(maxPositionKey, positionKey);
}

void GroupIndex::markDead(GroupEntry& entry, size_t index) {
    entry.live[index] = 0;
    add(entry, index, -1);
}

void GroupIndex::add(GroupEntry& entry, size_t index, int32_t delta) {
    for (size_t i = index + 1; i <= entry.counts.size(); i += lowbit(i)) entry.counts[i - 1] += delta;
    entry.liveCount += delta;
}

size_t GroupIndex::lowerBound(const GroupEntry& entry, uint64_t positionKey) {
    return static_cast<size_t>(std::lower_bound(entry.positions.begin(), entry.positions.end(), positionKey) -
                               entry.positions.begin());
}

int GroupIndex::countUpTo(const GroupEntry& entry, uint64_t positionKey) {
    return prefix(entry, upperBound(entry, positionKey));
}

int GroupIndex::countMatching(PageFilter filter, uint64_t positionKey) const {
    int sum = 0;
    for (const auto& [key, entry] : entries) {
        if (filter.matches(key)) sum += countUpTo(entry, positionKey);
    }
    return sum;
}

int GroupIndex::totalLive() const {
    int sum = 0;
    for (const auto& [key, entry] : entries) sum += entry.liveCount;
    return sum;
}

std::optional<GroupHit> GroupIndex::selectNth(PageFilter filter, int n) const {
    if (n < 0 || countMatching(filter, maxPositionKey) < n + 1) return std::nullopt;
    uint64_t lo = 0;
    uint64_t hi = maxPositionKey;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (countMatching(filter, mid) < n + 1) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    for (const auto& [key, entry] : entries) {
        if (!filter.matches(key)) continue;
        // A live element may sit behind a tombstone of the same position.
        for (size_t p = lowerBound(entry, lo); p < entry.positions.size() && entry.positions[p] == lo; ++p) {
            if (entry.live[p] != 0) return GroupHit{key, lo, entry.sampleIndices[p]};
        }
    }
    return std::nullopt;
}

void GroupIndex::collect(PageFilter filter, int start, int count, std::vector<int32_t>& out) const {
    out.clear();
    if (count <= 0) return;
    const std::optional<GroupHit> first = selectNth(filter, start);
    if (!first) return;

    struct Cursor {
        const GroupEntry* entry;
        size_t at;
    };
    std::vector<Cursor> cursors;
    for (const auto& [key, entry] : entries) {
        if (filter.matches(key)) cursors.push_back(Cursor{&entry, lowerBound(entry, first->positionKey)});
    }
    bool picked = false;
    uint64_t lastPosition = 0;
    while (out.size() < static_cast<size_t>(count)) {
        Cursor* best = nullptr;
        for (Cursor& c : cursors) {
            const GroupEntry& e = *c.entry;
            while (c.at < e.positions.size() && (e.live[c.at] == 0 || (picked && e.positions[c.at] <= lastPosition))) {
                ++c.at;
            }
            if (c.at == e.positions.size()) continue;
            if (best == nullptr || e.positions[c.at] < best->entry->positions[best->at]) best = &c;
        }
        if (best == nullptr) break;
        out.push_back(best->entry->sampleIndices[best->at]);
        lastPosition = best->entry->positions[best->at];
        picked = true;
    }
}

} // namespace vt6::ui::zemedit::logic
