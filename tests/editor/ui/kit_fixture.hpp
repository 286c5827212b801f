#pragma once
// A small kit file for the editor and shell tests, written by the program's
// own writer: one room channel, one articulation, n dynamic groups and short
// raw PCM samples spread over the groups.

#include <string>

#include "audio/sample_file_builder.hpp"

namespace vt6::test {

inline fmt::Zem6Model kitModel(SampleFileBuilder& builder, int samples, int groups, const std::string& name) {
    for (int i = 0; i < samples; ++i) {
        SampleRecipe recipe;
        recipe.rate = 44100;
        recipe.frames = 2000;
        recipe.seed = static_cast<uint32_t>(i + 1);
        builder.add(recipe);
    }
    fmt::Zem6Model m = builder.model();
    m.metadata.name = name;
    fmt::LayerDef direct;
    direct.id = 1;
    direct.name = "Direct";
    direct.slot = 0;
    m.metadata.layers.push_back(direct);
    fmt::ArticulationDef center;
    center.id = 1;
    center.name = "CENTER";
    m.metadata.articulations.push_back(center);
    for (int g = 0; g < groups; ++g) {
        fmt::BandDef band;
        band.id = static_cast<uint64_t>(g + 1);
        band.low = static_cast<double>(g) / groups;
        band.high = static_cast<double>(g + 1) / groups;
        band.name = "G" + std::to_string(g + 1);
        m.metadata.dynamics.push_back(band);
    }
    for (size_t i = 0; i < m.samples.size(); ++i) {
        auto& row = m.samples[i];
        row.name = "Hit " + std::to_string(i + 1);
        row.layer = 1;
        row.articulation = 1;
        row.band = static_cast<uint64_t>(i % static_cast<size_t>(groups) + 1);
    }
    return m;
}

// Writes the kit; an empty path (and a test failure) when the writer refuses.
inline std::string writeKit(const std::string& path, int samples = 12, int groups = 4,
                            const std::string& name = "Kit") {
    SampleFileBuilder builder;
    const auto model = kitModel(builder, samples, groups, name);
    const auto written = fmt::writeZem6File(path, model, builder.payloads());
    if (!written.ok()) {
        ADD_FAILURE() << "write failed: " << written.message();
        return {};
    }
    return path;
}

}  // namespace vt6::test
