#include "editor/logic/group_definitions.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::HistogramEntry;
using fmt::SmplEntry;
using fmt::Zem6Model;
using Opt = std::optional<uint64_t>;

struct RowRecipe {
    Opt band;
    Opt articulation;
    Opt layer;
};

Zem6Model model(std::vector<uint64_t> bandIds, std::vector<uint64_t> articulationIds, std::vector<uint64_t> layerIds,
                std::vector<RowRecipe> rows, bool summary = false) {
    Zem6Model m;
    for (uint64_t id : bandIds) {
        fmt::BandDef b;
        b.id = id;
        b.name = "band " + std::to_string(id);
        m.metadata.dynamics.push_back(b);
    }
    for (uint64_t id : articulationIds) {
        fmt::ArticulationDef a;
        a.id = id;
        m.metadata.articulations.push_back(a);
    }
    for (uint64_t id : layerIds) {
        fmt::LayerDef l;
        l.id = id;
        m.metadata.layers.push_back(l);
    }
    uint64_t uid = 1;
    for (const RowRecipe& r : rows) {
        SmplEntry e;
        e.uid = uid;
        e.audi_uid = uid++;
        e.band = r.band;
        e.articulation = r.articulation;
        e.layer = r.layer;
        m.samples.push_back(e);
    }
    m.metadata.next_uid = uid;
    if (summary) {
        m.summary.present = true;
        m.summary.sample_count = rows.size();
        m.summary.band_histogram = {{99, 1}};
        m.summary.total_frames = 1234;
    }
    return m;
}

struct RefusalCase {
    const char* name;
    Zem6Model model;
};

TEST(GroupDefinitions, RefusesDisagreeingDefinitions) {
    const std::vector<RefusalCase> cases{
        {"band id 0", model({0, 1}, {1}, {1}, {{1, 1, 1}})},
        {"repeated band id", model({1, 2, 1}, {1}, {1}, {{1, 1, 1}})},
        {"band used but undefined", model({1}, {1}, {1}, {{2, 1, 1}})},
        {"absent key 5 without band 1", model({2}, {1}, {1}, {{std::nullopt, 1, 1}})},
        {"articulation id 0", model({1}, {0, 1}, {1}, {{1, 1, 1}})},
        {"repeated articulation id", model({1}, {1, 1}, {1}, {{1, 1, 1}})},
        {"articulation used but undefined", model({1}, {1}, {1}, {{1, 3, 1}})},
        {"repeated unused layer id", model({1}, {1}, {1, 2, 2}, {{1, 1, 1}})},
        {"layer id 0", model({1}, {1}, {0}, {})},
        {"layer used but undefined", model({1}, {1}, {1}, {{1, 1, 4}})},
        {"absent key 3 without any layer", model({1}, {1}, {}, {{1, 1, std::nullopt}})},
        {"absent key 4 without any articulation", model({1}, {}, {1}, {{1, std::nullopt, 1}})},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Zem6Model before = c.model;
        const auto r = indexGroupDefinitions(c.model);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), fmt::ErrorCode::ModelInvalid);
        EXPECT_EQ(r.message(), "duplicate or missing group definition");
        EXPECT_EQ(c.model, before);
    }
}

TEST(GroupDefinitions, EmptyModelPassesUnchanged) {
    const Zem6Model empty;
    const auto r = indexGroupDefinitions(empty);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r->model, empty);
    EXPECT_TRUE(r->bandIdMap.empty());
    EXPECT_EQ(r->removedBands + r->removedArticulations + r->removedLayers, 0u);
}

std::vector<uint64_t> bandIds(const Zem6Model& m) {
    std::vector<uint64_t> out;
    for (const auto& b : m.metadata.dynamics) out.push_back(b.id);
    return out;
}
std::vector<std::string> bandNames(const Zem6Model& m) {
    std::vector<std::string> out;
    for (const auto& b : m.metadata.dynamics) out.push_back(b.name.value_or(""));
    return out;
}
std::vector<Opt> rowBands(const Zem6Model& m) {
    std::vector<Opt> out;
    for (const auto& s : m.samples) out.push_back(s.band);
    return out;
}

struct RenumberCase {
    const char* name;
    Zem6Model model;
    std::vector<std::string> wantNames;  // band names after, in list order
    std::vector<Opt> wantRowBands;
    std::map<uint64_t, uint64_t> wantMap;
    uint64_t removedBands;
};

