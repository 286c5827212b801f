#pragma once
// Builds edit documents without a file (layers, articulations, bands and
// loaded samples), captures a document's content for whole-document
// comparisons, and checks the group indexes against a naive recomputation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit::logic::test {

inline HitLevel measuredLevel(double db) {
    HitLevel h;
    h.measured = true;
    h.finite = std::isfinite(db);
    h.level_db = db;
    return h;
}

// Layers named L0.. (room where the flag says), articulations A0.., bands
// B0.. with evenly spaced splits.
inline void shape(EditDocument& doc, const std::vector<bool>& layerIsRoom, int articulations, int bandCount) {
    for (size_t i = 0; i < layerIsRoom.size(); ++i) {
        EditDef def;
        def.key = i + 1;
        def.name = "L" + std::to_string(i);
        def.sourceIndex = static_cast<int32_t>(i);
        def.isRoom = layerIsRoom[i] ? 1 : 0;
        def.fileSlot = layerIsRoom[i] ? 1 + (i % 3) : 0;
        doc.layers.push_back(def);
    }
    for (int i = 0; i < articulations; ++i) {
        EditDef def;
        def.key = static_cast<uint64_t>(i) + 1;
        def.name = "A" + std::to_string(i);
        def.sourceIndex = i;
        doc.articulations.push_back(def);
    }
    for (int i = 0; i < bandCount; ++i) {
        EditBand band;
        band.id = doc.nextBandId++;
        band.name = "B" + std::to_string(i);
        band.levelPosition = (i + 0.5) / bandCount;
        doc.bandOrder.push_back(band.id);
        doc.bands.push_back(std::move(band));
        if (i > 0) doc.velocitySplits.push_back(static_cast<int32_t>(std::lround(127.0 * i / bandCount)));
    }
    doc.syncLevelPositions();
}

// A sample as loading would place it: anchored, appended at the end of its band.
inline uint64_t addLoaded(EditDocument& doc, int32_t layer, int32_t articulation, int32_t bandIndex,
                          const HitLevel& level, std::array<uint64_t, 3> links = {}) {
    EditSample s;
    s.uid = doc.nextUid++;
    doc.maxUid = std::max(doc.maxUid, s.uid);
    s.layerIndex = layer;
    s.articulationIndex = articulation;
    s.hitLevel = level;
    s.roomLinks = links;
    s.frames = 1000;
    s.regionEnd = 1000;
    s.recordIndex = static_cast<int32_t>(doc.samples.size());
    doc.samples.push_back(s);
    doc.uidIndex[s.uid] = s.recordIndex;
    doc.placeSample(doc.samples.back(), doc.bandOrder[static_cast<size_t>(bandIndex)], doc.nextPositionKey);
    ++doc.liveSampleCount;
    return s.uid;
}

using LiveGroups = std::map<GroupKey, std::vector<std::pair<uint64_t, int32_t>>>;

inline LiveGroups liveGroups(const GroupIndex& index) {
    LiveGroups out;
    for (const auto& [key, entry] : index.entries) {
        auto& list = out[key];
        for (size_t i = 0; i < entry.positions.size(); ++i) {
            if (entry.live[i] != 0) list.emplace_back(entry.positions[i], entry.sampleIndices[i]);
        }
        if (list.empty()) out.erase(key);
    }
    return out;
}

// The document's content: what undo and redo must restore exactly. Counters,
// uid and position allocators, removed records, the selection (view state)
// and the two flags that are sticky by design (samplesRemoved, a sample's
// regionEdited) are left out; the page is in, since deleting a definition
// moves it and undo must put it back.
struct Snapshot {
    std::string name;
    uint8_t drumType = 0;
    std::vector<EditDef> layers;
    std::vector<EditDef> articulations;
    std::vector<std::tuple<int32_t, std::string, double, LiveGroups>> bands;
    std::vector<int32_t> bandOrder;
    std::vector<int32_t> velocitySplits;
    std::vector<double> levelPositions;
    uint8_t bandsEdited = 0;
    uint8_t defsEdited = 0;
    std::map<uint64_t, EditSample> live;
    std::map<uint64_t, int32_t> uidIndex;
    std::set<uint64_t> unmeasured;
    uint64_t liveSampleCount = 0;
    std::vector<std::optional<fmt::BandDef>> bandSources;
    int32_t pageLayer = -1;
    int32_t pageArticulation = -1;

    bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const EditDocument& doc) {
    Snapshot s;
    s.name = doc.name;
    s.drumType = doc.drumType;
    s.layers = doc.layers;
    s.articulations = doc.articulations;
    for (const EditBand& b : doc.bands) s.bands.emplace_back(b.id, b.name, b.levelPosition, liveGroups(b.groups));
    s.bandOrder = doc.bandOrder;
    s.velocitySplits = doc.velocitySplits;
    s.levelPositions = doc.levelPositions;
    s.bandsEdited = doc.bandsEdited;
    s.defsEdited = doc.defsEdited;
    for (const auto& [uid, index] : doc.uidIndex) {
        EditSample record = doc.samples[static_cast<size_t>(index)];
        record.regionEdited = 0;
        s.live.emplace(uid, record);
    }
    s.uidIndex.insert(doc.uidIndex.begin(), doc.uidIndex.end());
    s.unmeasured.insert(doc.unmeasuredUids.begin(), doc.unmeasuredUids.end());
    s.liveSampleCount = doc.liveSampleCount;
    for (const EditBand& b : doc.bands) s.bandSources.push_back(b.sourceEntry);
    s.pageLayer = doc.pageLayer;
    s.pageArticulation = doc.pageArticulation;
    return s;
}

inline std::vector<int32_t> naiveFenwick(const std::vector<uint8_t>& live) {
    std::vector<int32_t> out(live.size(), 0);
    for (size_t i = 1; i <= live.size(); ++i) {
        const size_t low = i & (~i + 1);
        for (size_t k = i + 1 - low; k <= i; ++k) out[i - 1] += live[k - 1];
    }
    return out;
}

// Every band's index holds exactly its live samples, in position order, with
// correct Fenwick counts; the uid index, live count and unmeasured set agree.
inline void expectConsistent(const EditDocument& doc) {
    ASSERT_EQ(doc.liveSampleCount, doc.uidIndex.size());
    std::set<uint64_t> unmeasured;
    for (const auto& [uid, index] : doc.uidIndex) {
        const EditSample& r = doc.samples.at(static_cast<size_t>(index));
        ASSERT_EQ(r.uid, uid);
        ASSERT_EQ(r.recordIndex, index);
        ASSERT_GT(doc.nextPositionKey, r.positionKey);
        const bool placed = std::find(doc.bandOrder.begin(), doc.bandOrder.end(), r.bandId) != doc.bandOrder.end();
        if (placed && !hitLevelValid(r.hitLevel)) unmeasured.insert(uid);
    }
    EXPECT_EQ(unmeasured, std::set<uint64_t>(doc.unmeasuredUids.begin(), doc.unmeasuredUids.end()));

    for (const EditBand& band : doc.bands) {
        LiveGroups expected;
        for (const auto& [uid, index] : doc.uidIndex) {
            const EditSample& r = doc.samples[static_cast<size_t>(index)];
            if (r.bandId == band.id) {
                expected[makeGroupKey(r.layerIndex, r.articulationIndex)].emplace_back(r.positionKey, index);
            }
        }
        for (auto& [key, list] : expected) std::sort(list.begin(), list.end());
        ASSERT_EQ(liveGroups(band.groups), expected) << "band " << band.id;
        for (const auto& [key, entry] : band.groups.entries) {
            ASSERT_EQ(entry.positions.size(), entry.live.size());
            ASSERT_EQ(entry.positions.size(), entry.sampleIndices.size());
            ASSERT_TRUE(std::is_sorted(entry.positions.begin(), entry.positions.end()));
            ASSERT_EQ(entry.counts, naiveFenwick(entry.live));
            ASSERT_EQ(entry.liveCount, std::count(entry.live.begin(), entry.live.end(), uint8_t{1}));
        }
    }
}

} // namespace vt6::ui::zemedit::logic::test
