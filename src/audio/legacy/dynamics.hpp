#pragma once
// Dynamics and selection data of legacy instruments.
//
// A legacy instrument arranges its samples by articulation (1..16), dynamic
// and take. The main layout stores each sample's dynamic; the small and props
// layouts store only levels, so their dynamics are derived here by grouping
// the samples of an articulation by loudness. The (dynamic, take,
// articulation) cells of either kind are then checked and packed into a
// SelectionIndex.
//
// Nothing here fails a read: problems become warnings, and a rejected index
// only leaves the instrument without selection data.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vt6::zem {

inline constexpr int32_t kLegacyArticulations = 16;
// Groups and takes above this stay out of the derivation's level table.
inline constexpr int32_t kDeriveTableLimit = 48;
inline constexpr float kSilenceDb = -96.3f;
inline constexpr double kDefaultLevelToleranceDb = 0.1;
inline constexpr double kMaxLevelToleranceDb = 32768.0;

// Derivation modes: one pass per articulation, or one pass over all samples.
inline constexpr int32_t kDerivePerArticulation = 1;
inline constexpr int32_t kDeriveAllTogether = -1;

// 20 log10(level) in single precision, floored at -96.3 (also for levels at
// or below 0). A NaN level stays NaN.
float levelToDb(float level) noexcept;

struct DerivedDynamics {
    // Per sample, index x - 1 for sample number x: 1-based group within its
    // articulation and 1-based take within the group; 0 for samples that took
    // part in no pass.
    std::vector<int32_t> group;
    std::vector<int32_t> take;
    int32_t dynamicCount = 0;
    // Distinct first-take levels (linear), articulation by articulation.
    std::vector<float> dynamics;
    // Highest group number of each articulation's pass (index a - 1).
    std::array<int32_t, kLegacyArticulations> groupCount{};
    double levelToleranceDb = 0.0;
};

// Groups samples into dynamics by the dB distance of their grouping levels.
// Every span is indexed by 0-based sample index; sampleCount is clamped to the
// shortest span. `mode` is kDerivePerArticulation or kDeriveAllTogether (any
// value other than -1 counts as per articulation). A tolerance at or below 0
// means 0.1 dB, above 32768 means 32768; NaN keeps every sample ungrouped.
DerivedDynamics deriveDynamics(int32_t sampleCount, double toleranceDb, int32_t mode,
                               std::span<const int32_t> articulation, std::span<const uint8_t> excluded,
                               std::span<const uint8_t> useAltLevel, std::span<const float> nativePeak,
                               std::span<const float> altLevel);

struct SelectionCell {
    int32_t dynamic = 0;
    int32_t take = 0;
    int32_t articulation = 0;
    int32_t sample = 0;  // 1-based sample number
    friend bool operator==(const SelectionCell&, const SelectionCell&) = default;
};

struct SampleMeta {
    int32_t dynamicGroup = 0;  // the sample's dynamic part, 0 when negative
    uint8_t articulation = 0;  // 1..16, else 0
    friend bool operator==(const SampleMeta&, const SampleMeta&) = default;
};

SampleMeta makeSampleMeta(int32_t dynamicPart, int32_t articulation) noexcept;

struct LadderStep {
    int32_t dynamic = 0;
    float level = 0.0f;
    friend bool operator==(const LadderStep&, const LadderStep&) = default;
};

struct SelectionIndex {
    bool ok = false;
    int32_t dynamicCount = 0;
    bool multiTake = false;
    std::vector<float> dynamics;        // level of dynamic d at d - 1
    // Takes of cell c = (dynamic - 1) * 16 + (articulation - 1) are
    // cellSamples[cellStart[c] .. cellStart[c + 1]).
    std::vector<int32_t> cellStart;
    std::vector<int32_t> cellSamples;
    // Per articulation, its dynamics quietest first, equal levels merged into
    // the lowest dynamic; articulation a's run is ladder[ladderEnd[a - 1] ..
    // ladderEnd[a]).
    std::vector<LadderStep> ladder;
    std::vector<uint64_t> ladderEnd;
};

// Adds the props-layout cell (dynamic, take, articulation) for `sample`, or
// moves an existing one to it with a collision warning.
void buildV4LookupTable(std::vector<SelectionCell>& cells, std::vector<std::string>& warnings, int32_t dynamic,
                        int32_t take, int32_t articulation, int32_t sample);

// Checks the cells against `dynamicCount` dynamics and packs them. Any bad
// cell, duplicate or missing take leaves `ok` false; the other fields are then
// unspecified.
SelectionIndex buildLayerLookup(int32_t dynamicCount, std::span<const float> levels,
                                std::span<const SelectionCell> cells);

} // namespace vt6::zem
