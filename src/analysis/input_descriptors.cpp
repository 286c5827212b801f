#include "analysis/input_descriptors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "analysis/analysis_audio.hpp"
#include "analysis/fft.hpp"
#include "analysis/numeric.hpp"

namespace vt6::fmt {

const std::array<Biquad, 2> kLowPassCascade16k = {{
    {0.0013092510020546874, 0.0026185020041093747, 0.0013092510020546874, 1.0, -0.7883364345850925, 0.0},
    {1.0, 1.0, 0.0, 1.0, -1.7414707091270685, 0.7909549365892021},
}};

const std::array<Biquad, 3> kBandPassCascade16k = {{
    {0.02048350491442176, 0.04096700982884352, 0.02048350491442176, 1.0, -1.1992334689524389, 0.5545126546110956},
    {1.0, 0.0, -1.0, 1.0, -1.464211736710935, 0.4898949450224771},
    {1.0, -2.0, 1.0, 1.0, -1.9550565185029272, 0.9573486744385257},
}};

namespace {

constexpr double kRate = 44100.0;
constexpr double kPi = 3.141592653589793;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

constexpr std::array<int32_t, 9> kAutocorrelationLengths = {96, 192, 384, 768, 1536, 3072, 6144, 12288, 19200};
constexpr std::array<int32_t, 7> kEnvelopeLengths = {96, 192, 384, 768, 1536, 3072, 6144};
constexpr int32_t kLpcOrder = 48;
constexpr int32_t kBandStatLimit = 52920;

double erbRate(double f) { return 21.4 * std::log10(1.0 + 0.00437 * f); }
double erbRateInverse(double e) { return (std::pow(10.0, e / 21.4) - 1.0) / 0.00437; }

// count points equally spaced in ERB-rate from 30 Hz to 16000 Hz.
std::vector<double> erbPoints(int32_t count) {
    const double lo = erbRate(30.0);
    const double hi = erbRate(16000.0);
    std::vector<double> out(static_cast<size_t>(count));
    for (int32_t k = 0; k < count; ++k) {
        out[static_cast<size_t>(k)] = erbRateInverse(lo + k * (hi - lo) / (count - 1));
    }
    return out;
}

// Kaiser-windowed sinc (beta 5) for a 441-fold oversampled grid, unit sum.
const std::vector<double>& rationalFilter() {
    static const std::vector<double> taps = [] {
        std::vector<double> h(8821);
        const double i0Beta = besselI0(5.0);
        for (int32_t k = 0; k < 8821; ++k) {
            const double u = (k - 4410) / 441.0;
            const double sinc = k == 4410 ? 1.0 : std::sin(kPi * u) / (kPi * u);
            const double r = (k - 4410) / 4410.0;
            h[static_cast<size_t>(k)] = sinc * besselI0(5.0 * std::sqrt(std::max(0.0, 1.0 - r * r))) / i0Beta;
        }
        const double sum = pairwiseSum(h.data(), static_cast<int32_t>(h.size()));
        for (double& v : h) v /= sum;
        return h;
    }();
    return taps;
}

ErbFilterbank buildFilterbank(int32_t size) {
    const std::vector<double> p = erbPoints(kErbBands + 2);
    const int32_t binCount = size / 2 + 1;
    const double binHz = kRate / size;
    ErbFilterbank fb;
    fb.size = size;
    fb.rowStart.push_back(0);
    for (int32_t b = 0; b < kErbBands; ++b) {
        const double lo = p[static_cast<size_t>(b)];
        const double mid = p[static_cast<size_t>(b) + 1];
        const double hi = p[static_cast<size_t>(b) + 2];
        const size_t first = fb.bins.size();
        double total = 0.0;
        for (int32_t k = 0; k < binCount; ++k) {
            double w = 0.0;
            for (int32_t i = 0; i <= 16; ++i) {
                const double f = (k - 0.5 + i / 16.0) * binHz;
                if (f > lo && f < mid) {
                    w += (f - lo) / (mid - lo);
                } else if (f >= mid && f < hi) {
                    w += (hi - f) / (hi - mid);
                }
            }
            if (w > 0.0) {
                fb.bins.push_back(k);
                fb.weights.push_back(w);
                total += w;
            }
        }
        for (size_t i = first; i < fb.weights.size(); ++i) fb.weights[i] /= total;
        fb.rowStart.push_back(static_cast<int32_t>(fb.bins.size()));
    }
    return fb;
}

// v on the grid below the row maximum, clamped to [floor, 0]; NaN stays NaN.
void normaliseRow(float* row, size_t count, float step, float floor) {
    float m = -kInf;
    for (size_t i = 0; i < count; ++i) {
        if (std::isfinite(row[i]) && row[i] > m) m = row[i];
    }
    for (size_t i = 0; i < count; ++i) {
        if (std::isnan(row[i])) continue;
        const float d = row[i] - m;
        row[i] = quantizeToStep(d > floor ? d : floor, step, floor, 0.0f);
    }
}

float toDb10(double v, double floor) { return static_cast<float>(10.0 * std::log10(std::max(floor, v))); }

} // namespace

const std::array<double, kErbBands + 1>& erbBandEdges() {
    static const std::array<double, kErbBands + 1> edges = [] {
        const std::vector<double> p = erbPoints(kErbBands + 1);
        std::array<double, kErbBands + 1> out{};
        std::copy(p.begin(), p.end(), out.begin());
        return out;
    }();
    return edges;
}

const std::array<int32_t, kAutocorrelationLags>& autocorrelationLags() {
    static const std::array<int32_t, kAutocorrelationLags> lags = [] {
        std::array<int32_t, kAutocorrelationLags> out{};
        size_t n = 0;
        for (int32_t i = 0; i <= 127; ++i) {
            const auto lag = static_cast<int32_t>(std::round(std::pow(400.0, i / 127.0)));
            if (n == 0 || out[n - 1] != lag) {
                if (n == out.size()) throw std::logic_error("autocorrelation lag table overflow");
                out[n++] = lag;
            }
        }
        return out;
    }();
    return lags;
}

const ErbFilterbank& erbFilterbank(int32_t size) {
    static const ErbFilterbank banks[3] = {buildFilterbank(512), buildFilterbank(2048), buildFilterbank(8192)};
    switch (size) {
        case 512: return banks[0];
        case 2048: return banks[1];
        case 8192: return banks[2];
        default: throw std::invalid_argument("no band-statistics filterbank of this size");
    }
}

std::vector<double> resampleRational(std::span<const double> x, int32_t up) {
    const std::vector<double>& h = rationalFilter();
    const auto n = static_cast<int64_t>(x.size());
    const int64_t outCount = (n * up + 440) / 441;
    std::vector<double> y(static_cast<size_t>(outCount));
    for (int64_t i = 0; i < outCount; ++i) {
        const int64_t c = 4410 + 441 * i;
        // ceil((c - 8820) / up) for any sign, then at least 0.
        const int64_t d = c - 8820;
        const int64_t lo = std::max<int64_t>(0, d > 0 ? (d + up - 1) / up : -((-d) / up));
        const int64_t hi = std::min<int64_t>(c / up, n - 1);
        double sum = 0.0;
        for (int64_t j = lo; j <= hi; ++j) {
            sum += up * h[static_cast<size_t>(c - up * j)] * x[static_cast<size_t>(j)];
        }
        y[static_cast<size_t>(i)] = sum;
    }
    return y;
}

void biquadCascade(std::vector<double>& signal, const Biquad* sections, size_t count) {
    std::vector<double> z1(count, 0.0);
    std::vector<double> z2(count, 0.0);
    for (double& sample : signal) {
        double x = sample;
        for (size_t s = 0; s < count; ++s) {
            const Biquad& q = sections[s];
            const double y = q[0] * x + z1[s];
            z1[s] = q[1] * x - q[4] * y + z2[s];
            z2[s] = q[2] * x - q[5] * y;
            x = y;
        }
        sample = x;
    }
}

void erbSpectrumRows(std::span<const double> x, InputDescriptors& out) {
    out.erbDb.fill(kNaN);
    out.levelDb.fill(kNaN);
    const std::array<double, kErbBands + 1>& edges = erbBandEdges();
    const auto n = static_cast<int64_t>(x.size());
    for (int32_t r = 0; r < kErbRows; ++r) {
        const int32_t e = kErbOnsetLengths[static_cast<size_t>(r)];
        if (e > n) continue;
        const int32_t bigN = std::max(512, nextPowerOfTwo(e));
        const double binHz = kRate / bigN;
        std::vector<double> s(static_cast<size_t>(e));
        std::vector<double> s2(static_cast<size_t>(e));
        for (int32_t i = 0; i < e; ++i) {
            s[static_cast<size_t>(i)] = std::sin((i + 0.5) * kPi / e);
            s2[static_cast<size_t>(i)] = s[static_cast<size_t>(i)] * s[static_cast<size_t>(i)];
        }
        const double norm = std::sqrt(pairwiseSum(s2.data(), e));
        const double root = std::sqrt(static_cast<double>(e));
        std::vector<double> a(static_cast<size_t>(e));
        std::vector<double> b(static_cast<size_t>(e));
        std::vector<double> c(static_cast<size_t>(e));
        for (size_t i = 0; i < static_cast<size_t>(e); ++i) {
            a[i] = x[i] / root;
            b[i] = (s[i] / norm) * x[i];
            c[i] = x[i] * x[i];
        }
        const std::vector<double> pa = powerSpectrum(a, bigN);
        const std::vector<double> pb = powerSpectrum(b, bigN);
        std::vector<double> cumulative(pa.size() + 1);
        cumulative[0] = 0.0;
        double t = 0.0;
        for (size_t k = 0; k < pa.size(); ++k) {
            t += (pb[k] + pa[k]) * 0.5;
            cumulative[k + 1] = t * binHz;
        }
        for (int32_t j = 0; j < kErbBands; ++j) {
            const double lo = edges[static_cast<size_t>(j)];
            const double hi = edges[static_cast<size_t>(j) + 1];
            const double density = (cumulativeAt(cumulative, binHz, hi) - cumulativeAt(cumulative, binHz, lo)) / (hi - lo);
            out.erbDb[static_cast<size_t>(r * kErbBands + j)] = toDb10(density, 1e-12);
        }
        out.levelDb[static_cast<size_t>(r)] = toDb10(pairwiseSum(c.data(), e) / e, 1e-12);
    }
    for (std::span<float> field : {std::span<float>(out.erbDb), std::span<float>(out.levelDb)}) {
        float m = -kInf;
        for (const float v : field) {
            if (std::isfinite(v) && v > m) m = v;
        }
        for (float& v : field) v = quantizeToStep(v - m, 0.25f, -kInf, kInf);
    }
}

void bandStatisticsRows(std::span<const double> x, WindowDescriptors& out) {
    out.bandMeanDb.fill(kNaN);
    out.bandSpreadDb.fill(kNaN);
    const auto m = static_cast<int64_t>(std::min<size_t>(x.size(), kBandStatLimit));
    constexpr int32_t kSizes[3] = {512, 2048, 8192};
    for (int32_t si = 0; si < 3; ++si) {
        const int32_t bigN = kSizes[si];
        const ErbFilterbank& fb = erbFilterbank(bigN);
        std::vector<double> hann(static_cast<size_t>(bigN));
        for (int32_t i = 0; i < bigN; ++i) {
            hann[static_cast<size_t>(i)] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / (bigN - 1));
        }
        // Per class, the band energies and centred log spectra of its frames in order.
        std::array<std::vector<double>, 4> energies;
        std::array<std::vector<double>, 4> logs;
        std::vector<double> frame(static_cast<size_t>(bigN));
        std::vector<double> g(kErbBands);
        for (int64_t t = 0; t < m; t += bigN / 4) {
            for (int32_t i = 0; i < bigN; ++i) {
                const int64_t k = t - bigN / 2 + i;
                frame[static_cast<size_t>(i)] = k >= 0 && k < m ? x[static_cast<size_t>(k)] * hann[static_cast<size_t>(i)] : 0.0;
            }
            const double seconds = static_cast<double>(t) / kRate;
            const size_t cls = seconds < 0.024 ? 0 : seconds < 0.096 ? 1 : seconds < 0.384 ? 2 : 3;
            const std::vector<double> p = powerSpectrum(frame, bigN);
            for (int32_t b = 0; b < kErbBands; ++b) {
                double e = 0.0;
                for (int32_t q = fb.rowStart[static_cast<size_t>(b)]; q < fb.rowStart[static_cast<size_t>(b) + 1]; ++q) {
                    e += fb.weights[static_cast<size_t>(q)] * p[static_cast<size_t>(fb.bins[static_cast<size_t>(q)])];
                }
                energies[cls].push_back(e);
                g[static_cast<size_t>(b)] = 10.0 * std::log10(std::max(1e-12, e));
            }
            const double mean = pairwiseSum(g.data(), kErbBands) / kErbBands;
            for (const double v : g) logs[cls].push_back(v - mean);
        }
        for (size_t c = 0; c < 4; ++c) {
            const size_t frames = energies[c].size() / kErbBands;
            if (frames == 0) continue;
            const double kd = static_cast<double>(frames);
            for (size_t b = 0; b < kErbBands; ++b) {
                double sumE = 0.0;
                double sumG = 0.0;
                for (size_t f = 0; f < frames; ++f) {
                    sumE += energies[c][f * kErbBands + b];
                    sumG += logs[c][f * kErbBands + b];
                }
                const double meanG = sumG / kd;
                double squares = 0.0;
                for (size_t f = 0; f < frames; ++f) {
                    const double d = logs[c][f * kErbBands + b] - meanG;
                    squares += d * d;
                }
                const size_t at = (static_cast<size_t>(4 * si) + c) * kErbBands + b;
                out.bandMeanDb[at] = toDb10(sumE / kd, 1e-12);
                out.bandSpreadDb[at] = static_cast<float>(std::sqrt(squares / kd));
            }
        }
        normaliseRow(out.bandMeanDb.data() + static_cast<size_t>(4 * si) * kErbBands, 4 * kErbBands, kBandMeanStep,
                     -70.0f);
    }
    for (float& v : out.bandSpreadDb) v = quantizeToStep(v, 0.25f, 0.0f, 63.5f);
}

