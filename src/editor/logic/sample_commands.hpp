#pragma once
// Undo commands that change samples. Each holds its before and after values;
// apply and revert are exact inverses on the document's content, while every
// counter only grows.

#include <cstdint>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "editor/logic/history.hpp"
#include "editor/logic/room_linking.hpp"

namespace vt6::ui::zemedit::logic {

struct SampleMove {
    uint64_t uid = 0;
    int32_t fromBandId = 0;
    uint64_t fromPositionKey = 0;
    int32_t toBandId = 0;
    uint64_t toPositionKey = 0;  // always a fresh key
    uint8_t fromSortLock = 0;
    uint8_t toSortLock = 0;
    uint8_t setsSortLock = 0;
};

struct MoveSamplesCmd final : ZemCmd {
    std::vector<SampleMove> moves;

    explicit MoveSamplesCmd(std::vector<SampleMove> m) : moves(std::move(m)) {}
    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 32 + 48 * static_cast<uint64_t>(moves.size()); }
    const char* name() const override { return "Move samples"; }
};

struct AssignFieldCmd final : ZemCmd {
    uint64_t uid = 0;
    char field = 'l';  // 'l' layer, 'a' articulation
    int64_t fromValue = 0;
    int64_t toValue = 0;
    uint64_t fromPositionKey = 0;
    uint64_t toPositionKey = 0;

    AssignFieldCmd(uint64_t u, char f, int64_t from, int64_t to, uint64_t fromKey, uint64_t toKey)
        : uid(u), field(f), fromValue(from), toValue(to), fromPositionKey(fromKey), toPositionKey(toKey) {}
    bool apply(EditDocument& doc) override { return assign(doc, toValue, toPositionKey); }
    bool revert(EditDocument& doc) override { return assign(doc, fromValue, fromPositionKey); }
    uint64_t cost() const override { return 56; }
    const char* name() const override { return "Reassign sample"; }

private:
    bool assign(EditDocument& doc, int64_t value, uint64_t positionKey) const;
};

struct SetFlagCmd final : ZemCmd {
    uint64_t uid = 0;
    uint8_t isMute = 1;  // 1 muted, 0 soloed
    uint8_t fromValue = 0;
    uint8_t toValue = 0;

    SetFlagCmd(uint64_t u, uint8_t mute, uint8_t from, uint8_t to) : uid(u), isMute(mute), fromValue(from), toValue(to) {}
    bool apply(EditDocument& doc) override { return write(doc, toValue); }
    bool revert(EditDocument& doc) override { return write(doc, fromValue); }
    uint64_t cost() const override { return 24; }
    const char* name() const override { return isMute != 0 ? "Mute sample" : "Solo sample"; }

private:
    bool write(EditDocument& doc, uint8_t value) const;
};

struct SetSortLockCmd final : ZemCmd {
    uint64_t uid = 0;
    uint8_t fromValue = 0;
    uint8_t toValue = 0;

    SetSortLockCmd(uint64_t u, uint8_t from, uint8_t to) : uid(u), fromValue(from), toValue(to) {}
    bool apply(EditDocument& doc) override { return write(doc, toValue); }
    bool revert(EditDocument& doc) override { return write(doc, fromValue); }
    uint64_t cost() const override { return 24; }
    const char* name() const override {
        return toValue != 0 ? "Preserve dynamic assignment" : "Allow automatic sorting";
    }

private:
    bool write(EditDocument& doc, uint8_t value) const;
};

struct AddSampleCmd final : ZemCmd {
    EditSample record;
    // Only the payload's size counts towards the history's cost; holding
    // the bytes as well would keep a second copy of every added sample.
    uint64_t payloadBytes = 0;
    int32_t slot = -1;  // record index once applied

    AddSampleCmd(EditSample r, uint64_t bytes) : record(std::move(r)), payloadBytes(bytes) {}
    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 304 + record.name.size() + payloadBytes; }
    const char* name() const override { return "Add sample"; }
};

struct SampleRemoval {
    uint64_t uid = 0;
    int32_t bandId = 0;
    uint64_t positionKey = 0;
};

struct RemoveSamplesCmd final : ZemCmd {
    std::vector<SampleRemoval> removals;

    explicit RemoveSamplesCmd(std::vector<SampleRemoval> r) : removals(std::move(r)) {}
    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 32 + 24 * static_cast<uint64_t>(removals.size()); }
    const char* name() const override { return "Delete sample"; }

private:
    // Which removals the last apply carried out: revert restores only those,
    // so a uid that was already gone is not brought back.
    std::vector<uint8_t> removed_;
};

struct ReplaceAudioCmd final : ZemCmd {
    uint64_t uid = 0;
    SampleAudioState before;
    SampleAudioState after;

    ReplaceAudioCmd(uint64_t u, SampleAudioState b, SampleAudioState a) : uid(u), before(std::move(b)), after(std::move(a)) {}
    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 288; }
    const char* name() const override { return "Edit sample audio"; }
};

// Puts each room sample into the current group of its direct sample, as a
// save's linking did in the file, in one "Move samples" step that leaves the
// sort locks as they are. Moves of samples that are gone or already there
// are skipped; false when nothing moved.
bool moveRoomSamplesToDirects(EditDocument& doc, std::span<const RoomGroupMove> moves);

} // namespace vt6::ui::zemedit::logic
