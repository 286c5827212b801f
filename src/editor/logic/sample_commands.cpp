#include "editor/logic/sample_commands.hpp"

#include <algorithm>
#include <memory>
#include <numeric>

namespace vt6::ui::zemedit::logic {

bool MoveSamplesCmd::apply(EditDocument& doc) {
    for (const SampleMove& move : moves) {
        EditSample* record = doc.liveRecord(move.uid);
        if (record == nullptr) continue;
        doc.unplaceSample(*record);
        doc.placeSample(*record, move.toBandId, move.toPositionKey);
        if (move.setsSortLock != 0) record->sortLock = move.toSortLock;
    }
    doc.touchAllBands();
    ++doc.changeCounter;
    return true;
}

bool MoveSamplesCmd::revert(EditDocument& doc) {
    // Back in ascending old position, so each group appends instead of
    // inserting in the middle wherever a tombstone is not revived.
    std::vector<size_t> order(moves.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return moves[a].fromPositionKey < moves[b].fromPositionKey; });
    for (size_t i : order) {
        const SampleMove& move = moves[i];
        EditSample* record = doc.liveRecord(move.uid);
        if (record == nullptr) continue;
        doc.unplaceSample(*record);
        doc.placeSample(*record, move.fromBandId, move.fromPositionKey);
        if (move.setsSortLock != 0) record->sortLock = move.fromSortLock;
    }
    doc.touchAllBands();
    ++doc.changeCounter;
    return true;
}

bool AssignFieldCmd::assign(EditDocument& doc, int64_t value, uint64_t positionKey) const {
    EditSample* record = doc.liveRecord(uid);
    if (record == nullptr || (field != 'l' && field != 'a')) return false;
    doc.unplaceSample(*record);
    (field == 'l' ? record->layerIndex : record->articulationIndex) = static_cast<int32_t>(value);
    doc.placeSample(*record, record->bandId, positionKey);
    doc.touchBand(record->bandId);
    doc.touchUid(uid);
    ++doc.changeCounter;
    return true;
}

bool SetFlagCmd::write(EditDocument& doc, uint8_t value) const {
    EditSample* record = doc.liveRecord(uid);
    if (record == nullptr) return false;
    (isMute != 0 ? record->muted : record->soloed) = value;
    doc.touchUid(uid);
    ++doc.changeCounter;
    return true;
}

bool SetSortLockCmd::write(EditDocument& doc, uint8_t value) const {
    EditSample* record = doc.liveRecord(uid);
    if (record == nullptr) return false;
    record->sortLock = value;
    ++doc.structureRevision;
    doc.touchUid(uid);
    ++doc.changeCounter;
    return true;
}

bool AddSampleCmd::apply(EditDocument& doc) {
    if (slot == -1) {
        slot = static_cast<int32_t>(doc.samples.size());
        record.recordIndex = slot;
        doc.samples.push_back(record);
    }
    doc.uidIndex[record.uid] = slot;
    EditSample& target = doc.samples[static_cast<size_t>(slot)];
    target = record;
    doc.placeSample(target, record.bandId, record.positionKey);
    ++doc.liveSampleCount;
    doc.nextUid = std::max(doc.nextUid, record.uid + 1);
    doc.touchBand(record.bandId);
    ++doc.generation;
    ++doc.changeCounter;
    return true;
}

bool AddSampleCmd::revert(EditDocument& doc) {
    EditSample* live = doc.liveRecord(record.uid);
    if (live == nullptr) return false;
    // A measurement taken meanwhile survives undo and redo.
    record.hitLevel = live->hitLevel;
    record.anchored = live->anchored;
    doc.unplaceSample(*live);
    doc.uidIndex.erase(record.uid);
    doc.selection.erase(record.uid);
    if (doc.anchorUid == record.uid) doc.anchorUid = 0;
    --doc.liveSampleCount;
    doc.touchBand(record.bandId);
    ++doc.generation;
    ++doc.changeCounter;
    return true;
}

