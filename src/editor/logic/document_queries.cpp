// Read-only views of the document, and the page and selection state that
// the interface sets directly (outside the undo history).

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numeric>

#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit::logic {

std::vector<int32_t> EditDocument::defOrder(bool ofLayers) const {
    const std::vector<EditDef>& defs = ofLayers ? layers : articulations;
    std::vector<int32_t> order(defs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int32_t a, int32_t b) { return defs[static_cast<size_t>(a)].key < defs[static_cast<size_t>(b)].key; });
    return order;
}

std::vector<int32_t> EditDocument::layerSlots(bool fillFree) const {
    std::vector<int32_t> out(layers.size(), -1);
    std::array<bool, 4> used{};
    auto take = [&](size_t i, uint64_t slot) {
        const int32_t value = slot > static_cast<uint64_t>(INT32_MAX) ? -1 : static_cast<int32_t>(slot);
        out[i] = value;
        if (value >= 0 && value < 4) used[static_cast<size_t>(value)] = true;
    };
    auto lowestFreeRoom = [&]() -> int32_t {
        for (int32_t s = 1; s <= 3; ++s) {
            if (!used[static_cast<size_t>(s)]) return s;
        }
        return -1;
    };

    std::vector<size_t> waitingForSlot;   // file layers that ask for a slot (6)
    std::vector<size_t> withoutSource;    // added layers without an assigned slot
    for (size_t i = 0; i < layers.size(); ++i) {
        const EditDef& layer = layers[i];
        if (layer.sourceIndex < 0) {
            if (fillFree) continue;
            if (layer.assignedSlot && *layer.assignedSlot < 4) {
                take(i, *layer.assignedSlot);
            } else {
                withoutSource.push_back(i);
            }
        } else if (!fillFree) {
            if (layer.fileSlot && *layer.fileSlot == 6) {
                waitingForSlot.push_back(i);
            } else {
                take(i, layer.fileSlot.value_or(6));
            }
        } else {
            take(i, layer.fileSlot.value_or(0));
        }
    }
    if (fillFree) {
        for (size_t i = 0; i < layers.size(); ++i) {
            if (out[i] >= 0) continue;
            const int32_t s = lowestFreeRoom();
            if (s > 0) take(i, static_cast<uint64_t>(s));
        }
    }
    for (size_t k = 0; k < waitingForSlot.size(); ++k) {
        if (k == 0 && !used[0]) {
            take(waitingForSlot[k], 0);
            continue;
        }
        const int32_t s = lowestFreeRoom();
        take(waitingForSlot[k], s > 0 ? static_cast<uint64_t>(s) : 6);
    }
    for (size_t i : withoutSource) {
        const int32_t s = lowestFreeRoom();
        if (s > 0) {
            take(i, static_cast<uint64_t>(s));
        } else {
            out[i] = -1;
        }
    }
    return out;
}

std::optional<RoomChannelChoice> EditDocument::nextRoomChannel() const {
    if (layers.empty()) return RoomChannelChoice{1, -1};
    const std::vector<int32_t> slots = layerSlots(false);
    std::vector<uint64_t> liveCounts(layers.size(), 0);
    for (const auto& [uid, index] : uidIndex) {
        const auto layer = static_cast<size_t>(static_cast<uint32_t>(samples[static_cast<size_t>(index)].layerIndex));
        if (layer < liveCounts.size()) ++liveCounts[layer];
    }
    const std::vector<int32_t> order = defOrder(true);
    for (int32_t slot = 1; slot <= 3; ++slot) {
        bool any = false;
        bool inUse = false;
        int32_t first = -1;
        for (int32_t i : order) {
            const auto li = static_cast<size_t>(i);
            if (slots[li] != slot) continue;
            if (!any) first = i;
            any = true;
            if (liveCounts[li] > 0 || layers[li].shown != 0) inUse = true;
        }
        if (!any) return RoomChannelChoice{slot, -1};
        if (!inUse) return RoomChannelChoice{slot, first};
    }
    return std::nullopt;
}

std::vector<int32_t> EditDocument::layerSlotOrder(bool fillFree) const {
    const std::vector<int32_t> slots = layerSlots(fillFree);
    std::vector<int32_t> out;
    for (int32_t i : defOrder(true)) {
        if (static_cast<uint32_t>(slots[static_cast<size_t>(i)]) <= 3) out.push_back(i);
    }
    return out;
}

double EditDocument::layerDefaultLevel(int32_t layer, bool includeRooms) const {
    if (layer < 0 || static_cast<size_t>(layer) >= layers.size()) return 1.0;
    const EditDef& def = layers[static_cast<size_t>(layer)];
    if (def.userLevel) return *def.userLevel;
    if (def.sourceIndex < 0) return 1.0;
    if (!includeRooms && def.fileSlot && *def.fileSlot >= 1 && *def.fileSlot <= 3) return def.fileLevel.value_or(0.0);
    return def.fileLevel.value_or(1.0);
}

