#include "analysis/auto_sort.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace vt6::fmt {
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
// Beyond this many distinct keys the groups are found by sorting the keys
// instead of inserting each new one into a short sorted list.
constexpr size_t kInsertedKeys = 64;
// Groups remembered by a workspace; the least recently used goes first.
constexpr size_t kMemoGroups = 64;

using BandStats = SortWorkspace::BandStats;
using Cluster = SortWorkspace::Cluster;

// usableLevel, visible to the inliner in the loops below.
inline bool usable(const HitLevel& level) noexcept {
    return level.version == 1 && level.finite && !level.cancelled && std::isfinite(level.level_db);
}

SortPlacement defaultPlacement(const SortSample& s) {
    return SortPlacement{s.currentBand, 0.0, 0, 0};
}

// Median by selection; the same value a full sort would give.
double median(std::span<double> values) {
    const size_t n = values.size();
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), mid, values.end());
    if (n % 2 == 1) return *mid;
    return (*std::max_element(values.begin(), mid) + *mid) / 2.0;
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

// The gap rule over one group; `members` are positions in `rows` and `out`.
void gapRule(std::span<const SortSample* const> rows, std::span<const size_t> members,
             std::span<const int32_t> boundaries, SortWorkspace& work, std::span<SortPlacement> out) {
    std::vector<size_t>& sorted = work.sorted;
    sorted.clear();
    for (size_t r : members) {
        if (usable(rows[r]->hitLevel)) sorted.push_back(r);
    }
    std::sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) { return levelLess(*rows[a], *rows[b]); });

    auto level = [&](size_t pos) { return rows[sorted[pos]]->hitLevel.level_db; };
    std::vector<Cluster>& clusters = work.clusters;
    clusters.clear();
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
        std::vector<double>& gaps = work.gaps;
        gaps.clear();
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
            if (confident && rows[r]->keep == 0) {
                out[r].band = band;
                out[r].assigned = 1;
                out[r].changed = band != rows[r]->currentBand ? 1 : 0;
            }
        }
    }
}

double matchTolerance(const BandStats& s) {
    return std::max(2.5 * s.spread, 1.25);
}

// Per key with anchors, per band: reference level, spread, robustness and
// order consistency, from the anchors of the members in their working bands.
void bandStatistics(std::span<const SortSample* const> rows, std::span<const size_t> members,
                    std::span<const int64_t> bands, size_t nb, SortWorkspace& work) {
    auto& anchors = work.anchors;
    anchors.clear();
    for (size_t m = 0; m < members.size(); ++m) {
        const SortSample& s = *rows[members[m]];
        if (s.locked == 0 || !usable(s.hitLevel) || static_cast<uint64_t>(bands[m]) >= nb) continue;
        anchors.push_back(SortWorkspace::Anchor{s.groupKey, static_cast<uint32_t>(bands[m]), s.hitLevel.level_db});
    }
    // Each (key, band) list contiguous. One key (the usual case) needs only
    // a counting pass by band.
    const bool oneKey = std::all_of(anchors.begin(), anchors.end(),
                                    [&](const auto& a) { return a.key == anchors.front().key; });
    if (oneKey) {
        work.bandFill.assign(nb + 1, 0);
        for (const auto& a : anchors) ++work.bandFill[a.band + 1];
        for (size_t b = 0; b < nb; ++b) work.bandFill[b + 1] += work.bandFill[b];
        work.anchorsByBand.resize(anchors.size());
        for (const auto& a : anchors) work.anchorsByBand[work.bandFill[a.band]++] = a;
        anchors.swap(work.anchorsByBand);
    } else {
        std::sort(anchors.begin(), anchors.end(), [](const auto& a, const auto& b) {
            if (a.key != b.key) return a.key < b.key;
            return a.band < b.band;
        });
    }

    work.statKeys.clear();
    work.stats.clear();
    for (size_t i = 0; i < anchors.size();) {
        if (work.statKeys.empty() || work.statKeys.back() != anchors[i].key) {
            work.statKeys.push_back(anchors[i].key);
            work.stats.resize(work.stats.size() + nb);
        }
        BandStats* keyBands = work.stats.data() + work.stats.size() - nb;
        size_t j = i;
        work.deviations.clear();
        while (j < anchors.size() && anchors[j].key == anchors[i].key && anchors[j].band == anchors[i].band) {
            work.deviations.push_back(anchors[j].level);
            ++j;
        }
        BandStats& st = keyBands[anchors[i].band];
        st.anchored = true;
        st.reference = median(work.deviations);
        for (double& v : work.deviations) v = std::fabs(v - st.reference);
        st.spread = kSpreadFactor * median(work.deviations);
        st.robust = j - i >= kRobustAnchors;
        i = j;
    }
    for (size_t k = 0; k < work.statKeys.size(); ++k) {
        BandStats* keyBands = work.stats.data() + k * nb;
        for (size_t i = 0; i < nb; ++i) {
            for (size_t j = i + 1; j < nb; ++j) {
                if (!keyBands[i].robust || !keyBands[j].robust) continue;
                if (keyBands[i].reference > keyBands[j].reference + kOrderToleranceDb) {
                    keyBands[i].consistent = false;
                    keyBands[j].consistent = false;
                }
            }
        }
    }
}

