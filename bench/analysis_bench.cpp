// The analysis numeric core, measured against floors taken in the same run.
//
// (a) Features: 64 generated drum-like samples (2 s at 48 kHz, decaying tones
//     with noise bursts, fixed seeds), each prepared for the analysis and
//     measured (57 features), on one thread and across a pool of threads with
//     their own plan caches. Throughput in seconds of audio per second.
// (b) FFT: the wrappers' transform per size (double 256..65536, single
//     1024..4096) against fftw_execute of a plain plan of the same size and
//     flags, and that plain plan against one with FFTW's SIMD kernels (the
//     price of identical bits on every processor).
// (c) The resampler at 48000, 96000 and 44101 Hz: seconds of audio per second.
// (d) Hit detection over 64 generated recordings (2 s at 48 kHz, several hits
//     each) on one thread and across a pool, in the same run; the share of
//     plan creation in one call; the call's transforms run on plain FFTW plans
//     as its floor; and one call on a 2 s and on a 60 s recording, as the
//     sample editor's automatic trim makes it on the message thread.

#include <benchmark/benchmark.h>

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/analysis_audio.hpp"
#include "analysis/fft.hpp"
#include "analysis/hit_detector.hpp"
#include "analysis/physical_features.hpp"
#include "platform/cpu.hpp"

namespace {

namespace fmt = vt6::fmt;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 64;
constexpr int32_t kRate = 48000;
constexpr size_t kFrames = 2 * kRate;

// A decaying tone plus a short noise burst at the attack.
std::vector<float> drumLike(int seed) {
    std::vector<float> x(kFrames);
    uint32_t noise = 2654435761u * static_cast<uint32_t>(seed + 1);
    const double hz = 60.0 + 13.0 * seed;
    const double decay = 3.0 + seed % 7;
    const size_t start = 200 + 37 * static_cast<size_t>(seed);
    for (size_t i = start; i < kFrames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(i - start) / kRate;
        const double n = static_cast<int32_t>(noise) / 2147483648.0;
        x[i] = static_cast<float>(0.6 * std::exp(-decay * t) * std::sin(2 * M_PI * hz * t) +
                                  0.4 * std::exp(-40.0 * t) * n);
    }
    return x;
}

const std::vector<std::vector<float>>& corpus() {
    static const std::vector<std::vector<float>> c = [] {
        std::vector<std::vector<float>> out;
        for (int i = 0; i < kSamples; ++i) out.push_back(drumLike(i));
        return out;
    }();
    return c;
}

double analyse(const std::vector<float>& x, int index) {
    const std::vector<float> prepared = fmt::prepareAnalysisAudio(x, kRate);
    const fmt::PhysicalFeatures f = fmt::featuresForDrumType(prepared, static_cast<uint8_t>(index % 6));
    return f[53];
}

unsigned poolSize() { return std::min(4u, vt6::platform::hardwareThreads()); }

void BM_FeaturesPoolVsOneThread(benchmark::State& state) {
    const auto& samples = corpus();
    const unsigned threads = poolSize();
    double single = 0;
    double pooled = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        double sink = 0;
        for (int i = 0; i < kSamples; ++i) sink += analyse(samples[static_cast<size_t>(i)], i);
        const auto t1 = Clock::now();
        std::atomic<int> next{0};
        std::vector<std::thread> pool;
        std::vector<double> sinks(threads, 0.0);
        for (unsigned w = 0; w < threads; ++w) {
            pool.emplace_back([&, w] {
                for (int i = next++; i < kSamples; i = next++) sinks[w] += analyse(samples[static_cast<size_t>(i)], i);
            });
        }
        for (auto& t : pool) t.join();
        const auto t2 = Clock::now();
        benchmark::DoNotOptimize(sink);
        benchmark::DoNotOptimize(sinks);
        single += std::chrono::duration<double>(t1 - t0).count();
        pooled += std::chrono::duration<double>(t2 - t1).count();
    }
    const double audio = static_cast<double>(state.iterations()) * kSamples * 2.0;
    state.counters["one_thread_audio_s_per_s"] = audio / single;
    state.counters["pool_audio_s_per_s"] = audio / pooled;
    state.counters["speedup"] = single / pooled;
    state.counters["pool_threads"] = threads;
}
BENCHMARK(BM_FeaturesPoolVsOneThread)->Unit(benchmark::kMillisecond)->Iterations(3);

// Fastest of `reps` runs of f, in nanoseconds.
template <typename F>
double fastest(int reps, F&& f) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
    return best;
}

