#include "analysis/physical_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/physical_payload.hpp"

namespace vt6::fmt {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> drumHit(size_t n, double hz, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 44100;
        x[i] = static_cast<float>(0.8 * std::exp(-9.0 * t) * (std::sin(2 * M_PI * hz * t) + 0.2 * u(rng)));
    }
    return x;
}

std::string thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "nothing thrown";
}

TEST(PhysicalModel, DrumClassCodes) {
    struct Case {
        DrumType type;
        uint8_t cls;
        DrumType back;
    };
    for (const Case c : {Case{0, 0, 0}, Case{1, 1, 1}, Case{2, 4, 2}, Case{3, 2, 3}, Case{4, 3, 4}, Case{5, 5, 5},
                         Case{200, 5, 5}}) {
        EXPECT_EQ(toDrumClass(c.type), c.cls) << int{c.type};
        EXPECT_EQ(fromDrumClass(c.cls), c.back) << int{c.type};
    }
    EXPECT_EQ(fromDrumClass(6), kDrumUnknown);
    EXPECT_EQ(fromDrumClass(255), kDrumUnknown);
}

TEST(PhysicalModel, SegmentBoundaries) {
    const double ends[6] = {600, 400, 600, 1200, 1200, 1200};
    for (uint8_t c = 0; c < 6; ++c) {
        const std::array<double, 32> b = segmentBoundaries(c);
        EXPECT_EQ(b[0], 3.0);
        EXPECT_EQ(b[15], 48.0);
        EXPECT_EQ(b[31], ends[c]) << int{c};
        for (size_t k = 1; k < 32; ++k) EXPECT_LT(b[k - 1], b[k]) << int{c} << " " << k;
    }
}

TEST(PhysicalModel, RefusedInputs) {
    const std::vector<float> good = drumHit(2000, 200, 1);
    const std::vector<float> nan = {0.1f, kNaN, 0.2f};
    const std::vector<float> inf = {0.1f, std::numeric_limits<float>::infinity()};
    const std::vector<float> tooLong(88201, 0.1f);
    struct Case {
        const char* what;
        std::vector<float> first;
        std::vector<float> second;
        uint8_t cls;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"class 6 before bad inputs", {}, nan, 6, "E8222"},
        {"class 255", good, {}, 255, "E8222"},
        {"empty first", {}, {}, 0, "E8219"},
        {"88201 samples", tooLong, {}, 1, "E8219"},
        {"NaN first", nan, {}, 1, "E8220"},
        {"infinity first", inf, {}, 1, "E8220"},
        {"NaN second", good, nan, 1, "E8220"},
        {"long second", good, tooLong, 1, "E8219"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownText([&] { (void)buildPhysicalModel(c.first, c.second, c.cls, PhysicalFeatures{}); }), c.text)
            << c.what;
    }
    EXPECT_NO_THROW((void)normalizeAnalysisInput(std::vector<float>(88200, 0.5f)));
}

TEST(PhysicalModel, NormalisationDividesByThePeak) {
    struct Case {
        std::vector<float> in;
        std::vector<double> out;
    };
    const std::vector<Case> cases = {
        {{0.5f, -0.25f, 0.125f}, {1.0, -0.5, 0.25}},
        {{0.0f, 0.0f}, {0.0, 0.0}},
        {{1e-10f, -5e-10f}, {static_cast<double>(1e-10f), static_cast<double>(-5e-10f)}},
        {{-2.0f, 1.0f}, {-1.0, 0.5}},
    };
    for (const Case& c : cases) EXPECT_EQ(normalizeAnalysisInput(c.in), c.out);
}

