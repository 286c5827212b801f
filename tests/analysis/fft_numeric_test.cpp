#include "analysis/fft.hpp"
#include "analysis/numeric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vt6::fmt {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

template <typename F>
std::string thrownText(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// Direct DFT of the zero-padded input, for comparison.
std::vector<std::complex<double>> slowDft(const std::vector<double>& x, int n) {
    std::vector<std::complex<double>> out(static_cast<size_t>(n / 2 + 1));
    for (int k = 0; k <= n / 2; ++k) {
        std::complex<double> s{};
        for (size_t i = 0; i < x.size(); ++i) {
            const double a = -2.0 * M_PI * static_cast<double>(k) * static_cast<double>(i) / n;
            s += x[i] * std::complex<double>(std::cos(a), std::sin(a));
        }
        out[static_cast<size_t>(k)] = s;
    }
    return out;
}

TEST(AnalysisFft, ThreeSamplesOnEightPointsZeroPadToFiveBins) {
    const std::vector<double> x = {1, 2, 3};
    const auto bins = analysisFftFor(8).forward(x);
    ASSERT_EQ(bins.size(), 5u);
    EXPECT_NEAR(bins[0].real(), 6.0, 1e-12);
    EXPECT_NEAR(bins[1].real(), 2.414213562, 1e-9);
    EXPECT_NEAR(bins[1].imag(), -4.414213562, 1e-9);
    EXPECT_NEAR(bins[4].real(), 2.0, 1e-12);
    EXPECT_EQ(bins[4].imag(), 0.0);
}

TEST(AnalysisFft, MatchesADirectTransformForOddAndEvenLengths) {
    struct Case {
        int n;
        int inputs;
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-1, 1);
    for (const Case c : {Case{5, 3}, Case{5, 5}, Case{1, 1}, Case{2, 1}, Case{256, 200}, Case{513, 300}}) {
        std::vector<double> x(static_cast<size_t>(c.inputs));
        for (double& v : x) v = dist(rng);
        const auto bins = analysisFftFor(c.n).forward(x);
        const auto want = slowDft(x, c.n);
        ASSERT_EQ(bins.size(), want.size()) << c.n;
        for (size_t k = 0; k < bins.size(); ++k) {
            EXPECT_NEAR(bins[k].real(), want[k].real(), 1e-9) << c.n << " bin " << k;
            EXPECT_NEAR(bins[k].imag(), want[k].imag(), 1e-9) << c.n << " bin " << k;
        }
    }
    // For odd n the last bin keeps its imaginary part.
    const auto odd = analysisFftFor(5).forward(std::vector<double>{1, 2, 3});
    ASSERT_EQ(odd.size(), 3u);
    EXPECT_NE(odd[2].imag(), 0.0);
}

TEST(AnalysisFft, RefusesWhatItCannotTransform) {
    struct Case {
        const char* what;
        std::function<void()> call;
        std::string text;
        bool invalidArgument;
    };
    const std::vector<Case> cases = {
        {"9 samples on 8 points", [] { analysisFftFor(8).forward(std::vector<double>(9, 1.0)); },
         "Analysis FFT input length", true},
        {"4 bins for 8 points", [] { analysisFftFor(8).backward(std::vector<std::complex<double>>(4)); },
         "Analysis FFT bin count", true},
        {"length 0", [] { analysisFftFor(0); }, "", false},
        {"negative length", [] { AnalysisFft fft(-3); }, "", false},
        {"float order 31", [] { FftPlan::create(31); }, "", false},
        {"float order -1", [] { FftPlan::create(-1); }, "", false},
    };
    for (const Case& c : cases) {
        if (c.invalidArgument) {
            EXPECT_THROW(c.call(), std::invalid_argument) << c.what;
            EXPECT_EQ(thrownText(c.call), c.text) << c.what;
        } else {
            EXPECT_THROW(c.call(), std::runtime_error) << c.what;
        }
    }
    // A refused input leaves the plan usable.
    const auto bins = analysisFftFor(8).forward(std::vector<double>{1});
    EXPECT_NEAR(bins[3].real(), 1.0, 1e-15);
}

TEST(AnalysisFft, EachThreadHasItsOwnPlanPerLength) {
    AnalysisFft* here = &analysisFftFor(64);
    EXPECT_EQ(&analysisFftFor(64), here);
    EXPECT_NE(&analysisFftFor(128), here);
    AnalysisFft* there = nullptr;
    std::thread([&] { there = &analysisFftFor(64); }).join();
    EXPECT_NE(there, here);
}

TEST(AnalysisFft, AutocorrelationOfTwoOnesOnFourPoints) {
    const auto r = fftAutocorrelation(std::vector<double>{1, 1}, 4);
    const std::vector<double> want = {2, 1, 0, 1};
    ASSERT_EQ(r.size(), want.size());
    for (size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(r[i], want[i], 1e-12) << i;
}

TEST(AnalysisFft, AutocorrelationMatchesTheLinearSumBelowTheInputLength) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-1, 1);
    for (const int len : {3, 100, 700}) {
        std::vector<double> x(static_cast<size_t>(len));
        for (double& v : x) v = dist(rng);
        const int n = nextPowerOfTwo(2 * len);
        const auto r = fftAutocorrelation(x, n);
        ASSERT_EQ(r.size(), static_cast<size_t>(n));
        for (int t = 0; t < len; ++t) {
            double s = 0;
            for (int i = 0; i + t < len; ++i) s += x[static_cast<size_t>(i)] * x[static_cast<size_t>(i + t)];
            EXPECT_NEAR(r[static_cast<size_t>(t)], s, 1e-9) << len << " lag " << t;
        }
    }
}

