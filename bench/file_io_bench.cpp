// Writing and reading a zem file with 1 GiB of audio payloads (256 samples of
// 4 MiB), each against a floor measured in the same run, every one of them in
// wall time:
// - the full read (open, then every chunk with all integrity checks) against
//   BLAKE2b-128 (libsodium) plus CRC-32C over the same bytes, the two checks
//   every chunk read makes; expected to reach at least 80% of it;
// - the writer against a plain sequential write of the same payload bytes
//   from the same buffers plus one fsync; expected to reach at least half of
//   it, and to need less than 16 MiB of memory above its input at its peak
//   (resident size, its high-water mark reset before each write).
//
// It also opens a file without reading any chunk, once with 10 MiB and once
// with 1 GiB of audio (same sample count), reporting the open's time and its
// peak heap growth, counted exactly through operator new (resident size is no
// use here: the open reuses memory the fixtures freed). An open must not read
// audio payloads, so both should be alike.
//
// The files are written to a temporary folder under /tmp and removed at the
// end. The full read runs on a file the page cache holds (it was just
// written), so it measures the checks, not the disk; the write includes
// fsync and therefore the disk.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "format/checksum.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"

// --- heap accounting ----------------------------------------------------------
// Every C++ allocation of the process is counted, so the peak heap an open
// needs can be read off exactly, whatever the allocator keeps resident.

namespace {
std::atomic<int64_t> gHeapNow{0};
std::atomic<int64_t> gHeapPeak{0};

void* countedAlloc(size_t size) noexcept {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p) {
        const int64_t now = gHeapNow.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                            static_cast<int64_t>(malloc_usable_size(p));
        int64_t peak = gHeapPeak.load(std::memory_order_relaxed);
        while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
        }
    }
    return p;
}

void countedFree(void* p) noexcept {
    if (!p) return;
    gHeapNow.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}
} // namespace

void* operator new(size_t size) {
    if (void* p = countedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    if (void* p = countedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return countedAlloc(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return countedAlloc(size); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedFree(p); }

namespace {

using namespace vt6::fmt;

constexpr size_t kSamples = 256;
constexpr size_t kLargePayload = size_t{4} << 20;                 // 256 x 4 MiB = 1 GiB
constexpr size_t kSmallPayload = (size_t{10} << 20) / kSamples;  // 256 x 40 KiB = 10 MiB
constexpr double kFullReadTarget = 0.80;
constexpr double kWriteTarget = 0.50;
constexpr double kWriteRssTargetMiB = 16.0;

struct Fixture {
    Zem6Model model;
    std::vector<StagedPayload> payloads;
};

Fixture makeFixture(size_t payloadBytes) {
    Fixture f;
    f.model.metadata.name = "Benchmark kit";
    f.model.metadata.next_uid = 2 * kSamples + 1;
    f.model.summary.present = true;
    f.model.summary.sample_count = kSamples;
    f.model.points_per_sample = 512;
    f.model.peaks.assign(kSamples * 2 * 512, 0x40);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < kSamples; ++i) {
        SmplEntry row;
        row.uid = 2 * i + 1;
        row.audi_uid = 2 * i + 2;
        row.name = "hit " + std::to_string(i);
        f.model.samples.push_back(row);
        StagedPayload p;
        p.tag = kTagAUDI;
        p.uid = row.audi_uid;
        p.bytes.resize(payloadBytes);
        for (size_t k = 0; k + 8 <= payloadBytes; k += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(p.bytes.data() + k, &x, 8);
        }
        f.payloads.push_back(std::move(p));
    }
    return f;
}

uint64_t payloadBytes(const Fixture& f) {
    uint64_t total = 0;
    for (const StagedPayload& p : f.payloads) total += p.bytes.size();
    return total;
}

struct Paths {
    std::string dir, large, small, scratch;
};

// Resident set in KiB from /proc/self/status ("VmRSS" or "VmHWM").
int64_t statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::strtoll(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

// Resets the resident high-water mark to the current resident size.
bool resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

Paths& paths() {
    static Paths p;
    return p;
}
Fixture& largeFixture() {
    static Fixture f = makeFixture(kLargePayload);
    return f;
}

// --- benchmarks ------------------------------------------------------------

// The floor of a write: the same payload bytes from the same buffers, one
// sequential write each, over the file the previous round wrote (truncated,
// as `dd conv=fsync` does it: the writer's rename frees the old file's blocks
// too), then one fsync.
void BM_Floor_WriteFsync_1GiB(benchmark::State& state) {
    const Fixture& f = largeFixture();
    const std::string path = paths().dir + "/floor.bin";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            state.SkipWithError("cannot create the floor file");
            return;
        }
        bool ok = true;
        for (const StagedPayload& p : f.payloads) {
            size_t done = 0;
            while (ok && done < p.bytes.size()) {
                const ssize_t n = ::write(fd, p.bytes.data() + done, p.bytes.size() - done);
                ok = n > 0;
                if (ok) done += static_cast<size_t>(n);
            }
        }
        ok = ok && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) {
            state.SkipWithError("floor write failed");
            return;
        }
    }
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadBytes(f)));
}

void BM_Floor_Blake2b128_Crc32c(benchmark::State& state) {
    const Fixture& f = largeFixture();
    for (auto _ : state) {
        for (const StagedPayload& p : f.payloads) {
            benchmark::DoNotOptimize(blake2b128(p.bytes));
            benchmark::DoNotOptimize(crc32cOf(p.bytes));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadBytes(f)));
}

double gWritePeakRssMiB = -1;