// One anchored pass over the members, each in its working band; writes
// out[members[m]].
void anchoredPass(std::span<const SortSample* const> rows, std::span<const size_t> members,
                  std::span<const int64_t> bands, std::span<const int32_t> boundaries, SortWorkspace& work,
                  std::span<SortPlacement> out) {
    const size_t nb = boundaries.size() + 1;
    bandStatistics(rows, members, bands, nb, work);

    for (size_t m = 0; m < members.size(); ++m) {
        const SortSample& s = *rows[members[m]];
        const int64_t current = bands[m];
        SortPlacement& p = out[members[m]];
        p = SortPlacement{current, 0.0, 0, 0};
        if (s.keep != 0 || !usable(s.hitLevel) || static_cast<uint64_t>(current) >= nb) continue;
        const auto key = std::lower_bound(work.statKeys.begin(), work.statKeys.end(), s.groupKey);
        if (key == work.statKeys.end() || *key != s.groupKey) continue;
        const BandStats* keyBands = work.stats.data() + static_cast<size_t>(key - work.statKeys.begin()) * nb;
        const auto b = static_cast<size_t>(current);
        const double level = s.hitLevel.level_db;
        p.scaleLevel = bandCentre(current, boundaries);

        if (s.locked != 0) {
            if (!keyBands[b].robust || !keyBands[b].consistent) continue;
            const double tolerance = std::max(4.0 * keyBands[b].spread, 3.0) + kOrderToleranceDb;
            if (std::fabs(level - keyBands[b].reference) <= tolerance) {
                p.assigned = 1;
                continue;
            }
        }

        size_t matches = 0;
        size_t match = 0;
        for (size_t k = 0; k < nb; ++k) {
            if (!keyBands[k].anchored) continue;
            if (std::fabs(level - keyBands[k].reference) <= matchTolerance(keyBands[k])) {
                ++matches;
                match = k;
            }
        }
        if (matches != 1) continue;
        const BandStats& target = keyBands[match];
        if (!target.consistent) continue;
        if (!target.robust) {
            if (s.locked != 0 || std::fabs(level - target.reference) > kOrderToleranceDb) continue;
            bool separated = false;
            bool ordered = true;
            for (size_t k = 0; k < nb; ++k) {
                if (k == match || !keyBands[k].anchored) continue;
                if (std::fabs(keyBands[k].reference - target.reference) >= kWeakSeparationDb) separated = true;
                if (k < match && keyBands[k].reference > target.reference + kOrderToleranceDb) ordered = false;
                if (k > match && keyBands[k].reference < target.reference - kOrderToleranceDb) ordered = false;
            }
            if (!separated || !ordered) continue;
        }

        if (match == b) {
            p.assigned = 1;
            continue;
        }
        if (s.locked != 0) {
            const double apart = matchTolerance(target) + matchTolerance(keyBands[b]) + kOrderToleranceDb;
            if (!(std::fabs(target.reference - keyBands[b].reference) > apart)) continue;
        }
        p.band = static_cast<int64_t>(match);
        p.scaleLevel = bandCentre(p.band, boundaries);
        p.assigned = 1;
        p.changed = 1;
    }
}

