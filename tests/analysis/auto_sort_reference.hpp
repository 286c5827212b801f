#pragma once
// The band sort written the plain way: ordered maps, a copy of the group per
// call and fresh vectors on every pass. The tests hold the working sort to
// exactly these results on random input.

#include <algorithm>
#include <cmath>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "analysis/auto_sort.hpp"

namespace vt6::fmt::test::reference {

inline bool refUsableLevel(const HitLevel& level) noexcept;
inline std::vector<SortPlacement> anchoredSort(std::span<const SortSample> samples, std::span<const int32_t> boundaries);
inline std::vector<SortPlacement> anchoredSortPass(std::span<const SortSample> samples, std::span<const int32_t> boundaries);

namespace {

constexpr double kClusterWidthDb = 1.0;
constexpr double kMinOutlierGapDb = 12.0;
constexpr double kMinRangeDb = 6.0;
constexpr double kOrderToleranceDb = 0.75;
constexpr double kSpreadFactor = 1.4826;
constexpr size_t kRobustAnchors = 3;
constexpr double kWeakSeparationDb = 6.0;
constexpr int kMaxPasses = 8;
constexpr double kScaleTop = 127.0;

SortPlacement defaultPlacement(const SortSample& s) {
    return SortPlacement{s.currentBand, 0.0, 0, 0};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    if (n % 2 == 1) return values[n / 2];
    return (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

bool validBoundaries(std::span<const int32_t> b) {
    if (b.empty() || b.front() <= 0) return false;
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] >= 127) return false;
        if (i > 0 && b[i] <= b[i - 1]) return false;
    }
    return true;
}

int64_t bandOf(double u, std::span<const int32_t> boundaries) {
    int64_t band = 0;
    for (int32_t b : boundaries) {
        if (static_cast<double>(b) < u) ++band;
    }
    return band;
}

double bandCentre(int64_t band, std::span<const int32_t> boundaries) {
    const auto nb = static_cast<int64_t>(boundaries.size()) + 1;
    const double lower = band == 0 ? 0.0 : static_cast<double>(boundaries[static_cast<size_t>(band - 1)]);
    const double upper = band == nb - 1 ? kScaleTop : static_cast<double>(boundaries[static_cast<size_t>(band)]);
    return (lower + upper) * 0.5;
}

bool levelLess(const SortSample& a, const SortSample& b) {
    if (a.hitLevel.level_db != b.hitLevel.level_db) return a.hitLevel.level_db < b.hitLevel.level_db;
    return a.id < b.id;
}

struct Cluster {
    size_t first = 0;
    size_t last = 0;
    double centre = 0.0;
    double span = 0.0;
};

// The gap rule over one group; `rows` index into `samples` and `out`.
void gapRule(std::span<const SortSample> samples, const std::vector<size_t>& rows,
             std::span<const int32_t> boundaries, std::vector<SortPlacement>& out) {
    std::vector<size_t> sorted;
    for (size_t r : rows) {
        if (refUsableLevel(samples[r].hitLevel)) sorted.push_back(r);
    }
    std::sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) { return levelLess(samples[a], samples[b]); });

    auto level = [&](size_t pos) { return samples[sorted[pos]].hitLevel.level_db; };
    std::vector<Cluster> clusters;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j + 1 < sorted.size() && level(j + 1) - level(i) <= kClusterWidthDb) ++j;
        clusters.push_back(Cluster{i, j, (level(i) + level(j)) / 2.0, level(j) - level(i)});
        i = j + 1;
    }
    const size_t count = clusters.size();
    if (count < 2) return;

    size_t low = 0;
    size_t high = count - 1;
    if (count >= 5) {
        std::vector<double> gaps;
        for (size_t k = 1; k + 2 < count; ++k) gaps.push_back(clusters[k + 1].centre - clusters[k].centre);
        const double threshold = std::max(3.0 * median(gaps), kMinOutlierGapDb);
        if (clusters[1].centre - clusters[0].centre > threshold) low = 1;
        if (clusters[count - 1].centre - clusters[count - 2].centre > threshold) high = count - 2;
    }
    const double range = clusters[high].centre - clusters[low].centre;
    if (range < kMinRangeDb) return;

    const int64_t lastBand = static_cast<int64_t>(boundaries.size());
    for (const Cluster& c : clusters) {
        const double u = std::clamp((c.centre - clusters[low].centre) * kScaleTop / range, 0.0, kScaleTop);
        const int64_t band = bandOf(u, boundaries);
        const double margin = (c.span / 2.0 + kOrderToleranceDb) * kScaleTop / range;
        const bool clearBelow = band == 0 || u - boundaries[static_cast<size_t>(band - 1)] > margin;
        const bool clearAbove = band == lastBand || boundaries[static_cast<size_t>(band)] - u > margin;
        const bool confident = clearBelow && clearAbove;
        for (size_t pos = c.first; pos <= c.last; ++pos) {
            const size_t r = sorted[pos];
            out[r].scaleLevel = u;
            if (confident && samples[r].keep == 0) {
                out[r].band = band;
                out[r].assigned = 1;
                out[r].changed = band != samples[r].currentBand ? 1 : 0;
            }
        }
    }
}

