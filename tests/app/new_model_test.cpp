// The model of a new zem: its layer, articulation and dynamic-group tables,
// the articulation names typed as one text, and the status it mounts with.

#include <gtest/gtest.h>

#include "app/new_model.hpp"
#include "format/cbor.hpp"
#include "format/model_laws.hpp"
#include "format/sample_ext.hpp"

namespace vt6::maker {
namespace {

NewZemChoices choicesOf(int groups, int rooms, int articulations) {
    NewZemChoices choices;
    choices.dynamicGroups = groups;
    choices.roomChannels = rooms;
    choices.articulations = articulations;
    return choices;
}

TEST(NewModel, Metadata) {
    NewZemChoices choices;
    choices.name = "Snare Ünï";
    const auto model = buildNewModel(choices, {});
    EXPECT_EQ(model.metadata.creator_tool, std::optional<std::string>("ZEM Rivir"));
    EXPECT_EQ(model.metadata.name, std::optional<std::string>("Snare Ünï"));
    // The dialog's two empty optional texts leave their keys out.
    EXPECT_FALSE(model.metadata.instrument_name.has_value());
    EXPECT_FALSE(model.metadata.opaque_text_7.has_value());
    EXPECT_TRUE(model.samples.empty());

    choices.instrumentName = "Maple 14";
    choices.thirdText = "third";
    const auto filled = buildNewModel(choices, {});
    EXPECT_EQ(filled.metadata.instrument_name, std::optional<std::string>("Maple 14"));
    EXPECT_EQ(filled.metadata.opaque_text_7, std::optional<std::string>("third"));
}

TEST(NewModel, LayersByRoomChannels) {
    struct Case {
        int rooms;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {0, {"Direct"}},
        {1, {"Direct", "Room A"}},
        {2, {"Direct", "Room A", "Room B"}},
        {3, {"Direct", "Room A", "Room B", "Room C"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rooms);
        const auto layers = buildNewModel(choicesOf(4, c.rooms, 1), {}).metadata.layers;
        ASSERT_EQ(layers.size(), c.names.size());
        for (size_t i = 0; i < layers.size(); ++i) {
            fmt::LayerDef expected;
            expected.id = i + 1;
            expected.name = c.names[i];
            expected.slot = i;
            expected.level = 1.0;
            // No other field of a row is set.
            EXPECT_EQ(layers[i], expected) << i;
        }
    }
}

TEST(NewModel, ArticulationsByCount) {
    struct Case {
        int count;
        std::vector<std::pair<size_t, std::string>> named;  // index, name
    };
    const Case cases[] = {
        {1, {{0, "CENTER"}}},
        {3, {{0, "CENTER"}, {1, "ART 2"}, {2, "ART 3"}}},
        {128, {{0, "CENTER"}, {1, "ART 2"}, {9, "ART 10"}, {127, "ART 128"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        const auto table = buildNewModel(choicesOf(4, 0, c.count), {}).metadata.articulations;
        ASSERT_EQ(table.size(), static_cast<size_t>(c.count));
        for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(table[i].id, i + 1);
        for (const auto& [index, name] : c.named) {
            fmt::ArticulationDef expected;
            expected.id = index + 1;
            expected.name = name;
            EXPECT_EQ(table[index], expected) << index;
        }
    }
}

TEST(NewModel, DynamicGroupsSpreadOverTheScale) {
    struct Case {
        const char* what;
        int groups;
        std::vector<double> given;
        std::vector<double> centres;
        std::vector<int> splits;  // on the 0..127 scale
    };
    const Case cases[] = {
        {"one group", 1, {}, {0.5}, {}},
        {"two", 2, {}, {0.25, 0.75}, {64}},
        {"three", 3, {}, {1.0 / 6, 0.5, 5.0 / 6}, {42, 85}},
        {"four", 4, {}, {0.125, 0.375, 0.625, 0.875}, {32, 64, 95}},
        {"given centres", 2, {0.1, 0.9}, {0.1, 0.9}, {64}},
        {"given centres off-centre", 3, {0.1, 0.2, 0.9}, {0.1, 0.2, 0.9}, {19, 70}},
        // Only exactly one centre per group is taken.
        {"too few centres", 2, {0.1}, {0.25, 0.75}, {64}},
        {"too many centres", 1, {0.1, 0.2}, {0.5}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto groups = buildNewModel(choicesOf(c.groups, 0, 1), c.given).metadata.dynamics;
        ASSERT_EQ(groups.size(), static_cast<size_t>(c.groups));
        for (size_t j = 0; j < groups.size(); ++j) {
            const auto& g = groups[j];
            EXPECT_EQ(g.id, j + 1);
            EXPECT_EQ(g.name, std::optional<std::string>("Dynamic " + std::to_string(j + 1)));
            const double low = j == 0 ? 0.0 : c.splits[j - 1] / 127.0;
            const double high = j + 1 == groups.size() ? 1.0 : c.splits[j] / 127.0;
            EXPECT_EQ(g.low, std::optional<double>(low)) << j;
            EXPECT_EQ(g.high, std::optional<double>(high)) << j;
            // One extension: the centre as a CBOR float under key 5.
            ASSERT_EQ(g.extensions.size(), 1u);
            EXPECT_EQ(g.extensions[0].key, fmt::kBandCenterExtKey);
            EXPECT_EQ(g.extensions[0].bytes, fmt::encodeCborFloat(c.centres[j]));
            EXPECT_EQ(fmt::readBandCenter(g), std::optional<double>(c.centres[j]));
        }
    }
}

TEST(NewModel, LargestModelHasEveryVelocityStep) {
    const auto groups = buildNewModel(choicesOf(127, 3, 128), {}).metadata.dynamics;
    ASSERT_EQ(groups.size(), 127u);
    for (size_t j = 0; j < groups.size(); ++j) {
        EXPECT_EQ(groups[j].low, std::optional<double>(static_cast<double>(j) / 127.0)) << j;
        EXPECT_EQ(groups[j].high, std::optional<double>(static_cast<double>(j + 1) / 127.0)) << j;
    }
}

TEST(NewModel, EveryShapeIsAWritableModel) {
    const NewZemChoices shapes[] = {choicesOf(1, 0, 1), choicesOf(4, 0, 1), choicesOf(3, 2, 5), choicesOf(127, 3, 128)};
    for (const auto& choices : shapes) {
        SCOPED_TRACE(choices.dynamicGroups);
        const auto model = buildNewModel(choices, {});
        const auto laws = fmt::checkModelLaws(model);
        EXPECT_TRUE(laws.ok()) << laws.message();
    }
}

TEST(NewModel, ArticulationNamesText) {
    struct Case {
        std::string text;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"", {}},
        {" , ,, ", {}},
        {"Kick", {"Kick"}},
        {" Kick ,, Rim ", {"Kick", "Rim"}},
        {"\tSnare\n,Tom 1 ,", {"Snare", "Tom 1"}},
        {",Rim", {"Rim"}},
        // Quotes are ordinary characters: a comma inside them still splits.
        {"\"A, B\"", {"\"A", "B\""}},
        {"Rimshot, Ünïcode ", {"Rimshot", "Ünïcode"}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitArticulationNames(c.text), c.names) << c.text;
}

TEST(NewModel, NamesFillTheFirstArticulations) {
    struct Case {
        int articulations;
        std::string text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {3, " Kick ,, Rim ", {"Kick", "Rim", "ART 3"}},
        {1, "Kick, Rim", {"Kick"}},  // names beyond the count are ignored
        {2, "", {"CENTER", "ART 2"}},
        {2, "A,B,C,D", {"A", "B"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto model = buildNewModel(choicesOf(4, 0, c.articulations), {});
        nameArticulations(model, splitArticulationNames(c.text), c.articulations);
        std::vector<std::string> names;
        for (const auto& a : model.metadata.articulations) names.push_back(a.name.value_or("?"));
        EXPECT_EQ(names, c.expected);
    }
    // A count larger than the table names only what is there.
    auto model = buildNewModel(choicesOf(4, 0, 1), {});
    nameArticulations(model, {"A", "B"}, 5);
    ASSERT_EQ(model.metadata.articulations.size(), 1u);
    EXPECT_EQ(model.metadata.articulations[0].name, std::optional<std::string>("A"));
}

TEST(NewModel, Status) {
    const std::pair<int, std::string> cases[] = {
        {1, "Direct / 1 articulation"}, {5, "Direct / 5 articulations"}, {128, "Direct / 128 articulations"}};
    for (const auto& [count, text] : cases) EXPECT_EQ(newZemStatus(count), text);
}

}  // namespace
}  // namespace vt6::maker
