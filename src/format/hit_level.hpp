#pragma once
// Records the analysis produces and the file library stores or passes on.
// They live here, in the lowest layer that needs them, so the file library
// does not depend on the analysis code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "format/result.hpp"

namespace vt6::fmt {

// One hit-level measurement of a sample. A default-constructed value is the
// unmeasured one: version 1, every flag clear, all levels minus infinity,
// onset 0.
struct HitLevel {
    static constexpr double kSilentDb = -std::numeric_limits<double>::infinity();

    uint32_t version = 1;
    bool measured = false;   // a level was computed
    bool finite = false;     // level_db is a finite number
    bool cancelled = false;  // the measurement was cancelled
    double level_db = kSilentDb;
    uint64_t onset_frame = 0;  // onset of the hit within the sample's stored audio
    // Levels of the 10, 25 and 50 ms windows; never stored in a file.
    std::array<double, 3> window_db{kSilentDb, kSilentDb, kSilentDb};

    static HitLevel unmeasured() noexcept { return HitLevel{}; }

    bool operator==(const HitLevel&) const = default;
};

// Mono analysis audio of one sample. "No audio" is an empty vector with rate
// 44100.
struct Pa6 {
    static constexpr uint32_t kDefaultRate = 44100;

    std::vector<float> samples;
    uint32_t sample_rate = kDefaultRate;

    Pa6() = default;
    Pa6(std::vector<float> mono, uint32_t rate) : samples(std::move(mono)), sample_rate(rate) {}

    bool empty() const noexcept { return samples.empty(); }

    bool operator==(const Pa6&) const = default;
};

// Supplies the analysis audio of the sample at a row index of an open file.
// An empty Pa6 means the sample has no usable audio.
using Fn = std::function<Result<Pa6>(size_t)>;

} // namespace vt6::fmt
