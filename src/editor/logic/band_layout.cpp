#include "editor/logic/band_layout.hpp"

#include <algorithm>
#include <cmath>

namespace vt6::ui::zemedit::logic {

namespace {

constexpr double kMargin = 0.001;
constexpr double kFree = 1e9;

} // namespace

std::vector<int32_t> levelPositionsToVelocitySplits(std::span<const double> positions) {
    std::vector<int32_t> splits;
    const size_t n = positions.size();
    if (n < 2) return splits;
    splits.reserve(n - 1);
    int32_t prev = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        double x = (positions[i] + positions[i + 1]) / 2.0;
        // NaN has no place on the scale; it must never reach the rounding.
        if (std::isnan(x)) x = 0.0;
        x = std::clamp(x, 0.0, 1.0);
        const auto b = static_cast<int32_t>(std::round(x * 127.0));
        const auto hi = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(i) - static_cast<int64_t>(n) + 128, 1, 126));
        const int32_t lo = std::min(prev + 1, hi);
        const int32_t split = b > hi ? hi : std::max(b, lo);
        splits.push_back(split);
        prev = split;
    }
    return splits;
}

BandLayout splitsToLevelPositions(std::span<const int32_t> splits) {
    BandLayout out;
    const size_t m = splits.size() + 1;
    if (m < 2) {
        out.positions = {0.5};
        out.exact = 1;
        return out;
    }
    // Edges u[0..m] and positions p[k] = c[k] + s[k] t (1-based k), so that
    // every pair of neighbours has its midpoint on the edge between them.
    std::vector<double> u(m + 1);
    u[0] = 0.0;
    for (size_t k = 1; k < m; ++k) u[k] = splits[k - 1] / 127.0;
    u[m] = 1.0;
    std::vector<double> c(m + 1, 0.0);
    std::vector<double> s(m + 1, 1.0);
    for (size_t k = 1; k < m; ++k) {
        c[k + 1] = 2.0 * u[k] - c[k];
        s[k + 1] = -s[k];
    }

    double lo = -kFree;
    double hi = kFree;
    auto atMost = [&](size_t k, double bound) {  // p[k] <= bound
        if (s[k] > 0) hi = std::min(hi, bound - c[k]);
        else lo = std::max(lo, c[k] - bound);
    };
    auto atLeast = [&](size_t k, double bound) {  // p[k] >= bound
        if (s[k] > 0) lo = std::max(lo, bound - c[k]);
        else hi = std::min(hi, c[k] - bound);
    };
    for (size_t k = 1; k <= m; ++k) {
        if (k < m) atMost(k, u[k]);
        atLeast(k, u[k] - 1.0 + kMargin);
        atMost(k, u[k - 1] + 1.0 - kMargin);
    }

    out.positions.resize(m);
    if (hi > lo) {
        const double t = (lo + hi) / 2.0;
        for (size_t k = 1; k <= m; ++k) out.positions[k - 1] = c[k] + s[k] * t;
        out.splits.assign(splits.begin(), splits.end());
        out.exact = 1;
        return out;
    }

    double prev = -kFree;
    for (size_t k = 1; k <= m; ++k) {
        const double candidate = k == 1 ? (u[0] + u[1]) / 2.0 : 2.0 * u[k - 1] - out.positions[k - 2];
        const double low = std::max(prev + 0.0001, u[k] - 1.0 + kMargin);
        const double high = std::max(u[k - 1] + 1.0 - kMargin, low);
        const double p = candidate > high ? high : std::max(candidate, low);
        out.positions[k - 1] = p;
        prev = p;
    }
    out.splits = levelPositionsToVelocitySplits(out.positions);
    out.exact = 0;
    return out;
}

BandLayout layoutKeepingSplits(std::span<const int32_t> splits) {
    BandLayout layout = splitsToLevelPositions(splits);
    // The fallback's positions serve while they give the same splits (as
    // they do for the splits it made itself).
    if (layout.exact != 0 || std::equal(layout.splits.begin(), layout.splits.end(), splits.begin(), splits.end())) {
        return layout;
    }
    layout.splits.assign(splits.begin(), splits.end());
    double lower = 0.0;
    for (size_t k = 0; k < layout.positions.size(); ++k) {
        const double upper = k < splits.size() ? splits[k] / 127.0 : 1.0;
        layout.positions[k] = (lower + upper) / 2.0;
        lower = upper;
    }
    return layout;
}

std::pair<int32_t, int32_t> widestBand(std::span<const int32_t> splits) {
    int32_t best = 0;
    int32_t bestWidth = 0;
    int32_t lower = 0;
    for (size_t i = 0; i <= splits.size(); ++i) {
        const int32_t upper = i < splits.size() ? splits[i] : 127;
        const int32_t width = upper - lower;
        if (width > bestWidth) {
            best = static_cast<int32_t>(i);
            bestWidth = width;
        }
        lower = upper;
    }
    return bestWidth > 0 ? std::pair{best, bestWidth} : std::pair{0, 0};
}

BandLayout layoutWithoutBand(std::span<const int32_t> splits, size_t index) {
    if (splits.empty()) return BandLayout{{}, {}, 1};
    index = std::min(index, splits.size());
    auto without = [&](size_t split) {
        std::vector<int32_t> out(splits.begin(), splits.end());
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(split));
        return out;
    };
    // The split below the band is removed when the band below takes it over.
    const size_t below = index == 0 ? 0 : index - 1;
    BandLayout layout = layoutKeepingSplits(without(below));
    if (layout.exact != 0 || index == 0 || index == splits.size()) return layout;
    BandLayout above = splitsToLevelPositions(without(index));
    return above.exact != 0 ? above : layout;
}

BandLayout layoutWithoutBands(std::span<const int32_t> splits, std::span<const uint8_t> drop) {
    BandLayout layout{{}, std::vector<int32_t>(splits.begin(), splits.end()), 1};
    for (size_t w = std::min(drop.size(), splits.size() + 1); w-- > 0;) {
        if (drop[w] != 0) layout = layoutWithoutBand(layout.splits, w);
    }
    return layout;
}

} // namespace vt6::ui::zemedit::logic
