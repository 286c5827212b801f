#include "analysis/physical_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "analysis/fft.hpp"
#include "analysis/numeric.hpp"
#include "format/result.hpp"

namespace vt6::fmt {
namespace {

constexpr double kRate = 44100.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Half-open bin ranges of the 48 segment bands on a 512-point spectrum.
constexpr std::array<std::array<int32_t, 2>, kSegmentBands> kBandBins = {{
    {1, 2},     {1, 2},     {1, 2},     {2, 3},     {2, 3},     {2, 3},     {3, 4},     {3, 4},
    {4, 5},     {4, 5},     {5, 6},     {6, 7},     {6, 7},     {7, 8},     {8, 9},     {9, 10},
    {10, 11},   {11, 12},   {12, 14},   {14, 15},   {15, 17},   {17, 18},   {18, 20},   {20, 22},
    {22, 24},   {24, 27},   {27, 29},   {29, 32},   {32, 35},   {35, 38},   {38, 42},   {42, 46},
    {46, 50},   {50, 55},   {55, 60},   {60, 65},   {65, 71},   {71, 78},   {78, 85},   {85, 93},
    {93, 101},  {101, 111}, {111, 121}, {121, 132}, {132, 144}, {144, 157}, {157, 171}, {171, 186},
}};

float quarterStep(double v) { return quantizeToStep(static_cast<float>(v), 0.25f, -kInf, kInf); }

[[noreturn]] void refuse(int code) { throw std::invalid_argument(makeErrorRef(code)); }

} // namespace

uint8_t toDrumClass(DrumType drumType) noexcept {
    switch (drumType) {
        case kDrumKick: return 0;
        case kDrumSnare: return 1;
        case kDrumHiHat: return 4;
        case kDrumTom: return 2;
        case kDrumCymbal: return 3;
        default: return 5;
    }
}

DrumType fromDrumClass(uint8_t classCode) noexcept {
    switch (classCode) {
        case 0: return kDrumKick;
        case 1: return kDrumSnare;
        case 2: return kDrumTom;
        case 3: return kDrumCymbal;
        case 4: return kDrumHiHat;
        default: return kDrumUnknown;
    }
}

std::array<double, kSegments> segmentBoundaries(uint8_t classCode) {
    constexpr double kEnd[6] = {600, 400, 600, 1200, 1200, 1200};
    const double t = kEnd[classCode < 6 ? classCode : 5];
    std::array<double, kSegments> b{};
    for (int32_t k = 0; k < kSegments; ++k) {
        b[static_cast<size_t>(k)] = k < 16 ? 3.0 * (k + 1) : 48.0 * std::pow(t / 48.0, (k - 15) / 16.0);
    }
    return b;
}

std::vector<double> normalizeAnalysisInput(std::span<const float> samples) {
    if (samples.empty() || samples.size() > 88200) refuse(8219);
    float peak = 0.0f;
    for (const float v : samples) {
        if (!std::isfinite(v)) refuse(8220);
        peak = std::max(peak, std::fabs(v));
    }
    std::vector<double> out(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        out[i] = peak > 1e-9f ? static_cast<double>(samples[i] / peak) : static_cast<double>(samples[i]);
    }
    return out;
}

SegmentSpectrum computeSegmentSpectrum(std::span<const double> samples, uint8_t classCode) {
    std::vector<double> x(samples.begin(), samples.end());
    if (x.size() < 64) x.resize(64, 0.0);
    const auto n = static_cast<int64_t>(x.size());
    const std::array<double, kSegments> b = segmentBoundaries(classCode);

    std::array<double, 512> window{};
    for (size_t i = 0; i < window.size(); ++i) {
        window[i] = 0.5 - 0.5 * std::cos(2.0 * 3.141592653589793 * static_cast<double>(i) / 512.0);
    }
    std::array<double, kSegmentBands * kSegments> acc{};
    std::array<int64_t, kSegments> count{};
    const int64_t frames = 1 + (std::max<int64_t>(n, 512) - 449) / 64;
    const double lengthMs = static_cast<double>(n) * 1000.0 / kRate + 1e-6;
    AnalysisFft& fft = analysisFftFor(512);
    std::vector<double> frame(512);
    for (int64_t f = 0; f < frames; ++f) {
        const int64_t s = 64 * f;
        const double centre = static_cast<double>(s + 256) / kRate * 1000.0;
        int32_t j = 0;
        while (j < kSegments && !(centre < b[static_cast<size_t>(j)])) ++j;
        if (j == kSegments) continue;
        if (b[static_cast<size_t>(j)] > lengthMs) continue;
        for (int64_t i = 0; i < 512; ++i) {
            frame[static_cast<size_t>(i)] = s + i < n ? x[static_cast<size_t>(s + i)] * window[static_cast<size_t>(i)] : 0.0;
        }
        const std::vector<std::complex<double>> spectrum = fft.forward(frame);
        std::array<double, 257> p{};
        for (size_t k = 0; k < p.size(); ++k) {
            const double m = std::hypot(spectrum[k].real() / 256.0, spectrum[k].imag() / 256.0);
            p[k] = m * m;
        }
        for (int32_t band = 0; band < kSegmentBands; ++band) {
            const int32_t lo = kBandBins[static_cast<size_t>(band)][0];
            const int32_t hi = kBandBins[static_cast<size_t>(band)][1];
            double mean = 0.0;
            for (int32_t k = lo; k < hi; ++k) mean += p[static_cast<size_t>(k)] / (hi - lo);
            acc[static_cast<size_t>(band * kSegments + j)] += mean;
        }
        ++count[static_cast<size_t>(j)];
    }

    SegmentSpectrum out;
    for (int32_t j = 0; j < kSegments; ++j) {
        out.present[static_cast<size_t>(j)] = count[static_cast<size_t>(j)] > 0 ? 1 : 0;
        if (count[static_cast<size_t>(j)] == 0) continue;
        for (int32_t band = 0; band < kSegmentBands; ++band) {
            acc[static_cast<size_t>(band * kSegments + j)] /= static_cast<double>(count[static_cast<size_t>(j)]);
        }
    }
    double d = 0.0;
    bool early = false;
    for (int32_t j = 0; j < 3; ++j) {
        if (out.present[static_cast<size_t>(j)] == 0) continue;
        for (int32_t band = 0; band < kSegmentBands; ++band) {
            const double v = acc[static_cast<size_t>(band * kSegments + j)];
            d = early ? std::max(d, v) : v;
            early = true;
        }
    }
    if (!early || d <= 0.0) {
        d = *std::max_element(acc.begin(), acc.end());
        if (d <= 0.0) d = 1.0;
    }
    for (int32_t band = 0; band < kSegmentBands; ++band) {
        for (int32_t j = 0; j < kSegments; ++j) {
            const size_t at = static_cast<size_t>(band * kSegments + j);
            out.bandDb[at] = out.present[static_cast<size_t>(j)] != 0
                                 ? std::max(-66.0, 10.0 * std::log10(std::max(1e-20, acc[at]) / d))
                                 : kNaN;
        }
    }

    out.envelopeDb.fill(kNaN);
    const int64_t blocks = std::max<int64_t>(1, n / 255);
    std::vector<double> r(static_cast<size_t>(blocks), 0.0);
    double w = 0.0;
    for (int64_t k = 0; k < blocks; ++k) {
        const int64_t end = std::min<int64_t>(255 * (k + 1), n);
        for (int64_t i = 255 * k; i < end; ++i) r[static_cast<size_t>(k)] = std::max(r[static_cast<size_t>(k)], std::fabs(x[static_cast<size_t>(i)]));
        w = std::max(w, r[static_cast<size_t>(k)]);
    }
    if (w > 0.0) {
        std::vector<double> values;
        for (int32_t i = 16; i < kSegments; ++i) {
            values.clear();
            for (int64_t k = 0; k < blocks; ++k) {
                const double centre = (static_cast<double>(k) + 0.5) * 255000.0 / kRate;
                if (centre >= b[static_cast<size_t>(i) - 1] && centre < b[static_cast<size_t>(i)]) {
                    values.push_back(20.0 * std::log10(std::max(1e-9, r[static_cast<size_t>(k)]) / w));
                }
            }
            if (!values.empty()) {
                out.envelopeDb[static_cast<size_t>(i) - 16] =
                    pairwiseSum(values.data(), static_cast<int32_t>(values.size())) / static_cast<double>(values.size());
            }
        }
    }
    return out;
}

CombinedDescriptors combineSegmentSpectra(const SegmentSpectrum& first, const SegmentSpectrum* second) {
    CombinedDescriptors out;
    for (size_t i = 0; i < out.meanDb.size(); ++i) {
        out.meanDb[i] = quarterStep(second != nullptr ? meanOfFinitePair(first.bandDb[i], second->bandDb[i]) : first.bandDb[i]);
    }
    for (size_t j = 0; j < kSegments; ++j) {
        out.segmentPresent[j] = first.present[j] != 0 || (second != nullptr && second->present[j] != 0) ? 1 : 0;
    }
    for (size_t i = 0; i < kEnvelopeSegments; ++i) {
        out.envelopeDb[i] =
            quarterStep(second != nullptr ? meanOfFinitePair(first.envelopeDb[i], second->envelopeDb[i]) : first.envelopeDb[i]);
        out.envelopePresent[i] = std::isfinite(out.envelopeDb[i]) ? 1 : 0;
    }
    std::vector<double> kept;
    for (size_t h = 0; h < 2; ++h) {
        for (size_t band = 0; band < kSegmentBands; ++band) {
            kept.clear();
            for (size_t j = 16 * h; j < 16 * h + 16; ++j) {
                const double a = first.bandDb[band * kSegments + j];
                if (second != nullptr) {
                    const double c = second->bandDb[band * kSegments + j];
                    const double m = meanOfFinitePair(a, c);
                    const double d = meanOfFinitePair(std::fabs(a - m), std::fabs(c - m));
                    if (std::isfinite(d)) kept.push_back(d);
                } else if (std::isfinite(a)) {
                    kept.push_back(0.0);
                }
            }
            double result = 3.0;
            if (!kept.empty()) {
                std::sort(kept.begin(), kept.end());
                const size_t mid = kept.size() / 2;
                result = kept.size() % 2 == 1 ? kept[mid] : (kept[mid - 1] + kept[mid]) * 0.5;
            }
            out.spreadDb[h * kSegmentBands + band] = quarterStep(result);
        }
    }
    return out;
}

PhysicalModel buildPhysicalModel(std::span<const float> first, std::span<const float> second, uint8_t classCode,
                                 const PhysicalFeatures& features) {
    if (classCode >= kDrumClassCount) refuse(8222);
    const std::vector<double> x1 = normalizeAnalysisInput(first);
    PhysicalModel model;
    model.classCode = classCode;
    model.features = features;
    const SegmentSpectrum s1 = computeSegmentSpectrum(x1, classCode);
    model.inputs.push_back(buildInputDescriptors(x1));
    if (!second.empty()) {
        const std::vector<double> x2 = normalizeAnalysisInput(second);
        const SegmentSpectrum s2 = computeSegmentSpectrum(x2, classCode);
        model.combined = combineSegmentSpectra(s1, &s2);
        model.inputs.push_back(buildInputDescriptors(x2));
    } else {
        model.combined = combineSegmentSpectra(s1, nullptr);
    }
    return model;
}

} // namespace vt6::fmt
