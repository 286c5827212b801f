#include "analysis/hit_detector.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vt6::fmt {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kRate = 44100;

// Adds a decaying noise burst starting at `at` whose largest value is `peak`.
void addBurst(std::vector<float>& audio, size_t at, float peak, double tauSeconds, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> burst;
    double top = 0;
    for (size_t i = at; i < audio.size(); ++i) {
        const double v = u(rng) * std::exp(-static_cast<double>(i - at) / (tauSeconds * kRate));
        if (std::abs(v) < 1e-9) break;
        burst.push_back(v);
        top = std::max(top, std::abs(v));
    }
    for (size_t i = 0; i < burst.size(); ++i) audio[at + i] += static_cast<float>(peak * burst[i] / top);
}

std::vector<float> burstsAt(size_t length, const std::vector<double>& seconds, double tau = 0.05) {
    std::vector<float> audio(length, 0.0f);
    unsigned seed = 1;
    for (const double s : seconds) addBurst(audio, static_cast<size_t>(s * kRate), 0.8f, tau, seed++);
    return audio;
}

std::vector<DetectedHit> detect(const std::vector<float>& audio, double rate = kRate) {
    HitDetector d;
    return detectHits(d, audio, rate);
}

TEST(HitDetection, WorkedExamples) {
    struct Case {
        const char* what;
        std::vector<float> audio;
        double rate;
        std::vector<double> onsets; // seconds; empty: no hits expected
        size_t hits;
    };
    std::vector<float> short4095(4095, 0.0f);
    addBurst(short4095, 1000, 0.8f, 0.01, 3);
    std::vector<float> exact4096(4096, 0.0f);
    addBurst(exact4096, 1000, 0.8f, 0.01, 3);
    const std::vector<Case> cases = {
        {"4095 samples are not analysed", short4095, kRate, {}, 0},
        {"4096 samples are", exact4096, kRate, {1000 / kRate}, 1},
        {"4096 samples of silence", std::vector<float>(4096, 0.0f), kRate, {}, 0},
        {"rate 0", burstsAt(3 * 44100, {0.5, 1.7}), 0, {}, 0},
        {"two bursts at 0.5 s and 1.7 s", burstsAt(3 * 44100, {0.5, 1.7}), kRate, {0.5, 1.7}, 2},
        {"two bursts 10 ms apart make one hit", burstsAt(3 * 44100, {0.5, 0.51}), kRate, {0.5}, 1},
    };
    const HitTiming t = hitTimingFor(kRate);
    for (const Case& c : cases) {
        const std::vector<DetectedHit> hits = detect(c.audio, c.rate);
        ASSERT_EQ(hits.size(), c.hits) << c.what;
        for (size_t i = 0; i < hits.size(); ++i) {
            const DetectedHit& h = hits[i];
            const double onset = c.onsets[i] * kRate;
            EXPECT_GE(static_cast<double>(h.start), onset - 0.003 * kRate) << c.what << " hit " << i;
            EXPECT_LE(static_cast<double>(h.start), onset + 0.001 * kRate) << c.what << " hit " << i;
            if (i + 1 < hits.size()) {
                EXPECT_LE(h.end, hits[i + 1].start - 44) << c.what << " hit " << i;
            }
            EXPECT_LE(h.end, static_cast<int64_t>(c.audio.size())) << c.what << " hit " << i;
            EXPECT_GE(static_cast<double>(h.end - h.start), t.minLength) << c.what << " hit " << i;
            EXPECT_GE(h.peak, t.minPeak) << c.what << " hit " << i;
            EXPECT_GT(h.rms, 0.0f) << c.what << " hit " << i;
            EXPECT_LE(h.rms, h.peak) << c.what << " hit " << i;
        }
    }
}

