#include "editor/logic/sample_commands.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "editor/logic/doc_fixture.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::expectConsistent;
using test::measuredLevel;
using test::shape;
using test::snapshot;

// Two layers (the second a room), two articulations, three bands; samples
// 1..6 spread over them, sample 4 unmeasured, sample 5 sort-locked.
struct Fixture {
    EditDocument doc;
    Fixture() {
        shape(doc, {false, true}, 2, 3);
        addLoaded(doc, 0, 0, 0, measuredLevel(-40));
        addLoaded(doc, 0, 1, 0, measuredLevel(-35));
        addLoaded(doc, 1, 0, 1, measuredLevel(-30));
        addLoaded(doc, 0, 0, 1, HitLevel{});
        addLoaded(doc, 1, 1, 2, measuredLevel(-20));
        addLoaded(doc, 0, 0, 2, measuredLevel(-10));
        doc.samples[4].sortLock = 1;
        doc.selection = {2, 3};
        doc.anchorUid = 3;
    }
    ZemCmd& last() { return *doc.history.undoEntries.back().command; }
};

AddSampleRequest request(int32_t bandIndex) {
    AddSampleRequest r;
    r.name = "kick";
    r.layerIndex = 1;
    r.articulationIndex = 1;
    r.bandIndex = bandIndex;
    r.frames = 4800;
    r.sampleRate = 48000;
    r.payload.assign(1000, 7);
    r.hitLevel = measuredLevel(-12);
    r.roomLinks = {5, 0, 0};
    return r;
}

// What one apply or one revert raises: `generation` (which restarts the hit
// analysis) and the view counter of each band, by band position.
struct Raises {
    uint64_t generation;
    std::array<uint64_t, 3> bandViews;
};

struct EditCase {
    const char* name;
    std::function<bool(EditDocument&)> edit;
    const char* undoText;
    uint64_t cost;
    Raises apply;
    Raises revert;
};

struct Counters {
    uint64_t generation = 0;
    std::array<uint64_t, 3> bandViews{};
};

Counters counters(const EditDocument& doc) {
    Counters c;
    c.generation = doc.generation;
    for (size_t i = 0; i < c.bandViews.size() && i < doc.bandOrder.size(); ++i) {
        const auto found = doc.bandViewCounters.find(doc.bandOrder[i]);
        c.bandViews[i] = found == doc.bandViewCounters.end() ? 0 : found->second;
    }
    return c;
}

void expectRaised(const Counters& before, const Counters& after, const Raises& want, const char* step) {
    EXPECT_EQ(after.generation - before.generation, want.generation) << step << ": generation";
    for (size_t i = 0; i < want.bandViews.size(); ++i) {
        EXPECT_EQ(after.bandViews[i] - before.bandViews[i], want.bandViews[i]) << step << ": band " << i << " view";
    }
}

// Samples 1..6 sit in bands 0, 0, 1, 1, 2, 2.
constexpr Raises kNothing{0, {0, 0, 0}};
constexpr Raises kAllBands{0, {1, 1, 1}};

