#pragma once
// Sort rows with a usable or missing level, for the band sort tests.

#include <cmath>

#include "analysis/auto_sort.hpp"

namespace vt6::fmt::test {

inline HitLevel levelOf(double db) {
    HitLevel h;
    h.measured = true;
    h.finite = std::isfinite(db);
    h.level_db = db;
    return h;
}

inline SortSample row(uint64_t id, double db, int64_t band = -1, uint32_t key = 0, uint8_t keep = 0, uint8_t locked = 0) {
    return SortSample{id, key, band, levelOf(db), keep, locked};
}

} // namespace vt6::fmt::test