TEST(AnalysisFft, PowerSpectrumIsTheSquaredMagnitude) {
    const auto p = powerSpectrum(std::vector<double>{1, 2, 3}, 8);
    ASSERT_EQ(p.size(), 5u);
    EXPECT_NEAR(p[0], 36.0, 1e-12);
    EXPECT_NEAR(p[1], 2.414213562373095 * 2.414213562373095 + 4.414213562373095 * 4.414213562373095, 1e-9);
    EXPECT_NEAR(p[4], 4.0, 1e-12);
}

TEST(FftPlan, SinglePrecisionTransformMatchesTheDoubleOne) {
    for (const int order : {0, 3, 10, 11, 12}) {
        FftPlan plan = FftPlan::create(order);
        ASSERT_EQ(plan.size(), uint64_t{1} << order);
        ASSERT_EQ(plan.bins(), plan.size() / 2 + 1);
        std::vector<double> x(plan.size());
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] = std::sin(0.37 * static_cast<double>(i)) * std::exp(-0.001 * static_cast<double>(i));
            plan.input()[i] = static_cast<float>(x[i]);
        }
        const auto bins = plan.execute();
        const auto want = analysisFftFor(static_cast<int32_t>(plan.size())).forward(x);
        ASSERT_EQ(bins.size(), want.size());
        for (size_t k = 0; k < bins.size(); ++k) {
            EXPECT_NEAR(bins[k].real(), want[k].real(), 1e-3) << order << " bin " << k;
            EXPECT_NEAR(bins[k].imag(), want[k].imag(), 1e-3) << order << " bin " << k;
        }
        if (plan.size() > 1) {
            EXPECT_EQ(bins.back().imag(), 0.0f);
        }
    }
}

// Plans are made, used and destroyed (at thread exit too) on two threads at
// once; the sanitizer build watches this.
TEST(AnalysisFft, TwoThreadsTransformEverySizeAtOnce) {
    const std::vector<int32_t> sizes = {256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
    auto work = [&](int seed, std::vector<double>& sums) {
        for (int round = 0; round < 3; ++round) {
            std::thread inner([&] {
                for (const int32_t n : sizes) {
                    std::vector<double> x(static_cast<size_t>(n / 2));
                    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01 * static_cast<double>(i) * (seed + 1));
                    for (int rep = 0; rep < 4; ++rep) {
                        const auto r = fftAutocorrelation(x, n);
                        sums.push_back(r[0]);
                    }
                }
                for (const int order : {10, 11, 12}) {
                    FftPlan plan = FftPlan::create(order);
                    for (uint64_t i = 0; i < plan.size(); ++i) plan.input()[i] = static_cast<float>(i % 7);
                    sums.push_back(plan.execute()[0].real());
                }
            });
            inner.join();
        }
    };
    std::vector<double> a;
    std::vector<double> b;
    std::thread ta(work, 0, std::ref(a));
    std::thread tb(work, 0, std::ref(b));
    ta.join();
    tb.join();
    std::vector<double> alone;
    work(0, alone);
    ASSERT_EQ(a.size(), alone.size());
    EXPECT_EQ(a, alone);
    EXPECT_EQ(b, alone);
}

// ------------------------------------------------------------- pairwiseSum

struct SumCase {
    const char* what;
    int count;
    std::vector<std::pair<int, double>> set; // index, value; the rest 0
    double want;
};