TEST(GroupDefinitions, SortsAndRenumbersUsedBands) {
    const std::vector<RenumberCase> cases{
        {"ids 7 and 3", model({7, 3}, {1}, {1}, {{7, 1, 1}, {3, 1, 1}, {7, 1, 1}}),
         {"band 3", "band 7"}, {2, 1, 2}, {{3, 1}, {7, 2}}, 0},
        {"unused band dropped", model({1, 2, 3}, {1}, {1}, {{3, 1, 1}, {1, 1, 1}}),
         {"band 1", "band 3"}, {2, 1}, {{1, 1}, {3, 2}}, 1},
        {"absent key 5 stays absent", model({1, 4}, {1}, {1}, {{std::nullopt, 1, 1}, {4, 1, 1}}),
         {"band 1", "band 4"}, {std::nullopt, 2}, {{1, 1}, {4, 2}}, 0},
        {"present key 5 rewritten to 1", model({5, 9}, {1}, {1}, {{5, 1, 1}}),
         {"band 5"}, {1}, {{5, 1}}, 1},
        {"ids far apart", model({UINT64_MAX, 2}, {1}, {1}, {{UINT64_MAX, 1, 1}, {2, 1, 1}}),
         {"band 2", "band 18446744073709551615"}, {2, 1}, {{2, 1}, {UINT64_MAX, 2}}, 0},
        {"no sample drops every band", model({1, 2}, {1}, {1}, {}), {}, {}, {}, 2},
    };
    for (const RenumberCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = indexGroupDefinitions(c.model);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_EQ(bandNames(r->model), c.wantNames);
        std::vector<uint64_t> dense;
        for (size_t i = 0; i < c.wantNames.size(); ++i) dense.push_back(i + 1);
        EXPECT_EQ(bandIds(r->model), dense);
        EXPECT_EQ(rowBands(r->model), c.wantRowBands);
        EXPECT_EQ(r->bandIdMap, c.wantMap);
        EXPECT_EQ(r->removedBands, c.removedBands);
    }
}

TEST(GroupDefinitions, DropsUnusedArticulationsAndLayersWithoutRenumbering) {
    // Rows without key 3 count under the first layer (8); rows without key 4
    // under the first articulation (6).
    const Zem6Model m = model({1}, {6, 2, 9}, {8, 3, 5}, {{1, 9, std::nullopt}, {1, std::nullopt, std::nullopt}});
    const auto r = indexGroupDefinitions(m);
    ASSERT_TRUE(r.ok()) << r.message();
    ASSERT_EQ(r->model.metadata.articulations.size(), 2u);
    EXPECT_EQ(r->model.metadata.articulations[0].id, 6u);
    EXPECT_EQ(r->model.metadata.articulations[1].id, 9u);
    ASSERT_EQ(r->model.metadata.layers.size(), 1u);
    EXPECT_EQ(r->model.metadata.layers[0].id, 8u);
    EXPECT_EQ(r->removedArticulations, 1u);
    EXPECT_EQ(r->removedLayers, 2u);
    EXPECT_FALSE(r->model.samples[0].layer.has_value());
    EXPECT_FALSE(r->model.samples[1].articulation.has_value());
    EXPECT_FALSE(r->model.summary.present);
}

TEST(GroupDefinitions, RecountsSummaryHistograms) {
    const Zem6Model m = model({4, 2}, {1, 2}, {1, 7}, {{4, 2, 7}, {2, 1, 7}, {4, 2, 1}}, true);
    const auto r = indexGroupDefinitions(m);
    ASSERT_TRUE(r.ok()) << r.message();
    const fmt::Summary& s = r->model.summary;
    EXPECT_EQ(s.band_histogram, (std::vector<HistogramEntry>{{1, 1}, {2, 2}}));
    EXPECT_EQ(s.articulation_histogram, (std::vector<HistogramEntry>{{1, 1}, {2, 2}}));
    EXPECT_EQ(s.layer_histogram, (std::vector<HistogramEntry>{{1, 1}, {7, 2}}));
    EXPECT_EQ(s.total_frames, 1234u);  // the rest of the summary is not touched
    EXPECT_EQ(s.sample_count, 3u);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