TEST(PhysicalModel, SilentInputHasFloorBandsAndNoEnvelope) {
    const SegmentSpectrum s = computeSegmentSpectrum(std::vector<double>(4000, 0.0), 1);
    bool anyPresent = false;
    for (size_t j = 0; j < 32; ++j) {
        if (s.present[j] == 0) continue;
        anyPresent = true;
        for (size_t band = 0; band < 48; ++band) EXPECT_EQ(s.bandDb[band * 32 + j], -66.0);
    }
    EXPECT_TRUE(anyPresent);
    for (const double v : s.envelopeDb) EXPECT_TRUE(std::isnan(v));
}

TEST(PhysicalModel, HundredSamplesGiveNoSegment) {
    const SegmentSpectrum s = computeSegmentSpectrum(std::vector<double>(100, 0.5), 0);
    for (const uint8_t p : s.present) EXPECT_EQ(p, 0);
    const CombinedDescriptors c = combineSegmentSpectra(s, nullptr);
    for (const float v : c.meanDb) EXPECT_TRUE(std::isnan(v));
    for (const float v : c.spreadDb) EXPECT_EQ(v, 3.0f);
}

TEST(PhysicalModel, SpreadsOfOneAndTwoInputs) {
    SegmentSpectrum a;
    SegmentSpectrum b;
    a.bandDb.fill(std::numeric_limits<double>::quiet_NaN());
    b.bandDb.fill(std::numeric_limits<double>::quiet_NaN());
    a.envelopeDb.fill(std::numeric_limits<double>::quiet_NaN());
    b.envelopeDb.fill(std::numeric_limits<double>::quiet_NaN());
    // Band 0: segments 0..3 in both inputs, 10 dB apart; segment 4 only in a.
    for (size_t j = 0; j < 4; ++j) {
        a.bandDb[j] = -10.0;
        b.bandDb[j] = -20.0;
        a.present[j] = b.present[j] = 1;
    }
    a.bandDb[4] = -7.3;
    a.present[4] = 1;
    // Band 1, second half: one segment, 3 dB apart.
    a.bandDb[32 + 20] = -1.0;
    b.bandDb[32 + 20] = -4.0;
    b.present[20] = 1;
    a.envelopeDb[3] = -12.1;

    const CombinedDescriptors one = combineSegmentSpectra(a, nullptr);
    EXPECT_EQ(one.spreadDb[0], 0.0f);        // half 0, band 0: present
    EXPECT_EQ(one.spreadDb[48 + 0], 3.0f);   // half 1, band 0: no data
    EXPECT_EQ(one.spreadDb[48 + 1], 0.0f);
    EXPECT_EQ(one.meanDb[4], -7.25f);
    EXPECT_EQ(one.envelopeDb[3], -12.0f);
    EXPECT_EQ(one.envelopePresent[3], 1);
    EXPECT_EQ(one.envelopePresent[4], 0);

    const CombinedDescriptors two = combineSegmentSpectra(a, &b);
    EXPECT_EQ(two.meanDb[0], -15.0f);
    EXPECT_EQ(two.meanDb[4], -7.25f);        // absent in b: a's value
    EXPECT_TRUE(std::isnan(two.meanDb[5]));
    // Values 5, 5, 5, 5 and 0 (one side only): median 5.
    EXPECT_EQ(two.spreadDb[0], 5.0f);
    EXPECT_EQ(two.spreadDb[48 + 1], 1.5f);
    EXPECT_EQ(two.segmentPresent[20], 1);
    EXPECT_EQ(two.segmentPresent[21], 0);
    EXPECT_EQ(two.envelopeDb[3], -12.0f);
}

