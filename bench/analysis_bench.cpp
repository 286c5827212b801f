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
// (e) The physical analysis pass over a written file of 64 drum-like samples
//     (2 s at 48 kHz, 16-bit, one articulation each, so every sample is
//     analysed), on one thread and with the pool, in the same run; the time
//     shares of reading, preparation, features, descriptors, encoding and the
//     rewrite; the peak heap of the pass; and the double-precision transforms
//     of one model's descriptors through the wrapper against the same
//     transforms on plain FFTW plans (the floor).

#include <benchmark/benchmark.h>

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "analysis/analysis_audio.hpp"
#include "analysis/fft.hpp"
#include "analysis/hit_detector.hpp"
#include "analysis/numeric.hpp"
#include "analysis/physical_features.hpp"
#include "analysis/physical_model.hpp"
#include "analysis/physical_model_set.hpp"
#include "analysis/physical_pass.hpp"
#include "analysis/physical_payload.hpp"
#include "audio/browse_reader.hpp"
#include "audio/pcma_head.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"
#include "platform/cpu.hpp"

// Heap bytes in use and their peak, counted by the replaced global operator
// new and delete (FFTW's own buffers are not counted).
namespace heap {
std::atomic<int64_t> current{0};
std::atomic<int64_t> peak{0};

void* take(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const int64_t now = current.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) + static_cast<int64_t>(malloc_usable_size(p));
    int64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return p;
}

void give(void* p) noexcept {
    if (p == nullptr) return;
    current.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}

void resetPeak() { peak.store(current.load()); }
} // namespace heap

void* operator new(size_t size) { return heap::take(size); }
void* operator new[](size_t size) { return heap::take(size); }
void operator delete(void* p) noexcept { heap::give(p); }
void operator delete[](void* p) noexcept { heap::give(p); }
void operator delete(void* p, size_t) noexcept { heap::give(p); }
void operator delete[](void* p, size_t) noexcept { heap::give(p); }

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

// ---- (e) The physical analysis pass ----

namespace fs = std::filesystem;

// A written file of the 64 corpus samples as 16-bit PCM, articulation i for
// sample i. Written once per process.
const std::string& passFile() {
    static const std::string path = [] {
        const std::string p = (fs::temp_directory_path() / ("zem_bench_pass_" + std::to_string(::getpid()) + ".zem")).string();
        fmt::Zem6Model model;
        std::vector<fmt::StagedPayload> payloads;
        for (int i = 0; i < kSamples; ++i) {
            const std::vector<float>& x = corpus()[static_cast<size_t>(i)];
            fmt::Bytes pcm(x.size() * 2);
            for (size_t k = 0; k < x.size(); ++k) {
                const auto v = static_cast<int16_t>(std::lround(std::clamp(x[k], -1.0f, 1.0f) * 32767.0f));
                fmt::storeLe16(pcm.data() + 2 * k, static_cast<uint16_t>(v));
            }
            fmt::PcmaHead head;
            head.bits = 16;
            head.sample_rate = kRate;
            head.channels = 1;
            head.frames = x.size();
            head.plain_bytes = pcm.size();
            head.plain_hash = fmt::blake2b128(pcm);
            auto payload = fmt::buildPayload(head, pcm);
            if (!payload.ok()) std::abort();
            fmt::SmplEntry row;
            row.uid = 2 * static_cast<uint64_t>(i) + 1;
            row.audi_uid = row.uid + 1;
            row.articulation = static_cast<uint64_t>(i);
            row.frames = x.size();
            row.sample_rate = kRate;
            row.bits = 16;
            row.channels = 1;
            row.codec = fmt::kCodecRawPcm;
            model.samples.push_back(row);
            payloads.push_back({row.audi_uid, fmt::kTagAUDI, std::move(payload).value()});
        }
        model.metadata.next_uid = 2 * kSamples + 1;
        if (!fmt::writeZem6File(p, model, payloads).ok()) std::abort();
        return p;
    }();
    return path;
}

// A fresh copy of the written file, since the pass replaces what it analyses.
std::string freshCopy(const char* name) {
    const std::string p = passFile() + "." + name;
    fs::copy_file(passFile(), p, fs::copy_options::overwrite_existing);
    return p;
}

constexpr fmt::DrumType kPassDrum = fmt::kDrumSnare;

