#include "analysis/input_descriptors.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <span>
#include <vector>

namespace vt6::fmt {
namespace {

// A decaying two-tone hit with noise at 44100 Hz, peak about 1.
std::vector<double> hit(size_t n, double decayPerSecond = 8.0, unsigned seed = 3) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 44100;
        x[i] = std::exp(-decayPerSecond * t) *
               (0.6 * std::sin(2 * M_PI * 180 * t) + 0.3 * std::sin(2 * M_PI * 1370 * t) + 0.1 * u(rng));
    }
    return x;
}

// True when v is k * step for an integer k, computed as the code reader does.
bool onGrid(float v, float step) {
    const float k = std::nearbyint(v / step);
    return k * step == v;
}

bool rowIsNaN(std::span<const float> row) {
    for (const float v : row) {
        if (!std::isnan(v)) return false;
    }
    return true;
}

bool rowHasFinite(std::span<const float> row) { return !rowIsNaN(row); }

template <size_t N>
std::span<const float> rowOf(const std::array<float, N>& field, int32_t row, int32_t columns) {
    return std::span<const float>(field).subspan(static_cast<size_t>(row * columns), static_cast<size_t>(columns));
}

TEST(InputDescriptors, FilterbankTables) {
    struct Case {
        int32_t size;
        size_t pairs;
        int32_t lastBin;
        std::vector<int32_t> band0Bins;
        std::vector<double> band0Weights;
    };
    const std::vector<Case> cases = {
        {512, 460, 186, {0, 1}, {0.583, 0.417}},
        {2048, 1548, 743, {1, 2}, {0.0329, 0.9671}},
        {8192, 5900, 2972, {6, 7, 8, 9, 10}, {0.0963, 0.318, 0.388, 0.1827, 0.015}},
    };
    for (const Case& c : cases) {
        const ErbFilterbank& fb = erbFilterbank(c.size);
        ASSERT_EQ(fb.rowStart.size(), 97u) << c.size;
        EXPECT_EQ(fb.bins.size(), c.pairs) << c.size;
        EXPECT_EQ(fb.weights.size(), c.pairs) << c.size;
        EXPECT_EQ(fb.bins.back(), c.lastBin) << c.size;
        ASSERT_EQ(fb.rowStart[1], static_cast<int32_t>(c.band0Bins.size())) << c.size;
        for (size_t i = 0; i < c.band0Bins.size(); ++i) {
            EXPECT_EQ(fb.bins[i], c.band0Bins[i]) << c.size << " pair " << i;
            EXPECT_NEAR(fb.weights[i], c.band0Weights[i], 0.00005 + 0.0005 * (c.band0Weights[i] >= 0.1)) << c.size;
        }
        for (int32_t b = 0; b < 96; ++b) {
            const int32_t lo = fb.rowStart[static_cast<size_t>(b)];
            const int32_t hi = fb.rowStart[static_cast<size_t>(b) + 1];
            ASSERT_LT(lo, hi) << c.size << " band " << b;
            double sum = 0.0;
            for (int32_t q = lo; q < hi; ++q) {
                EXPECT_GT(fb.weights[static_cast<size_t>(q)], 0.0);
                if (q > lo) {
                    EXPECT_LT(fb.bins[static_cast<size_t>(q) - 1], fb.bins[static_cast<size_t>(q)]);
                }
                sum += fb.weights[static_cast<size_t>(q)];
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << c.size << " band " << b;
        }
    }
    EXPECT_THROW(erbFilterbank(1024), std::invalid_argument);
}

TEST(InputDescriptors, ErbEdgesAndLags) {
    const std::array<double, 97>& e = erbBandEdges();
    EXPECT_DOUBLE_EQ(e[0], 30.0);
    EXPECT_NEAR(e[1], 41.40, 0.005);
    EXPECT_NEAR(e[2], 53.31, 0.005);
    EXPECT_NEAR(e[3], 65.73, 0.005);
    EXPECT_NEAR(e[96], 16000.0, 1e-9);
    const std::vector<int32_t> expected = {
        1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,
        23,  24,  25,  26,  27,  28,  30,  31,  33,  34,  36,  38,  40,  42,  44,  46,  48,  50,  53,  55,  58,
        61,  64,  67,  70,  73,  77,  80,  84,  88,  93,  97,  102, 107, 112, 117, 123, 129, 135, 142, 149, 156,
        163, 171, 179, 188, 197, 207, 217, 227, 238, 250, 262, 274, 288, 301, 316, 331, 347, 364, 382, 400};
    const std::array<int32_t, 83>& lags = autocorrelationLags();
    EXPECT_EQ(std::vector<int32_t>(lags.begin(), lags.end()), expected);
}

TEST(InputDescriptors, RationalResampler) {
    struct Case {
        size_t n;
        int32_t up;
        size_t out;
    };
    for (const Case c : {Case{441, 160, 160}, Case{441, 80, 80}, Case{1058, 160, 384}, Case{1058, 80, 192},
                         Case{88200, 160, 32000}, Case{1, 160, 1}, Case{0, 80, 0}}) {
        EXPECT_EQ(resampleRational(std::vector<double>(c.n, 0.25), c.up).size(), c.out) << c.n << " up " << c.up;
    }
    // Away from the edges a 1 kHz sine keeps its amplitude and phase.
    for (const int32_t up : {160, 80}) {
        std::vector<double> x(8820);
        for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 44100);
        const std::vector<double> y = resampleRational(x, up);
        const double rate = 44100.0 * up / 441;
        for (size_t i = y.size() / 4; i < 3 * y.size() / 4; ++i) {
            ASSERT_NEAR(y[i], std::sin(2 * M_PI * 1000 * static_cast<double>(i) / rate), 2e-3) << up << " at " << i;
        }
    }
}