void BM_DoubleFftAgainstPlainPlans(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    std::vector<double> x(static_cast<size_t>(n));
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01 * static_cast<double>(i));
    fmt::AnalysisFft& wrapper = fmt::analysisFftFor(n);
    double* in = fftw_alloc_real(static_cast<size_t>(n));
    fftw_complex* out = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
    fftw_plan same;
    fftw_plan simd;
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        same = fftw_plan_dft_r2c_1d(n, in, out, fmt::analysisFftPlanFlags());
        simd = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    std::copy(x.begin(), x.end(), in);
    const int reps = std::max(5, (1 << 20) / n);
    double wrapperNs = 0, sameNs = 0, simdNs = 0;
    for (auto _ : state) {
        wrapperNs += fastest(reps, [&] { benchmark::DoNotOptimize(wrapper.forward(x)); });
        sameNs += fastest(reps, [&] { fftw_execute(same); benchmark::ClobberMemory(); });
        simdNs += fastest(reps, [&] { fftw_execute(simd); benchmark::ClobberMemory(); });
    }
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        fftw_destroy_plan(same);
        fftw_destroy_plan(simd);
    }
    fftw_free(in);
    fftw_free(out);
    const double it = static_cast<double>(state.iterations());
    state.counters["wrapper_us"] = wrapperNs / it / 1000;
    state.counters["plain_us"] = sameNs / it / 1000;
    state.counters["wrapper_vs_plain"] = wrapperNs / sameNs;
    state.counters["nosimd_vs_simd"] = sameNs / simdNs;
}
BENCHMARK(BM_DoubleFftAgainstPlainPlans)->RangeMultiplier(2)->Range(256, 65536)->Iterations(5);

void BM_FloatFftAgainstPlainPlans(benchmark::State& state) {
    const auto order = static_cast<int>(state.range(0));
    fmt::FftPlan wrapper = fmt::FftPlan::create(order);
    const auto n = static_cast<int>(wrapper.size());
    for (int i = 0; i < n; ++i) wrapper.input()[i] = static_cast<float>(std::sin(0.01 * i));
    float* in = fftwf_alloc_real(static_cast<size_t>(n));
    fftwf_complex* out = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    fftwf_plan same;
    fftwf_plan simd;
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        same = fftwf_plan_dft_r2c_1d(n, in, out, fmt::analysisFftPlanFlags());
        simd = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    std::copy(wrapper.input(), wrapper.input() + n, in);
    const int reps = std::max(5, (1 << 20) / n);
    double wrapperNs = 0, sameNs = 0, simdNs = 0;
    for (auto _ : state) {
        wrapperNs += fastest(reps, [&] { benchmark::DoNotOptimize(wrapper.execute().data()); benchmark::ClobberMemory(); });
        sameNs += fastest(reps, [&] { fftwf_execute(same); benchmark::ClobberMemory(); });
        simdNs += fastest(reps, [&] { fftwf_execute(simd); benchmark::ClobberMemory(); });
    }
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        fftwf_destroy_plan(same);
        fftwf_destroy_plan(simd);
    }
    fftwf_free(in);
    fftwf_free(out);
    const double it = static_cast<double>(state.iterations());
    state.counters["wrapper_us"] = wrapperNs / it / 1000;
    state.counters["plain_us"] = sameNs / it / 1000;
    state.counters["wrapper_vs_plain"] = wrapperNs / sameNs;
    state.counters["nosimd_vs_simd"] = sameNs / simdNs;
}
BENCHMARK(BM_FloatFftAgainstPlainPlans)->DenseRange(10, 12)->Iterations(5);

void BM_Resample(benchmark::State& state) {
    const auto rate = static_cast<int32_t>(state.range(0));
    std::vector<float> x(static_cast<size_t>(2 * rate));
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(fmt::resampleForAnalysis(x, rate));
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.counters["audio_s_per_s"] = 2.0 * static_cast<double>(state.iterations()) / seconds;
}
BENCHMARK(BM_Resample)->Arg(48000)->Arg(96000)->Arg(44101)->Unit(benchmark::kMillisecond)->Iterations(5);

// Several drum-like hits at seeded positions over `seconds` of quiet noise.
std::vector<float> recording(int seed, double seconds) {
    const auto frames = static_cast<size_t>(seconds * kRate);
    std::vector<float> x(frames);
    uint32_t noise = 2246822519u * static_cast<uint32_t>(seed + 7);
    auto next = [&] {
        noise = noise * 1664525u + 1013904223u;
        return static_cast<int32_t>(noise) / 2147483648.0;
    };
    for (float& v : x) v = static_cast<float>(1e-4 * next());
    const size_t spacing = kRate / 3 + 977 * static_cast<size_t>(seed % 5);
    for (size_t at = 2000 + 131 * static_cast<size_t>(seed); at + 1000 < frames; at += spacing) {
        const double hz = 80.0 + 17.0 * static_cast<double>((at / spacing + static_cast<size_t>(seed)) % 9);
        const double gain = 0.3 + 0.6 * std::abs(next());
        for (size_t i = at; i < frames && i < at + spacing; ++i) {
            const double t = static_cast<double>(i - at) / kRate;
            x[i] += static_cast<float>(gain * (0.6 * std::exp(-8 * t) * std::sin(2 * M_PI * hz * t) +
                                               0.4 * std::exp(-60 * t) * next()));
        }
    }
    return x;
}

