// The document hit sort on a writer-made file of 512 FLAC samples of one
// second each. Per sample, analyzeHitSort is set against its own floor in the
// same run: loading the sample with loadSampleForEdit and measuring it with
// measureHitLevel directly. prepareHitSort with every level already cached is
// set against the same number of level-cache lookups. The peak heap of one
// job (all 512 rows) is set against one sample's decoded audio and against
// the whole file's.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "analysis/hit_level_measure.hpp"
#include "audio/flac_codec.hpp"
#include "audio/pcma_head.hpp"
#include "audio/sample_load.hpp"
#include "editor/logic/hit_sort.hpp"
#include "editor/logic/view_model.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/read_policy.hpp"
#include "format/writer.hpp"

// --- Heap accounting: every allocation of the process, current and peak ---

namespace {
std::atomic<int64_t> gHeapNow{0};
std::atomic<int64_t> gHeapPeak{0};

void* counted(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const int64_t now = gHeapNow.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                        static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = gHeapPeak.load();
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void uncounted(void* p) noexcept {
    if (p == nullptr) return;
    gHeapNow.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}
} // namespace

void* operator new(size_t size) { return counted(size); }
void* operator new[](size_t size) { return counted(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, size_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t) noexcept { uncounted(p); }

namespace {

using namespace vt6;
using namespace vt6::ui::zemedit::logic;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 512;
constexpr uint32_t kRate = 44100;
constexpr uint64_t kFrames = kRate;  // one second
constexpr int kChannels = 1;

std::string gDir;
std::string gPath;
double gPeakJobBytes = 0.0;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A decaying noise hit, its gain set by the sample number.
std::vector<uint8_t> hitPcm(int index) {
    std::vector<uint8_t> pcm(kFrames * kChannels * 2);
    uint32_t state = 12345u + static_cast<uint32_t>(index) * 2654435761u;
    const double gain = 0.05 + 0.9 * static_cast<double>(index % 64) / 63.0;
    for (uint64_t f = 0; f < kFrames; ++f) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(static_cast<int32_t>(state)) / 2147483648.0;
        const double v = gain * noise * std::exp(-static_cast<double>(f) / (0.08 * kRate));
        const auto s = static_cast<int16_t>(std::lround(v * 32000.0));
        pcm[2 * f] = static_cast<uint8_t>(s & 0xFF);
        pcm[2 * f + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
    }
    return pcm;
}

bool writeBenchFile() {
    std::string templ = (std::filesystem::temp_directory_path() / "zem_hitsort_XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) return false;
    gDir = templ;
    gPath = gDir + "/bench.zem";
    fmt::Zem6Model model;
    std::vector<fmt::StagedPayload> payloads;
    for (int i = 0; i < kSamples; ++i) {
        const std::vector<uint8_t> pcm = hitPcm(i);
        fmt::Result<std::vector<uint8_t>> body = fmt::encodeFlacPayload(pcm, 16, kChannels, kRate, kFrames);
        if (!body.ok()) return false;
        fmt::PcmaHead head;
        head.codec = fmt::kCodecFlac;
        head.bits = 16;
        head.sample_rate = kRate;
        head.channels = kChannels;
        head.frames = kFrames;
        head.plain_bytes = pcm.size();
        head.plain_hash = fmt::blake2b128(pcm);
        head.max_blocksize = fmt::kFlacBlockSize;
        fmt::Result<std::vector<uint8_t>> payload = fmt::buildPayload(head, *body);
        if (!payload.ok()) return false;
        fmt::SmplEntry row;
        row.uid = 2 * static_cast<uint64_t>(i) + 1;
        row.audi_uid = row.uid + 1;
        row.frames = kFrames;
        row.sample_rate = kRate;
        row.bits = 16;
        row.channels = kChannels;
        row.codec = fmt::kCodecFlac;
        row.plain_hash = head.plain_hash;
        model.samples.push_back(row);
        payloads.push_back({row.audi_uid, fmt::kTagAUDI, std::move(payload).value()});
    }
    model.metadata.next_uid = 2 * kSamples + 1;
    return fmt::writeZem6File(gPath, model, payloads).ok();
}

// The floor: each sample loaded and measured directly.
void BM_LoadAndMeasureDirectly(benchmark::State& state) {
    int position = 0;
    for (auto _ : state) {
        const fmt::Result<fmt::SampleAudio> audio =
            fmt::loadSampleForEdit(gPath, fmt::SampleSelector{-1, position + 1}, fmt::kEditingBudgetBytes,
                                   fmt::SampleLoadMode::CompleteSource);
        if (!audio.ok()) {
            state.SkipWithError(audio.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(fmt::measureHitLevel(audio->samples, static_cast<uint32_t>(audio->channels),
                                                      audio->sampleRate, 0, kFrames));
        position = (position + 1) % kSamples;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoadAndMeasureDirectly)->Unit(benchmark::kMillisecond);

// One whole job of 512 rows; the time reported is per sample.
void BM_AnalyzeHitSortPerSample(benchmark::State& state) {
    ZemEditViewModel vm;
    if (!vm.openFile(gPath, fmt::ReadPolicy{})) {
        state.SkipWithError("cannot open the benchmark file");
        return;
    }
    const HitSortInput prepared = vm.prepareHitSort();
    if (prepared.rows.size() != kSamples) {
        state.SkipWithError("unexpected job size");
        return;
    }
    for (auto _ : state) {
        HitSortInput job = prepared;
        const auto t0 = Clock::now();
        const int64_t before = gHeapNow.load();
        gHeapPeak.store(before);
        analyzeHitSort(job, nullptr, nullptr);
        const double elapsed = seconds(t0, Clock::now());
        gPeakJobBytes = static_cast<double>(gHeapPeak.load() - before);
        state.SetIterationTime(elapsed / kSamples);
        for (const HitSortRow& row : job.rows) {
            if (!row.error.empty() || !row.level.measured) {
                state.SkipWithError("a row was not measured");
                return;
            }
        }
    }
    state.counters["peak_job_heap_MiB"] = gPeakJobBytes / 1048576.0;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalyzeHitSortPerSample)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A view model whose every sample is unmeasured again but has its level in
// the cache.
struct CachedDocument {
    ZemEditViewModel vm;
    std::vector<uint64_t> uids;

    bool make() {
        if (!vm.openFile(gPath, fmt::ReadPolicy{})) return false;
        HitSortInput job = vm.prepareHitSort();
        analyzeHitSort(job, nullptr, nullptr);
        if (vm.applyHitSort(job) != kSamples) return false;
        for (const auto& [uid, index] : vm.document.uidIndex) uids.push_back(uid);
        return true;
    }
    void forget() {
        for (const uint64_t uid : uids) vm.document.setHitLevel(uid, HitLevel::unmeasured());
        // The interface drains the touched list at each refresh.
        vm.document.touchedUids.clear();
    }
};

void BM_PrepareHitSortAllCached(benchmark::State& state) {
    CachedDocument doc;
    if (!doc.make()) {
        state.SkipWithError("cannot prepare the cached document");
        return;
    }
    for (auto _ : state) {
        doc.forget();
        const auto t0 = Clock::now();
        const HitSortInput job = doc.vm.prepareHitSort();
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!job.rows.empty() || !doc.vm.document.unmeasuredUids.empty()) {
            state.SkipWithError("a cached level was not used");
            return;
        }
    }
}
BENCHMARK(BM_PrepareHitSortAllCached)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Its floor: one level-cache lookup per sample.
void BM_LevelCacheLookups(benchmark::State& state) {
    CachedDocument doc;
    if (!doc.make()) {
        state.SkipWithError("cannot prepare the cached document");
        return;
    }
    std::vector<AudioIdentity> ids;
    for (const uint64_t uid : doc.uids) ids.push_back(audioIdentityOf(*doc.vm.document.sampleByUid(uid)));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        size_t found = 0;
        for (const AudioIdentity& id : ids) found += doc.vm.levelCache.count(id);
        benchmark::DoNotOptimize(found);
        state.SetIterationTime(seconds(t0, Clock::now()));
    }
}
BENCHMARK(BM_LevelCacheLookups)->UseManualTime()->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> perIteration;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration && !run.error_occurred)
                perIteration[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!writeBenchFile()) {
        std::fprintf(stderr, "cannot write the benchmark file\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);

    const auto& t = reporter.perIteration;
    const auto floor = t.find("BM_LoadAndMeasureDirectly");
    const auto job = t.find("BM_AnalyzeHitSortPerSample");
    if (floor != t.end() && job != t.end() && floor->second > 0.0) {
        std::printf("\nper sample, against loading and measuring it directly (%.3f ms):\n", floor->second * 1e3);
        std::printf("  analyzeHitSort            %10.3f ms  ratio %.3f\n", job->second * 1e3,
                    job->second / floor->second);
    }
    const auto lookups = t.find("BM_LevelCacheLookups");
    const auto prepare = t.find("BM_PrepareHitSortAllCached");
    if (lookups != t.end() && prepare != t.end() && lookups->second > 0.0) {
        std::printf("\nprepareHitSort with every level cached, against %d cache lookups (%.3f us):\n", kSamples,
                    lookups->second * 1e6);
        std::printf("  prepareHitSort            %10.3f us  ratio %.3f\n", prepare->second * 1e6,
                    prepare->second / lookups->second);
    }
    if (gPeakJobBytes > 0.0) {
        const double oneSample = static_cast<double>(kFrames * kChannels * sizeof(float));
        std::printf("\npeak heap of one job of %d samples: %.2f MiB = %.2f x one sample's decoded audio (%.2f MiB),"
                    " %.4f x the whole file's (%.2f MiB)\n",
                    kSamples, gPeakJobBytes / 1048576.0, gPeakJobBytes / oneSample, oneSample / 1048576.0,
                    gPeakJobBytes / (oneSample * kSamples), oneSample * kSamples / 1048576.0);
    }
    return 0;
}