// The anchored sort of the members, into out[members[m]]: passes move the
// working bands until nothing changes.
void anchoredMembers(std::span<const SortSample* const> rows, std::span<const size_t> members,
                     std::span<const int32_t> boundaries, SortWorkspace& work, std::span<SortPlacement> out) {
    std::vector<int64_t>& bands = work.workBands;
    bands.resize(members.size());
    for (size_t m = 0; m < members.size(); ++m) bands[m] = rows[members[m]]->currentBand;
    auto giveUp = [&]() {
        for (size_t r : members) out[r] = defaultPlacement(*rows[r]);
    };

    bool settled = false;
    for (int pass = 0; pass < kMaxPasses && !settled; ++pass) {
        anchoredPass(rows, members, bands, boundaries, work, out);
        settled = true;
        for (size_t m = 0; m < members.size(); ++m) {
            if (out[members[m]].changed != 0) {
                bands[m] = out[members[m]].band;
                settled = false;
            }
        }
    }
    if (!settled) return giveUp();

    for (size_t m = 0; m < members.size(); ++m) {
        if (bands[m] != rows[members[m]]->currentBand && out[members[m]].assigned == 0) return giveUp();
    }
    for (size_t m = 0; m < members.size(); ++m) {
        SortPlacement& p = out[members[m]];
        p.band = bands[m];
        p.changed = bands[m] != rows[members[m]]->currentBand ? 1 : 0;
    }
}

// Groups by key, ascending, members in input order.
void groupByKey(std::span<const SortSample* const> rows, SortWorkspace& work) {
    std::vector<uint32_t>& keys = work.groupKeys;
    keys.clear();
    for (const SortSample* s : rows) {
        const auto at = std::lower_bound(keys.begin(), keys.end(), s->groupKey);
        if (at != keys.end() && *at == s->groupKey) continue;
        if (keys.size() == kInsertedKeys) {
            keys.clear();
            for (const SortSample* t : rows) keys.push_back(t->groupKey);
            std::sort(keys.begin(), keys.end());
            keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
            break;
        }
        keys.insert(at, s->groupKey);
    }
    auto groupOf = [&](uint32_t key) {
        return static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
    };
    work.groupStart.assign(keys.size() + 1, 0);
    if (keys.size() == 1) {
        work.groupStart[1] = rows.size();
        work.groupMembers.resize(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) work.groupMembers[i] = i;
        return;
    }
    for (const SortSample* s : rows) ++work.groupStart[groupOf(s->groupKey) + 1];
    for (size_t g = 0; g < keys.size(); ++g) work.groupStart[g + 1] += work.groupStart[g];
    work.groupMembers.resize(rows.size());
    work.workBands.assign(work.groupStart.begin(), work.groupStart.end() - 1);  // fill positions
    for (size_t i = 0; i < rows.size(); ++i) {
        int64_t& fill = work.workBands[groupOf(rows[i]->groupKey)];
        work.groupMembers[static_cast<size_t>(fill++)] = i;
    }
}

std::span<const SortSample* const> pointersTo(std::span<const SortSample> samples, SortWorkspace& work) {
    work.pointers.resize(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) work.pointers[i] = &samples[i];
    return work.pointers;
}

void startAtDefaults(std::span<const SortSample* const> rows, std::vector<SortPlacement>& out) {
    out.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) out[i] = defaultPlacement(*rows[i]);
}

// The inputs of a member that its group's placements depend on.
SortWorkspace::MemoRow memoRow(const SortSample& s) noexcept {
    SortWorkspace::MemoRow row;
    row.id = s.id;
    row.currentBand = s.currentBand;
    row.usable = usable(s.hitLevel) ? 1 : 0;
    row.levelBits = row.usable != 0 ? std::bit_cast<uint64_t>(s.hitLevel.level_db) : 0;
    row.keep = s.keep;
    row.locked = s.locked;
    return row;
}