const EditSample* EditDocument::sampleByUid(uint64_t uid) const {
    const auto found = uidIndex.find(uid);
    if (found == uidIndex.end()) return nullptr;
    return &samples[static_cast<size_t>(found->second)];
}

int32_t EditDocument::bandIndexOf(int32_t bandId) const {
    const auto found = std::find(bandOrder.begin(), bandOrder.end(), bandId);
    return found == bandOrder.end() ? -1 : static_cast<int32_t>(found - bandOrder.begin());
}

bool EditDocument::hasPendingAudio() const {
    return std::any_of(uidIndex.begin(), uidIndex.end(), [&](const auto& live) {
        const EditSample& record = samples[static_cast<size_t>(live.second)];
        return record.audioRevision != record.savedAudioRevision;
    });
}

HitLevel EditDocument::sampleLevels(uint64_t uid) const {
    const EditSample* record = sampleByUid(uid);
    return record != nullptr ? record->hitLevel : HitLevel::unmeasured();
}

void EditDocument::setPage(int32_t layer, int32_t articulation) {
    if (layer == pageLayer && articulation == pageArticulation) return;
    ++pageRevision;
    pageLayer = layer;
    pageArticulation = articulation;
    touchAllBands();
}

int32_t EditDocument::bandSampleCount(int32_t bandIndex) const {
    if (bandIndex < 0 || static_cast<size_t>(bandIndex) >= bands.size()) return 0;
    const PageFilter filter = pageFilter();
    int32_t count = 0;
    for (const auto& [key, entry] : bands[static_cast<size_t>(bandIndex)].groups.entries) {
        if (filter.matches(key)) count += entry.liveCount;
    }
    return count;
}

void EditDocument::selectSample(uint64_t uid, bool range, bool add) {
    const EditSample* clicked = sampleByUid(uid);
    if (clicked == nullptr) return;
    allSelected = 0;
    const EditSample* anchor = anchorUid != 0 ? sampleByUid(anchorUid) : nullptr;
    if (add) {
        selection.insert(uid);
        anchorUid = uid;
    } else if (range && anchor != nullptr && anchor->bandId == clicked->bandId) {
        selectRange(*anchor, *clicked);
    } else {
        selection = {uid};
        anchorUid = uid;
    }
    touchUid(uid);
    touchUid(anchorUid);
}

uint64_t EditDocument::selectionCount() const {
    if (allSelected == 0) return selection.size();
    uint64_t count = 0;
    for (size_t i = 0; i < bands.size(); ++i) count += static_cast<uint64_t>(bandSampleCount(static_cast<int32_t>(i)));
    return count;
}

std::string EditDocument::selectionText() const {
    return std::to_string(selectionCount()) + " selected";
}

int32_t EditDocument::samplePosition(const EditSample& sample) const {
    const int32_t bandIndex = bandIndexOf(sample.bandId);
    if (bandIndex < 0) return 0;
    const GroupIndex& groups = bands[static_cast<size_t>(bandIndex)].groups;
    const PageFilter filter = pageFilter();
    int32_t lo = 0;
    int32_t hi = bandSampleCount(bandIndex);
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const std::optional<GroupHit> hit = groups.selectNth(filter, mid);
        if (hit && hit->positionKey < sample.positionKey) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

std::string EditDocument::sampleLabel(const EditSample& sample, int32_t position) const {
    if (!sample.name.empty()) return sample.name;
    const int32_t bandIndex = bandIndexOf(sample.bandId);
    const std::string bandName = bandIndex >= 0 ? bands[static_cast<size_t>(bandIndex)].name : std::string("Sample");
    return bandName + " " + std::to_string(static_cast<int64_t>(position) + 1);
}

void EditDocument::selectRange(const EditSample& a, const EditSample& b) {
    const int32_t pa = samplePosition(a);
    const int32_t pb = samplePosition(b);
    selection.clear();
    const int32_t bandIndex = bandIndexOf(a.bandId);
    if (bandIndex < 0) return;
    std::vector<int32_t> picked;
    bands[static_cast<size_t>(bandIndex)].groups.collect(pageFilter(), std::min(pa, pb), std::abs(pa - pb) + 1, picked);
    for (int32_t index : picked) selection.insert(samples[static_cast<size_t>(index)].uid);
}

bool sameDouble(double a, double b) noexcept {
    return a == b || (std::isnan(a) && std::isnan(b));
}

std::string percentText(double value) {
    const double v = std::isfinite(value) ? std::clamp(value, 0.0, 100.0) : 0.0;
    return std::to_string(static_cast<int64_t>(std::floor(v + 0.5))) + " %";
}

} // namespace vt6::ui::zemedit::logic