// Rates and samples a run cannot use give no hits instead of undefined
// conversions and sorts.
TEST(HitDetection, RefusedInputGivesNoHits) {
    const std::vector<float> good = burstsAt(44100, {0.3});
    ASSERT_EQ(detect(good).size(), 1u);
    std::vector<float> withNan = good;
    withNan[30000] = kNanF;
    std::vector<float> withInf = good;
    withInf[100] = -kInfF;
    struct Case {
        const char* what;
        const std::vector<float>* audio;
        double rate;
    };
    const std::vector<Case> cases = {
        {"NaN rate", &good, std::nan("")},
        {"infinite rate", &good, std::numeric_limits<double>::infinity()},
        {"rate above 10^6", &good, 1000000.5},
        {"negative rate", &good, -44100},
        {"a NaN sample", &withNan, kRate},
        {"an infinite sample", &withInf, kRate},
    };
    for (const Case& c : cases) EXPECT_TRUE(detect(*c.audio, c.rate).empty()) << c.what;
}

// The envelope of a constant level is that level, so these signals set the
// candidate's strength exactly: silence (so that the noise level is 0), a
// low level from 0.3 s (a first hit) and a step up by `db` at 0.5 s.
TEST(HitDetection, CandidateStrengthOfSixDecibels) {
    struct Case {
        double db;
        size_t hits;
    };
    const size_t step = 22050;
    for (const Case c : {Case{5.9, 1}, Case{6.00001, 2}}) {
        const float low = 0.05f;
        const auto high = static_cast<float>(0.05 * std::pow(10.0, c.db / 20));
        std::vector<float> audio(44100, 0.0f);
        for (size_t i = 13230; i < step; ++i) audio[i] = low;
        for (size_t i = step; i < audio.size(); ++i) audio[i] = high;
        HitDetector d;
        d.sampleRate = kRate;
        const auto env = peakEnvelope(d, audio, 22);
        float strength = 0;
        int64_t peakBlock = 0;
        refineOnset(d, audio, env, 22, step + 128, -1, strength, peakBlock);
        EXPECT_NEAR(strength, c.db, 1e-4) << c.db;
        const std::vector<DetectedHit> hits = detect(audio);
        ASSERT_EQ(hits.size(), c.hits) << c.db;
        EXPECT_NEAR(static_cast<double>(hits[0].start), 13230, 0.003 * kRate) << c.db;
        if (hits.size() == 2) {
            EXPECT_NEAR(static_cast<double>(hits[1].start), static_cast<double>(step), 0.003 * kRate) << c.db;
        }
    }
}

// First stroke at T1 (rising to 0.05), silence, main stroke at T2 (0.5).
std::vector<float> flam(size_t t1, size_t firstLength, size_t t2) {
    std::vector<float> audio(44100, 0.0f);
    for (size_t i = t1; i < t1 + firstLength; ++i) {
        audio[i] = 0.05f * static_cast<float>(i - t1 + 1) / static_cast<float>(firstLength);
    }
    for (size_t i = t2; i < audio.size(); ++i) audio[i] = 0.5f;
    return audio;
}

TEST(HitDetection, FlamStartsAtItsDipOnlyEightMillisecondsOrMoreAfterTheFirstStroke) {
    struct Case {
        const char* what;
        size_t t1, firstLength, t2;
        int64_t wantLo, wantHi;
    };
    const size_t t2 = 22000; // a multiple of the 22-sample hop
    const std::vector<Case> cases = {
        {"dip 10 ms after the first stroke", t2 - 441, 200, t2, t2 - 22, t2},
        {"dip 6 ms after the first stroke", t2 - 265, 100, t2, t2 - 265 - 132, t2 - 265 + 44},
    };
    for (const Case& c : cases) {
        const std::vector<float> audio = flam(c.t1, c.firstLength, c.t2);
        HitDetector d;
        d.sampleRate = kRate;
        const auto env = peakEnvelope(d, audio, 22);
        float strength = 0;
        int64_t peakBlock = 0;
        const int64_t start = refineOnset(d, audio, env, 22, static_cast<int64_t>(c.t2) + 128, -1, strength, peakBlock);
        EXPECT_GE(start, c.wantLo) << c.what;
        EXPECT_LE(start, c.wantHi) << c.what;
        EXPECT_EQ(peakBlock, static_cast<int64_t>(c.t2 / 22)) << c.what;
    }
}