void BM_PhysicalPassPoolVsOneThread(benchmark::State& state) {
    const unsigned pool = fmt::physicalAnalysisPoolSize(vt6::platform::hardwareThreads(), kSamples);
    double single = 0;
    double pooled = 0;
    int64_t singlePeak = 0;
    int64_t pooledPeak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string a = freshCopy("one");
        const std::string b = freshCopy("pool");
        state.ResumeTiming();
        heap::resetPeak();
        int64_t base = heap::current.load();
        auto t0 = Clock::now();
        if (!fmt::rewriteWithPhysicalAnalysis(a, kPassDrum, 1).ok()) std::abort();
        auto t1 = Clock::now();
        singlePeak = std::max(singlePeak, heap::peak.load() - base);
        heap::resetPeak();
        base = heap::current.load();
        if (!fmt::rewriteWithPhysicalAnalysis(b, kPassDrum, pool).ok()) std::abort();
        auto t2 = Clock::now();
        pooledPeak = std::max(pooledPeak, heap::peak.load() - base);
        single += std::chrono::duration<double>(t1 - t0).count();
        pooled += std::chrono::duration<double>(t2 - t1).count();
        state.PauseTiming();
        fs::remove(a);
        fs::remove(b);
        state.ResumeTiming();
    }
    const double audio = static_cast<double>(state.iterations()) * kSamples * 2.0;
    state.counters["one_thread_audio_s_per_s"] = audio / single;
    state.counters["pool_audio_s_per_s"] = audio / pooled;
    state.counters["speedup"] = single / pooled;
    state.counters["pool_threads"] = pool;
    state.counters["peak_heap_MB_one_thread"] = static_cast<double>(singlePeak) / 1048576.0;
    state.counters["peak_heap_MB_pool"] = static_cast<double>(pooledPeak) / 1048576.0;
}
BENCHMARK(BM_PhysicalPassPoolVsOneThread)->Unit(benchmark::kMillisecond)->Iterations(2);

// The pass's steps on one thread, timed one by one over the same file: the
// browse read, preparation, features, descriptors (the model builder),
// encoding (payloads and the blob), and the rewrite (the model changes, the
// sibling's write and the rename). Shares of their sum.
void BM_PhysicalPassShares(benchmark::State& state) {
    double readS = 0, prepareS = 0, featuresS = 0, descriptorsS = 0, encodeS = 0, rewriteS = 0;
    for (auto _ : state) {
        const std::string path = freshCopy("shares");
        auto opened = fmt::openZem6File(path, fmt::ReadPolicy{});
        if (!opened.ok()) std::abort();
        fmt::Zem6File file = std::move(opened).value();
        std::vector<fmt::PhysicalModelEntry> entries;
        for (size_t i = 0; i < file.model.samples.size(); ++i) {
            auto t0 = Clock::now();
            auto audio = fmt::browseAudioForIndex(&file, i);
            auto t1 = Clock::now();
            const std::vector<float> prepared = fmt::prepareAnalysisAudio(audio->samples, static_cast<int32_t>(audio->sample_rate));
            auto t2 = Clock::now();
            const fmt::PhysicalFeatures f = fmt::featuresForDrumType(prepared, kPassDrum);
            auto t3 = Clock::now();
            const fmt::PhysicalModel m = fmt::buildPhysicalModel(prepared, {}, fmt::toDrumClass(kPassDrum), f);
            auto t4 = Clock::now();
            entries.push_back(fmt::PhysicalModelEntry{*file.model.samples[i].articulation, 0, {file.model.samples[i].uid},
                                                      fmt::serializePhysicalModel(m)});
            auto t5 = Clock::now();
            readS += std::chrono::duration<double>(t1 - t0).count();
            prepareS += std::chrono::duration<double>(t2 - t1).count();
            featuresS += std::chrono::duration<double>(t3 - t2).count();
            descriptorsS += std::chrono::duration<double>(t4 - t3).count();
            encodeS += std::chrono::duration<double>(t5 - t4).count();
        }
        auto t5 = Clock::now();
        auto blob = fmt::encodePhysicalModelSet(entries);
        auto t6 = Clock::now();
        if (!blob.ok()) std::abort();
        fmt::Zem6Model copy = file.model;
        if (!fmt::applyPhysicalModels(copy, entries).ok()) std::abort();
        const std::string sibling = path + ".physical";
        if (!fmt::writeZem6WithSourcePayloads(path, sibling, copy, fmt::ReadPolicy{}).ok()) std::abort();
        fs::rename(sibling, path);
        auto t7 = Clock::now();
        encodeS += std::chrono::duration<double>(t6 - t5).count();
        // applyPhysicalModels encodes the blob again: counted under the rewrite.
        rewriteS += std::chrono::duration<double>(t7 - t6).count();
        file.close();
        fs::remove(path);
    }
    const double total = readS + prepareS + featuresS + descriptorsS + encodeS + rewriteS;
    state.counters["read_share"] = readS / total;
    state.counters["preparation_share"] = prepareS / total;
    state.counters["features_share"] = featuresS / total;
    state.counters["descriptors_share"] = descriptorsS / total;
    state.counters["encoding_share"] = encodeS / total;
    state.counters["rewrite_share"] = rewriteS / total;
    state.counters["total_s"] = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PhysicalPassShares)->Unit(benchmark::kMillisecond)->Iterations(1);