void autocorrelationRows(std::span<const double> x, WindowDescriptors& out) {
    out.autocorrelation.fill(kNaN);
    const std::vector<double> s0 = resampleRational(x, 160);
    std::vector<double> s1 = s0;
    biquadCascade(s1, kLowPassCascade16k.data(), kLowPassCascade16k.size());
    std::vector<double> s2 = s0;
    biquadCascade(s2, kBandPassCascade16k.data(), kBandPassCascade16k.size());
    const std::vector<double>* variants[3] = {&s0, &s1, &s2};
    const std::array<int32_t, kAutocorrelationLags>& lags = autocorrelationLags();
    const auto m = static_cast<int64_t>(s0.size());
    for (int32_t v = 0; v < 3; ++v) {
        for (int32_t w = 0; w < 9; ++w) {
            const int32_t len = kAutocorrelationLengths[static_cast<size_t>(w)];
            if (len > m) continue;
            std::vector<double> frame(variants[v]->begin(), variants[v]->begin() + len);
            const double mean = pairwiseSum(frame.data(), len) / len;
            for (double& f : frame) f -= mean;
            const int32_t bigN = nextPowerOfTwo(2 * len);
            const std::vector<double> r = fftAutocorrelation(frame, bigN);
            std::vector<double> e(static_cast<size_t>(len) + 1);
            e[0] = 0.0;
            for (size_t i = 0; i < static_cast<size_t>(len); ++i) e[i + 1] = e[i] + frame[i] * frame[i];
            float* row = out.autocorrelation.data() + static_cast<size_t>(9 * v + w) * kAutocorrelationLags;
            for (int32_t k = 0; k < kAutocorrelationLags; ++k) {
                const int32_t lag = lags[static_cast<size_t>(k)];
                if (lag >= 0.75 * len) continue;
                const double denom = std::max(
                    1e-12, std::sqrt((e[static_cast<size_t>(len)] - e[static_cast<size_t>(lag)]) * e[static_cast<size_t>(len - lag)]));
                const auto value = static_cast<float>(r[static_cast<size_t>(lag)] / denom);
                row[k] = quantizeToStep(value, kAutocorrelationStep, -1.0f, 1.0f);
            }
        }
    }
}