bool RemoveSamplesCmd::apply(EditDocument& doc) {
    doc.samplesRemoved = 1;
    removed_.assign(removals.size(), 0);
    for (size_t i = 0; i < removals.size(); ++i) {
        const SampleRemoval& removal = removals[i];
        EditSample* record = doc.liveRecord(removal.uid);
        if (record == nullptr) continue;
        doc.unplaceSample(*record);
        doc.uidIndex.erase(removal.uid);
        doc.selection.erase(removal.uid);
        if (doc.anchorUid == removal.uid) doc.anchorUid = 0;
        --doc.liveSampleCount;
        doc.touchBand(removal.bandId);
        removed_[i] = 1;
    }
    ++doc.generation;
    ++doc.changeCounter;
    return true;
}

bool RemoveSamplesCmd::revert(EditDocument& doc) {
    for (size_t i = 0; i < removals.size(); ++i) {
        const SampleRemoval& removal = removals[i];
        if (i < removed_.size() && removed_[i] == 0) continue;
        if (doc.uidIndex.count(removal.uid) != 0) continue;
        const auto found = std::find_if(doc.samples.begin(), doc.samples.end(),
                                        [&](const EditSample& s) { return s.uid == removal.uid; });
        if (found == doc.samples.end()) continue;
        const auto index = static_cast<int32_t>(found - doc.samples.begin());
        doc.uidIndex[removal.uid] = index;
        doc.placeSample(*found, removal.bandId, removal.positionKey);
        ++doc.liveSampleCount;
        doc.touchBand(removal.bandId);
    }
    ++doc.generation;
    ++doc.changeCounter;
    return true;
}

namespace {

bool writeAudioState(EditDocument& doc, uint64_t uid, const SampleAudioState& state) {
    EditSample* record = doc.liveRecord(uid);
    if (record == nullptr) return false;
    record->sampleRate = state.sampleRate;
    record->bits = state.bits;
    record->channels = state.channels;
    record->frames = state.frames;
    record->key13Value = state.key13Value;
    record->audioRevision = state.audioRevision;
    if (state.regionStart != record->regionStart || state.regionEnd != record->regionEnd) record->regionEdited = 1;
    record->regionStart = state.regionStart;
    record->regionEnd = state.regionEnd;
    record->plainHash = state.plainHash;
    record->plainHashPresent = state.plainHashPresent;
    record->hitLevel = state.hitLevel;
    doc.updateUnmeasured(*record);
    ++doc.generation;
    ++doc.structureRevision;
    doc.touchBand(record->bandId);
    doc.touchUid(uid);
    ++doc.changeCounter;
    return true;
}

} // namespace

bool ReplaceAudioCmd::apply(EditDocument& doc) {
    if (const EditSample* record = doc.liveRecord(uid)) before.hitLevel = record->hitLevel;
    return writeAudioState(doc, uid, after);
}

bool ReplaceAudioCmd::revert(EditDocument& doc) {
    if (const EditSample* record = doc.liveRecord(uid)) after.hitLevel = record->hitLevel;
    return writeAudioState(doc, uid, before);
}

// --- Edit operations ---------------------------------------------------------

bool EditDocument::moveSamples(std::span<const uint64_t> uids, int32_t bandIndex) {
    if (bandIndex < 0 || static_cast<size_t>(bandIndex) >= bands.size()) return false;
    const int32_t target = bandOrder[static_cast<size_t>(bandIndex)];
    std::vector<SampleMove> moves;
    for (uint64_t uid : uids) {
        const EditSample* record = sampleByUid(uid);
        if (record == nullptr || record->bandId == target) continue;
        moves.push_back(SampleMove{uid, record->bandId, record->positionKey, target, nextPositionKey++,
                                   record->sortLock, 1, 1});
    }
    if (moves.empty()) return false;
    return execute(std::make_unique<MoveSamplesCmd>(std::move(moves)));
}