TEST(PhysicalModel, BuiltModelIsOnItsGrids) {
    const std::vector<float> first = drumHit(30000, 180, 5);
    const std::vector<float> second = drumHit(22000, 200, 6);
    PhysicalFeatures features{};
    for (size_t i = 0; i < features.size(); ++i) features[i] = 0.5 * static_cast<double>(i) - 3.0;
    const PhysicalModel m = buildPhysicalModel(first, second, 2, features);
    EXPECT_EQ(m.classCode, 2);
    EXPECT_EQ(m.features, features);
    ASSERT_EQ(m.inputs.size(), 2u);
    for (const float v : m.combined.meanDb) {
        if (std::isnan(v)) continue;
        EXPECT_GE(v, -66.0f);
        EXPECT_EQ(std::nearbyint(v * 4) / 4, v);
    }
    // The first frame is centred at 5.8 ms: segment 0 (0 .. 3 ms) never has one.
    for (size_t j = 0; j < 32; ++j) EXPECT_EQ(m.combined.segmentPresent[j], j == 0 ? 0 : 1) << j;
    const PhysicalModel one = buildPhysicalModel(first, {}, 2, features);
    EXPECT_EQ(one.inputs.size(), 1u);
}

// Equal in every stored value, NaN matching NaN.
template <size_t N>
void expectSameValues(const std::array<float, N>& a, const std::array<float, N>& b, const char* what) {
    for (size_t i = 0; i < N; ++i) {
        if (std::isnan(a[i]) || std::isnan(b[i])) {
            EXPECT_TRUE(std::isnan(a[i]) && std::isnan(b[i])) << what << " " << i;
        } else {
            EXPECT_EQ(a[i], b[i]) << what << " " << i;
        }
    }
}

void expectSameModel(const PhysicalModel& a, const PhysicalModel& b) {
    EXPECT_EQ(a.classCode, b.classCode);
    EXPECT_EQ(a.features, b.features);
    expectSameValues(a.combined.meanDb, b.combined.meanDb, "meanDb");
    expectSameValues(a.combined.spreadDb, b.combined.spreadDb, "spreadDb");
    expectSameValues(a.combined.envelopeDb, b.combined.envelopeDb, "envelopeDb");
    EXPECT_EQ(a.combined.segmentPresent, b.combined.segmentPresent);
    EXPECT_EQ(a.combined.envelopePresent, b.combined.envelopePresent);
    ASSERT_EQ(a.inputs.size(), b.inputs.size());
    for (size_t i = 0; i < a.inputs.size(); ++i) {
        expectSameValues(a.inputs[i].erbDb, b.inputs[i].erbDb, "erbDb");
        expectSameValues(a.inputs[i].levelDb, b.inputs[i].levelDb, "levelDb");
        for (size_t w = 0; w < 3; ++w) {
            const WindowDescriptors& x = a.inputs[i].windows[w];
            const WindowDescriptors& y = b.inputs[i].windows[w];
            expectSameValues(x.bandMeanDb, y.bandMeanDb, "bandMeanDb");
            expectSameValues(x.bandSpreadDb, y.bandSpreadDb, "bandSpreadDb");
            expectSameValues(x.autocorrelation, y.autocorrelation, "autocorrelation");
            expectSameValues(x.lpcDb, y.lpcDb, "lpcDb");
        }
    }
}

TEST(PhysicalModel, PayloadRoundTripOfBuiltModels) {
    PhysicalFeatures features{};
    for (size_t i = 0; i < features.size(); ++i) features[i] = std::sin(static_cast<double>(i)) * 1e3;
    struct Case {
        size_t firstLength;
        size_t secondLength;
        uint8_t cls;
    };
    for (const Case c : {Case{88200, 88200, 3}, Case{40000, 0, 0}, Case{1200, 3000, 5}, Case{100, 0, 1}}) {
        const std::vector<float> second = c.secondLength > 0 ? drumHit(c.secondLength, 320, 9) : std::vector<float>{};
        const PhysicalModel m = buildPhysicalModel(drumHit(c.firstLength, 150, 8), second, c.cls, features);
        const std::vector<uint8_t> bytes = serializePhysicalModel(m);
        EXPECT_EQ(bytes[7], c.secondLength > 0 ? 2 : 1);
        EXPECT_LE(bytes.size(), c.secondLength > 0 ? 56158u : 29969u);
        expectSameModel(parsePhysicalModel(bytes), m);
    }
}

} // namespace
} // namespace vt6::fmt