TEST(HitDetection, StartMovesBackToASignChangeWithinFourTenthsOfAMillisecond) {
    // Quiet level before the hit changes sign `before` samples ahead of the
    // loud part at T; the envelope start is one block (22 samples) before T.
    struct Case {
        const char* what;
        int before; // 0: no sign change
        int64_t want; // relative to T
    };
    const std::vector<Case> cases = {
        {"sign change 30 samples before", 30, -30},
        {"at the window's far end (16 samples past the envelope start)", 38, -38},
        {"one sample beyond the window", 39, -22},
        {"no sign change", 0, -22},
    };
    const int64_t t = 22000;
    for (const Case& c : cases) {
        std::vector<float> audio(44100, c.before == 0 ? 1e-4f : -1e-4f);
        for (int64_t i = t - c.before; c.before != 0 && i < t; ++i) audio[static_cast<size_t>(i)] = 1e-4f;
        for (size_t i = static_cast<size_t>(t); i < audio.size(); ++i) audio[i] = 0.8f;
        HitDetector d;
        d.sampleRate = kRate;
        const auto env = peakEnvelope(d, audio, 22);
        float strength = 0;
        int64_t peakBlock = 0;
        EXPECT_EQ(refineOnset(d, audio, env, 22, t + 128, -1, strength, peakBlock) - t, c.want) << c.what;
    }
}

TEST(HitDetection, UnsettledDecayEnds) {
    struct Case {
        const char* what;
        size_t length;
        int64_t start, next;
        int64_t want;
    };
    const std::vector<Case> cases = {
        {"1 ms before the next hit", 3 * 44100, 1000, 50000, 50000 - 44},
        {"at the end of the audio (1 ms before it, as the next start)", 3 * 44100, 1000, 3 * 44100, 3 * 44100 - 44},
        {"at the end of the audio when nothing follows", 3 * 44100, 1000, 10 * 44100, 3 * 44100},
        {"6 s after its start", 8 * 44100, 1000, 8 * 44100, 1000 + 6 * 44100},
    };
    for (const Case& c : cases) {
        std::vector<float> audio(c.length, 0.3f);
        HitDetector d;
        d.sampleRate = kRate;
        const auto rms = rmsEnvelope(audio, 221);
        EXPECT_EQ(findDecayEnd(d, audio, rms, 221, c.start, c.next, 0.0f, static_cast<int64_t>(c.length)), c.want)
            << c.what;
    }
    // A decay that settles ends at the first block of its quiet run.
    std::vector<float> audio(3 * 44100, 0.0f);
    for (size_t i = 1000; i < 11000; ++i) audio[i] = 0.3f;
    HitDetector d;
    d.sampleRate = kRate;
    const auto rms = rmsEnvelope(audio, 221);
    EXPECT_EQ(findDecayEnd(d, audio, rms, 221, 1000, 3 * 44100, 0.0f, 3 * 44100), (11000 / 221 + 2) * 221);
}

TEST(HitDetection, BandSpectrumAgainstItsReference) {
    std::vector<float> audio(8192, 0.0f);
    for (size_t i = 4096; i < audio.size(); ++i) {
        audio[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / kRate));
    }
    HitDetector d;
    d.sampleRate = kRate;
    const auto bands = hitBandSpectrum(d, audio, 4096);
    ASSERT_EQ(d.referenceBands.size(), kHitBands);
    // 1 kHz lies in band 6 (955..1474 Hz); silence before: references at -200 dB.
    EXPECT_FALSE(std::isnan(bands[6]));
    EXPECT_NEAR(bands[6], 10 * std::log10(2 * std::pow(0.5 * 511.5 / 2, 2)), 3.0);
    for (size_t j = 0; j < kHitBands; ++j) EXPECT_EQ(d.referenceBands[j], -200.0f) << j;
    // The same sine before the start: no band rises 6 dB above it.
    std::vector<float> steady(8192);
    for (size_t i = 0; i < steady.size(); ++i) {
        steady[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / kRate));
    }
    for (const float b : hitBandSpectrum(d, steady, 4096)) EXPECT_TRUE(std::isnan(b));
}