bool EditDocument::setMuted(uint64_t uid, bool value) {
    const EditSample* record = sampleByUid(uid);
    const auto v = static_cast<uint8_t>(value ? 1 : 0);
    if (record == nullptr || record->muted == v) return false;
    return execute(std::make_unique<SetFlagCmd>(uid, uint8_t{1}, record->muted, v));
}

bool EditDocument::setSoloed(uint64_t uid, bool value) {
    const EditSample* record = sampleByUid(uid);
    const auto v = static_cast<uint8_t>(value ? 1 : 0);
    if (record == nullptr || record->soloed == v) return false;
    return execute(std::make_unique<SetFlagCmd>(uid, uint8_t{0}, record->soloed, v));
}

bool EditDocument::addSample(const AddSampleRequest& request) {
    if (request.bandIndex < 0 || static_cast<size_t>(request.bandIndex) >= bands.size()) return false;
    if (uidsExhausted()) return false;
    EditSample record;
    record.uid = nextUid++;
    record.positionKey = nextPositionKey++;
    record.name = request.name;
    record.layerIndex = request.layerIndex;
    record.articulationIndex = request.articulationIndex;
    record.bandId = bandOrder[static_cast<size_t>(request.bandIndex)];
    record.key13Value = request.key13Value;
    record.sampleRate = request.sampleRate;
    record.bits = request.bits;
    record.channels = request.channels;
    record.frames = request.frames;
    record.regionStart = 0;
    record.regionEnd = request.frames;
    record.hitLevel = request.hitLevel;
    record.sortLock = request.sortLock;
    record.anchored = request.anchored;
    record.plainHash = request.plainHash;
    record.plainHashPresent = request.plainHashPresent;
    record.roomLinks = request.roomLinks;
    return execute(std::make_unique<AddSampleCmd>(std::move(record), request.payload.size()));
}

bool EditDocument::replaceAudio(uint64_t uid, const SampleAudioState& state) {
    const EditSample* record = sampleByUid(uid);
    if (record == nullptr || state.frames == 0) return false;
    SampleAudioState after = state;
    if (after.regionEnd == 0) after.regionEnd = after.frames;
    if (!(after.regionStart < after.regionEnd && after.regionEnd <= after.frames)) return false;
    SampleAudioState before{record->sampleRate, record->bits,        record->channels,   record->frames,
                            record->key13Value, record->audioRevision, record->regionStart, record->regionEnd,
                            record->plainHash,  record->plainHashPresent, record->hitLevel};
    return execute(std::make_unique<ReplaceAudioCmd>(uid, std::move(before), std::move(after)));
}

bool EditDocument::setSampleAudio(uint64_t uid, uint64_t regionStart, uint64_t regionEnd) {
    const EditSample* record = sampleByUid(uid);
    if (record == nullptr || (regionStart == record->regionStart && regionEnd == record->regionEnd)) return false;
    const SampleAudioState state{record->sampleRate, record->bits,        record->channels, record->frames,
                                 record->key13Value, record->audioRevision, regionStart,      regionEnd,
                                 record->plainHash,  record->plainHashPresent, HitLevel::unmeasured()};
    return replaceAudio(uid, state);
}

bool moveRoomSamplesToDirects(EditDocument& doc, std::span<const RoomGroupMove> moves) {
    std::vector<SampleMove> made;
    for (const RoomGroupMove& move : moves) {
        const EditSample* room = doc.sampleByUid(move.room);
        const EditSample* direct = doc.sampleByUid(move.direct);
        if (room == nullptr || direct == nullptr || room->bandId == direct->bandId) continue;
        made.push_back(SampleMove{room->uid, room->bandId, room->positionKey, direct->bandId, doc.nextPositionKey++,
                                  room->sortLock, room->sortLock, 0});
    }
    if (made.empty()) return false;
    return doc.execute(std::make_unique<MoveSamplesCmd>(std::move(made)));
}

} // namespace vt6::ui::zemedit::logic