const std::vector<EditCase>& editCases() {
    static const std::vector<EditCase> cases{
        {"move", [](EditDocument& d) { const std::vector<uint64_t> u{1, 3, 6}; return d.moveSamples(u, 2); },
         "Move samples", 32 + 48 * 2, kAllBands, kAllBands},
        {"layer", [](EditDocument& d) { return d.execute(std::make_unique<AssignFieldCmd>(3, 'l', 1, 0, 3, d.nextPositionKey++)); },
         "Reassign sample", 56, {0, {0, 1, 0}}, {0, {0, 1, 0}}},
        {"articulation",
         [](EditDocument& d) { return d.execute(std::make_unique<AssignFieldCmd>(1, 'a', 0, 1, 1, d.nextPositionKey++)); },
         "Reassign sample", 56, {0, {1, 0, 0}}, {0, {1, 0, 0}}},
        {"mute", [](EditDocument& d) { return d.setMuted(2, true); }, "Mute sample", 24, kNothing, kNothing},
        {"solo", [](EditDocument& d) { return d.setSoloed(2, true); }, "Solo sample", 24, kNothing, kNothing},
        {"lock", [](EditDocument& d) { return d.execute(std::make_unique<SetSortLockCmd>(2, 0, 1)); },
         "Preserve dynamic assignment", 24, kNothing, kNothing},
        {"unlock", [](EditDocument& d) { return d.execute(std::make_unique<SetSortLockCmd>(5, 1, 0)); },
         "Allow automatic sorting", 24, kNothing, kNothing},
        {"add", [](EditDocument& d) { return d.addSample(request(1)); }, "Add sample", 304 + 4 + 1000, {1, {0, 1, 0}}, {1, {0, 1, 0}}},
        {"remove",
         [](EditDocument& d) {
             std::vector<SampleRemoval> r{{3, d.sampleByUid(3)->bandId, d.sampleByUid(3)->positionKey},
                                          {5, d.sampleByUid(5)->bandId, d.sampleByUid(5)->positionKey}};
             return d.execute(std::make_unique<RemoveSamplesCmd>(std::move(r)));
         },
         "Delete sample", 32 + 24 * 2, {1, {0, 1, 1}}, {1, {0, 1, 1}}},
        {"replace audio",
         [](EditDocument& d) {
             SampleAudioState s;
             s.sampleRate = 96000;
             s.bits = 24;
             s.channels = 2;
             s.frames = 9600;
             s.key13Value = 0.5;
             s.audioRevision = 3;
             s.regionStart = 100;
             s.plainHash[0] = 1;
             s.plainHashPresent = 1;
             s.hitLevel = measuredLevel(-6);
             return d.replaceAudio(4, s);
         },
         "Edit sample audio", 288, {1, {0, 1, 0}}, {1, {0, 1, 0}}},
        {"region", [](EditDocument& d) { return d.setSampleAudio(6, 10, 500); }, "Edit sample audio", 288,
         {1, {0, 0, 1}}, {1, {0, 0, 1}}},
    };
    return cases;
}

TEST(SampleCommands, ApplyUndoAndRedoRestoreTheWholeDocument) {
    for (const EditCase& c : editCases()) {
        SCOPED_TRACE(c.name);
        Fixture f;
        const test::Snapshot before = snapshot(f.doc);
        Counters last = counters(f.doc);
        ASSERT_TRUE(c.edit(f.doc));
        expectRaised(last, counters(f.doc), c.apply, "edit");
        const test::Snapshot after = snapshot(f.doc);
        EXPECT_FALSE(before == after);
        expectConsistent(f.doc);
        ZemCmd& cmd = f.last();
        EXPECT_STREQ(cmd.name(), c.undoText);
        EXPECT_EQ(cmd.cost(), c.cost);
        for (int round = 0; round < 2; ++round) {
            uint64_t changes = f.doc.changeCounter;
            last = counters(f.doc);
            ASSERT_TRUE(cmd.revert(f.doc));
            expectRaised(last, counters(f.doc), c.revert, "revert");
            EXPECT_TRUE(snapshot(f.doc) == before);
            EXPECT_GT(f.doc.changeCounter, changes);
            expectConsistent(f.doc);
            changes = f.doc.changeCounter;
            last = counters(f.doc);
            ASSERT_TRUE(cmd.apply(f.doc));
            expectRaised(last, counters(f.doc), c.apply, "apply");
            EXPECT_TRUE(snapshot(f.doc) == after);
            EXPECT_GT(f.doc.changeCounter, changes);
            expectConsistent(f.doc);
        }
        EXPECT_STREQ(cmd.name(), c.undoText);
    }
}

