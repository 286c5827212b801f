#include "editor/logic/room_linking.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::SmplEntry;
using fmt::Zem6Model;
using Triple = std::array<uint64_t, 3>;

// --- Stems and labels ---------------------------------------------------------

TEST(RoomLinkStem, NameStems) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Kick_Room-A_Hard", "kick hard"},
        {"Kick_Direct_Hard", "kick hard"},
        {"Snare Top Close 03", "snare top 03"},
        {"RoomB kick", "kick"},
        {"Tom1_OH_L", "tom1 l"},
        {"Overheads", ""},
        {"Closed HH", "closed hh"},
        {"Room.A", "a"},
        {"Kick Room_1 Soft", "kick soft"},
        {"kick room c", "kick"},
        {"Kick Room", "kick"},
        {"Kick Room.2", "kick 2"},
        {"Kick Room x", "kick x"},
        {"Kick Roomy", "kick roomy"},
        {"Kick OHM", "kick ohm"},
        {"backroom kick", "backroom kick"},
        {"Snare Overhead L", "snare l"},
        {"__Kick--Hard..", "kick hard"},
        {"Kick  Direct   Close", "kick"},
        {"KICK\xC3\x84 Hard", "kick\xC3\x84 hard"},  // only ASCII is lower-cased
        {"", ""},
        {"_", ""},
    };
    for (const auto& [name, stem] : cases) EXPECT_EQ(nameStem(name), stem) << '"' << name << '"';
}