struct BandStats {
    bool anchored = false;
    double reference = 0.0;
    double spread = 0.0;
    bool robust = false;
    bool consistent = true;
};

double matchTolerance(const BandStats& s) {
    return std::max(2.5 * s.spread, 1.25);
}

} // namespace

inline bool refUsableLevel(const HitLevel& level) noexcept {
    return level.version == 1 && level.finite && !level.cancelled && std::isfinite(level.level_db);
}

inline std::vector<SortPlacement> autoSortBands(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    std::vector<SortPlacement> out;
    out.reserve(samples.size());
    for (const SortSample& s : samples) out.push_back(defaultPlacement(s));
    if (!validBoundaries(boundaries)) return out;

    std::map<uint32_t, std::vector<size_t>> groups;
    for (size_t i = 0; i < samples.size(); ++i) groups[samples[i].groupKey].push_back(i);

    for (const auto& [key, rows] : groups) {
        const bool anyLocked =
            std::any_of(rows.begin(), rows.end(), [&](size_t r) { return samples[r].locked != 0; });
        if (anyLocked) {
            std::vector<SortSample> group;
            group.reserve(rows.size());
            for (size_t r : rows) group.push_back(samples[r]);
            const std::vector<SortPlacement> placed = reference::anchoredSort(group, boundaries);
            for (size_t k = 0; k < rows.size(); ++k) out[rows[k]] = placed[k];
        } else {
            gapRule(samples, rows, boundaries, out);
        }
    }
    return out;
}

