#pragma once
// The floor the editor benchmarks set their edits against: rebuilding the
// overlay's whole grid and painting the editor, on a mounted document of
// the benchmark's own kind (anything with `overlay` and `paint()`).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace vt6::bench {

using RebuildClock = std::chrono::steady_clock;

inline double secondsBetween(RebuildClock::time_point a, RebuildClock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Median of a few rebuilds with their paint, in seconds.
template <class Mounted>
double rebuildFloor(Mounted& m) {
    std::vector<double> runs;
    for (int i = 0; i < 7; ++i) {
        const auto t0 = RebuildClock::now();
        m.overlay->rebuildStructure();
        m.paint();
        runs.push_back(secondsBetween(t0, RebuildClock::now()));
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

// The rebuild with its paint as a benchmark of its own, against a 33 ms frame.
template <class Mounted>
void rebuildAndPaint(benchmark::State& state) {
    Mounted m;
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = RebuildClock::now();
        m.overlay->rebuildStructure();
        m.paint();
        const double s = secondsBetween(t0, RebuildClock::now());
        total += s;
        state.SetIterationTime(s);
    }
    state.counters["vs_frame"] = total / static_cast<double>(state.iterations()) / 0.033;
}

} // namespace vt6::bench