void BM_Write_1GiB(benchmark::State& state) {
    const Fixture& f = largeFixture();
    int64_t rssPeakKiB = 0;
    int64_t heapPeak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // The target of the previous round is replaced, not extended.
        const bool rssKnown = resetPeakRss();
        const int64_t rssBefore = statusKiB("VmRSS");
        const int64_t heapBefore = gHeapNow.load();
        gHeapPeak.store(heapBefore);
        state.ResumeTiming();

        const auto result = writeZem6File(paths().scratch, f.model, f.payloads);

        state.PauseTiming();
        if (!result.ok()) {
            state.SkipWithError(result.message().c_str());
            return;
        }
        if (rssKnown && rssBefore >= 0) rssPeakKiB = std::max(rssPeakKiB, statusKiB("VmHWM") - rssBefore);
        heapPeak = std::max(heapPeak, gHeapPeak.load() - heapBefore);
        state.ResumeTiming();
    }
    gWritePeakRssMiB = static_cast<double>(rssPeakKiB) / 1024.0;
    state.counters["rss_peak_above_input_MiB"] = gWritePeakRssMiB;
    state.counters["heap_peak_MiB"] = static_cast<double>(heapPeak) / (1024.0 * 1024.0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadBytes(f)));
}

void BM_FullRead_1GiB(benchmark::State& state) {
    uint64_t bytes = 0;
    for (auto _ : state) {
        auto file = openZem6File(paths().large, ReadPolicy{});
        if (!file.ok()) {
            state.SkipWithError(file.message().c_str());
            return;
        }
        for (const ChunkRecord& record : file->chunks) {
            auto payload = file->readChunk(record);
            if (!payload.ok()) {
                state.SkipWithError(payload.message().c_str());
                return;
            }
            bytes += payload->size();
            benchmark::DoNotOptimize(payload->data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Open only: directory, metadata and model; no chunk read afterwards.
void BM_OpenOnly(benchmark::State& state, const std::string* path) {
    int64_t heapPeak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const int64_t heapBefore = gHeapNow.load();
        gHeapPeak.store(heapBefore);
        state.ResumeTiming();

        auto file = openZem6File(*path, ReadPolicy{});

        state.PauseTiming();
        if (!file.ok()) {
            state.SkipWithError(file.message().c_str());
            return;
        }
        heapPeak = std::max(heapPeak, gHeapPeak.load() - heapBefore);
        state.ResumeTiming();
    }
    state.counters["heap_peak_KiB"] = static_cast<double>(heapPeak) / 1024.0;
}

// Keeps each benchmark's bytes per second, for the ratios printed at the end.
class RateCapture : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(reports);
    }
};

bool writeFixtureFile(const std::string& path, const Fixture& f) {
    const auto result = writeZem6File(path, f.model, f.payloads);
    if (!result.ok()) std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), result.message().c_str());
    return result.ok();
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    char dirTemplate[] = "/tmp/zem_file_io_bench_XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    Paths& p = paths();
    p.dir = dirTemplate;
    p.large = p.dir + "/large.zem";
    p.small = p.dir + "/small.zem";
    p.scratch = p.dir + "/scratch.zem";

    // Fixture files are made before timing starts: the 10 MiB one from a
    // fixture that is dropped again, the 1 GiB one from the fixture the
    // floor and the write share.
    bool ready = writeFixtureFile(p.small, makeFixture(kSmallPayload));
    ready = ready && writeFixtureFile(p.large, largeFixture());

    if (ready) {
        benchmark::RegisterBenchmark("BM_Floor_Blake2b128_Crc32c", BM_Floor_Blake2b128_Crc32c)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_Floor_WriteFsync_1GiB", BM_Floor_WriteFsync_1GiB)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_Write_1GiB", BM_Write_1GiB)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_FullRead_1GiB", BM_FullRead_1GiB)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_OpenOnly/10MiB_audio", BM_OpenOnly, &p.small)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_OpenOnly/1GiB_audio", BM_OpenOnly, &p.large)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);

        RateCapture reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);

        const double floor = reporter.rates["BM_Floor_Blake2b128_Crc32c"];
        const double writeFloor = reporter.rates["BM_Floor_WriteFsync_1GiB"];
        const double write = reporter.rates["BM_Write_1GiB"];
        const double read = reporter.rates["BM_FullRead_1GiB"];
        std::printf("\n");
        if (writeFloor > 0 && write > 0) {
            const double ratio = write / writeFloor;
            std::printf("writer / floor (sequential write + fsync): %.2f  (target >= %.2f)%s\n", ratio, kWriteTarget,
                        ratio >= kWriteTarget ? "" : "  BELOW TARGET");
            ready = ratio >= kWriteTarget;
        }
        if (gWritePeakRssMiB >= 0) {
            std::printf("writer peak resident size above its input: %.1f MiB  (target < %.0f MiB)%s\n",
                        gWritePeakRssMiB, kWriteRssTargetMiB,
                        gWritePeakRssMiB < kWriteRssTargetMiB ? "" : "  ABOVE TARGET");
            ready = ready && gWritePeakRssMiB < kWriteRssTargetMiB;
        }
        if (floor > 0 && read > 0) {
            const double ratio = read / floor;
            std::printf("full read / floor (BLAKE2b-128 + CRC-32C): %.2f  (target >= %.2f)%s\n", ratio,
                        kFullReadTarget, ratio >= kFullReadTarget ? "" : "  BELOW TARGET");
            ready = ready && ratio >= kFullReadTarget;
        }
    }
    benchmark::Shutdown();

    std::error_code ignored;
    std::filesystem::remove_all(p.dir, ignored);
    return ready ? 0 : 1;
}