TEST(RoomLinkStem, MicLabels) {
    struct Case {
        std::string text;
        size_t position;
        std::optional<size_t> end;
    };
    const std::vector<Case> cases{
        {"direct", 0, 6},      {"close_x", 0, 5},     {"closed", 0, std::nullopt}, {"room a", 0, 6},
        {"room_b", 0, 6},      {"room-1", 0, 6},      {"rooma", 0, 5},             {"room3", 0, 5},
        {"room", 0, 4},        {"room.a", 0, 4},      {"room x", 0, 4},            {"room__x", 0, 5},
        {"roomy", 0, std::nullopt}, {"room ab", 0, 4}, {"oh", 0, 2},               {"ohm", 0, std::nullopt},
        {"overheads", 0, 9},   {"overhead_l", 0, 8},  {"x oh", 2, 4},              {"x oh", 1, std::nullopt},
        {"oh", 2, std::nullopt}, {"oh", 3, std::nullopt}, {"", 0, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(matchMicLabel(c.text, c.position), c.end) << c.text << " @" << c.position;
}

// Random byte names, separators and label words mixed in: the stem is
// trimmed, holds single spaces only, no upper-case ASCII, no other
// separator, and every label match ends inside the text past its start.
TEST(RoomLinkStem, RandomNamesStayInBounds) {
    std::mt19937 rng(20261211);
    const std::vector<std::string> pieces{"room", "oh", "close", "direct", "overhead", "s", " ", "_", "-", ".",
                                          "a", "B", "3", "\xff", std::string(1, '\0')};
    for (int round = 0; round < 3000; ++round) {
        std::string name;
        const int parts = static_cast<int>(rng() % 12);
        for (int p = 0; p < parts; ++p) {
            if (rng() % 3 == 0) {
                name.push_back(static_cast<char>(rng() % 256));
            } else {
                name += pieces[rng() % pieces.size()];
            }
        }
        const std::string stem = nameStem(name);
        ASSERT_LE(stem.size(), name.size()) << name;
        if (!stem.empty()) {
            ASSERT_NE(stem.front(), ' ') << name;
            ASSERT_NE(stem.back(), ' ') << name;
        }
        ASSERT_EQ(stem.find("  "), std::string::npos) << name;
        ASSERT_EQ(stem.find_first_of("-._ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << name;
        for (size_t i = 0; i <= name.size() + 1; ++i) {
            const std::optional<size_t> end = matchMicLabel(name, i);
            if (end) {
                ASSERT_GT(*end, i);
                ASSERT_LE(*end, name.size());
            }
        }
    }
}

// --- Model fixture --------------------------------------------------------------

constexpr uint64_t kDirect = 1;
constexpr uint64_t kRoomA = 2;
constexpr uint64_t kRoomB = 3;
constexpr uint64_t kRoomC = 4;
constexpr uint64_t kNoSlot = 5;  // a layer stored without a slot

struct Row {
    uint64_t uid = 0;
    std::optional<std::string> name;
    uint64_t layer = kDirect;
    uint64_t articulation = 1;
    std::optional<Triple> links;
    std::optional<uint64_t> owner;
};

Row direct(uint64_t uid, std::optional<std::string> name, std::optional<Triple> links = std::nullopt,
           uint64_t articulation = 1) {
    return Row{uid, std::move(name), kDirect, articulation, links, std::nullopt};
}
Row room(uint64_t uid, uint64_t layer, std::optional<std::string> name, uint64_t articulation = 1) {
    return Row{uid, std::move(name), layer, articulation, std::nullopt, std::nullopt};
}

std::vector<fmt::LayerDef> standardLayers() {
    std::vector<fmt::LayerDef> layers;
    for (const auto& [id, slot] : std::vector<std::pair<uint64_t, std::optional<uint64_t>>>{
             {kDirect, 0}, {kRoomA, 1}, {kRoomB, 2}, {kRoomC, 3}, {kNoSlot, std::nullopt}}) {
        fmt::LayerDef layer;
        layer.id = id;
        layer.slot = slot;
        layers.push_back(layer);
    }
    return layers;
}

SmplEntry entry(const Row& r) {
    SmplEntry e;
    e.uid = r.uid;
    e.audi_uid = r.uid;
    e.name = r.name;
    e.layer = r.layer;
    e.articulation = r.articulation;
    e.room_owner_uid = r.owner;
    // Pairs on both sides of key 26, so the sort after a rewrite shows.
    e.extensions.push_back(fmt::ExtensionPair{1003, fmt::encodeCborTrue()});
    if (r.links) e.setRoomLink(*r.links);
    e.extensions.insert(e.extensions.begin(), fmt::ExtensionPair{7, fmt::encodeCborUint(7)});
    return e;
}

Zem6Model modelOf(const std::vector<Row>& rows) {
    Zem6Model m;
    m.metadata.layers = standardLayers();
    for (const Row& r : rows) m.samples.push_back(entry(r));
    return m;
}

struct LinkCase {
    const char* name;
    std::vector<Row> rows;    // the composed model
    std::vector<Row> source;  // the model the document came from (uids and layers matter)
    std::vector<std::string> unlinked;
    std::map<uint64_t, uint64_t> owners;  // room uid -> key 21 expected after linking
    std::map<uint64_t, Triple> triples;   // direct uid -> key 26 expected after linking
};

TEST(RoomLinking, LinksByStemAndReportsWhatItCannot) {
    const std::vector<LinkCase> cases{
        {"new room sample joins its direct sample",
         {direct(1, "Kick_Direct_Hard"), room(2, kRoomA, "Kick_Room-A_Hard")},
         {direct(1, "")},
         {},
         {{2, 1}},
         {{1, {2, 0, 0}}}},
        {"ambiguous stem is reported by name",
         {direct(1, "Kick Hard 1 Direct"), direct(2, "Kick Hard 1 Close"), room(3, kRoomA, "Kick Hard 1 Room")},
         {direct(1, ""), direct(2, "")},
         {"Kick Hard 1 Room"},
         {},
         {}},
        {"other articulation does not match",
         {direct(1, "Snare Hit", std::nullopt, 1), room(2, kRoomA, "Snare Room Hit", 2)},
         {direct(1, "")},
         {"Snare Room Hit"},
         {},
         {}},
        {"unnamed unlinked room sample",
         {direct(1, "Kick"), room(2, kRoomB, std::nullopt)},
         {direct(1, "")},
         {"room sample"},
         {},
         {}},
        {"valid link is never replaced",
         {direct(1, "Kick", Triple{2, 0, 0}), room(2, kRoomA, "Kick Room A"), room(3, kRoomA, "Kick Room 1")},
         {direct(1, ""), room(2, kRoomA, "")},
         {"Kick Room 1"},
         {},
         {{1, {2, 0, 0}}}},
        {"place held by a sample still on Room B",
         {direct(1, "Tom", Triple{0, 2, 0}), room(2, kRoomB, "Tom Room B"), room(3, kRoomB, "Tom RoomB")},
         {direct(1, ""), room(2, kRoomB, "")},
         {"Tom RoomB"},
         {},
         {{1, {0, 2, 0}}}},
        {"place freed by a sample moved to Room C",
         {direct(1, "Tom", Triple{7, 2, 0}), room(2, kRoomC, "Tom Room C"), room(3, kRoomB, "Tom Room B")},
         {direct(1, ""), room(2, kRoomB, "")},
         {},
         {{2, 1}, {3, 1}},
         {{1, {7, 3, 2}}}},
        {"first room sample in model order takes the place",
         {direct(1, "Snare"), room(2, kRoomA, "Snare Room A"), room(3, kRoomA, "Snare Room 1")},
         {direct(1, "")},
         {"Snare Room 1"},
         {{2, 1}},
         {{1, {2, 0, 0}}}},
        {"unchanged room sample joins a new direct sample",
         {direct(1, "Kick Soft"), room(2, kRoomA, "Kick Room Soft")},
         {room(2, kRoomA, "")},
         {},
         {{2, 1}},
         {{1, {2, 0, 0}}}},
        {"unchanged room sample stays apart from an unchanged direct sample",
         {direct(1, "Kick Soft"), direct(3, "Snare"), room(2, kRoomA, "Kick Room Soft")},
         {direct(1, ""), room(2, kRoomA, "")},
         {},
         {},
         {}},
        {"unchanged room sample without a match is not reported",
         {direct(1, "Kick"), direct(3, "Snare"), room(2, kRoomA, "Hat Room")},
         {direct(1, ""), room(2, kRoomA, "")},
         {},
         {},
         {}},
        {"sample on a layer without slot is never linked",
         {direct(1, "Kick"), room(2, kNoSlot, "Kick Room")},
         {direct(1, "")},
         {},
         {},
         {}},
        {"unknown layer counts as Direct",
         {Row{1, "Ride", 99, 1, std::nullopt, std::nullopt}, room(2, kRoomC, "Ride OH")},
         {},
         {},
         {{2, 1}},
         {{1, {0, 0, 2}}}},
        {"sample moved from Room A to Room B is linked again",
         {direct(1, "Hat", Triple{2, 0, 0}), room(2, kRoomB, "Hat Room B")},
         {direct(1, ""), room(2, kRoomA, "")},
         {},
         {{2, 1}},
         {{1, {2, 2, 0}}}},
        {"a moved room sample already linked on its new channel is left alone",
         {direct(1, "Hat", Triple{0, 2, 0}), room(2, kRoomB, "Hat Room B")},
         {direct(1, ""), room(2, kRoomA, "")},
         {},
         {},
         {{1, {0, 2, 0}}}},
        {"unreadable room links count as none",
         {direct(1, "Crash"), room(2, kRoomA, "Crash Room")},
         {direct(1, "")},
         {},
         {{2, 1}},
         {{1, {2, 0, 0}}}},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        Zem6Model model = modelOf(c.rows);
        if (std::string(c.name) == "unreadable room links count as none") {
            model.samples[0].extensions.push_back(fmt::ExtensionPair{kRoomLinksExtKey, fmt::encodeCborUint(5)});
            fmt::sortExtensions(model.samples[0].extensions);
        }
        const Zem6Model source = modelOf(c.source);
        const Zem6Model before = model;

        EXPECT_EQ(linkPluginRoomSamples(model, source), c.unlinked);

        for (size_t i = 0; i < model.samples.size(); ++i) {
            const SmplEntry& e = model.samples[i];
            const SmplEntry& old = before.samples[i];
            const auto owner = c.owners.find(e.uid);
            EXPECT_EQ(e.room_owner_uid, owner != c.owners.end() ? std::optional(owner->second) : old.room_owner_uid)
                << "key 21 of " << e.uid;
            const auto triple = c.triples.find(e.uid);
            if (triple != c.triples.end()) {
                EXPECT_EQ(fmt::readExtUintTriple(e), triple->second) << "key 26 of " << e.uid;
                EXPECT_EQ(std::count_if(e.extensions.begin(), e.extensions.end(),
                                        [](const fmt::ExtensionPair& p) { return p.key == kRoomLinksExtKey; }),
                          1);
                EXPECT_TRUE(std::is_sorted(e.extensions.begin(), e.extensions.end(),
                                           [](const auto& a, const auto& b) { return a.key < b.key; }));
            } else {
                EXPECT_EQ(e.extensions, old.extensions) << "extensions of " << e.uid;
            }
            // Nothing but the links changes.
            SmplEntry rest = e;
            rest.room_owner_uid = old.room_owner_uid;
            rest.extensions = old.extensions;
            EXPECT_EQ(rest, old);
        }
        EXPECT_EQ(model.metadata, before.metadata);
    }
}

TEST(RoomLinking, RoomALinkWritesTripleWithArrayHead) {
    Zem6Model model = modelOf({direct(10, "Kick"), room(11, kRoomA, "Kick Room A")});
    EXPECT_TRUE(linkPluginRoomSamples(model, Zem6Model{}).empty());
    const fmt::ExtensionPair* pair = fmt::findExtension(model.samples[0].extensions, kRoomLinksExtKey);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->bytes, (fmt::Bytes{0x83, 0x0B, 0x00, 0x00}));
    EXPECT_EQ(model.samples[1].room_owner_uid, 10u);
}

TEST(RoomLinking, NothingToDoLeavesTheModelAlone) {
    const std::vector<std::pair<const char*, std::vector<Row>>> cases{
        {"no room samples", {direct(1, "Kick"), direct(2, "Snare")}},
        {"room samples where they were, no new direct sample",
         {direct(1, "Kick"), room(2, kRoomA, "Kick Room A"), room(3, kRoomB, "Kick Room B")}},
        {"empty", {}},
    };
    for (const auto& [name, rows] : cases) {
        SCOPED_TRACE(name);
        Zem6Model model = modelOf(rows);
        const Zem6Model before = model;
        // The source holds every sample on the layer it has now.
        EXPECT_TRUE(linkPluginRoomSamples(model, before).empty());
        EXPECT_EQ(model, before);
    }
    // A stale key 21 of a room sample that stays put is left as it is.
    Zem6Model stale = modelOf({direct(1, "Kick"), Row{2, "Kick Room", kRoomA, 1, std::nullopt, 99}});
    const Zem6Model staleBefore = stale;
    EXPECT_TRUE(linkPluginRoomSamples(stale, staleBefore).empty());
    EXPECT_EQ(stale, staleBefore);
}

// --- Lower operations -------------------------------------------------------

TEST(RoomLinking, LayerSlotsAndLookups) {
    Zem6Model model = modelOf({direct(1, "Kick"), room(2, kRoomB, "Kick Room B"), room(3, kNoSlot, "x"),
                               Row{4, "Snare", 42, 2, std::nullopt, std::nullopt}, direct(5, "Kick Direct")});
    model.samples[0].layer.reset();  // key 3 absent counts as layer 1
    fmt::LayerDef later;
    later.id = kRoomC;
    later.slot = 9;  // a later entry with the same id decides: not a channel
    model.metadata.layers.push_back(later);

    const LayerSlotMap layers = buildLayerSlotMap(model);
    EXPECT_EQ(layers, (LayerSlotMap{{kDirect, 0}, {kRoomA, 1}, {kRoomB, 2}, {kRoomC, -1}, {kNoSlot, -1}}));
    const std::vector<int32_t> slots{0, 2, -1, 0, 0};
    for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(layerSlotOf(layers, model.samples[i]), slots[i]) << i;

    const RoomLinkIndex index = buildDirectSampleIndex(model, layers);
    EXPECT_EQ(index.byUid.size(), 5u);
    ASSERT_EQ(index.byStem.size(), 2u);
    EXPECT_EQ(index.byStem.at({1, "kick"}).size(), 2u);  // samples 1 and 5, in model order
    EXPECT_EQ(index.byStem.at({1, "kick"})[0]->uid, 1u);
    EXPECT_EQ(index.byStem.at({2, "snare"})[0]->uid, 4u);

    EXPECT_EQ(index.findSample(layers, 2, 2), &model.samples[1]);
    EXPECT_EQ(index.findSample(layers, 2, 1), nullptr);
    EXPECT_EQ(index.findSample(layers, 77, 0), nullptr);
    EXPECT_EQ(index.findSample(layers, 4, 0), &model.samples[3]);

    EXPECT_EQ(findUniqueDirectMatch(index, entry(room(9, kRoomA, "Kick Room A"))), nullptr);  // two matches
    EXPECT_EQ(findUniqueDirectMatch(index, entry(room(9, kRoomA, "Snare Room A", 2))), &model.samples[3]);
    EXPECT_EQ(findUniqueDirectMatch(index, entry(room(9, kRoomA, "Snare Room A", 1))), nullptr);
}

TEST(RoomLinking, SourceSlotsFirstEntryCounts) {
    Zem6Model source;
    fmt::LayerDef a;
    a.id = 1;
    a.slot = 2;
    fmt::LayerDef repeat = a;
    repeat.slot = 0;
    fmt::LayerDef custom;
    custom.id = 3;
    custom.slot = 8;
    source.metadata.layers = {a, repeat, custom};
    SmplEntry s1;
    s1.uid = 10;
    s1.layer = 1;
    SmplEntry s1again = s1;
    s1again.layer = 3;
    SmplEntry noLayer;
    noLayer.uid = 11;
    SmplEntry unknownLayer;
    unknownLayer.uid = 12;
    unknownLayer.layer = 40;
    SmplEntry onCustom;
    onCustom.uid = 13;
    onCustom.layer = 3;
    source.samples = {s1, s1again, noLayer, unknownLayer, onCustom};
    const SourceLayerSlots slots(source);

    struct Case {
        uint64_t uid;
        int slot;
        bool other;
    };
    for (const Case& c : std::vector<Case>{{10, 2, false}, {10, 0, true}, {10, 8, true}, {11, 6, false},
                                           {11, 1, true}, {12, 6, false}, {13, 8, false}, {13, 3, true},
                                           {14, 0, true}, {14, 6, true}}) {
        SmplEntry probe;
        probe.uid = c.uid;
        probe.layer = 3;  // the sample's own layer is not what counts
        EXPECT_EQ(slots.isOtherLayer(probe, c.slot), c.other) << c.uid << " slot " << c.slot;
    }
}

TEST(RoomLinking, SetRoomLinkKeepsOnePairInKeyOrder) {
    SmplEntry e;
    e.extensions = {{1003, fmt::encodeCborTrue()}, {26, fmt::encodeCborUint(1)}, {5, fmt::encodeCborUint(5)},
                    {26, fmt::encodeCborUint(2)}};
    e.setRoomLink({300, 0, 1});
    ASSERT_EQ(e.extensions.size(), 3u);
    EXPECT_EQ(e.extensions[0].key, 5u);
    EXPECT_EQ(e.extensions[1].key, 26u);
    EXPECT_EQ(e.extensions[1].bytes, (fmt::Bytes{0x83, 0x19, 0x01, 0x2C, 0x00, 0x01}));
    EXPECT_EQ(e.extensions[2].key, 1003u);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
