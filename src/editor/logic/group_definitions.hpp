#pragma once
// Checks, before a model is written, that its sample rows and its group
// definitions (dynamics bands, articulations, layers) agree, drops the
// definitions no sample uses, renumbers the bands 1..n in id order and
// recounts the summary histograms. Readers rely on band ids running 1..n.

#include <cstdint>
#include <map>
#include <vector>

#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::ui::zemedit::logic {

struct IndexedModel {
    fmt::Zem6Model model;                   // checked, cleaned and renumbered copy
    std::map<uint64_t, uint64_t> bandIdMap; // old band id -> new, for every band kept
    uint64_t removedBands = 0;
    uint64_t removedArticulations = 0;
    uint64_t removedLayers = 0;
};

inline constexpr const char* kGroupDefinitionMismatch = "duplicate or missing group definition";

// False when a definition has id 0 or repeats an id of the list, or a used id
// has no definition. Unused definitions are fine here.
bool checkGroupDefinitions(const std::vector<fmt::BandDef>& definitions, const std::map<uint64_t, uint64_t>& used);
bool checkGroupDefinitions(const std::vector<fmt::ArticulationDef>& definitions,
                           const std::map<uint64_t, uint64_t>& used);
bool checkGroupDefinitions(const std::vector<fmt::LayerDef>& definitions, const std::map<uint64_t, uint64_t>& used);

// ModelInvalid "duplicate or missing group definition" when the check fails
// for any of the three lists; the input is never changed. A row's absent
// key 5 counts as band 1, absent keys 4 and 3 as the first definition's id
// (1 when the list is empty) and stay absent.
fmt::Result<IndexedModel> indexGroupDefinitions(const fmt::Zem6Model& model);

} // namespace vt6::ui::zemedit::logic