// The remembered group with exactly these inputs, or null.
SortWorkspace::Memo* findMemo(std::span<const SortSample* const> rows, std::span<const size_t> members,
                              std::span<const int32_t> boundaries, SortWorkspace& work) {
    const uint32_t key = rows[members.front()]->groupKey;
    for (SortWorkspace::Memo& memo : work.memos) {
        if (memo.key != key || memo.rows.size() != members.size() ||
            !std::equal(memo.boundaries.begin(), memo.boundaries.end(), boundaries.begin(), boundaries.end()))
            continue;
        size_t m = 0;
        while (m < members.size() && memo.rows[m] == memoRow(*rows[members[m]])) ++m;
        if (m == members.size()) return &memo;
    }
    return nullptr;
}

void remember(std::span<const SortSample* const> rows, std::span<const size_t> members,
              std::span<const int32_t> boundaries, SortWorkspace& work, std::span<const SortPlacement> out) {
    SortWorkspace::Memo* memo = nullptr;
    if (work.memos.size() < kMemoGroups) {
        memo = &work.memos.emplace_back();
    } else {
        memo = &*std::min_element(work.memos.begin(), work.memos.end(),
                                  [](const auto& a, const auto& b) { return a.lastUse < b.lastUse; });
    }
    memo->key = rows[members.front()]->groupKey;
    memo->lastUse = ++work.memoClock;
    memo->boundaries.assign(boundaries.begin(), boundaries.end());
    memo->rows.resize(members.size());
    for (size_t m = 0; m < members.size(); ++m) memo->rows[m] = memoRow(*rows[members[m]]);
    memo->placements.resize(members.size());
    for (size_t m = 0; m < members.size(); ++m) memo->placements[m] = out[members[m]];
}

} // namespace

bool usableLevel(const HitLevel& level) noexcept {
    return usable(level);
}

void autoSortBands(std::span<const SortSample* const> rows, std::span<const int32_t> boundaries,
                   SortWorkspace& work, std::vector<SortPlacement>& out) {
    startAtDefaults(rows, out);
    if (!validBoundaries(boundaries) || rows.empty()) return;

    groupByKey(rows, work);
    for (size_t g = 0; g + 1 < work.groupStart.size(); ++g) {
        const std::span<const size_t> members(work.groupMembers.data() + work.groupStart[g],
                                              work.groupStart[g + 1] - work.groupStart[g]);
        if (SortWorkspace::Memo* memo = findMemo(rows, members, boundaries, work)) {
            memo->lastUse = ++work.memoClock;
            for (size_t m = 0; m < members.size(); ++m) out[members[m]] = memo->placements[m];
            continue;
        }
        const bool anyLocked = std::any_of(members.begin(), members.end(), [&](size_t r) { return rows[r]->locked != 0; });
        if (anyLocked) {
            anchoredMembers(rows, members, boundaries, work, out);
        } else {
            gapRule(rows, members, boundaries, work, out);
        }
        remember(rows, members, boundaries, work, out);
    }
}

std::vector<SortPlacement> autoSortBands(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    SortWorkspace work;
    std::vector<SortPlacement> out;
    autoSortBands(pointersTo(samples, work), boundaries, work, out);
    return out;
}

std::vector<SortPlacement> anchoredSortPass(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    SortWorkspace work;
    const auto rows = pointersTo(samples, work);
    std::vector<SortPlacement> out(samples.size());
    std::vector<size_t> members(samples.size());
    std::vector<int64_t> bands(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        members[i] = i;
        bands[i] = samples[i].currentBand;
    }
    anchoredPass(rows, members, bands, boundaries, work, out);
    return out;
}

std::vector<SortPlacement> anchoredSort(std::span<const SortSample> samples, std::span<const int32_t> boundaries) {
    SortWorkspace work;
    const auto rows = pointersTo(samples, work);
    std::vector<SortPlacement> out(samples.size());
    std::vector<size_t> members(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) members[i] = i;
    anchoredMembers(rows, members, boundaries, work, out);
    return out;
}

} // namespace vt6::fmt