inline std::vector<SortPlacement> anchoredSortPass(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    std::vector<SortPlacement> out;
    out.reserve(samples.size());
    for (const SortSample& s : samples) out.push_back(defaultPlacement(s));

    const size_t nb = boundaries.size() + 1;
    auto inRange = [nb](int64_t band) { return static_cast<uint64_t>(band) < nb; };

    std::map<uint32_t, std::vector<std::vector<double>>> anchors;
    for (const SortSample& s : samples) {
        if (s.locked == 0 || !refUsableLevel(s.hitLevel) || !inRange(s.currentBand)) continue;
        auto& lists = anchors[s.groupKey];
        if (lists.empty()) lists.resize(nb);
        lists[static_cast<size_t>(s.currentBand)].push_back(s.hitLevel.level_db);
    }

    std::map<uint32_t, std::vector<BandStats>> stats;
    for (const auto& [key, lists] : anchors) {
        std::vector<BandStats>& bands = stats[key];
        bands.resize(nb);
        for (size_t b = 0; b < nb; ++b) {
            if (lists[b].empty()) continue;
            BandStats& st = bands[b];
            st.anchored = true;
            st.reference = median(lists[b]);
            std::vector<double> deviations;
            deviations.reserve(lists[b].size());
            for (double v : lists[b]) deviations.push_back(std::fabs(v - st.reference));
            st.spread = kSpreadFactor * median(std::move(deviations));
            st.robust = lists[b].size() >= kRobustAnchors;
        }
        for (size_t i = 0; i < nb; ++i) {
            for (size_t j = i + 1; j < nb; ++j) {
                if (!bands[i].robust || !bands[j].robust) continue;
                if (bands[i].reference > bands[j].reference + kOrderToleranceDb) {
                    bands[i].consistent = false;
                    bands[j].consistent = false;
                }
            }
        }
    }

    for (size_t idx = 0; idx < samples.size(); ++idx) {
        const SortSample& s = samples[idx];
        if (s.keep != 0 || !refUsableLevel(s.hitLevel) || !inRange(s.currentBand)) continue;
        const auto found = stats.find(s.groupKey);
        if (found == stats.end()) continue;
        const std::vector<BandStats>& bands = found->second;
        const auto b = static_cast<size_t>(s.currentBand);
        const double level = s.hitLevel.level_db;
        SortPlacement& p = out[idx];
        p.scaleLevel = bandCentre(s.currentBand, boundaries);

        if (s.locked != 0) {
            if (!bands[b].robust || !bands[b].consistent) continue;
            const double tolerance = std::max(4.0 * bands[b].spread, 3.0) + kOrderToleranceDb;
            if (std::fabs(level - bands[b].reference) <= tolerance) {
                p.assigned = 1;
                continue;
            }
        }

        size_t matches = 0;
        size_t m = 0;
        for (size_t k = 0; k < nb; ++k) {
            if (!bands[k].anchored) continue;
            if (std::fabs(level - bands[k].reference) <= matchTolerance(bands[k])) {
                ++matches;
                m = k;
            }
        }
        if (matches != 1) continue;
        const BandStats& target = bands[m];
        if (!target.consistent) continue;
        if (!target.robust) {
            if (s.locked != 0 || std::fabs(level - target.reference) > kOrderToleranceDb) continue;
            bool separated = false;
            bool ordered = true;
            for (size_t k = 0; k < nb; ++k) {
                if (k == m || !bands[k].anchored) continue;
                if (std::fabs(bands[k].reference - target.reference) >= kWeakSeparationDb) separated = true;
                if (k < m && bands[k].reference > target.reference + kOrderToleranceDb) ordered = false;
                if (k > m && bands[k].reference < target.reference - kOrderToleranceDb) ordered = false;
            }
            if (!separated || !ordered) continue;
        }

        if (m == b) {
            p.assigned = 1;
            continue;
        }
        if (s.locked != 0) {
            const double apart = matchTolerance(target) + matchTolerance(bands[b]) + kOrderToleranceDb;
            if (!(std::fabs(target.reference - bands[b].reference) > apart)) continue;
        }
        p.band = static_cast<int64_t>(m);
        p.scaleLevel = bandCentre(p.band, boundaries);
        p.assigned = 1;
        p.changed = 1;
    }
    return out;
}

inline std::vector<SortPlacement> anchoredSort(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    std::vector<SortSample> work(samples.begin(), samples.end());
    auto giveUp = [&]() {
        std::vector<SortPlacement> out;
        out.reserve(samples.size());
        for (const SortSample& s : samples) out.push_back(defaultPlacement(s));
        return out;
    };

    std::vector<SortPlacement> last;
    bool settled = false;
    for (int pass = 0; pass < kMaxPasses && !settled; ++pass) {
        last = reference::anchoredSortPass(work, boundaries);
        settled = true;
        for (size_t i = 0; i < work.size(); ++i) {
            if (last[i].changed != 0) {
                work[i].currentBand = last[i].band;
                settled = false;
            }
        }
    }
    if (!settled) return giveUp();

    for (size_t i = 0; i < work.size(); ++i) {
        if (work[i].currentBand != samples[i].currentBand && last[i].assigned == 0) return giveUp();
    }
    for (size_t i = 0; i < work.size(); ++i) {
        last[i].band = work[i].currentBand;
        last[i].changed = work[i].currentBand != samples[i].currentBand ? 1 : 0;
    }
    return last;
}

} // namespace vt6::fmt::test::reference
