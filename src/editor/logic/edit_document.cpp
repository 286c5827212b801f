#include "editor/logic/edit_document.hpp"

#include <algorithm>

namespace vt6::ui::zemedit::logic {

bool hitLevelValid(const HitLevel& level) noexcept {
    return level.version == 1 && level.measured && !level.cancelled;
}

void EditDocument::reset() {
    name.clear();
    layers.clear();
    articulations.clear();
    bands.clear();
    bandOrder.clear();
    velocitySplits.clear();
    levelPositions.clear();
    samples.clear();
    unmeasuredUids.clear();
    autoPlacement.clear();
    linkRoots.clear();
    uidIndex.clear();
    selection.clear();
    bandViewCounters.clear();
    touchedUids.clear();
    history.clear();
    drumType = 5;
    nextUid = 1;
    nextPositionKey = 1;
    liveSampleCount = 0;
    maxUid = 0;
    bandsEdited = 0;
    samplesRemoved = 0;
    defsEdited = 0;
    pageLayer = -1;
    pageArticulation = -1;
    allSelected = 0;
    anchorUid = 0;
    dropBand = -1;
    dragBoundary = -1;
    ++generation;
    ++structureRevision;
}

std::unique_ptr<EditDocument> EditDocument::snapshot() const {
    auto copy = std::make_unique<EditDocument>();
    EditDocument& c = *copy;
    c.name = name;
    c.drumType = drumType;
    c.layers = layers;
    c.articulations = articulations;
    c.bands = bands;
    c.bandOrder = bandOrder;
    c.nextBandId = nextBandId;
    c.velocitySplits = velocitySplits;
    c.levelPositions = levelPositions;
    c.bandsEdited = bandsEdited;
    c.samplesRemoved = samplesRemoved;
    c.defsEdited = defsEdited;
    c.samples = samples;
    c.unmeasuredUids = unmeasuredUids;
    c.generation = generation;
    c.structureRevision = structureRevision;
    c.indexedRevision = indexedRevision;
    c.autoPlacement = autoPlacement;
    c.linkRoots = linkRoots;
    c.uidIndex = uidIndex;
    c.liveSampleCount = liveSampleCount;
    c.maxUid = maxUid;
    c.nextUid = nextUid;
    c.nextPositionKey = nextPositionKey;
    c.pageLayer = pageLayer;
    c.pageArticulation = pageArticulation;
    c.pageRevision = pageRevision;
    c.selection = selection;
    c.allSelected = allSelected;
    c.anchorUid = anchorUid;
    c.dropBand = dropBand;
    c.dragBoundary = dragBoundary;
    c.dragSplits = dragSplits;
    c.layoutRevision = layoutRevision;
    c.bandViewCounters = bandViewCounters;
    c.touchedUids = touchedUids;
    c.changeCounter = changeCounter;
    c.savedChangeCounter = savedChangeCounter;
    return copy;
}

bool EditDocument::execute(ZemCmdPtr command) {
    ++changeCounter;
    ZemHistorySink* sink = historySink != nullptr ? historySink : &history;
    return sink->execute(std::move(command), *this);
}

EditSample* EditDocument::liveRecord(uint64_t uid) {
    const auto found = uidIndex.find(uid);
    if (found == uidIndex.end()) return nullptr;
    return &samples[static_cast<size_t>(found->second)];
}

EditBand* EditDocument::bandById(int32_t id) {
    for (EditBand& band : bands) {
        if (band.id == id) return &band;
    }
    return nullptr;
}

void EditDocument::touchUid(uint64_t uid) {
    if (uid != 0) touchedUids.push_back(uid);
}

void EditDocument::touchBand(int32_t id) {
    if (std::find(bandOrder.begin(), bandOrder.end(), id) != bandOrder.end()) ++bandViewCounters[id];
}

void EditDocument::touchAllBands() {
    for (int32_t id : bandOrder) ++bandViewCounters[id];
}

void EditDocument::updateUnmeasured(const EditSample& record) {
    // Only samples that sit in a band feed the placement, so only they may
    // hold it back.
    const bool placed = std::any_of(bands.begin(), bands.end(), [&](const EditBand& b) { return b.id == record.bandId; });
    if (placed && !hitLevelValid(record.hitLevel)) {
        unmeasuredUids.insert(record.uid);
    } else {
        unmeasuredUids.erase(record.uid);
    }
}

void EditDocument::placeSample(EditSample& record, int32_t bandId, uint64_t positionKey) {
    record.bandId = bandId;
    record.positionKey = positionKey;
    EditBand* band = bandById(bandId);
    if (band == nullptr) return;
    const auto found = uidIndex.find(record.uid);
    const int32_t index = found != uidIndex.end() ? found->second : static_cast<int32_t>(&record - samples.data());
    band->groups.insert(makeGroupKey(record.layerIndex, record.articulationIndex), positionKey, index);
    if (nextPositionKey < positionKey + 1) nextPositionKey = positionKey + 1;
    updateUnmeasured(record);
    ++structureRevision;
}

void EditDocument::unplaceSample(EditSample& record) {
    unmeasuredUids.erase(record.uid);
    ++structureRevision;
    EditBand* band = bandById(record.bandId);
    if (band == nullptr) return;
    const auto entry = band->groups.entries.find(makeGroupKey(record.layerIndex, record.articulationIndex));
    if (entry == band->groups.entries.end()) return;
    GroupEntry& e = entry->second;
    for (size_t p = GroupIndex::lowerBound(e, record.positionKey); p < e.positions.size() && e.positions[p] == record.positionKey; ++p) {
        if (e.live[p] != 0) {
            GroupIndex::markDead(e, p);
            return;
        }
    }
}

void EditDocument::syncLevelPositions() {
    levelPositions.clear();
    levelPositions.reserve(bands.size());
    for (const EditBand& band : bands) levelPositions.push_back(band.levelPosition);
}

size_t EditDocument::setBandLayout(std::span<const int32_t> splits, std::span<const double> positions) {
    velocitySplits.assign(splits.begin(), splits.end());
    for (size_t i = 0; i < bands.size() && i < positions.size(); ++i) bands[i].levelPosition = positions[i];
    syncLevelPositions();
    ++structureRevision;
    bandsEdited = 1;
    for (const EditBand& band : bands) ++bandViewCounters[band.id];
    return bands.size();
}

void EditDocument::setHitLevel(uint64_t uid, const HitLevel& level) {
    if (level.cancelled) return;
    EditSample* record = liveRecord(uid);
    if (record == nullptr) return;
    record->hitLevel = level;
    updateUnmeasured(*record);
    ++structureRevision;
    touchUid(uid);
}

void EditDocument::markSaved() {
    savedChangeCounter = changeCounter;
    bool flagged = false;
    for (const auto& [uid, index] : uidIndex) {
        EditSample& record = samples[static_cast<size_t>(index)];
        if (record.anchored == 0) {
            record.anchored = 1;
            flagged = true;
        }
    }
    if (flagged) ++structureRevision;
}

void EditDocument::acceptAudioRevisions() {
    for (EditSample& record : samples) record.savedAudioRevision = record.audioRevision;
}

void EditDocument::rebindSource(const fmt::Zem6Model& model) {
    const auto& layerTable = model.metadata.layers;
    const auto& articulationTable = model.metadata.articulations;
    for (EditDef& layer : layers) {
        layer.sourceIndex = -1;
        for (size_t i = 0; i < layerTable.size(); ++i) {
            if (layerTable[i].id == layer.key) {
                layer.sourceIndex = static_cast<int32_t>(i);
                break;
            }
        }
    }
    for (EditDef& articulation : articulations) {
        articulation.sourceIndex = -1;
        for (size_t i = 0; i < articulationTable.size(); ++i) {
            if (articulationTable[i].id == articulation.key) {
                articulation.sourceIndex = static_cast<int32_t>(i);
                break;
            }
        }
    }
    for (EditDef& layer : layers) {
        if (layer.sourceIndex >= 0) {
            const fmt::LayerDef& entry = layerTable[static_cast<size_t>(layer.sourceIndex)];
            layer.fileSlot = entry.slot;
            layer.fileLevel = entry.level;
        } else {
            layer.fileSlot.reset();
            layer.fileLevel.reset();
        }
        layer.userLevel.reset();
    }
    defsEdited = 0;
}

} // namespace vt6::ui::zemedit::logic
