#include "editor/logic/def_commands.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace vt6::ui::zemedit::logic {

namespace {

std::vector<EditDef>& listOf(EditDocument& doc, uint8_t isLayer) { return isLayer != 0 ? doc.layers : doc.articulations; }

int32_t& indexOf(EditSample& record, uint8_t isLayer) {
    return isLayer != 0 ? record.layerIndex : record.articulationIndex;
}

void raiseLayoutCounters(EditDocument& doc) {
    ++doc.layoutRevision;
    ++doc.changeCounter;
    ++doc.generation;
    ++doc.structureRevision;
}

uint64_t greatestKey(const std::vector<EditDef>& defs) {
    uint64_t key = 0;
    for (const EditDef& def : defs) key = std::max(key, def.key);
    return key;
}

} // namespace

bool AddDefCmd::apply(EditDocument& doc) {
    EditDef def;
    def.key = key;
    def.name = defName;
    def.sourceIndex = -1;
    if (isLayer != 0) {
        def.assignedSlot = assignedSlot;
        // A room slot makes a room channel now, not only once saved and reopened.
        def.isRoom = assignedSlot && *assignedSlot >= 1 && *assignedSlot <= 3 ? 1 : 0;
        def.shown = 1;
    }
    listOf(doc, isLayer).push_back(std::move(def));
    raiseLayoutCounters(doc);
    return true;
}

bool AddDefCmd::revert(EditDocument& doc) {
    std::vector<EditDef>& defs = listOf(doc, isLayer);
    if (!defs.empty() && defs.back().key == key) defs.pop_back();
    raiseLayoutCounters(doc);
    return true;
}

bool ShowLayerCmd::write(EditDocument& doc, uint8_t shown) const {
    if (layerIndex >= doc.layers.size()) return false;
    doc.layers[layerIndex].shown = shown;
    raiseLayoutCounters(doc);
    return true;
}

bool DeleteDefCmd::apply(EditDocument& doc) {
    for (const DefSampleRef& ref : affected) {
        EditSample& record = doc.samples[ref.recordIndex];
        doc.unplaceSample(record);
        if (ref.onDeleted != 0) {
            doc.uidIndex.erase(record.uid);
            doc.selection.erase(record.uid);
            if (doc.anchorUid == record.uid) doc.anchorUid = 0;
            --doc.liveSampleCount;
        } else {
            --indexOf(record, isLayer);
            doc.placeSample(record, record.bandId, record.positionKey);
        }
    }
    std::vector<EditDef>& defs = listOf(doc, isLayer);
    if (index < defs.size()) defs.erase(defs.begin() + index);
    int32_t& page = isLayer != 0 ? doc.pageLayer : doc.pageArticulation;
    const auto at = static_cast<int32_t>(index);
    if (page == at) {
        page = -1;
    } else if (page > at) {
        --page;
    }
    doc.samplesRemoved = 1;
    doc.defsEdited = 1;
    doc.touchAllBands();
    raiseLayoutCounters(doc);
    return true;
}

bool DeleteDefCmd::revert(EditDocument& doc) {
    std::vector<EditDef>& defs = listOf(doc, isLayer);
    defs.insert(defs.begin() + std::min<size_t>(index, defs.size()), saved);
    for (const DefSampleRef& ref : affected) {
        EditSample& record = doc.samples[ref.recordIndex];
        if (ref.onDeleted != 0) {
            doc.uidIndex[record.uid] = static_cast<int32_t>(ref.recordIndex);
            doc.placeSample(record, record.bandId, record.positionKey);
            ++doc.liveSampleCount;
        } else {
            doc.unplaceSample(record);
            ++indexOf(record, isLayer);
            doc.placeSample(record, record.bandId, record.positionKey);
        }
    }
    doc.pageLayer = savedPage.layer;
    doc.pageArticulation = savedPage.articulation;
    doc.samplesRemoved = 1;
    doc.defsEdited = 1;
    doc.touchAllBands();
    raiseLayoutCounters(doc);
    return true;
}

bool ReorderDefsCmd::write(EditDocument& doc, const std::vector<uint64_t>& keys) const {
    std::vector<EditDef>& defs = listOf(doc, isLayer);
    if (keys.size() != defs.size()) return false;
    for (size_t i = 0; i < defs.size(); ++i) defs[i].key = keys[i];
    doc.defsEdited = 1;
    doc.touchAllBands();
    raiseLayoutCounters(doc);
    return true;
}

bool SetChannelLevelCmd::write(EditDocument& doc, double level) const {
    if (layerIndex >= doc.layers.size()) return false;
    doc.layers[layerIndex].userLevel = level;
    ++doc.changeCounter;
    return true;
}