const std::vector<std::vector<float>>& recordings() {
    static const std::vector<std::vector<float>> c = [] {
        std::vector<std::vector<float>> out;
        for (int i = 0; i < kSamples; ++i) out.push_back(recording(i, 2.0));
        return out;
    }();
    return c;
}

size_t detect(const std::vector<float>& x) {
    fmt::HitDetector detector;
    return fmt::detectHits(detector, x, kRate).size();
}

void BM_DetectHitsPoolVsOneThread(benchmark::State& state) {
    const auto& inputs = recordings();
    const unsigned threads = poolSize();
    double single = 0;
    double pooled = 0;
    size_t hits = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        hits = 0;
        for (const auto& x : inputs) hits += detect(x);
        const auto t1 = Clock::now();
        std::atomic<int> next{0};
        std::vector<std::thread> pool;
        std::vector<size_t> counts(threads, 0);
        for (unsigned w = 0; w < threads; ++w) {
            pool.emplace_back([&, w] {
                for (int i = next++; i < kSamples; i = next++) counts[w] += detect(inputs[static_cast<size_t>(i)]);
            });
        }
        for (auto& t : pool) t.join();
        const auto t2 = Clock::now();
        single += std::chrono::duration<double>(t1 - t0).count();
        pooled += std::chrono::duration<double>(t2 - t1).count();
    }
    const double audio = static_cast<double>(state.iterations()) * kSamples * 2.0;
    state.counters["one_thread_audio_s_per_s"] = audio / single;
    state.counters["pool_audio_s_per_s"] = audio / pooled;
    state.counters["speedup"] = single / pooled;
    state.counters["pool_threads"] = threads;
    state.counters["hits_per_recording"] = static_cast<double>(hits) / kSamples;
}
BENCHMARK(BM_DetectHitsPoolVsOneThread)->Unit(benchmark::kMillisecond)->Iterations(3);

// One call on a 2 s recording against its plan creations (one 2048-point and
// three 1024-point plans) and against its transforms on plain plans: one
// 2048-point transform per 256 samples, the quiet 1024-point blocks of the
// noise spectrum and two 1024-point transforms per hit, twice.
void BM_DetectHitsCallShares(benchmark::State& state) {
    const std::vector<float>& x = recordings()[5];
    const size_t hits = detect(x);
    const size_t flux = (x.size() + 255) / 256;
    const size_t small = x.size() / 1024 / 10 + 1 + 4 * hits;
    float* in = fftwf_alloc_real(2048);
    fftwf_complex* out = fftwf_alloc_complex(1025);
    std::fill(in, in + 2048, 0.25f);
    fftwf_plan p2048;
    fftwf_plan p1024;
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        p2048 = fftwf_plan_dft_r2c_1d(2048, in, out, fmt::analysisFftPlanFlags());
        p1024 = fftwf_plan_dft_r2c_1d(1024, in, out, fmt::analysisFftPlanFlags());
    }
    double callNs = 0, planNs = 0, floorNs = 0;
    for (auto _ : state) {
        callNs += fastest(5, [&] { benchmark::DoNotOptimize(detect(x)); });
        planNs += fastest(5, [&] {
            fmt::FftPlan a = fmt::FftPlan::create(11);
            fmt::FftPlan b = fmt::FftPlan::create(10);
            fmt::FftPlan c = fmt::FftPlan::create(10);
            fmt::FftPlan d = fmt::FftPlan::create(10);
            benchmark::DoNotOptimize(a.input());
            benchmark::DoNotOptimize(d.input());
        });
        floorNs += fastest(5, [&] {
            for (size_t i = 0; i < flux; ++i) fftwf_execute(p2048);
            for (size_t i = 0; i < small; ++i) fftwf_execute(p1024);
            benchmark::ClobberMemory();
        });
    }
    {
        std::lock_guard lock(fmt::fftPlannerMutex());
        fftwf_destroy_plan(p2048);
        fftwf_destroy_plan(p1024);
    }
    fftwf_free(in);
    fftwf_free(out);
    state.counters["call_ms"] = callNs / static_cast<double>(state.iterations()) / 1e6;
    state.counters["plan_creation_share"] = planNs / callNs;
    state.counters["plain_fft_floor_share"] = floorNs / callNs;
    state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_DetectHitsCallShares)->Unit(benchmark::kMillisecond)->Iterations(3);

// The automatic trim's one call on the message thread.
void BM_DetectHitsOneCall(benchmark::State& state) {
    const std::vector<float> x = recording(3, static_cast<double>(state.range(0)));
    size_t hits = 0;
    for (auto _ : state) hits = detect(x);
    state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_DetectHitsOneCall)->Arg(2)->Arg(60)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