// Values of 1e17 swallow a 1 when added before they cancel, so each result
// shows the association order.
TEST(PairwiseSum, KeepsItsAssociationOrderExactly) {
    const std::vector<SumCase> cases = {
        {"7 values add left to right", 7, {{0, 1e17}, {1, 1}, {2, 1}, {3, -1e17}}, 0},
        {"16 values keep eight lanes", 16, {{0, 1e17}, {1, 1}, {8, -1e17}}, 1},
        {"lanes combine as pairs of pairs", 8, {{0, 1e17}, {1, 1}, {4, -1e17}, {5, 1}}, 0},
        {"the remainder comes after the lanes", 9, {{0, 1e17}, {1, 1}, {8, -1e17}}, 0},
        {"128 values are one block", 128, {{0, 1e17}, {1, 1}, {64, -1e17}}, 1},
        {"129 values split 64 + 65", 129, {{0, 1e17}, {1, 1}, {64, -1e17}, {65, 1}}, 0},
        {"129 values: the 65th value opens the second half", 129, {{64, 1e17}, {65, 1}, {128, -1e17}}, 0},
        {"no values", 0, {}, 0},
    };
    for (const SumCase& c : cases) {
        std::vector<double> v(static_cast<size_t>(c.count), 0.0);
        std::vector<float> f(static_cast<size_t>(c.count), 0.0f);
        for (const auto& [i, x] : c.set) {
            v[static_cast<size_t>(i)] = x;
            // 1e9 swallows a 1 in single precision as 1e17 does in double.
            f[static_cast<size_t>(i)] = static_cast<float>(std::abs(x) > 2 ? (x > 0 ? 1e9 : -1e9) : x);
        }
        EXPECT_EQ(pairwiseSum(v.data(), c.count), c.want) << c.what;
        EXPECT_EQ(pairwiseSum(f.data(), c.count), static_cast<float>(c.want)) << c.what << " (float)";
    }
}

TEST(PairwiseSum, MeanOfASpan) {
    EXPECT_EQ(meanOf(std::vector<double>{1, 2, 3, 6}), 3.0);
    EXPECT_TRUE(std::isnan(meanOf(std::vector<double>{})));
}

// ------------------------------------------------------------ small helpers

TEST(QuantizeToStep, PlacesOnTheGridWithTiesToEven) {
    struct Case {
        float x, step, lo, hi, want;
    };
    const std::vector<Case> cases = {
        {0.125f, 0.25f, -kInfF, kInfF, 0.0f},
        {0.375f, 0.25f, -kInfF, kInfF, 0.5f},
        {0.3f, 0.25f, -kInfF, kInfF, 0.25f},
        {200.0f, 0.25f, -kInfF, 63.5f, 63.5f},
        {-9.0f, 0.25f, -2.0f, 2.0f, -2.0f},
        {kInfF, 0.25f, -2.0f, 2.0f, kInfF},
        {-kInfF, 0.25f, -2.0f, 2.0f, -kInfF},
        {0.25f, 0.007874016f, 0.0f, 1.0f, 32 * 0.007874016f},
    };
    for (const Case& c : cases) EXPECT_EQ(quantizeToStep(c.x, c.step, c.lo, c.hi), c.want) << c.x;
    EXPECT_TRUE(std::isnan(quantizeToStep(std::nanf(""), 0.25f, -kInfF, kInfF)));
}

TEST(NextPowerOfTwo, SmallestPowerAtLeastN) {
    const std::vector<std::pair<int32_t, int32_t>> cases = {
        {-5, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 4}, {513, 1024}, {1024, 1024}, {1 << 30, 1 << 30}};
    for (const auto& [n, want] : cases) EXPECT_EQ(nextPowerOfTwo(n), want) << n;
    EXPECT_THROW(nextPowerOfTwo((1 << 30) + 1), std::invalid_argument);
}

TEST(CumulativeAt, InterpolatesInsideItsBins) {
    const std::vector<double> c = {0, 1, 3};
    struct Case {
        double f, want;
    };
    for (const Case k : {Case{0, 0.5}, Case{10, 2}, Case{5, 1}, Case{100, 20}, Case{-100, -9.5}}) {
        EXPECT_DOUBLE_EQ(cumulativeAt(c, 10, k.f), k.want) << k.f;
    }
    EXPECT_TRUE(std::isnan(cumulativeAt(c, 10, kNan)));
    EXPECT_THROW(cumulativeAt(std::vector<double>{1}, 10, 5), std::invalid_argument);
}

TEST(MeanOfFinitePair, IgnoresANonFiniteMember) {
    struct Case {
        double a, b, want;
    };
    for (const Case c : {Case{kNan, 3, 3}, Case{kInf, 2, 2}, Case{2, -kInf, 2}, Case{1, 2, 1.5}}) {
        EXPECT_EQ(meanOfFinitePair(c.a, c.b), c.want) << c.a << " " << c.b;
    }
    EXPECT_TRUE(std::isnan(meanOfFinitePair(kNan, kNan)));
}

} // namespace
} // namespace vt6::fmt
