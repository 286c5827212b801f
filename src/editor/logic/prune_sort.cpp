#include "editor/logic/prune_sort.hpp"

#include <memory>

#include "editor/logic/band_commands.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/def_commands.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {

namespace {

int bandLive(const EditBand& band) {
    int live = 0;
    for (const auto& [key, entry] : band.groups.entries) live += entry.liveCount;
    return live;
}

// Per definition index, whether some live sample uses it.
std::vector<uint8_t> usedDefs(const EditDocument& doc, bool ofLayers) {
    std::vector<uint8_t> used((ofLayers ? doc.layers : doc.articulations).size(), 0);
    for (const auto& [uid, index] : doc.uidIndex) {
        const EditSample& record = doc.samples[static_cast<size_t>(index)];
        const auto value = static_cast<uint32_t>(ofLayers ? record.layerIndex : record.articulationIndex);
        if (value < used.size()) used[value] = 1;
    }
    return used;
}

void pruneDefs(EditDocument& doc, bool ofLayers, std::vector<ZemCmdPtr>& parts) {
    const std::vector<EditDef>& defs = ofLayers ? doc.layers : doc.articulations;
    // Deleting from the end leaves the indices below unchanged, so one count
    // serves the whole walk.
    const std::vector<uint8_t> used = usedDefs(doc, ofLayers);
    for (size_t i = defs.size(); i-- > 0;) {
        // The last definition stays even when empty: a document always has one.
        if (used[i] != 0 || defs.size() <= 1) continue;
        auto cmd = std::make_unique<DeleteDefCmd>();
        cmd->isLayer = ofLayers ? 1 : 0;
        cmd->index = static_cast<uint32_t>(i);
        cmd->saved = defs[i];
        cmd->savedPage = SavedPage{doc.pageLayer, doc.pageArticulation};
        for (size_t r = 0; r < doc.samples.size(); ++r) {
            const EditSample& record = doc.samples[r];
            if (doc.uidIndex.count(record.uid) == 0) continue;
            const auto value = static_cast<uint32_t>(ofLayers ? record.layerIndex : record.articulationIndex);
            if (value > i) cmd->affected.push_back(DefSampleRef{static_cast<uint32_t>(r), 0});
        }
        (void)cmd->apply(doc);
        parts.push_back(std::move(cmd));
    }
}

} // namespace

bool PruneEmptyGroupsCmd::apply(EditDocument& doc) {
    if (built != 0) {
        for (ZemCmdPtr& part : parts) (void)part->apply(doc);
        return true;
    }
    built = 1;
    // From the last band down, so the indices still to be visited stay valid.
    for (size_t w = doc.bands.size(); w-- > 0;) {
        const EditBand& band = doc.bands[w];
        // The last band stays even when empty: a document always has one.
        if (bandLive(band) != 0 || doc.bands.size() <= 1) continue;
        auto cmd = makeDeleteBandCmd();
        cmd->index = static_cast<int32_t>(w);
        cmd->bandId = band.id;
        cmd->targetBandId = 0;
        cmd->bandName = band.name;
        cmd->levelPosition = band.levelPosition;
        cmd->sourceEntry = band.sourceEntry;
        cmd->generatedName = band.generatedName;
        cmd->fromSplits = doc.velocitySplits;
        cmd->fromPositions = doc.levelPositions;
        // A neighbour takes over the empty band's range and every other
        // split stays where the user set it; saving fits the file's edges
        // the same way, so the saved file plays as the pruned grid shows.
        BandLayout layout = layoutWithoutBand(doc.velocitySplits, w);
        cmd->toSplits = std::move(layout.splits);
        cmd->toPositions = std::move(layout.positions);
        (void)cmd->apply(doc);
        parts.push_back(std::move(cmd));
    }
    pruneDefs(doc, true, parts);
    pruneDefs(doc, false, parts);
    return !parts.empty();
}

bool PruneEmptyGroupsCmd::revert(EditDocument& doc) {
    for (size_t i = parts.size(); i-- > 0;) (void)parts[i]->revert(doc);
    return true;
}

uint64_t PruneEmptyGroupsCmd::cost() const {
    uint64_t total = 40;
    for (const ZemCmdPtr& part : parts) total += part->cost();
    return total;
}

bool EditDocument::findEmptyGroups() const {
    // What pruning would remove: never the last band, layer or articulation.
    if (bands.size() > 1) {
        for (const EditBand& band : bands) {
            if (bandLive(band) == 0) return true;
        }
    }
    if (layers.size() > 1) {
        for (uint8_t used : usedDefs(*this, true)) {
            if (used == 0) return true;
        }
    }
    if (articulations.size() > 1) {
        for (uint8_t used : usedDefs(*this, false)) {
            if (used == 0) return true;
        }
    }
    return false;
}

bool EditDocument::pruneEmptyGroups() {
    if (!findEmptyGroups()) return false;
    return execute(std::make_unique<PruneEmptyGroupsCmd>());
}

bool EditDocument::applyAutoSort(bool oneGroupOnly) {
    rebuildIndexes();
    std::vector<SampleMove> moves;
    bool rootFixed = false;
    uint64_t root = 0;
    for (const EditSample& record : samples) {
        if (uidIndex.count(record.uid) == 0) continue;
        const auto placed = autoPlacement.find(record.uid);
        if (placed == autoPlacement.end() || placed->second.changed == 0) continue;
        if (oneGroupOnly) {
            const auto link = linkRoots.find(record.uid);
            const uint64_t mine = link != linkRoots.end() ? link->second : record.uid;
            if (!rootFixed) {
                root = mine;
                rootFixed = true;
            } else if (mine != root) {
                continue;
            }
        }
        // A placement outside the bands is skipped, never read past.
        const int64_t band = placed->second.band;
        if (band < 0 || static_cast<uint64_t>(band) >= bandOrder.size()) continue;
        const int32_t target = bandOrder[static_cast<size_t>(band)];
        if (target == record.bandId) continue;
        moves.push_back(SampleMove{record.uid, record.bandId, record.positionKey, target, nextPositionKey++, 0, 0, 0});
    }
    if (moves.empty()) return false;
    return execute(std::make_unique<MoveSamplesCmd>(std::move(moves)));
}

} // namespace vt6::ui::zemedit::logic