TEST(InputDescriptors, BiquadCascadesPassAndStopDc) {
    struct Case {
        const Biquad* sections;
        size_t count;
        double dcGain;
    };
    for (const Case c : {Case{kLowPassCascade16k.data(), 2, 1.0}, Case{kBandPassCascade16k.data(), 3, 0.0}}) {
        std::vector<double> x(32000, 1.0);
        biquadCascade(x, c.sections, c.count);
        EXPECT_NEAR(x.back(), c.dcGain, 1e-6) << c.count;
    }
    // The first output of a unit impulse is the product of the b0 values.
    std::vector<double> impulse(4, 0.0);
    impulse[0] = 1.0;
    biquadCascade(impulse, kLowPassCascade16k.data(), 2);
    EXPECT_DOUBLE_EQ(impulse[0], 0.0013092510020546874);
}

TEST(InputDescriptors, AutocorrelationRowsOfTheShortWindow) {
    const std::vector<double> x = hit(1058);
    WindowDescriptors w;
    autocorrelationRows(x, w);
    for (int32_t v = 0; v < 3; ++v) {
        for (int32_t len = 0; len < 9; ++len) {
            const std::span<const float> row = rowOf(w.autocorrelation, 9 * v + len, 83);
            if (len >= 3) {
                EXPECT_TRUE(rowIsNaN(row)) << "variant " << v << " row " << len;
                continue;
            }
            const int32_t lengths[3] = {96, 192, 384};
            for (int32_t k = 0; k < 83; ++k) {
                const bool expectValue = autocorrelationLags()[static_cast<size_t>(k)] < 0.75 * lengths[len];
                EXPECT_EQ(std::isfinite(row[static_cast<size_t>(k)]), expectValue) << v << "/" << len << " lag " << k;
                if (!expectValue) continue;
                EXPECT_LE(std::fabs(row[static_cast<size_t>(k)]), 1.0f);
                EXPECT_TRUE(onGrid(row[static_cast<size_t>(k)], kAutocorrelationStep)) << row[static_cast<size_t>(k)];
            }
        }
    }
    // At length 96 exactly the lags 1 .. 70 (46 of them) are filled.
    const std::span<const float> first = rowOf(w.autocorrelation, 0, 83);
    EXPECT_TRUE(std::isfinite(first[45]));
    EXPECT_TRUE(std::isnan(first[46]));
}

