#include "analysis/physical_features.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "analysis/analysis_audio.hpp"
#include "analysis/detector_internal.hpp"
#include "analysis/fft.hpp"

namespace vt6::fmt {
namespace {

constexpr double kRate = 44100.0;
constexpr double kBinHz4096 = 10.7666015625;
constexpr double kBlockSeconds = 0.005804988662131519;
constexpr std::array<double, 10> kBandEdges = {30, 80, 150, 300, 600, 1200, 2500, 5000, 10000, 20000};

double log2Compress(double x) { return std::log2(1.0 + std::max(0.0, x)); }

double binHz1024(size_t k) { return (static_cast<double>(k) * kRate) * (1.0 / 1024); }

// This thread's window table and plans, kept until the thread ends. The plans'
// destructors take the planner mutex.
struct ThreadState {
    std::vector<float> hann1024;
    std::optional<FftPlan> plans[3];

    FftPlan& plan(int order) {
        std::optional<FftPlan>& slot = plans[order - 10];
        if (!slot || slot->size() != (uint64_t{1} << order)) {
            slot.reset();
            slot.emplace(FftPlan::create(order));
        }
        return *slot;
    }

    const std::vector<float>& window() {
        if (hann1024.size() != 1024) {
            std::vector<float> w(1024);
            for (size_t i = 0; i < w.size(); ++i) {
                w[i] = static_cast<float>(0.5 - 0.5 * std::cos((static_cast<double>(i) * 6.283185307179586) *
                                                               (1.0 / 1024)));
            }
            hann1024 = std::move(w);
        }
        return hann1024;
    }
};

ThreadState& threadState() {
    thread_local ThreadState state;
    return state;
}

double sortedAt(std::vector<double> values, size_t index) {
    std::sort(values.begin(), values.end(), detail::orderedBefore);
    return values[index];
}

// Vertex offset of the parabola through three neighbouring bins.
double parabolicDelta(double left, double centre, double right) {
    const double den = (left - 2 * centre) + right;
    return std::abs(den) > 1e-12 ? 0.5 * (left - right) / den : 0.0;
}

} // namespace

FeatureWindow featureWindowFor(DrumType drumType) {
    switch (drumType) {
    case kDrumKick: return {600, 40.0, 250.0};
    case kDrumHiHat:
    case kDrumCymbal: return {1200, 100.0, 600.0};
    case kDrumTom: return {600, 60.0, 400.0};
    default: return {400, 100.0, 600.0};
    }
}

PhysicalFeatures featuresForDrumType(std::span<const float> prepared, DrumType drumType) {
    const std::vector<float> aligned = alignToOnset(prepared);
    const std::vector<float> envelope = blockPeakEnvelope(aligned);
    return computePhysicalFeatures(aligned, envelope, featureWindowFor(drumType));
}

std::vector<double> hannPowerSpectrum(std::span<const float> x, FftPlan& plan, uint64_t offset, uint64_t n) {
    if (n != plan.size()) throw std::invalid_argument("power spectrum length differs from its plan");
    float* buf = plan.input();
    for (uint64_t i = 0; i < n; ++i) {
        const auto c = static_cast<float>(std::cos((static_cast<double>(i) * 6.283185307179586) /
                                                   static_cast<double>(n)));
        const float w = 0.5f - c * 0.5f;
        const float v = offset < x.size() && i < x.size() - offset ? x[offset + i] : 0.0f;
        buf[i] = v * w;
    }
    const std::span<const std::complex<float>> bins = plan.execute();
    std::vector<double> power(bins.size());
    for (size_t k = 0; k < bins.size(); ++k) {
        const double re = bins[k].real();
        const double im = bins[k].imag();
        power[k] = re * re + im * im;
    }
    return power;
}

double bandPowerSum(const std::vector<double>& power, uint64_t n, double lo, double hi) {
    double sum = 0.0;
    for (size_t k = 0; k < power.size(); ++k) {
        const double f = static_cast<double>(k) * kRate / static_cast<double>(n);
        if (lo <= f && f < hi) sum += power[k];
    }
    return sum;
}

Spectrogram magnitudeSpectrogram(std::span<const float> x, int32_t window) {
    ThreadState& state = threadState();
    const std::vector<float>& w = state.window();
    FftPlan& plan = state.plan(10);
    Spectrogram s;
    const int64_t lw = std::max<int64_t>(0, std::min<int64_t>(window, static_cast<int64_t>(x.size())));
    const int64_t frames = lw <= 1024 ? 1 : (lw - 1024) / 256 + 1;
    s.frames.reserve(static_cast<size_t>(frames));
    float* buf = plan.input();
    for (int64_t j = 0; j < frames; ++j) {
        for (int64_t i = 0; i < 1024; ++i) {
            const int64_t at = 256 * j + i;
            buf[i] = at < lw ? x[static_cast<size_t>(at)] * w[static_cast<size_t>(i)] : 0.0f;
        }
        const std::span<const std::complex<float>> bins = plan.execute();
        std::vector<double> row(bins.size());
        for (size_t k = 0; k < bins.size(); ++k) {
            row[k] = std::hypot(static_cast<double>(bins[k].real()), static_cast<double>(bins[k].imag()));
        }
        s.frames.push_back(std::move(row));
    }
    return s;
}

SpectralShape frameSpectralShape(std::span<const double> m) {
    SpectralShape out{};
    const size_t count = m.size();
    if (count == 0) return out;
    double total = 0.0;
    for (double v : m) total += v;
    if (!(total > 1e-12)) return out;

    double weighted = 0.0;
    for (size_t k = 0; k < count; ++k) weighted += binHz1024(k) * m[k];
    const double c = weighted / total;
    double var = 0.0;
    double m3 = 0.0;
    double m4 = 0.0;
    for (size_t k = 0; k < count; ++k) {
        const double q = m[k] / total;
        const double d = binHz1024(k) - c;
        const double t2 = q * d * d;
        const double t3 = t2 * d;
        const double t4 = t3 * d;
        var += t2;
        m3 += t3;
        m4 += t4;
    }
    const double sd = std::sqrt(std::max(1e-12, var));
    out[0] = log2Compress(c);
    out[1] = log2Compress(sd);
    out[2] = m3 / (sd * sd * sd);
    out[3] = m4 / (sd * sd * sd * sd);

    const double top = binHz1024(count - 1);
    double r85 = top;
    double r95 = top;
    bool found85 = false;
    double running = 0.0;
    for (size_t k = 0; k < count; ++k) {
        running += m[k];
        if (!found85 && running >= 0.85 * total) {
            r85 = binHz1024(k);
            found85 = true;
        }
        if (running >= 0.95 * total) {
            r95 = binHz1024(k);
            break;
        }
    }
    out[4] = log2Compress(r85);
    out[5] = log2Compress(r95);

    const double kd = static_cast<double>(count);
    double logSum = 0.0;
    double linSum = 0.0;
    for (double v : m) {
        logSum += std::log(v + 1e-12);
        linSum += v + 1e-12;
    }
    const double am = linSum / kd;
    out[6] = std::exp(logSum / kd) / am;

    const double centre = (kd - 1) * 0.5;
    double num = 0.0;
    double den = 0.0;
    for (size_t k = 0; k < count; ++k) {
        const double dk = static_cast<double>(k) - centre;
        num += ((m[k] + 1e-12) - am) * dk;
        den += dk * dk;
    }
    out[7] = num / std::max(1e-12, den) / std::max(1e-12, am);
    return out;
}

std::array<double, 13> melCepstrum(const std::vector<double>& power) {
    constexpr double kPi = 3.141592653589793;
    const double mlo = 2595 * std::log10(1.042857142857143);
    const double mhi = 2595 * std::log10(23.857142857142858);
    std::array<double, 28> edge{};
    for (int j = 0; j < 28; ++j) {
        edge[static_cast<size_t>(j)] = 700 * (std::pow(10.0, (j * (mhi - mlo) / 27 + mlo) / 2595) - 1);
    }
    std::array<double, 26> logEnergy{};
    for (size_t i = 0; i < 26; ++i) {
        const double left = edge[i];
        const double centre = edge[i + 1];
        const double right = edge[i + 2];
        double energy = 0.0;
        for (size_t k = 0; k < power.size(); ++k) {
            const double f = binHz1024(k);
            double weight = 0.0;
            if (left < f && f <= centre) {
                weight = (f - left) / std::max(1e-12, centre - left);
            } else if (centre < f && f < right) {
                weight = (right - f) / std::max(1e-12, right - centre);
            }
            energy += weight * power[k];
        }
        logEnergy[i] = std::log(energy + 1e-12);
    }
    std::array<double, 13> out{};
    const double scale = std::sqrt(0.07692307692307693);
    for (int j = 1; j <= 13; ++j) {
        double sum = 0.0;
        for (int i = 0; i < 26; ++i) {
            sum += std::cos(((i + 0.5) * (j * kPi)) / 26) * logEnergy[static_cast<size_t>(i)];
        }
        out[static_cast<size_t>(j - 1)] = scale * sum;
    }
    return out;
}

PhysicalFeatures computePhysicalFeatures(std::span<const float> x, std::span<const float> e,
                                         const FeatureWindow& window) {
    PhysicalFeatures out{};
    const size_t n = x.size();
    if (n == 0) return out;

    // Attack: the first 50 ms.
    const size_t a = std::min<size_t>(n, 2205);
    float peak = 0.0f;
    for (size_t i = 0; i < a; ++i) peak = std::max(peak, std::abs(x[i]));
    double energyA = 0.0;
    double energy220 = 0.0;
    for (size_t i = 0; i < a; ++i) {
        const double v = x[i];
        energyA += v * v;
        if (i < 220) energy220 += v * v;
    }
    {
        const float at10 = 0.1f * peak;
        const float at90 = 0.9f * peak;
        int64_t i10 = -1;
        int64_t i90 = -1;
        for (size_t i = 0; i < a && i90 < 0; ++i) {
            const float v = std::abs(x[i]);
            if (i10 < 0 && v >= at10) i10 = static_cast<int64_t>(i);
            if (i90 < 0 && v >= at90) i90 = static_cast<int64_t>(i);
        }
        const double r = i10 >= 0 && i90 >= 0 && i10 < i90 ? static_cast<double>(i90 - i10) / kRate : 0.0001;
        out[0] = std::log10(std::max(0.0001, r));
    }
    out[1] = energyA > 1e-12 ? energy220 / energyA : 0.0;
    {
        const double rms = std::sqrt(energyA / static_cast<double>(std::max<size_t>(a, 1)));
        out[2] = rms > 1e-12 ? static_cast<double>(peak) / rms : 0.0;
    }

    // Envelope: the first B blocks.
    // 64-bit so that no window length overflows; the spectrogram sees at most the input.
    const int64_t w = int64_t{window.windowMs} * 44100 / 1000;
    const size_t blocks = std::min<size_t>(static_cast<size_t>(std::max<int64_t>(1, w / 256)), e.size());
    double envMax = 0.0;
    size_t h = 0;
    for (size_t k = 0; k < blocks; ++k) {
        if (static_cast<double>(e[k]) > envMax) {
            envMax = e[k];
            h = k;
        }
    }
    if (blocks > 0 && envMax > 1e-12) {
        const double dt = kBlockSeconds;
        double weighted = 0.0;
        double total = 0.0;
        for (size_t k = 0; k < blocks; ++k) {
            const double v = e[k];
            weighted += (static_cast<double>(k) * (v * v)) * dt;
            total += v * v;
        }
        out[3] = total > 1e-12 ? weighted / total : 0.0;

        out[4] = dt * static_cast<double>(blocks);
        int run = 0;
        for (size_t k = h; k < blocks; ++k) {
            if (static_cast<double>(e[k]) < 0.01 * envMax) {
                if (++run == 3) {
                    out[4] = dt * static_cast<double>(k - 2);
                    break;
                }
            } else {
                run = 0;
            }
        }

        size_t s0 = blocks;
        for (size_t k = h; k < blocks; ++k) {
            if (static_cast<double>(e[k]) < 0.1 * envMax) {
                s0 = k;
                break;
            }
        }
        const size_t m = s0 - h;
        if (m >= 3) {
            double sx = 0, sy = 0, sxx = 0, sxy = 0;
            auto point = [&](size_t k) {
                return std::pair{dt * static_cast<double>(k - h), 20 * std::log10(static_cast<double>(e[k]) + 1e-12)};
            };
            for (size_t k = h; k < s0; ++k) {
                const auto [px, py] = point(k);
                sx += px;
                sy += py;
                sxx += px * px;
                sxy += px * py;
            }
            const double md = static_cast<double>(m);
            const double den = md * sxx - sx * sx;
            const double slope = den > 1e-12 ? (md * sxy - sy * sx) / den : 0.0;
            const double intercept = (sy - slope * sx) / md;
            double residual = 0.0;
            for (size_t k = h; k < s0; ++k) {
                const auto [px, py] = point(k);
                const double d = py - (px * slope + intercept);
                residual += d * d;
            }
            out[5] = slope;
            out[6] = std::sqrt(residual / md);
        }

        double early = 0.0;
        double late = 0.0;
        for (size_t k = 0; k < blocks; ++k) {
            const double v = e[k];
            (k < blocks / 2 ? early : late) += v * v;
        }
        out[7] = std::log10((1e-12 + late) / (1e-12 + early));
    }

    // Spectral shape over the analysis window.
    const Spectrogram spectra =
        magnitudeSpectrogram(x, static_cast<int32_t>(std::clamp<int64_t>(w, 0, std::min<int64_t>(static_cast<int64_t>(x.size()), INT32_MAX))));
    const size_t frames = spectra.frames.size();
    std::vector<SpectralShape> shapes(frames);
    for (size_t f = 0; f < frames; ++f) shapes[f] = frameSpectralShape(spectra.frames[f]);
    const double perFrame = static_cast<double>(std::max<size_t>(frames, 1));
    for (size_t v = 0; v < 8; ++v) {
        double sum = 0.0;
        for (const SpectralShape& s : shapes) sum += s[v];
        const double mean = sum / perFrame;
        double sq = 0.0;
        for (const SpectralShape& s : shapes) sq += (s[v] - mean) * (s[v] - mean);
        out[8 + v] = mean;
        out[16 + v] = std::sqrt(sq / perFrame);
    }
    const size_t r = std::max<size_t>(1, std::min<size_t>(frames, 9));
    auto meanOver = [&](size_t v, size_t from, size_t to) {
        double sum = 0.0;
        for (size_t f = from; f < to && f < frames; ++f) sum += shapes[f][v];
        return to > from ? sum / static_cast<double>(to - from) : 0.0;
    };
    out[24] = meanOver(0, 0, r);
    out[25] = meanOver(6, 0, r);
    out[26] = frames <= r ? out[24] : meanOver(0, r, frames);
    out[27] = frames <= r ? out[25] : meanOver(6, r, frames);

    // Mean power spectrum.
    const size_t binCount = 513;
    std::vector<double> p(binCount, 0.0);
    for (const std::vector<double>& row : spectra.frames) {
        for (size_t k = 0; k < binCount; ++k) p[k] += row[k] * row[k];
    }
    for (double& v : p) v /= perFrame;

    std::array<double, 9> bandEnergy{};
    for (size_t k = 0; k < binCount; ++k) {
        const double f = binHz1024(k);
        for (size_t b = 0; b < 9; ++b) {
            if (kBandEdges[b] <= f && f < kBandEdges[b + 1]) {
                bandEnergy[b] += p[k];
                break;
            }
        }
    }
    double bandTotal = 1e-12;
    for (double v : bandEnergy) bandTotal += v;
    for (size_t b = 0; b < 9; ++b) out[28 + b] = std::log10(bandEnergy[b] / bandTotal + 1e-6);

    const std::array<double, 13> mfcc = melCepstrum(p);
    for (size_t j = 0; j < 13; ++j) out[37 + j] = mfcc[j];

    // Low spectral peak between 40 Hz and 1 kHz.
    {
        size_t first = 0;
        size_t last = 0;
        double pmax = 0.0;
        int64_t pk = -1;
        std::vector<double> list;
        for (size_t l = 1; l + 1 < binCount; ++l) {
            const double f = binHz1024(l);
            if (f < 40) {
                first = l + 1;
                continue;
            }
            if (f > 1000) break;
            last = l;
            list.push_back(p[l]);
            if (p[l] > pmax) {
                pmax = p[l];
                pk = static_cast<int64_t>(l);
            }
        }
        if (pk >= 0 && static_cast<int64_t>(first) < pk && pk < static_cast<int64_t>(last) && pmax > 1e-12) {
            const auto pi = static_cast<size_t>(pk);
            const double delta = parabolicDelta(p[pi - 1], pmax, p[pi + 1]);
            const double fp = (static_cast<double>(pi) * kRate) * (1.0 / 1024) + (delta * kRate) * (1.0 / 1024);
            out[50] = log2Compress(fp);
            const double median = sortedAt(list, list.size() / 2);
            out[51] = 10 * std::log10((pmax + 1e-12) / (median + 1e-12));
            double d = 1e-12;
            for (size_t k = 0; k < binCount; ++k) {
                const double f = binHz1024(k);
                if (40 <= f && f <= 4000) d += p[k];
            }
            double harmonic = 0.0;
            for (int m = 1; m <= 3; ++m) {
                const long c = std::lround(((m * fp) * 1024) / kRate);
                const long from = std::max(0L, c - 3);
                const long to = std::min(c + 3, 512L);
                for (long k = from; k <= to; ++k) harmonic += p[static_cast<size_t>(k)];
            }
            out[52] = std::min(1.0, harmonic / d);
        }
    }

    // Pitch on the 4096-point spectrum 15 ms after the start.
    ThreadState& state = threadState();
    const std::vector<double> q = hannPowerSpectrum(x, state.plan(12), 661, 4096);
    {
        const auto lo = static_cast<int64_t>(std::ceil(window.pitchLoHz / kBinHz4096));
        const auto hi = static_cast<int64_t>(std::floor(window.pitchHiHz / kBinHz4096));
        std::vector<double> list;
        double sumP = 0.0;
        double sumPF = 0.0;
        double qmax = 0.0;
        int64_t pk = -1;
        for (int64_t l = std::max<int64_t>(lo, 0); l <= hi && l + 1 < 2049; ++l) {
            const double v = q[static_cast<size_t>(l)];
            list.push_back(v);
            sumP += v;
            sumPF += (static_cast<double>(l) * v) * kBinHz4096;
            if (v > qmax) {
                qmax = v;
                pk = l;
            }
        }
        if (lo < pk && pk < hi && qmax > 1e-12) {
            const auto pi = static_cast<size_t>(pk);
            const double delta = parabolicDelta(q[pi - 1], qmax, q[pi + 1]);
            out[53] = log2Compress((static_cast<double>(pk) + delta) * kBinHz4096);
            const double median = sortedAt(list, list.size() / 2);
            out[54] = 10 * std::log10((qmax + 1e-12) / (median + 1e-12));
        } else if (sumP > 1e-12) {
            out[53] = log2Compress(sumPF / sumP);
        }
    }
    const std::vector<double> early = hannPowerSpectrum(x, state.plan(11), 661, 2048);
    const std::vector<double> later = hannPowerSpectrum(x, state.plan(11), 2709, 2048);
    out[55] = 10 * std::log10((1e-12 + bandPowerSum(later, 2048, window.pitchLoHz, window.pitchHiHz)) /
                              (1e-12 + bandPowerSum(early, 2048, window.pitchLoHz, window.pitchHiHz)));
    out[56] = 10 * std::log10((1e-12 + bandPowerSum(q, 4096, 2000, 8000)) /
                              (1e-12 + bandPowerSum(q, 4096, window.pitchLoHz, window.pitchHiHz)));
    return out;
}

} // namespace vt6::fmt