TEST(SampleCommands, RefusedEditsExecuteNothing) {
    const std::vector<std::pair<const char*, std::function<bool(EditDocument&)>>> refusals{
        {"move to a negative band", [](EditDocument& d) { const std::vector<uint64_t> u{1}; return d.moveSamples(u, -1); }},
        {"move past the last band", [](EditDocument& d) { const std::vector<uint64_t> u{1}; return d.moveSamples(u, 3); }},
        {"move within the band", [](EditDocument& d) { const std::vector<uint64_t> u{1, 2}; return d.moveSamples(u, 0); }},
        {"move dead uids", [](EditDocument& d) { const std::vector<uint64_t> u{0, 77}; return d.moveSamples(u, 1); }},
        {"mute unchanged", [](EditDocument& d) { return d.setMuted(1, false); }},
        {"solo dead", [](EditDocument& d) { return d.setSoloed(77, true); }},
        {"add past the last band", [](EditDocument& d) { return d.addSample(request(3)); }},
        {"add to a negative band", [](EditDocument& d) { return d.addSample(request(-1)); }},
        {"replace with no frames", [](EditDocument& d) { SampleAudioState s; return d.replaceAudio(1, s); }},
        {"replace with an empty region",
         [](EditDocument& d) { SampleAudioState s; s.frames = 10; s.regionStart = 5; s.regionEnd = 5; return d.replaceAudio(1, s); }},
        {"replace past the frames",
         [](EditDocument& d) { SampleAudioState s; s.frames = 10; s.regionEnd = 11; return d.replaceAudio(1, s); }},
        {"replace start at frames",
         [](EditDocument& d) { SampleAudioState s; s.frames = 10; s.regionStart = 10; return d.replaceAudio(1, s); }},
        {"replace dead", [](EditDocument& d) { SampleAudioState s; s.frames = 10; return d.replaceAudio(77, s); }},
        {"region unchanged", [](EditDocument& d) { return d.setSampleAudio(1, 0, 1000); }},
        {"region of a dead uid", [](EditDocument& d) { return d.setSampleAudio(77, 0, 10); }},
    };
    for (const auto& [what, edit] : refusals) {
        SCOPED_TRACE(what);
        Fixture f;
        const test::Snapshot before = snapshot(f.doc);
        const uint64_t changes = f.doc.changeCounter;
        EXPECT_FALSE(edit(f.doc));
        EXPECT_EQ(f.doc.changeCounter, changes);
        EXPECT_TRUE(f.doc.history.undoEntries.empty());
        EXPECT_TRUE(snapshot(f.doc) == before);
    }
}

// Adding near the end of the uid range gives the last uids once, then
// refuses: a wrapped counter would hand out 0 or a live sample's uid.
TEST(SampleCommands, AddNeverRepeatsAUidAndRefusesWhenNoneIsLeft) {
    constexpr uint64_t kMax = ~uint64_t{0};
    const std::vector<std::pair<uint64_t, size_t>> cases{{kMax - 3, 3}, {kMax - 1, 1}, {kMax, 0}, {0, 0}};
    for (const auto& [next, expectAdded] : cases) {
        SCOPED_TRACE(next);
        Fixture f;
        f.doc.nextUid = next;
        std::set<uint64_t> uids;
        for (const EditSample& s : f.doc.samples) uids.insert(s.uid);
        size_t added = 0;
        for (int i = 0; i < 4; ++i) {
            const uint64_t changes = f.doc.changeCounter;
            if (!f.doc.addSample(request(1))) {
                EXPECT_EQ(f.doc.changeCounter, changes);
                EXPECT_TRUE(f.doc.uidsExhausted());
                continue;
            }
            ++added;
            const uint64_t uid = f.doc.samples.back().uid;
            EXPECT_NE(uid, 0u);
            EXPECT_LT(uid, kMax);
            EXPECT_TRUE(uids.insert(uid).second) << "uid " << uid << " given twice";
        }
        EXPECT_EQ(added, expectAdded);
        expectConsistent(f.doc);
    }
}

TEST(SampleCommands, CommandsOnADeadUidFail) {
    Fixture f;
    EXPECT_FALSE(AssignFieldCmd(77, 'l', 0, 1, 1, 2).apply(f.doc));
    EXPECT_FALSE(AssignFieldCmd(1, 'x', 0, 1, 1, 2).apply(f.doc));
    EXPECT_FALSE(SetFlagCmd(77, 1, 0, 1).apply(f.doc));
    EXPECT_FALSE(SetSortLockCmd(77, 0, 1).revert(f.doc));
    EXPECT_FALSE(ReplaceAudioCmd(77, {}, {}).apply(f.doc));
    const uint64_t changes = f.doc.changeCounter;
    EXPECT_FALSE(f.doc.execute(std::make_unique<SetFlagCmd>(77, 1, 0, 1)));
    EXPECT_EQ(f.doc.changeCounter, changes + 1);
    EXPECT_TRUE(f.doc.history.undoEntries.empty());
}