// Hits made by hand: `shape` per band in dB, shifted by the hit's level.
DetectedHit handHit(float peak, const std::array<float, kHitBands>& shape) {
    DetectedHit h;
    h.peak = peak;
    const float level = 20 * std::log10(peak);
    for (size_t j = 0; j < kHitBands; ++j) {
        h.bands[j] = shape[j] + level;
        h.referenceBands[j] = -100;
    }
    return h;
}

const std::array<float, kHitBands> kTypical = {-10, -8, -6, -5, -6, -8, -12, -15, -20, -25, -30, -40};
const std::array<float, kHitBands> kOdd = {-40, -5, -40, -5, -40, -5, -40, -5, -40, -5, -40, -5};

TEST(HitTemplates, Selection) {
    std::array<float, kHitBands> allNan;
    allNan.fill(kNanF);
    struct Case {
        const char* what;
        std::vector<DetectedHit> hits;
        std::vector<float> keptPeaks;
    };
    auto typical = [](std::vector<float> peaks) {
        std::vector<DetectedHit> out;
        for (const float p : peaks) out.push_back(handHit(p, kTypical));
        return out;
    };
    auto with = [](std::vector<DetectedHit> hits, size_t at, DetectedHit h) {
        hits.insert(hits.begin() + static_cast<std::ptrdiff_t>(at), h);
        return hits;
    };
    const std::vector<float> seven = {0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, 0.4f};
    const std::vector<Case> cases = {
        {"a quiet odd hit is dropped", with(typical(seven), 3, handHit(0.1f, kOdd)),
         {0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, 0.4f}},
        {"a loud odd hit is kept", with(typical(seven), 3, handHit(0.95f, kOdd)),
         {0.9f, 0.8f, 0.7f, 0.95f, 0.6f, 0.5f, 0.45f, 0.4f}},
        {"an odd hit at the floor is kept", with(typical(seven), 3, handHit(0.6f, kOdd)),
         {0.9f, 0.8f, 0.7f, 0.6f, 0.6f, 0.5f, 0.45f, 0.4f}},
        {"with 5 hits nothing is dropped", with(typical({0.9f, 0.8f, 0.7f, 0.6f}), 2, handHit(0.1f, kOdd)),
         {0.9f, 0.8f, 0.1f, 0.7f, 0.6f}},
        {"a hit without bands is kept", with(typical(seven), 0, handHit(0.01f, allNan)),
         {0.01f, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, 0.4f}},
        {"three odd hits make a template of their own",
         with(with(with(typical(seven), 1, handHit(0.3f, kOdd)), 2, handHit(0.31f, kOdd)), 3, handHit(0.32f, kOdd)),
         {0.9f, 0.3f, 0.31f, 0.32f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, 0.4f}},
    };
    for (const Case& c : cases) {
        HitDetector d;
        std::vector<float> kept;
        for (const DetectedHit& h : selectHitsByTemplate(d, c.hits)) kept.push_back(h.peak);
        EXPECT_EQ(kept, c.keptPeaks) << c.what;
    }

    // Six hits but fewer than six measurable distances: all come back.
    std::vector<DetectedHit> few = typical({0.9f, 0.8f, 0.7f, 0.6f, 0.5f});
    few.push_back(handHit(0.1f, kOdd));
    for (size_t i = 0; i < 2; ++i) few[i].bands = allNan;
    HitDetector d;
    EXPECT_EQ(selectHitsByTemplate(d, few).size(), few.size());
}