void lpcEnvelopeRows(std::span<const double> x, WindowDescriptors& out) {
    out.lpcDb.fill(kNaN);
    const std::vector<double> s = resampleRational(x, 80);
    const auto q = static_cast<int64_t>(s.size());
    std::array<double, kLpcFrequencies> freq{};
    for (int32_t k = 0; k < kLpcFrequencies; ++k) freq[static_cast<size_t>(k)] = 35.0 * std::pow(100.0, k / 127.0);
    for (int32_t w = 0; w < static_cast<int32_t>(kEnvelopeLengths.size()); ++w) {
        const int32_t len = kEnvelopeLengths[static_cast<size_t>(w)];
        if (len > q) continue;
        std::vector<double> frame(s.begin(), s.begin() + len);
        const double mean = pairwiseSum(frame.data(), len) / len;
        std::vector<double> squares(static_cast<size_t>(len));
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] -= mean;
            squares[i] = frame[i] * frame[i];
        }
        const double rms = std::sqrt(pairwiseSum(squares.data(), len) / len);
        if (rms < 1e-10) continue;
        for (double& f : frame) f /= rms;

        const int32_t bigN = nextPowerOfTwo(2 * len);
        std::vector<double> y(static_cast<size_t>(len));
        for (int32_t i = 0; i < len; ++i) y[static_cast<size_t>(i)] = std::sin((i + 0.5) * kPi / len) * frame[static_cast<size_t>(i)];
        const std::vector<double> p = powerSpectrum(y, bigN);
        float* spectrumRow = out.lpcDb.data() + static_cast<size_t>(w) * kLpcFrequencies;
        for (int32_t k = 0; k < kLpcFrequencies; ++k) {
            const double pos = bigN * freq[static_cast<size_t>(k)] / 8000.0;
            const auto i = static_cast<size_t>(pos);
            const double v = p[i] + (p[i + 1] - p[i]) * (pos - static_cast<double>(i));
            spectrumRow[k] = toDb10(v, 1e-10);
        }

        std::vector<double> r = fftAutocorrelation(frame, bigN);
        for (int32_t i = 0; i <= kLpcOrder; ++i) r[static_cast<size_t>(i)] /= len;
        r[0] *= 1.005;
        std::array<double, kLpcOrder + 1> a{};
        std::array<double, kLpcOrder + 1> previous{};
        double err = r[0];
        for (int32_t i = 1; i <= kLpcOrder; ++i) {
            double acc = r[static_cast<size_t>(i)];
            for (int32_t j = 1; j < i; ++j) acc -= a[static_cast<size_t>(j)] * r[static_cast<size_t>(i - j)];
            const double k = acc / err;
            previous = a;
            for (int32_t j = 1; j < i; ++j) a[static_cast<size_t>(j)] = previous[static_cast<size_t>(j)] - k * previous[static_cast<size_t>(i - j)];
            a[static_cast<size_t>(i)] = k;
            err = err * (1.0 - k * k);
            if (i != 12 && i != 24 && i != 48) continue;
            const int32_t row = (i == 12 ? 7 : i == 24 ? 14 : 21) + w;
            float* envelope = out.lpcDb.data() + static_cast<size_t>(row) * kLpcFrequencies;
            for (int32_t f = 0; f < kLpcFrequencies; ++f) {
                double re = 1.0;
                double im = 0.0;
                for (int32_t j = 1; j <= i; ++j) {
                    const double theta = -2.0 * kPi * freq[static_cast<size_t>(f)] * j / 8000.0;
                    re -= a[static_cast<size_t>(j)] * std::cos(theta);
                    im -= a[static_cast<size_t>(j)] * std::sin(theta);
                }
                envelope[f] = static_cast<float>(-20.0 * std::log10(std::max(1e-6, std::hypot(re, im))));
            }
        }
    }
    for (int32_t row = 0; row < kLpcRows; ++row) {
        normaliseRow(out.lpcDb.data() + static_cast<size_t>(row) * kLpcFrequencies, kLpcFrequencies, kLpcStep, -60.0f);
    }
}

InputDescriptors buildInputDescriptors(std::span<const double> x) {
    InputDescriptors out;
    erbSpectrumRows(x, out);
    for (size_t w = 0; w < 3; ++w) {
        const std::span<const double> part = x.first(std::min<size_t>(x.size(), static_cast<size_t>(kDescriptorWindowLengths[w])));
        bandStatisticsRows(part, out.windows[w]);
        autocorrelationRows(part, out.windows[w]);
        lpcEnvelopeRows(part, out.windows[w]);
    }
    return out;
}

} // namespace vt6::fmt
