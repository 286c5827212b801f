#include "editor/logic/band_commands.hpp"

#include <algorithm>

#include "editor/logic/band_layout.hpp"

namespace vt6::ui::zemedit::logic {

namespace {

int32_t positionInOrder(const EditDocument& doc, int32_t bandId) {
    const auto found = std::find(doc.bandOrder.begin(), doc.bandOrder.end(), bandId);
    return found == doc.bandOrder.end() ? -1 : static_cast<int32_t>(found - doc.bandOrder.begin());
}

// Bands or definitions were added or removed: columns, placement and the
// hit analysis all start over.
void raiseLayoutCounters(EditDocument& doc) {
    ++doc.layoutRevision;
    ++doc.changeCounter;
    ++doc.generation;
    ++doc.structureRevision;
}

void insertBand(EditDocument& doc, size_t index, EditBand band) {
    index = std::min(index, doc.bands.size());
    doc.bandOrder.insert(doc.bandOrder.begin() + static_cast<std::ptrdiff_t>(index), band.id);
    doc.bands.insert(doc.bands.begin() + static_cast<std::ptrdiff_t>(index), std::move(band));
}

void eraseBand(EditDocument& doc, size_t index) {
    doc.bandOrder.erase(doc.bandOrder.begin() + static_cast<std::ptrdiff_t>(index));
    doc.bands.erase(doc.bands.begin() + static_cast<std::ptrdiff_t>(index));
}

// The positions of a new split list. The splits stay as proposed, also
// where no positions reproduce them by the midpoint rule: a split the user
// did not touch never moves.
void fillLayout(const std::vector<int32_t>& splits, std::vector<double>& positions) {
    positions = layoutKeepingSplits(splits).positions;
}

} // namespace

bool SetBoundsCmd::apply(EditDocument& doc) {
    doc.setBandLayout(toSplits, toPositions);
    ++doc.changeCounter;
    return true;
}

bool SetBoundsCmd::revert(EditDocument& doc) {
    doc.setBandLayout(fromSplits, fromPositions);
    ++doc.changeCounter;
    return true;
}

bool RenameBandCmd::write(EditDocument& doc, const std::string& value, uint8_t generated) const {
    EditBand* band = doc.bandById(bandId);
    if (band == nullptr) return false;
    band->name = value;
    band->generatedName = generated;
    doc.touchBand(bandId);
    ++doc.changeCounter;
    doc.bandsEdited = 1;
    return true;
}

bool SetDrumTypeCmd::apply(EditDocument& doc) {
    doc.drumType = toType;
    ++doc.changeCounter;
    return true;
}

bool SetDrumTypeCmd::revert(EditDocument& doc) {
    doc.drumType = fromType;
    ++doc.changeCounter;
    return true;
}

bool AddBandCmd::apply(EditDocument& doc) {
    EditBand band;
    band.id = bandId;
    band.name = bandName;
    band.levelPosition = 0.0;
    insertBand(doc, static_cast<size_t>(std::max(index, 0)), std::move(band));
    doc.setBandLayout(toSplits, toPositions);
    raiseLayoutCounters(doc);
    return true;
}

bool AddBandCmd::revert(EditDocument& doc) {
    const int32_t at = positionInOrder(doc, bandId);
    if (at < 0) return false;
    eraseBand(doc, static_cast<size_t>(at));
    doc.setBandLayout(fromSplits, fromPositions);
    raiseLayoutCounters(doc);
    return true;
}

bool DeleteBandCmd::apply(EditDocument& doc) {
    (void)embeddedMove.apply(doc);
    const int32_t at = positionInOrder(doc, bandId);
    if (at < 0) return false;
    eraseBand(doc, static_cast<size_t>(at));
    doc.setBandLayout(toSplits, toPositions);
    raiseLayoutCounters(doc);
    return true;
}

bool DeleteBandCmd::revert(EditDocument& doc) {
    EditBand band;
    band.id = bandId;
    band.name = bandName;
    band.levelPosition = levelPosition;
    band.sourceEntry = sourceEntry;
    band.generatedName = generatedName;
    insertBand(doc, static_cast<size_t>(std::max(index, 0)), std::move(band));
    (void)embeddedMove.revert(doc);
    doc.setBandLayout(fromSplits, fromPositions);
    raiseLayoutCounters(doc);
    return true;
}

std::unique_ptr<AddBandCmd> makeAddBandCmd() { return std::make_unique<AddBandCmd>(); }

std::unique_ptr<DeleteBandCmd> makeDeleteBandCmd() { return std::make_unique<DeleteBandCmd>(); }

// --- Edit operations -----------------------------------------------------------

namespace {

bool validSplitsFor(const std::vector<int32_t>& splits, size_t bandCount) {
    if (bandCount == 0 ? !splits.empty() : splits.size() != bandCount - 1) return false;
    for (size_t i = 0; i < splits.size(); ++i) {
        if (splits[i] < 1 || splits[i] > 126) return false;
        if (i > 0 && splits[i] <= splits[i - 1]) return false;
    }
    return true;
}

} // namespace

bool EditDocument::commitBounds() {
    if (dragBoundary < 0) return false;
    std::vector<int32_t> splits = dragSplits;
    dragBoundary = -1;
    // Splits that do not fit the bands would index past the positions later.
    if (!validSplitsFor(splits, bands.size())) return false;
    if (splits == velocitySplits) return false;
    auto cmd = std::make_unique<SetBoundsCmd>();
    cmd->fromSplits = velocitySplits;
    cmd->fromPositions = levelPositions;
    cmd->toSplits = std::move(splits);
    fillLayout(cmd->toSplits, cmd->toPositions);
    return execute(std::move(cmd));
}

bool EditDocument::renameBand(int32_t bandIndex, const std::string& newName) {
    if (bandIndex < 0 || static_cast<size_t>(bandIndex) >= bands.size()) return false;
    const size_t first = newName.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const size_t last = newName.find_last_not_of(" \t");
    std::string cleaned = newName.substr(first, last - first + 1);
    if (cleaned[0] >= 'a' && cleaned[0] <= 'z') cleaned[0] = static_cast<char>(cleaned[0] - 'a' + 'A');
    const EditBand& band = bands[static_cast<size_t>(bandIndex)];
    if (cleaned == band.name) return false;
    auto cmd = std::make_unique<RenameBandCmd>();
    cmd->bandId = band.id;
    cmd->fromName = band.name;
    cmd->fromGenerated = band.generatedName;
    cmd->toName = std::move(cleaned);
    return execute(std::move(cmd));
}

bool EditDocument::setDrumType(uint8_t code) {
    if (code == drumType) return false;
    auto cmd = std::make_unique<SetDrumTypeCmd>();
    cmd->fromType = drumType;
    cmd->toType = code;
    return execute(std::move(cmd));
}

bool EditDocument::addBand() {
    if (bands.empty()) {
        auto cmd = makeAddBandCmd();
        cmd->index = 0;
        cmd->bandId = nextBandId++;
        cmd->toPositions = {0.5};
        return execute(std::move(cmd));
    }
    const auto [g, width] = widestBand(velocitySplits);
    if (width < 12) return false;
    const size_t gi = static_cast<size_t>(g);
    const int32_t lo = gi == 0 ? 0 : velocitySplits[gi - 1];
    const int32_t hi = gi < velocitySplits.size() ? velocitySplits[gi] : 127;
    // (lo + hi) / 2 rounded half away from zero; both are non-negative.
    const int32_t split = (lo + hi + 1) / 2;
    if (split < 0) return false;
    auto cmd = makeAddBandCmd();
    cmd->index = g + 1;
    cmd->bandId = nextBandId++;
    cmd->fromSplits = velocitySplits;
    cmd->fromPositions = levelPositions;
    cmd->toSplits = velocitySplits;
    cmd->toSplits.insert(cmd->toSplits.begin() + static_cast<std::ptrdiff_t>(gi), split);
    fillLayout(cmd->toSplits, cmd->toPositions);
    return execute(std::move(cmd));
}

bool EditDocument::deleteBand(int32_t bandIndex) {
    if (bands.size() < 2 || bandIndex < 0 || static_cast<size_t>(bandIndex) >= bands.size()) return false;
    const size_t a = static_cast<size_t>(bandIndex);
    const size_t receiver = a == 0 ? 1 : a - 1;
    const EditBand& band = bands[a];
    auto cmd = makeDeleteBandCmd();
    cmd->index = bandIndex;
    cmd->bandId = band.id;
    cmd->targetBandId = bandOrder[receiver];
    cmd->bandName = band.name;
    cmd->levelPosition = band.levelPosition;
    cmd->sourceEntry = band.sourceEntry;
    cmd->generatedName = band.generatedName;

    std::vector<int32_t> indices;
    band.groups.collect(PageFilter{}, 0, band.groups.totalLive(), indices);
    cmd->embeddedMove.moves.reserve(indices.size());
    for (int32_t index : indices) {
        const EditSample& record = samples[static_cast<size_t>(index)];
        cmd->embeddedMove.moves.push_back(
            SampleMove{record.uid, band.id, record.positionKey, cmd->targetBandId, nextPositionKey++, 0, 0, 0});
    }

    cmd->fromSplits = velocitySplits;
    cmd->toSplits = velocitySplits;
    const size_t dropped = a == 0 ? 0 : a - 1;
    if (dropped < cmd->toSplits.size()) cmd->toSplits.erase(cmd->toSplits.begin() + static_cast<std::ptrdiff_t>(dropped));
    cmd->fromPositions = levelPositions;
    fillLayout(cmd->toSplits, cmd->toPositions);
    return execute(std::move(cmd));
}

} // namespace vt6::ui::zemedit::logic