TEST(HitTemplates, LoudestFirstIsAStrictOrderForAnyPeaks) {
    std::vector<DetectedHit> hits(6);
    const std::vector<float> peaks = {0.5f, 0.9f, 0.5f, kNanF, 0.9f, -0.0f};
    for (size_t i = 0; i < hits.size(); ++i) hits[i].peak = peaks[i];
    EXPECT_EQ(loudestFirst(hits), (std::vector<size_t>{1, 4, 0, 2, 5, 3}));
    // Many ties: the index order among them, every time.
    std::vector<DetectedHit> tied(300);
    for (size_t i = 0; i < tied.size(); ++i) tied[i].peak = i % 3 == 0 ? kNanF : static_cast<float>(i % 2);
    const std::vector<size_t> order = loudestFirst(tied);
    for (size_t p = 1; p < order.size(); ++p) {
        const float a = tied[order[p - 1]].peak;
        const float b = tied[order[p]].peak;
        if (std::isnan(a)) {
            EXPECT_TRUE(std::isnan(b));
        }
        if (a == b || (std::isnan(a) && std::isnan(b))) {
            EXPECT_LT(order[p - 1], order[p]);
        }
    }
}

TEST(HitTemplates, MedianTemplateAndDistance) {
    std::vector<DetectedHit> hits;
    for (const float p : {0.5f, 0.25f, 0.125f}) hits.push_back(handHit(p, kTypical));
    hits[0].bands[0] = kNanF;
    hits[1].bands[0] = kNanF;
    const std::vector<size_t> all = {0, 1, 2};
    const auto t = medianTemplate(hits, all);
    EXPECT_TRUE(std::isnan(t[0])); // one number among three hits
    EXPECT_NEAR(t[1], kTypical[1] + 20 * std::log10(0.25f), 1e-5);
    // The same shape at another level is at distance 0; a band missing where
    // the template expects energy counts against the hit.
    hits.push_back(handHit(0.01f, kTypical));
    EXPECT_NEAR(templateDistance(hits, 3, t), 0.0, 1e-5);
    hits[3].bands[5] = kNanF;
    EXPECT_GT(templateDistance(hits, 3, t), 1.0);
    // Fewer than two comparable bands: no distance.
    DetectedHit lone = handHit(0.5f, kTypical);
    lone.bands.fill(kNanF);
    lone.bands[4] = -3;
    hits.push_back(lone);
    EXPECT_EQ(templateDistance(hits, 4, t), -1.0);
}

// Random buffers with NaN, infinities and huge values at rates from 0 to 10^6:
// no crash, no sanitizer report, and only sane hits.
TEST(HitDetection, HostileInputNeverBreaksTheDetector) {
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<float> unit(-1, 1);
    const std::vector<double> rates = {0,     -1,    1e-300, 0.5,       1,      100,     1000,  8000,
                                       22050, 44100, 96000,  384000,    999999, 1e6,     1e6 + 1,
                                       std::nan(""), std::numeric_limits<double>::infinity(), 37.5};
    for (size_t round = 0; round < 60; ++round) {
        const double rate = rates[round % rates.size()];
        const size_t length = 4096 + (round * 7919) % 30000;
        std::vector<float> audio(length);
        const int flavour = kind(rng);
        for (float& v : audio) {
            const int k = kind(rng);
            switch (flavour) {
            case 0: v = k == 0 ? kNanF : unit(rng); break;
            case 1: v = k == 0 ? (k % 2 ? kInfF : -kInfF) : unit(rng); break;
            case 2: v = unit(rng) * 3e38f; break;
            case 3: v = k < 2 ? unit(rng) * 3e38f : 0.0f; break;
            case 4: v = unit(rng) * 1e-40f; break;
            default: v = k == 0 ? unit(rng) : unit(rng) * 1e-3f; break;
            }
        }
        HitDetector d;
        const std::vector<DetectedHit> hits = detectHits(d, audio, rate);
        for (size_t i = 0; i < hits.size(); ++i) {
            ASSERT_GE(hits[i].start, 0) << round;
            ASSERT_LE(hits[i].end, static_cast<int64_t>(length)) << round;
            ASSERT_GT(hits[i].end, hits[i].start) << round;
            if (i > 0) {
                ASSERT_GT(hits[i].start, hits[i - 1].start) << round;
            }
        }
    }
}

} // namespace
} // namespace vt6::fmt