// --- Edit operations -----------------------------------------------------------

bool EditDocument::addLayer(const std::string& layerName) {
    auto cmd = std::make_unique<AddDefCmd>();
    cmd->isLayer = 1;
    cmd->key = greatestKey(layers) + 1;
    cmd->defName = layerName.empty() ? "Layer " + std::to_string(layers.size() + 1) : layerName;
    return execute(std::move(cmd));
}

bool EditDocument::addRoomChannel() {
    const std::optional<RoomChannelChoice> choice = nextRoomChannel();
    if (!choice) return false;
    if (choice->layerIndex != -1) return execute(std::make_unique<ShowLayerCmd>(static_cast<uint32_t>(choice->layerIndex)));
    auto cmd = std::make_unique<AddDefCmd>();
    cmd->isLayer = 1;
    cmd->key = greatestKey(layers) + 1;
    cmd->defName = std::string("Room ") + static_cast<char>(64 + choice->slot);
    cmd->assignedSlot = static_cast<uint64_t>(choice->slot);
    return execute(std::move(cmd));
}

bool EditDocument::addArticulation() {
    auto cmd = std::make_unique<AddDefCmd>();
    cmd->isLayer = 0;
    cmd->key = greatestKey(articulations) + 1;
    for (const char* candidate : kArticulationNames) {
        const bool taken = std::any_of(articulations.begin(), articulations.end(),
                                       [&](const EditDef& def) { return def.name == candidate; });
        if (!taken) {
            cmd->defName = candidate;
            break;
        }
    }
    if (cmd->defName.empty()) cmd->defName = "ART " + std::to_string(articulations.size() + 1);
    return execute(std::move(cmd));
}

bool EditDocument::deleteDef(bool isLayer, uint32_t index) {
    const std::vector<EditDef>& defs = isLayer ? layers : articulations;
    // The last definition of a list stays.
    if (defs.size() <= 1 || index >= defs.size()) return false;
    auto cmd = std::make_unique<DeleteDefCmd>();
    cmd->isLayer = isLayer ? 1 : 0;
    cmd->index = index;
    cmd->saved = defs[index];
    cmd->savedPage = SavedPage{pageLayer, pageArticulation};
    for (size_t r = 0; r < samples.size(); ++r) {
        const EditSample& record = samples[r];
        if (uidIndex.count(record.uid) == 0) continue;
        const auto value = static_cast<uint32_t>(isLayer ? record.layerIndex : record.articulationIndex);
        if (value < index) continue;
        cmd->affected.push_back(DefSampleRef{static_cast<uint32_t>(r), static_cast<uint8_t>(value == index ? 1 : 0)});
    }
    return execute(std::move(cmd));
}

bool EditDocument::reorderDefs(bool isLayer, uint32_t moved, uint32_t target, bool after) {
    const std::vector<EditDef>& defs = isLayer ? layers : articulations;
    if (moved >= defs.size() || target >= defs.size() || moved == target) return false;
    const std::vector<int32_t> before = defOrder(isLayer);
    std::vector<int32_t> order = before;
    order.erase(std::remove(order.begin(), order.end(), static_cast<int32_t>(moved)), order.end());
    auto at = std::find(order.begin(), order.end(), static_cast<int32_t>(target));
    if (at == order.end()) return false;
    if (after) ++at;
    order.insert(at, static_cast<int32_t>(moved));
    if (order == before) return false;
    auto cmd = std::make_unique<ReorderDefsCmd>();
    cmd->isLayer = isLayer ? 1 : 0;
    cmd->toKeys.resize(defs.size());
    for (const EditDef& def : defs) cmd->fromKeys.push_back(def.key);
    for (size_t k = 0; k < order.size(); ++k) cmd->toKeys[static_cast<size_t>(order[k])] = k + 1;
    return execute(std::move(cmd));
}

bool EditDocument::setChannelLevel(int32_t layerIndex, uint64_t expectedKey, double level, bool includeRooms) {
    if (layerIndex < 0 || static_cast<size_t>(layerIndex) >= layers.size()) return false;
    if (layers[static_cast<size_t>(layerIndex)].key != expectedKey) return false;
    if (!std::isfinite(level) || level < 0.0 || level > 1.0) return false;
    const double current = layerDefaultLevel(layerIndex, includeRooms);
    if (sameDouble(current, level)) return false;
    return execute(std::make_unique<SetChannelLevelCmd>(static_cast<uint32_t>(layerIndex), current, level));
}

} // namespace vt6::ui::zemedit::logic
