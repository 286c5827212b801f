// Importing a generated 4.0 legacy file of 64 FLAC samples (2 seconds each,
// 24-bit stereo 48 kHz) with peaks measured: the import as the program runs
// it, with the decode pool measuring peaks, against the same import with
// every peak measured one sample after another on the calling thread (the
// reader then takes those peaks as given). Both run in each iteration of the
// same run; the counters give both times, their ratio and the pool size, for
// the whole import and for the read with its peaks alone (the conversion
// after it decodes every payload again on one thread in both cases).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "platform/cpu.hpp"
#include "platform/file.hpp"

namespace {

namespace zem = vt6::zem;

constexpr int kSamples = 64;
constexpr int32_t kRate = 48000;
constexpr int32_t kFrames = 2 * kRate;

// A decaying noisy tone per sample, so FLAC works about as hard as on a drum.
vt6::fmt::Bytes drumHit(int seed) {
    vt6::fmt::Bytes out(static_cast<size_t>(kFrames) * 2 * 3);
    uint32_t noise = 2654435761u * static_cast<uint32_t>(seed + 1);
    uint8_t* p = out.data();
    for (int32_t f = 0; f < kFrames; ++f) {
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

zem::testing::BuilderFile benchSpec() {
    zem::testing::BuilderFile desc;
    desc.version = 6;
    desc.dynamics = {0.5f};
    for (int i = 0; i < kSamples; ++i) {
        zem::testing::BuilderSample s;
        s.name = "hit " + std::to_string(i + 1);
        s.bits = 24;
        s.stereo = 1;
        s.sampleRate = kRate;
        s.length = kFrames * 2;
        s.codec = 1;
        s.pcm = drumHit(i);
        desc.samples.push_back(std::move(s));
    }
    return desc;
}

const zem::testing::TempFile& legacyFile() {
    static const zem::testing::TempFile file(zem::testing::buildLegacyFile(benchSpec()));
    return file;
}

// Peaks measured one sample after another on this thread, then the import
// with those peaks given. `readSeconds` receives the time until the read
// with its peaks is done, before the conversion.
bool importOnOneThread(const std::string& path, double& readSeconds) {
    const auto start = std::chrono::steady_clock::now();
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
    readSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return zem::convertLegacyModel(*read.file, path, zem::LegacyImportOptions{}).ok();
}

void BM_LegacyImportPoolVsOneThread(benchmark::State& state) {
    const std::string& path = legacyFile().path();
    using Clock = std::chrono::steady_clock;
    double poolSeconds = 0;
    double singleSeconds = 0;
    double poolReadSeconds = 0;
    double singleReadSeconds = 0;
    const zem::Zem4BlobDecoder decoder = vt6::fmt::makeZem4FlacBlobDecoder();
    zem::LegacyReadOptions poolRead;
    poolRead.measurePeaks = true;
    poolRead.blobDecoder = &decoder;
    for (auto _ : state) {
        // The read with its peaks alone, as the import starts it.
        const auto r0 = Clock::now();
        benchmark::DoNotOptimize(zem::readLegacyFile(path, poolRead));
        poolReadSeconds += std::chrono::duration<double>(Clock::now() - r0).count();

        const auto t0 = Clock::now();
        auto pooled = zem::importLegacyFile(path, zem::LegacyImportOptions{});
        const auto t1 = Clock::now();
        const bool single = importOnOneThread(path, singleReadSeconds);
        const auto t2 = Clock::now();
        if (!pooled.ok() || !single) {
            state.SkipWithError(pooled.ok() ? "one-thread import failed" : pooled.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(pooled);
        poolSeconds += std::chrono::duration<double>(t1 - t0).count();
        singleSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["pool_ms"] = 1000 * poolSeconds / n;
    state.counters["one_thread_ms"] = 1000 * singleSeconds / n;
    state.counters["speedup"] = poolSeconds > 0 ? singleSeconds / poolSeconds : 0;
    state.counters["read_pool_ms"] = 1000 * poolReadSeconds / n;
    state.counters["read_one_thread_ms"] = 1000 * singleReadSeconds / n;
    state.counters["read_speedup"] = poolReadSeconds > 0 ? singleReadSeconds / poolReadSeconds : 0;
    state.counters["pool_threads"] = zem::legacyDecodePoolSize(vt6::platform::hardwareThreads(), kSamples);
    state.counters["hw_threads"] = vt6::platform::hardwareThreads();
}
BENCHMARK(BM_LegacyImportPoolVsOneThread)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