TEST(InputDescriptors, AutocorrelationOfASlowSignalNearOneAtLagOne) {
    std::vector<double> x(4000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(2 * M_PI * 60 * static_cast<double>(i) / 44100);
    WindowDescriptors w;
    autocorrelationRows(x, w);
    for (const int32_t row : {1, 2, 3}) {
        const float lag1 = w.autocorrelation[static_cast<size_t>(row * 83)];
        EXPECT_GT(lag1, 0.97f) << row;
        EXPECT_LE(lag1, 1.0f) << row;
    }
}

TEST(InputDescriptors, LpcRowsOfTheShortWindow) {
    const std::vector<double> x = hit(1058);
    WindowDescriptors w;
    lpcEnvelopeRows(x, w);
    // 1058 samples give 192 at 8 kHz: lengths 96 and 192 only.
    for (int32_t row = 0; row < 28; ++row) {
        const int32_t length = row < 7 ? row : (row - 7) % 7;
        const std::span<const float> values = rowOf(w.lpcDb, row, 128);
        if (length >= 2) {
            EXPECT_TRUE(rowIsNaN(values)) << row;
            continue;
        }
        float max = -1000.0f;
        for (const float v : values) {
            ASSERT_TRUE(std::isfinite(v)) << row;
            EXPECT_GE(v, -60.0f);
            EXPECT_TRUE(onGrid(v, kLpcStep)) << v;
            max = std::max(max, v);
        }
        EXPECT_EQ(max, 0.0f) << row;
    }
}

TEST(InputDescriptors, SilentInputHasNoLpcRows) {
    WindowDescriptors w;
    lpcEnvelopeRows(std::vector<double>(4000, 0.0), w);
    EXPECT_TRUE(rowIsNaN(w.lpcDb));
}

TEST(InputDescriptors, ErbRowsFollowTheInputLength) {
    struct Case {
        size_t n;
        int32_t filledRows;
    };
    for (const Case c : {Case{1000, 2}, Case{264, 0}, Case{265, 1}, Case{52920, 9}, Case{52919, 8}}) {
        InputDescriptors d;
        erbSpectrumRows(hit(c.n), d);
        float max = -1000.0f;
        for (int32_t r = 0; r < 9; ++r) {
            const std::span<const float> row = rowOf(d.erbDb, r, 96);
            EXPECT_EQ(rowHasFinite(row), r < c.filledRows) << c.n << " row " << r;
            EXPECT_EQ(std::isfinite(d.levelDb[static_cast<size_t>(r)]), r < c.filledRows) << c.n << " level " << r;
            for (const float v : row) {
                if (std::isnan(v)) continue;
                EXPECT_TRUE(onGrid(v, 0.25f)) << v;
                max = std::max(max, v);
            }
        }
        if (c.filledRows > 0) {
            EXPECT_EQ(max, 0.0f) << c.n;
            float levelMax = -1000.0f;
            for (const float v : d.levelDb) {
                if (std::isfinite(v)) levelMax = std::max(levelMax, v);
            }
            EXPECT_EQ(levelMax, 0.0f) << c.n;
        }
    }
}

TEST(InputDescriptors, BandStatisticsOfTheShortWindow) {
    WindowDescriptors w;
    bandStatisticsRows(hit(1058), w);
    for (int32_t row = 0; row < 12; ++row) {
        const bool filled = row == 0 || row == 4 || row == 8;
        EXPECT_EQ(rowHasFinite(rowOf(w.bandMeanDb, row, 96)), filled) << row;
        EXPECT_EQ(rowHasFinite(rowOf(w.bandSpreadDb, row, 96)), filled) << row;
    }
    // The 8192-point size has a single frame (t = 0) here: no spread at all.
    for (const float v : rowOf(w.bandSpreadDb, 8, 96)) EXPECT_EQ(v, 0.0f);
}

TEST(InputDescriptors, BandMeansStayOnTheirGridAndAboveTheFloor) {
    // Loud for 30 ms, then 80 dB down: the later classes sit at the floor.
    std::vector<double> x = hit(40000, 2.0);
    for (size_t i = 1323; i < x.size(); ++i) x[i] *= 1e-4;
    WindowDescriptors w;
    bandStatisticsRows(x, w);
    for (int32_t s = 0; s < 3; ++s) {
        float max = -1000.0f;
        for (int32_t c = 0; c < 4; ++c) {
            for (const float v : rowOf(w.bandMeanDb, 4 * s + c, 96)) {
                ASSERT_TRUE(std::isfinite(v)) << s << "/" << c;
                EXPECT_GE(v, -70.0f);
                EXPECT_LE(v, 0.0f);
                EXPECT_TRUE(onGrid(v, kBandMeanStep)) << v;
                max = std::max(max, v);
            }
        }
        EXPECT_EQ(max, 0.0f) << s;
    }
    int32_t atFloor = 0;
    for (const float v : rowOf(w.bandMeanDb, 3, 96)) atFloor += v == -70.0f ? 1 : 0;
    EXPECT_GT(atFloor, 48);
    for (const float v : w.bandSpreadDb) {
        ASSERT_TRUE(std::isfinite(v));
        EXPECT_GE(v, 0.0f);
        EXPECT_LE(v, 63.5f);
        EXPECT_TRUE(onGrid(v, 0.25f));
    }
}

TEST(InputDescriptors, WholeRecordTakesEachWindowsPrefix) {
    const std::vector<double> x = hit(6000);
    const InputDescriptors d = buildInputDescriptors(x);
    WindowDescriptors shortest;
    bandStatisticsRows(std::span<const double>(x).first(1058), shortest);
    autocorrelationRows(std::span<const double>(x).first(1058), shortest);
    lpcEnvelopeRows(std::span<const double>(x).first(1058), shortest);
    EXPECT_EQ(std::memcmp(&shortest, &d.windows[2], sizeof shortest), 0);
    WindowDescriptors whole;
    bandStatisticsRows(x, whole);
    EXPECT_EQ(std::memcmp(whole.bandMeanDb.data(), d.windows[0].bandMeanDb.data(), sizeof whole.bandMeanDb), 0);
}

} // namespace
} // namespace vt6::fmt
