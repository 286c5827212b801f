// The editor's fallbacks on the message thread:
//  - one live-capture tick over a full 65 s buffer (the steady state: every
//    hit already taken) against the hit detector alone over the same audio
//    (the floor), and against the 200 ms tick and a 33 ms frame;
//  - building a snapshot of a 5,000-sample zem with 500 added samples
//    against composing its model alone (the floor) and a 33 ms frame.
// The counters carry the ratios; all are measured in the same run.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/hit_detector.hpp"
#include "bench_kit.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/view_model.hpp"
#include "editor/ui/editor_snapshot.hpp"
#include "editor/ui/extract_hits.hpp"
#include "format/writer.hpp"

namespace {

namespace fmt = vt6::fmt;
namespace ze = vt6::ui::zemedit;
using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

// 65 s of mono audio at 44100 Hz with a decaying hit every half second.
std::vector<float> capturedTrack() {
    const double rate = 44100.0;
    std::vector<float> out(static_cast<size_t>(65 * rate), 0.0f);
    uint32_t state = 7;
    for (double t = 0.25; t < 64.5; t += 0.5) {
        const auto first = static_cast<size_t>(t * rate);
        for (size_t i = 0; i < static_cast<size_t>(0.25 * rate); ++i) {
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
            out[first + i] = static_cast<float>(std::exp(-static_cast<double>(i) / (0.03 * rate)) * 0.6 * noise);
        }
    }
    return out;
}

double gDetectMs = 0.0;
double gComposeMs = 0.0;

void BM_DetectHits65s(benchmark::State& state) {
    const auto audio = capturedTrack();
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        fmt::HitDetector detector;
        auto hits = fmt::detectHits(detector, audio, 44100.0);
        benchmark::DoNotOptimize(hits);
        total += ms(t0, Clock::now());
    }
    gDetectMs = total / static_cast<double>(state.iterations());
    state.counters["ms"] = gDetectMs;
}

void BM_CaptureTick65s(benchmark::State& state) {
    auto buffer = capturedTrack();
    ze::logic::ZemEditViewModel vm;
    vm.newDocument();
    // Steady state: everything up to the newest 0.4 s was taken before.
    int64_t consumed = 0;
    ze::captureStep(vm, buffer, consumed, 44100.0, "Capture");
    const auto taken = vm.document.liveSampleCount;
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int added = ze::captureStep(vm, buffer, consumed, 44100.0, "Capture");
        total += ms(t0, Clock::now());
        benchmark::DoNotOptimize(added);
    }
    const double tick = total / static_cast<double>(state.iterations());
    state.counters["ms"] = tick;
    state.counters["hits_taken_once"] = static_cast<double>(taken);
    state.counters["vs_detect_floor"] = gDetectMs > 0 ? tick / gDetectMs : 0.0;
    state.counters["vs_200ms_tick"] = tick / 200.0;
    state.counters["vs_33ms_frame"] = tick / 33.0;
}

struct SnapshotScene {
    std::string dir;
    ze::logic::ZemEditViewModel vm;
    bool ready = false;
    SnapshotScene() {
        dir = (std::filesystem::temp_directory_path() / "zem_fallbacks_bench").string();
        std::filesystem::create_directories(dir);
        const std::string path = dir + "/kit.zem";
        const fmt::Zem6Model m = vt6::bench::benchmarkKitModel({5000, 8, 4, 8, 32, 128});
        std::vector<fmt::StagedPayload> payloads;
        std::vector<float> audio(128, 0.25f);
        for (const fmt::SmplEntry& e : m.samples)
            payloads.push_back(fmt::StagedPayload{e.audi_uid, fmt::kTagAUDI,
                                                  ze::logic::encodePcmPayload(audio, 1, 48000)});
        if (!fmt::writeZem6File(path, m, payloads).ok() || !vm.openFile(path, fmt::ReadPolicy{})) return;
        // 500 added samples of 0.2 s each.
        std::vector<float> hit(8820);
        for (size_t i = 0; i < hit.size(); ++i) hit[i] = 0.5f * std::exp(-static_cast<float>(i) / 900.0f);
        for (int i = 0; i < 500; ++i)
            if (vm.addSampleFromPcm("Added " + std::to_string(i), hit, 1, 44100, 0.1, 0, 0, -1,
                                    fmt::HitLevel::unmeasured(), false) == 0)
                return;
        ready = true;
    }
    ~SnapshotScene() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

SnapshotScene& scene() {
    static SnapshotScene s;
    return s;
}

void BM_ComposeFloor(benchmark::State& state) {
    auto& s = scene();
    if (!s.ready) {
        state.SkipWithError("scene not built");
        return;
    }
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto model = ze::logic::composeAndCheck(s.vm.document, s.vm.fileSource->model(), nullptr);
        total += ms(t0, Clock::now());
        benchmark::DoNotOptimize(model);
    }
    gComposeMs = total / static_cast<double>(state.iterations());
    state.counters["ms"] = gComposeMs;
}

void BM_BuildSnapshot(benchmark::State& state) {
    auto& s = scene();
    if (!s.ready) {
        state.SkipWithError("scene not built");
        return;
    }
    double total = 0.0;
    size_t payloads = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto snapshot = ze::buildEditorSnapshot(s.vm, nullptr, "0123456789abcdef");
        total += ms(t0, Clock::now());
        if (!snapshot.ok()) {
            state.SkipWithError(snapshot.message().c_str());
            return;
        }
        payloads = snapshot->payloads.size();
        benchmark::DoNotOptimize(snapshot);
    }
    const double build = total / static_cast<double>(state.iterations());
    state.counters["ms"] = build;
    state.counters["payloads"] = static_cast<double>(payloads);
    state.counters["vs_compose_floor"] = gComposeMs > 0 ? build / gComposeMs : 0.0;
    state.counters["vs_33ms_frame"] = build / 33.0;
}

}  // namespace

BENCHMARK(BM_DetectHits65s)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CaptureTick65s)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ComposeFloor)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_BuildSnapshot)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_MAIN();
