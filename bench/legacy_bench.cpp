// Importing generated 4.0 legacy files of FLAC samples (24-bit stereo 48 kHz
// decaying noisy tones): 64 samples of 2 seconds, and 384 samples of 4
// seconds.
//
// (a) Time: the import as the program runs it (the reader's decode pool
//     measures peaks, the conversion runs on its own pool) against the same
//     import on one thread: every peak measured one sample after another on
//     the calling thread (the reader then takes those peaks as given) and the
//     conversion with one thread. Both run in each iteration of the same run,
//     timed the same way (wall clock); the counters give both times, their
//     ratio and the pool size. Target: at least 1.5x on 2 pool threads.
// (b) Memory: the peak resident set while importing, above what the process
//     held before, against the file's size; for viewing (model only) and for
//     saving (payloads kept in the result). Target: at most 1.2x for viewing.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "platform/cpu.hpp"
#include "platform/file.hpp"

namespace {

namespace zem = vt6::zem;

constexpr int32_t kRate = 48000;

// A decaying noisy tone per sample, so FLAC works about as hard as on a drum.
vt6::fmt::Bytes drumHit(int seed, int32_t frames) {
    vt6::fmt::Bytes out(static_cast<size_t>(frames) * 2 * 3);
    uint32_t noise = 2654435761u * static_cast<uint32_t>(seed + 1);
    uint8_t* p = out.data();
    for (int32_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kRate;
        for (int c = 0; c < 2; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double v = std::exp(-4.0 * t) * (0.6 * std::sin(2 * M_PI * (150.0 + seed + 30 * c) * t) +
                                                   0.3 * (static_cast<int32_t>(noise) / 2147483648.0));
            const auto s = static_cast<int32_t>(std::lround(v * 8388607.0 * 0.9));
            for (int b = 0; b < 3; ++b) *p++ = static_cast<uint8_t>(static_cast<uint32_t>(s) >> (8 * b));
        }
    }
    return out;
}

struct LegacyFixture {
    std::unique_ptr<zem::testing::TempFile> file;
    uint64_t bytes = 0;
};

// One file per shape, built once per process (the larger takes seconds).
const LegacyFixture& legacyFile(int samples, int seconds) {
    static std::map<std::pair<int, int>, LegacyFixture> files;
    LegacyFixture& fixture = files[{samples, seconds}];
    if (fixture.file) return fixture;
    zem::testing::BuilderFile desc;
    desc.version = 6;
    desc.dynamics = {0.5f};
    const int32_t frames = seconds * kRate;
    for (int i = 0; i < samples; ++i) {
        zem::testing::BuilderSample s;
        s.name = "hit " + std::to_string(i + 1);
        s.bits = 24;
        s.stereo = 1;
        s.sampleRate = kRate;
        s.length = frames * 2;
        s.codec = 1;
        s.pcm = drumHit(i, frames);
        desc.samples.push_back(std::move(s));
    }
    const vt6::fmt::Bytes bytes = zem::testing::buildLegacyFile(desc);
    fixture.bytes = bytes.size();
    fixture.file = std::make_unique<zem::testing::TempFile>(bytes);
    return fixture;
}

// Peaks measured one sample after another on this thread, then the
// conversion on this thread alone.
bool importOnOneThread(const std::string& path) {
    const zem::Zem4BlobDecoder decoder = vt6::fmt::makeZem4FlacBlobDecoder();
    zem::LegacyReadResult header = zem::readLegacyFile(path, zem::LegacyReadOptions{});
    if (!header.file) return false;
    const zem::LegacyFile& h = *header.file;
    std::vector<float> peaks;
    const int fd = vt6::platform::openFileUtf8(path);
    for (size_t i = 0; i < static_cast<size_t>(h.sampleCount); ++i) {
        std::vector<uint8_t> blob(h.payloadBytes[i]);
        vt6::platform::readAt(fd, blob.data(), blob.size(), h.payloadOffset[i]);
        zem::Zem4Blob b;
        b.bytes = blob;
        b.bits = h.bits[i];
        b.channels = h.stereo[i] != 0 ? 2 : 1;
        b.sampleRate = h.sampleRate[i];
        b.length = h.length[i];
        b.storedCrc = h.payloadCrc[i];
        b.sampleNumber = static_cast<int32_t>(i + 1);
        const zem::Zem4DecodeOut out = decoder(b);
        peaks.push_back(zem::pcmPeak(out.pcm, h.bits[i]));
    }
    vt6::platform::closeFile(fd);
    zem::LegacyReadOptions options;
    options.measurePeaks = true;
    options.blobDecoder = &decoder;
    options.peakOverride = &peaks;
    zem::LegacyReadResult read = zem::readLegacyFile(path, options);
    if (!read.file) return false;
    zem::LegacyImportOptions convert;
    convert.threads = 1;
    return zem::convertLegacyModel(*read.file, path, convert).ok();
}

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void BM_LegacyImportPoolVsOneThread(benchmark::State& state) {
    const int samples = static_cast<int>(state.range(0));
    const std::string& path = legacyFile(samples, static_cast<int>(state.range(1))).file->path();
    double poolSeconds = 0;
    double singleSeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto pooled = zem::importLegacyFile(path, zem::LegacyImportOptions{});
        const double pool = since(t0);
        const auto t1 = Clock::now();
        const bool single = importOnOneThread(path);
        const double one = since(t1);
        if (!pooled.ok() || !single) {
            state.SkipWithError(pooled.ok() ? "one-thread import failed" : pooled.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(pooled);
        state.SetIterationTime(pool + one);
        poolSeconds += pool;
        singleSeconds += one;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["pool_ms"] = 1000 * poolSeconds / n;
    state.counters["one_thread_ms"] = 1000 * singleSeconds / n;
    state.counters["speedup"] = poolSeconds > 0 ? singleSeconds / poolSeconds : 0;
    state.counters["pool_threads"] = zem::legacyDecodePoolSize(vt6::platform::hardwareThreads(), samples);
    state.counters["hw_threads"] = vt6::platform::hardwareThreads();
}
BENCHMARK(BM_LegacyImportPoolVsOneThread)
    ->Args({64, 2})
    ->Args({384, 4})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Resident set in bytes from /proc/self/status ("VmRSS" or "VmHWM").
uint64_t statusBytes(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
    }
    return 0;
}

// Restarts the peak (VmHWM) from the current resident set.
bool resetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

void BM_LegacyImportPeakMemory(benchmark::State& state) {
    const LegacyFixture& fixture = legacyFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    double viewRatio = 0;
    double saveRatio = 0;
    for (auto _ : state) {
        for (const bool payloads : {false, true}) {
            zem::LegacyImportOptions options;
            options.buildPayloads = payloads;
            malloc_trim(0);  // what earlier runs freed no longer counts as held
            const uint64_t before = statusBytes("VmRSS");
            if (!resetPeak()) {
                state.SkipWithError("cannot reset the peak resident set");
                return;
            }
            const auto t0 = Clock::now();
            auto r = zem::importLegacyFile(fixture.file->path(), options);
            state.SetIterationTime(since(t0));
            if (!r.ok()) {
                state.SkipWithError(r.message().c_str());
                return;
            }
            const uint64_t peak = statusBytes("VmHWM");
            const double ratio = static_cast<double>(peak - before) / static_cast<double>(fixture.bytes);
            (payloads ? saveRatio : viewRatio) = ratio;
        }
    }
    state.counters["file_mb"] = static_cast<double>(fixture.bytes) / 1e6;
    state.counters["peak_rss_over_file"] = viewRatio;
    state.counters["with_payloads_over_file"] = saveRatio;
    state.counters["pool_threads"] =
        zem::legacyDecodePoolSize(vt6::platform::hardwareThreads(), static_cast<int32_t>(state.range(0)));
}
BENCHMARK(BM_LegacyImportPeakMemory)
    ->Args({64, 2})
    ->Args({384, 4})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

} // namespace

BENCHMARK_MAIN();
