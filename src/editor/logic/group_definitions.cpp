#include "editor/logic/group_definitions.hpp"

#include <algorithm>
#include <unordered_set>

namespace vt6::ui::zemedit::logic {

using fmt::Zem6Model;

namespace {

using Counts = std::map<uint64_t, uint64_t>;

template <class Def>
bool checkDefinitions(const std::vector<Def>& definitions, const Counts& used) {
    std::unordered_set<uint64_t> seen;
    seen.reserve(definitions.size());
    for (const Def& def : definitions) {
        if (def.id == 0 || !seen.insert(def.id).second) return false;
    }
    return std::all_of(used.begin(), used.end(), [&seen](const auto& use) { return seen.contains(use.first); });
}

template <class Def>
uint64_t firstIdOr1(const std::vector<Def>& definitions) {
    return definitions.empty() ? 1 : definitions.front().id;
}

template <class Def>
uint64_t dropUnused(std::vector<Def>& definitions, const Counts& used) {
    return std::erase_if(definitions, [&used](const Def& def) { return !used.contains(def.id); });
}

std::vector<fmt::HistogramEntry> histogram(const Counts& counts) {
    std::vector<fmt::HistogramEntry> out;
    out.reserve(counts.size());
    for (const auto& [id, count] : counts) out.push_back(fmt::HistogramEntry{id, count});
    return out;
}

} // namespace

bool checkGroupDefinitions(const std::vector<fmt::BandDef>& definitions, const Counts& used) {
    return checkDefinitions(definitions, used);
}
bool checkGroupDefinitions(const std::vector<fmt::ArticulationDef>& definitions, const Counts& used) {
    return checkDefinitions(definitions, used);
}
bool checkGroupDefinitions(const std::vector<fmt::LayerDef>& definitions, const Counts& used) {
    return checkDefinitions(definitions, used);
}

fmt::Result<IndexedModel> indexGroupDefinitions(const Zem6Model& model) {
    const fmt::ModelMetadata& md = model.metadata;
    const uint64_t defaultArticulation = firstIdOr1(md.articulations);
    const uint64_t defaultLayer = firstIdOr1(md.layers);
    Counts bands;
    Counts articulations;
    Counts layers;
    for (const fmt::SmplEntry& row : model.samples) {
        ++bands[row.band.value_or(1)];
        ++articulations[row.articulation.value_or(defaultArticulation)];
        ++layers[row.layer.value_or(defaultLayer)];
    }
    if (!checkGroupDefinitions(md.dynamics, bands) || !checkGroupDefinitions(md.articulations, articulations) ||
        !checkGroupDefinitions(md.layers, layers)) {
        return fmt::fail(fmt::ErrorCode::ModelInvalid, kGroupDefinitionMismatch);
    }

    IndexedModel out{model, {}, 0, 0, 0};
    fmt::ModelMetadata& copy = out.model.metadata;
    out.removedBands = dropUnused(copy.dynamics, bands);
    out.removedArticulations = dropUnused(copy.articulations, articulations);
    out.removedLayers = dropUnused(copy.layers, layers);

    std::sort(copy.dynamics.begin(), copy.dynamics.end(),
              [](const fmt::BandDef& a, const fmt::BandDef& b) { return a.id < b.id; });
    uint64_t next = 1;
    for (fmt::BandDef& band : copy.dynamics) {
        out.bandIdMap[band.id] = next;
        band.id = next++;
    }

    // Every used band id has a definition (checked above), so the map holds it.
    Counts renumbered;
    for (fmt::SmplEntry& row : out.model.samples) {
        const uint64_t moved = out.bandIdMap.at(row.band.value_or(1));
        if (row.band || moved != 1) row.band = moved;
        ++renumbered[moved];
    }

    if (out.model.summary.present) {
        out.model.summary.band_histogram = histogram(renumbered);
        out.model.summary.articulation_histogram = histogram(articulations);
        out.model.summary.layer_histogram = histogram(layers);
    }
    return out;
}

} // namespace vt6::ui::zemedit::logic