// The double-precision transforms of one model's descriptors for a prepared
// input of n values: (size, forward count, backward count).
std::map<int32_t, std::pair<int64_t, int64_t>> descriptorTransforms(int64_t n, uint8_t classCode) {
    std::map<int32_t, std::pair<int64_t, int64_t>> t;
    for (const int32_t e : fmt::kErbOnsetLengths) {
        if (e <= n) t[std::max(512, fmt::nextPowerOfTwo(e))].first += 2;
    }
    for (const int32_t length : fmt::kDescriptorWindowLengths) {
        const int64_t m = std::min<int64_t>(n, length);
        const int64_t stats = std::min<int64_t>(m, 52920);
        for (const int32_t size : {512, 2048, 8192}) t[size].first += (stats + size / 4 - 1) / (size / 4);
        const int64_t q16 = (m * 160 + 440) / 441;
        for (const int32_t len : {96, 192, 384, 768, 1536, 3072, 6144, 12288, 19200}) {
            if (len > q16) continue;
            t[fmt::nextPowerOfTwo(2 * len)].first += 3;
            t[fmt::nextPowerOfTwo(2 * len)].second += 3;
        }
        const int64_t q8 = (m * 80 + 440) / 441;
        for (const int32_t len : {96, 192, 384, 768, 1536, 3072, 6144}) {
            if (len > q8) continue;
            t[fmt::nextPowerOfTwo(2 * len)].first += 2;
            t[fmt::nextPowerOfTwo(2 * len)].second += 1;
        }
    }
    // The segment spectrum's 512-point frames.
    const std::array<double, 32> b = fmt::segmentBoundaries(classCode);
    const int64_t padded = std::max<int64_t>(n, 64);
    const int64_t frames = 1 + (std::max<int64_t>(padded, 512) - 449) / 64;
    for (int64_t f = 0; f < frames; ++f) {
        const double centre = static_cast<double>(64 * f + 256) / 44100.0 * 1000.0;
        size_t j = 0;
        while (j < b.size() && !(centre < b[j])) ++j;
        if (j < b.size() && b[j] <= static_cast<double>(padded) * 1000.0 / 44100.0 + 1e-6) t[512].first += 1;
    }
    return t;
}

void BM_PhysicalDescriptorFftAgainstPlainPlans(benchmark::State& state) {
    const std::vector<float> prepared = fmt::prepareAnalysisAudio(corpus()[7], kRate);
    const auto schedule = descriptorTransforms(static_cast<int64_t>(prepared.size()), fmt::toDrumClass(kPassDrum));
    const std::vector<double> values(prepared.begin(), prepared.end());
    // Plain plans of the same sizes and flags, made outside the timing: the
    // pass makes its plans once per thread.
    struct PlainPlans {
        double* real;
        fftw_complex* spectrum;
        fftw_plan forward;
        fftw_plan backward;
        int64_t forwards;
        int64_t backwards;
    };
    std::vector<PlainPlans> plain;
    for (const auto& [size, counts] : schedule) {
        PlainPlans p{fftw_alloc_real(static_cast<size_t>(size)), fftw_alloc_complex(static_cast<size_t>(size / 2 + 1)),
                     nullptr, nullptr, counts.first, counts.second};
        std::lock_guard lock(fmt::fftPlannerMutex());
        p.forward = fftw_plan_dft_r2c_1d(size, p.real, p.spectrum, fmt::analysisFftPlanFlags());
        p.backward = fftw_plan_dft_c2r_1d(size, p.spectrum, p.real, fmt::analysisFftPlanFlags());
        std::fill(p.real, p.real + size, 0.5);
        plain.push_back(p);
    }
    double wrapperNs = 0, plainNs = 0, modelNs = 0;
    for (auto _ : state) {
        modelNs += fastest(2, [&] {
            benchmark::DoNotOptimize(fmt::buildPhysicalModel(prepared, {}, fmt::toDrumClass(kPassDrum), fmt::PhysicalFeatures{}));
        });
        wrapperNs += fastest(2, [&] {
            for (const auto& [size, counts] : schedule) {
                fmt::AnalysisFft& fft = fmt::analysisFftFor(size);
                const std::span<const double> in(values.data(), std::min<size_t>(values.size(), static_cast<size_t>(size)));
                std::vector<std::complex<double>> bins;
                for (int64_t k = 0; k < counts.first; ++k) bins = fft.forward(in);
                for (int64_t k = 0; k < counts.second; ++k) benchmark::DoNotOptimize(fft.backward(bins));
            }
        });
        plainNs += fastest(2, [&] {
            for (const PlainPlans& p : plain) {
                for (int64_t k = 0; k < p.forwards; ++k) fftw_execute(p.forward);
                for (int64_t k = 0; k < p.backwards; ++k) fftw_execute(p.backward);
            }
            benchmark::ClobberMemory();
        });
    }
    for (PlainPlans& p : plain) {
        {
            std::lock_guard lock(fmt::fftPlannerMutex());
            fftw_destroy_plan(p.forward);
            fftw_destroy_plan(p.backward);
        }
        fftw_free(p.real);
        fftw_free(p.spectrum);
    }
    int64_t transforms = 0;
    for (const auto& [size, counts] : schedule) transforms += counts.first + counts.second;
    state.counters["model_ms"] = modelNs / static_cast<double>(state.iterations()) / 1e6;
    state.counters["fft_share_of_model"] = wrapperNs / modelNs;
    state.counters["wrapper_over_plain_fftw"] = wrapperNs / plainNs;
    state.counters["transforms"] = static_cast<double>(transforms);
}
BENCHMARK(BM_PhysicalDescriptorFftAgainstPlainPlans)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