TEST(SampleCommands, MovedSamplesGoToTheEndInListOrderAndBecomeLocked) {
    Fixture f;
    const uint64_t key = f.doc.nextPositionKey;
    const std::vector<uint64_t> uids{6, 1};
    ASSERT_TRUE(f.doc.moveSamples(uids, 1));
    EXPECT_EQ(f.doc.sampleByUid(6)->positionKey, key);
    EXPECT_EQ(f.doc.sampleByUid(1)->positionKey, key + 1);
    EXPECT_EQ(f.doc.sampleByUid(1)->sortLock, 1);
    f.doc.setPage(0, 0);
    std::vector<int32_t> shown;
    f.doc.bands[1].groups.collect(f.doc.pageFilter(), 0, 10, shown);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(f.doc.samples[static_cast<size_t>(shown[1])].uid, 6u);
    EXPECT_EQ(f.doc.samples[static_cast<size_t>(shown[2])].uid, 1u);
}

// A save's room moves: each room sample joins its direct's current group in
// one step that keeps every sort lock; gone samples and samples already
// there are skipped; undo puts everything back.
TEST(SampleCommands, RoomSamplesJoinTheirDirectsInOneStepThatKeepsLocks) {
    Fixture f;
    f.doc.liveRecord(2)->sortLock = 1;
    const test::Snapshot before = snapshot(f.doc);
    const size_t steps = f.doc.history.undoEntries.size();
    const int32_t directBand = f.doc.sampleByUid(6)->bandId;
    const std::vector<RoomGroupMove> moves{{2, 6}, {3, 6}, {1, 999}, {999, 6}};
    ASSERT_TRUE(moveRoomSamplesToDirects(f.doc, moves));
    EXPECT_EQ(f.doc.history.undoEntries.size(), steps + 1);
    EXPECT_EQ(f.doc.sampleByUid(2)->bandId, directBand);
    EXPECT_EQ(f.doc.sampleByUid(3)->bandId, directBand);
    EXPECT_EQ(f.doc.sampleByUid(2)->sortLock, 1);
    EXPECT_EQ(f.doc.sampleByUid(3)->sortLock, 0);
    expectConsistent(f.doc);
    // Already where their directs are: nothing to do.
    EXPECT_FALSE(moveRoomSamplesToDirects(f.doc, moves));
    EXPECT_EQ(f.doc.history.undoEntries.size(), steps + 1);
    ASSERT_TRUE(f.doc.history.undoEntries.back().command->revert(f.doc));
    EXPECT_TRUE(snapshot(f.doc) == before);
}

TEST(SampleCommands, MoveIntoAMissingBandAndBack) {
    Fixture f;
    const test::Snapshot before = snapshot(f.doc);
    MoveSamplesCmd cmd({SampleMove{1, f.doc.bandOrder[0], 1, 999, f.doc.nextPositionKey++, 0, 0, 0}});
    ASSERT_TRUE(cmd.apply(f.doc));
    EXPECT_EQ(f.doc.sampleByUid(1)->bandId, 999);
    EXPECT_EQ(f.doc.bands[0].groups.totalLive(), 1);
    ASSERT_TRUE(cmd.revert(f.doc));
    EXPECT_TRUE(snapshot(f.doc) == before);
}

TEST(SampleCommands, UndoneAddKeepsItsRecordAndRedoRestoresTheLevelMeasuredMeanwhile) {
    Fixture f;
    const uint64_t uid = f.doc.nextUid;
    const uint64_t key = f.doc.nextPositionKey;
    AddSampleRequest r = request(0);
    r.hitLevel = HitLevel{};
    ASSERT_TRUE(f.doc.addSample(r));
    EXPECT_EQ(f.doc.nextUid, uid + 1);
    EXPECT_EQ(f.doc.nextPositionKey, key + 1);
    EXPECT_EQ(f.doc.sampleByUid(uid)->anchored, 0);
    f.doc.setHitLevel(uid, measuredLevel(-7));
    f.doc.selectSample(uid, false, false);
    ZemCmd& cmd = f.last();
    ASSERT_TRUE(cmd.revert(f.doc));
    EXPECT_EQ(f.doc.samples.size(), 7u);
    EXPECT_EQ(f.doc.sampleByUid(uid), nullptr);
    EXPECT_TRUE(f.doc.selection.empty());
    EXPECT_EQ(f.doc.anchorUid, 0u);
    ASSERT_TRUE(cmd.apply(f.doc));
    EXPECT_EQ(f.doc.samples.size(), 7u);
    EXPECT_EQ(f.doc.uidIndex.at(uid), 6);
    EXPECT_EQ(f.doc.sampleLevels(uid), measuredLevel(-7));
}

