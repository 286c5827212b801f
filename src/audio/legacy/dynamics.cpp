#include "audio/legacy/dynamics.hpp"

#include <algorithm>
#include <cmath>

namespace vt6::zem {

float levelToDb(float level) noexcept {
    if (level <= 0.0f) return kSilenceDb;
    const float db = 20.0f * std::log10(level);
    return db < kSilenceDb ? kSilenceDb : db;
}

namespace {

double effectiveTolerance(double given) {
    if (std::isnan(given)) return given;  // stays NaN: nobody groups
    const double t = given > 0.0 ? given : kDefaultLevelToleranceDb;
    return t > kMaxLevelToleranceDb ? kMaxLevelToleranceDb : t;
}

} // namespace

DerivedDynamics deriveDynamics(int32_t sampleCount, double toleranceDb, int32_t mode,
                               std::span<const int32_t> articulation, std::span<const uint8_t> excluded,
                               std::span<const uint8_t> useAltLevel, std::span<const float> nativePeak,
                               std::span<const float> altLevel) {
    DerivedDynamics out;
    out.levelToleranceDb = effectiveTolerance(toleranceDb);
    const double tol = out.levelToleranceDb;

    size_t n = sampleCount > 0 ? static_cast<size_t>(sampleCount) : 0;
    for (const size_t size : {articulation.size(), excluded.size(), useAltLevel.size(), nativePeak.size(),
                              altLevel.size()})
        n = std::min(n, size);
    out.group.assign(n, 0);
    out.take.assign(n, 0);
    if (n == 0) return out;

    std::vector<float> level(n);
    std::vector<double> distance(n);
    for (size_t x = 0; x < n; ++x) {
        level[x] = useAltLevel[x] != 0 ? altLevel[x] : nativePeak[x];
        distance[x] = std::fabs(static_cast<double>(levelToDb(level[x])));
    }

    // First-take level of group d in articulation a at [a - 1][d - 1].
    std::vector<float> firstTakeLevel(static_cast<size_t>(kLegacyArticulations) * kDeriveTableLimit, 0.0f);

    const bool together = mode == kDeriveAllTogether;
    const int32_t passes = together ? 1 : kLegacyArticulations;
    std::vector<size_t> members;
    std::vector<int32_t> takesOf;  // take counter per raw group number
    std::vector<int32_t> renumber;
    members.reserve(n);
    for (int32_t a = 1; a <= passes; ++a) {
        members.clear();
        for (size_t x = 0; x < n; ++x)
            if ((together || articulation[x] == a) && excluded[x] == 0) members.push_back(x);
        if (members.empty()) continue;

        // Seeding: every member opens a group number in turn, which collects
        // the still ungrouped members within the tolerance of it.
        int32_t g = 0;
        for (const size_t s : members) {
            ++g;
            int32_t takeCounter = 0;
            for (const size_t x : members) {
                if (out.group[x] != 0) continue;
                if (std::fabs(distance[s] - distance[x]) < tol) {
                    out.group[x] = g;
                    out.take[x] = ++takeCounter;
                }
            }
        }

        // Compaction to 1..G in order of the raw numbers.
        renumber.assign(static_cast<size_t>(g) + 1, 0);
        for (const size_t x : members)
            if (out.group[x] != 0) renumber[static_cast<size_t>(out.group[x])] = 1;
        int32_t used = 0;
        for (int32_t h = 1; h <= g; ++h)
            if (renumber[static_cast<size_t>(h)] != 0) renumber[static_cast<size_t>(h)] = ++used;
        for (const size_t x : members)
            if (out.group[x] != 0) out.group[x] = renumber[static_cast<size_t>(out.group[x])];
        out.groupCount[static_cast<size_t>(a - 1)] = used;

        for (const size_t x : members) {
            const int32_t d = out.group[x];
            if (d >= 1 && d <= kDeriveTableLimit && out.take[x] == 1)
                firstTakeLevel[static_cast<size_t>(a - 1) * kDeriveTableLimit + static_cast<size_t>(d - 1)] = level[x];
        }
    }

    for (int32_t a = 1; a <= kLegacyArticulations; ++a) {
        const int32_t top = std::min(kDeriveTableLimit, out.groupCount[static_cast<size_t>(a - 1)]);
        for (int32_t d = 1; d <= top; ++d) {
            const float v =
                firstTakeLevel[static_cast<size_t>(a - 1) * kDeriveTableLimit + static_cast<size_t>(d - 1)];
            if (std::find(out.dynamics.begin(), out.dynamics.end(), v) == out.dynamics.end())
                out.dynamics.push_back(v);
        }
    }
    out.dynamicCount = static_cast<int32_t>(out.dynamics.size());
    return out;
}

SampleMeta makeSampleMeta(int32_t dynamicPart, int32_t articulation) noexcept {
    SampleMeta meta;
    meta.dynamicGroup = dynamicPart < 0 ? 0 : dynamicPart;
    meta.articulation =
        (articulation >= 1 && articulation <= kLegacyArticulations) ? static_cast<uint8_t>(articulation) : 0;
    return meta;
}

void buildV4LookupTable(std::vector<SelectionCell>& cells, std::vector<std::string>& warnings, int32_t dynamic,
                        int32_t take, int32_t articulation, int32_t sample) {
    for (SelectionCell& cell : cells) {
        if (cell.dynamic != dynamic || cell.take != take || cell.articulation != articulation) continue;
        if (cell.sample != sample) {
            warnings.push_back("v4 legacy lookup collision at (group " + std::to_string(dynamic) + ", take " +
                               std::to_string(take) + ", art " + std::to_string(articulation) +
                               "): sample " + std::to_string(cell.sample) + " -> " + std::to_string(sample) +
                               " (last writer wins)");
            cell.sample = sample;
        }
        return;
    }
    cells.push_back(SelectionCell{dynamic, take, articulation, sample});
}

SelectionIndex buildLayerLookup(int32_t dynamicCount, std::span<const float> levels,
                                std::span<const SelectionCell> cells) {
    SelectionIndex index;
    if (dynamicCount < 1 || levels.size() < static_cast<size_t>(dynamicCount)) return index;
    const auto count = static_cast<size_t>(dynamicCount);
    index.dynamicCount = dynamicCount;
    index.dynamics.assign(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(count));

    const size_t cellCount = count * kLegacyArticulations;
    auto cellOf = [](const SelectionCell& cell) {
        return static_cast<size_t>(cell.dynamic - 1) * kLegacyArticulations +
               static_cast<size_t>(cell.articulation - 1);
    };
    std::vector<int32_t> takes(cellCount, 0);
    for (const SelectionCell& cell : cells) {
        if (cell.dynamic < 1 || cell.dynamic > dynamicCount || cell.articulation < 1 ||
            cell.articulation > kLegacyArticulations || cell.take < 1 || cell.sample < 1)
            return index;
        ++takes[cellOf(cell)];
    }

    index.cellStart.assign(cellCount + 1, 0);
    for (size_t c = 0; c < cellCount; ++c) index.cellStart[c + 1] = index.cellStart[c] + takes[c];

    index.cellSamples.assign(static_cast<size_t>(index.cellStart[cellCount]), 0);
    for (const SelectionCell& cell : cells) {
        const size_t c = cellOf(cell);
        if (cell.take > takes[c]) return index;
        int32_t& slot = index.cellSamples[static_cast<size_t>(index.cellStart[c] + cell.take - 1)];
        if (slot != 0) return index;
        slot = cell.sample;
    }
    if (std::find(index.cellSamples.begin(), index.cellSamples.end(), 0) != index.cellSamples.end()) return index;

    index.multiTake = std::any_of(takes.begin(), takes.end(), [](int32_t t) { return t > 1; });

    index.ladderEnd.assign(1, 0);
    for (int32_t a = 1; a <= kLegacyArticulations; ++a) {
        const auto begin = static_cast<std::ptrdiff_t>(index.ladder.size());
        for (size_t d = 1; d <= count; ++d) {
            const float level = index.dynamics[d - 1];
            if (takes[(d - 1) * kLegacyArticulations + static_cast<size_t>(a - 1)] > 0 && std::isfinite(level))
                index.ladder.push_back(LadderStep{static_cast<int32_t>(d), level});
        }
        std::sort(index.ladder.begin() + begin, index.ladder.end(), [](const LadderStep& x, const LadderStep& y) {
            return x.level != y.level ? x.level < y.level : x.dynamic < y.dynamic;
        });
        // Equal levels give one step, named by the lowest dynamic.
        const auto last = std::unique(index.ladder.begin() + begin, index.ladder.end(),
                                      [](const LadderStep& x, const LadderStep& y) { return x.level == y.level; });
        index.ladder.erase(last, index.ladder.end());
        index.ladderEnd.push_back(index.ladder.size());
    }
    index.ok = true;
    return index;
}

} // namespace vt6::zem
