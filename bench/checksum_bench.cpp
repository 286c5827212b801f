// Throughput of the two CRC-32C paths and of BLAKE2b-128, over small, medium
// and large buffers. After the runs it prints the hardware/software ratio per
// size, measured in this same run; the hardware path is expected to be at
// least 4x the table path wherever the processor has SSE4.2.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "format/checksum.hpp"

namespace {

using vt6::fmt::Bytes;

constexpr int64_t kSizes[] = {4 << 10, 64 << 10, 16 << 20};
constexpr double kHardwareFloor = 4.0;

const Bytes& buffer(size_t size) {
    static std::map<size_t, Bytes> buffers;
    auto& b = buffers[size];
    if (b.size() != size) {
        b.resize(size);
        uint32_t x = 0x2545F491u;
        for (auto& byte : b) {
            x = x * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(x >> 24);
        }
    }
    return b;
}

void BM_Crc32cHardware(benchmark::State& state) {
    if (!vt6::fmt::hasSse42Crc()) {
        state.SkipWithError("processor lacks SSE4.2 crc32");
        return;
    }
    const Bytes& data = buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vt6::fmt::crc32cHardware(vt6::fmt::kCrc32cInit, data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Crc32cSoftware(benchmark::State& state) {
    const Bytes& data = buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vt6::fmt::crc32cSoftware(vt6::fmt::kCrc32cInit, data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Blake2b128(benchmark::State& state) {
    const Bytes& data = buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vt6::fmt::blake2b128(data));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Arg(size);
}

BENCHMARK(BM_Crc32cHardware)->Apply(sizes);
BENCHMARK(BM_Crc32cSoftware)->Apply(sizes);
BENCHMARK(BM_Blake2b128)->Apply(sizes);

// Prints as usual and keeps each run's bytes per second, keyed by name and
// size. With --benchmark_repetitions the median replaces the single runs.
class RateCapture : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::map<int64_t, double>> rates;

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end()) continue;
            const std::string& args = run.run_name.args;
            rates[run.run_name.function_name][std::stoll(args)] = it->second.value;
        }
        ConsoleReporter::ReportRuns(reports);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Build the buffers before timing starts.
    for (int64_t size : kSizes) buffer(static_cast<size_t>(size));

    RateCapture reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& hw = reporter.rates["BM_Crc32cHardware"];
    const auto& sw = reporter.rates["BM_Crc32cSoftware"];
    const auto& blake = reporter.rates["BM_Blake2b128"];
    bool floorMet = true;
    std::printf("\n");
    for (int64_t size : kSizes) {
        const auto h = hw.find(size), s = sw.find(size), b = blake.find(size);
        if (h == hw.end() || s == sw.end() || s->second <= 0) continue;
        const double ratio = h->second / s->second;
        std::printf("crc32c hardware/software ratio at %lld bytes: %.1fx%s\n", static_cast<long long>(size), ratio,
                    ratio >= kHardwareFloor ? "" : "  (below the 4x floor)");
        if (b != blake.end() && b->second > 0)
            std::printf("crc32c hardware/blake2b-128 ratio at %lld bytes: %.1fx\n", static_cast<long long>(size),
                        h->second / b->second);
        floorMet = floorMet && ratio >= kHardwareFloor;
    }
    if (!vt6::fmt::hasSse42Crc()) std::printf("crc32c hardware path not measured (no SSE4.2 on this processor)\n");
    return floorMet ? 0 : 1;
}