TEST(SampleCommands, RemovingAUidThatIsAlreadyGoneNeverBringsItBack) {
    Fixture f;
    RemoveSamplesCmd first({SampleRemoval{3, f.doc.bandOrder[1], 3}});
    ASSERT_TRUE(first.apply(f.doc));
    const test::Snapshot afterFirst = snapshot(f.doc);
    f.doc.samplesRemoved = 0;
    // The same uid twice, and once more after it is gone.
    RemoveSamplesCmd again({SampleRemoval{3, f.doc.bandOrder[1], 3}, SampleRemoval{1, f.doc.bandOrder[0], 1},
                            SampleRemoval{1, f.doc.bandOrder[0], 1}});
    ASSERT_TRUE(again.apply(f.doc));
    EXPECT_EQ(f.doc.samplesRemoved, 1);
    EXPECT_EQ(f.doc.liveSampleCount, 4u);
    ASSERT_TRUE(again.revert(f.doc));
    EXPECT_TRUE(snapshot(f.doc) == afterFirst);
    expectConsistent(f.doc);
}

TEST(SampleCommands, NewRegionForgetsTheLevelAndStaysMarkedEdited) {
    Fixture f;
    ASSERT_TRUE(f.doc.setSampleAudio(6, 0, 500));
    const EditSample* s = f.doc.sampleByUid(6);
    EXPECT_EQ(s->regionEnd, 500u);
    EXPECT_EQ(s->hitLevel, HitLevel{});
    EXPECT_EQ(f.doc.unmeasuredUids.count(6), 1u);
    EXPECT_EQ(s->regionEdited, 1);
    f.last().revert(f.doc);
    EXPECT_EQ(f.doc.sampleByUid(6)->regionEdited, 1);
    EXPECT_EQ(f.doc.sampleByUid(6)->regionEnd, 1000u);

    // Region end 0 is the whole audio.
    SampleAudioState state;
    state.frames = 2000;
    ASSERT_TRUE(f.doc.replaceAudio(1, state));
    EXPECT_EQ(f.doc.sampleByUid(1)->regionEnd, 2000u);
}

TEST(SampleCommands, ReplacedAudioRevertRestoresTheLevelMeasuredBeforeApply) {
    Fixture f;
    f.doc.setHitLevel(2, measuredLevel(-33));  // after the command was built
    SampleAudioState state;
    state.frames = 500;
    ReplaceAudioCmd cmd(2, SampleAudioState{}, state);
    ASSERT_TRUE(cmd.apply(f.doc));
    f.doc.setHitLevel(2, measuredLevel(-1));
    ASSERT_TRUE(cmd.revert(f.doc));
    EXPECT_EQ(f.doc.sampleLevels(2), measuredLevel(-33));
    ASSERT_TRUE(cmd.apply(f.doc));
    EXPECT_EQ(f.doc.sampleLevels(2), measuredLevel(-1));
}

TEST(SampleCommands, FlagAndLockCommandsTouchOnlyTheirSample) {
    Fixture f;
    const uint64_t structure = f.doc.structureRevision;
    ASSERT_TRUE(f.doc.setMuted(2, true));
    EXPECT_EQ(f.doc.structureRevision, structure);
    EXPECT_EQ(f.doc.touchedUids, std::vector<uint64_t>{2});
    ASSERT_TRUE(f.doc.execute(std::make_unique<SetSortLockCmd>(2, 0, 1)));
    EXPECT_EQ(f.doc.structureRevision, structure + 1);
    EXPECT_EQ(f.doc.touchedUids, (std::vector<uint64_t>{2, 2}));
}

TEST(SampleCommands, PayloadOfOneMebibyteCostsAboutThatMuch) {
    Fixture f;
    AddSampleRequest r = request(0);
    r.payload.assign(1 << 20, 0);
    ASSERT_TRUE(f.doc.addSample(r));
    EXPECT_EQ(f.doc.history.undoEntries.back().cost / 1024, 1024u);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
