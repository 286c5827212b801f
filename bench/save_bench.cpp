// Cost of the shell's save. BM_SaveStartStall: the window's stall when the
// save of a 10,000-sample kit starts, against the idle window. A generated 5,000-sample file (Direct and Room A
// to C, 4 articulations, 8 dynamic groups, 2,048 frames of 32-bit floats per
// sample) is opened from disk and saved:
//  - through the program's main component, with a probe thread posting to the
//    message thread every 2 ms: the longest wait is the message thread's
//    stall, set against one animation frame (33 ms);
//  - phase by phase (model, payloads, write, analysis, verify, replace), each
//    against writeZem6File writing the same model and payloads in the same
//    run, with the peak resident memory of the whole save against the bytes
//    of the payloads it writes;
//  - the save job as the shell runs it (runSaveJob), phase by phase as its
//    progress reports them, against the same floor, with its peak resident
//    memory against the payload bytes; BM_SavePhases beside it is the
//    earlier road (every payload built first and held, the file written,
//    rewritten with the analysis and read back);
//  - the read-back check alone on a 1 GiB file, on one thread against the
//    pool, in the same run.
// ZEM_SAVE_BENCH_FRAMES sets the frames per sample (default 2048, a 40 MB
// kit; 53687 gives the 1 GiB kit of 5,000 x 210 KB payloads).
// Run under xvfb-run: the main component needs a display.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analysis/drum_type.hpp"
#include "analysis/physical_pass.hpp"
#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "app/save_job.hpp"
#include "app/save_model.hpp"
#include "bench_kit.hpp"
#include "editor/logic/view_model.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"
#include "platform/replace_file.hpp"
#include "widgets/message_boxes.hpp"
#include "stall_probe.hpp"
#include "support/window_manager_atoms.hpp"


namespace {

using vt6::bench::msSince;
using vt6::bench::StallProbe;

namespace fmt = vt6::fmt;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 5000;
int gFrames = 2048;

std::filesystem::path gFolder;
std::string gSource;
// The kit whose save start is measured: 10,000 short samples.
constexpr int kBigSamples = 10000;
std::string gBigSource;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::vector<float> hit(uint64_t seed, int frames) {
    std::vector<float> out(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        out[static_cast<size_t>(i)] = 0.8f * std::exp(-static_cast<float>(i) / 300.0f) *
                                      std::sin(0.05f * static_cast<float>(i) + static_cast<float>(seed % 13));
    return out;
}

bool writeKit(const std::string& path, int samples, int frames) {
    fmt::Zem6Model m = vt6::bench::benchmarkKitModel({samples, 4, 4, 8, 32, static_cast<uint64_t>(frames)});
    // Room samples named as their direct sample but for the mic label, so
    // the save links them instead of asking.
    static const char* const kMics[] = {"Direct", "Room A", "Room B", "Room C"};
    for (size_t i = 0; i < m.samples.size(); ++i)
        m.samples[i].name = "Hit " + std::to_string(i / 4) + " " + kMics[i % 4];
    std::vector<fmt::StagedPayload> payloads;
    payloads.reserve(m.samples.size());
    for (const fmt::SmplEntry& e : m.samples) {
        const std::vector<float> audio = hit(e.uid, frames);
        payloads.push_back({e.audi_uid, fmt::kTagAUDI, vt6::ui::zemedit::logic::encodePcmPayload(audio, 1, 48000)});
    }
    return fmt::writeZem6File(path, m, payloads).ok();
}

// Resident-memory high-water mark in bytes, and its reset (Linux 4.0 on).
uint64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            uint64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        std::getline(status, key);
    }
    return 0;
}

uint64_t residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            uint64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        std::getline(status, key);
    }
    return 0;
}

// Freed heap goes back to the system first, so that the mark and the base
// count what the save holds, not what earlier work left mapped.
void resetPeakResident() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

void pumpWhile(vt6::maker::MainComponent& main) {
    while (main.isBusy()) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
}

// The whole save as the user starts it, with the message thread probed.
void BM_ShellSave(benchmark::State& state) {
    vt6::test::ScopedFakeAudio fake;
    auto main = std::make_unique<vt6::maker::MainComponent>();
    main->openFile(juce::File(gSource));
    pumpWhile(*main);
    // The mount's first paint of the grid comes after the job; it is the
    // open's stall, not the save's.
    juce::MessageManager::getInstance()->runDispatchLoopUntil(1000);
    if (main->overlay() == nullptr) {
        state.SkipWithError("the file did not open");
        return;
    }
    const juce::File target(juce::String((gFolder / "shell-saved.zem").string()));
    juce::String message;
    vt6::ui::widgets::setMessageBoxPresenter([&](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
        message = o.getTitle() + ": " + o.getMessage();
        if (done) done(0);
    });
    double worstStall = 0.0;
    bool saved = true;
    for (auto _ : state) {
        const auto start = Clock::now();
        {
            StallProbe probe;
            main->write(target, [&] { saved = true; });
            saved = false;
            pumpWhile(*main);
            juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
            worstStall = std::max(worstStall, probe.longestMs());
        }
        state.SetIterationTime(seconds(start, Clock::now()));
    }
    vt6::ui::widgets::setMessageBoxPresenter({});
    if (!saved) state.SkipWithError(("the save failed: " + message.toStdString()).c_str());
    state.counters["longest_stall_ms"] = worstStall;
    state.counters["stall_per_frame"] = worstStall / 33.0;
    main.reset();
    juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
}
BENCHMARK(BM_ShellSave)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The start of a save of a 10,000-sample kit as the user starts it: the
// message thread's longest stall from the call until the job runs on its
// worker (the document copied, the audio source made, the worker started),
// against the same probe on the idle window in the same iteration, and the
// composition the message thread used to run before the job started.
void BM_SaveStartStall(benchmark::State& state) {
    vt6::test::ScopedFakeAudio fake;
    auto main = std::make_unique<vt6::maker::MainComponent>();
    main->openFile(juce::File(gBigSource));
    pumpWhile(*main);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(1000);
    if (main->overlay() == nullptr) {
        state.SkipWithError("the file did not open");
        return;
    }
    const juce::File target(juce::String((gFolder / "start-saved.zem").string()));
    juce::String message;
    vt6::ui::widgets::setMessageBoxPresenter([&](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
        message = o.getTitle() + ": " + o.getMessage();
        if (done) done(0);
    });
    double idle = 0.0, start = 0.0, call = 0.0, composed = 0.0, copied = 0.0, sourced = 0.0;
    bool saved = true;
    for (auto _ : state) {
        {
            const auto t = Clock::now();
            StallProbe probe;
            while (msSince(t) < 300.0) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
            idle = std::max(idle, probe.longestMs());
        }
        const auto t0 = Clock::now();
        {
            StallProbe probe;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the probe's first post is waiting
            const auto c0 = Clock::now();
            main->write(target, [&] { saved = true; });
            call = std::max(call, msSince(c0));
            saved = false;
            // The job's first phases run on the worker meanwhile.
            const auto t = Clock::now();
            while (msSince(t) < 300.0 && main->isBusy()) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
            start = std::max(start, probe.longestMs());
        }
        state.SetIterationTime(seconds(t0, Clock::now()));
        pumpWhile(*main);
        juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
        // What the message thread ran before the job started, until now.
        int code = 0;
        const auto c0 = Clock::now();
        auto plan = vt6::maker::composeSaveModel(main->overlay()->document(),
                                                 main->overlay()->viewModel.activeSource()->model(), "start", code);
        composed = std::max(composed, msSince(c0));
        if (!plan.ok()) state.SkipWithError("compose failed");
        // The message thread's own parts of the start, one by one.
        const auto s0 = Clock::now();
        const auto copy = main->overlay()->document().snapshot();
        copied = std::max(copied, msSince(s0));
        const auto a0 = Clock::now();
        const auto audio = vt6::maker::makeDetachedAudioSource(main->overlay()->viewModel);
        sourced = std::max(sourced, msSince(a0));
    }
    vt6::ui::widgets::setMessageBoxPresenter({});
    if (!saved) state.SkipWithError(("the save failed: " + message.toStdString()).c_str());
    state.counters["samples"] = kBigSamples;
    state.counters["idle_stall_ms"] = idle;
    state.counters["start_stall_ms"] = start;
    state.counters["write_call_ms"] = call;
    state.counters["start_over_idle"] = start / std::max(idle, 0.001);
    state.counters["start_frames"] = start / (1000.0 / 60.0);
    state.counters["compose_ms"] = composed;
    state.counters["snapshot_ms"] = copied;
    state.counters["audio_source_ms"] = sourced;
    main.reset();
    juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
}
BENCHMARK(BM_SaveStartStall)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

// The stall floor: the probe against an idle message thread for a second.
void BM_IdleStall(benchmark::State& state) {
    double worst = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        StallProbe probe;
        while (msSince(start) < 1000.0) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
        worst = std::max(worst, probe.longestMs());
        state.SetIterationTime(seconds(start, Clock::now()));
    }
    state.counters["longest_stall_ms"] = worst;
}
BENCHMARK(BM_IdleStall)->UseManualTime()->Iterations(1)->Repetitions(2)->Unit(benchmark::kMillisecond);

// Each phase of the save called directly, against the writer alone on the
// same model and payloads.
void BM_SavePhases(benchmark::State& state) {
    using namespace vt6::maker;
    vt6::ui::zemedit::logic::ZemEditViewModel viewModel;
    if (!viewModel.openFile(gSource, fmt::ReadPolicy{})) {
        state.SkipWithError("open failed");
        return;
    }
    const std::string target = (gFolder / "phases.zem").string();
    const std::string floorPath = (gFolder / "floor.zem").string();
    double model = 0, payloads = 0, write = 0, analysis = 0, verify = 0, replace = 0, floor = 0;
    uint64_t peakOverBase = 0, payloadBytes = 0;
    for (auto _ : state) {
        resetPeakResident();
        const uint64_t base = residentBytes();
        int code = 0;
        const auto t0 = Clock::now();
        auto plan = composeSaveModel(viewModel.document, viewModel.activeSource()->model(), "phases", code);
        const auto t1 = Clock::now();
        if (!plan.ok()) {
            state.SkipWithError("compose failed");
            return;
        }
        auto built = buildPayloadsAndIndex(std::move(plan).value(), makeDetachedAudioLoader(viewModel), code);
        const auto t2 = Clock::now();
        if (!built.ok()) {
            state.SkipWithError("payloads failed");
            return;
        }
        const fmt::Export& e = built.value();
        const std::string temporary = temporarySiblingFor(target);
        const bool written = fmt::writeZem6File(temporary, e.model, e.payloads).ok();
        const auto t3 = Clock::now();
        const bool analysed =
            written && fmt::rewriteWithPhysicalAnalysis(
                           temporary, fmt::parseDrumType(e.model.metadata.drum_type.value_or(std::string())))
                           .ok();
        const auto t4 = Clock::now();
        const bool verified = analysed && verifyWrittenFile(temporary, e) == 0;
        const auto t5 = Clock::now();
        const bool replaced = verified && vt6::platform::replaceFile(temporary, target).ok();
        const auto t6 = Clock::now();
        peakOverBase = std::max(peakOverBase, peakResidentBytes() - std::min(base, peakResidentBytes()));
        if (!replaced) {
            state.SkipWithError("a phase failed");
            return;
        }
        payloadBytes = 0;
        for (const auto& p : e.payloads) payloadBytes += p.bytes.size();
        // The floor: the writer alone, on the same model and payloads.
        const auto f0 = Clock::now();
        if (!fmt::writeZem6File(floorPath, e.model, e.payloads).ok()) state.SkipWithError("floor write failed");
        const auto f1 = Clock::now();
        model += seconds(t0, t1);
        payloads += seconds(t1, t2);
        write += seconds(t2, t3);
        analysis += seconds(t3, t4);
        verify += seconds(t4, t5);
        replace += seconds(t5, t6);
        floor += seconds(f0, f1);
        state.SetIterationTime(seconds(t0, t6));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_write_ms"] = 1000.0 * floor / n;
    state.counters["model_x"] = model / floor;
    state.counters["payloads_x"] = payloads / floor;
    state.counters["write_x"] = write / floor;
    state.counters["analysis_x"] = analysis / floor;
    state.counters["verify_x"] = verify / floor;
    state.counters["replace_x"] = replace / floor;
    state.counters["whole_x"] = (model + payloads + write + analysis + verify + replace) / floor;
    state.counters["payload_MB"] = static_cast<double>(payloadBytes) / 1e6;
    state.counters["peak_over_payload"] = static_cast<double>(peakOverBase) / static_cast<double>(payloadBytes);
}
BENCHMARK(BM_SavePhases)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The shell's save job on the same document, phase by phase, against the
// writer alone on the same model and payloads in the same iteration.
void BM_SaveJob(benchmark::State& state) {
    using namespace vt6::maker;
    vt6::ui::zemedit::logic::ZemEditViewModel viewModel;
    if (!viewModel.openFile(gSource, fmt::ReadPolicy{})) {
        state.SkipWithError("open failed");
        return;
    }
    const std::string target = (gFolder / "job.zem").string();
    const std::string floorPath = (gFolder / "floor.zem").string();
    constexpr int kPhases = 5;
    double phase[kPhases] = {}, compose = 0, floor = 0, whole = 0;
    uint64_t peakOverBase = 0, payloadBytes = 0, leftOverBase = 0;
    for (auto _ : state) {
        int code = 0;
        // The floor first: the writer on the export the earlier road built.
        {
            auto plan = composeSaveModel(viewModel.document, viewModel.activeSource()->model(), "job", code);
            auto built = plan.ok() ? buildPayloadsAndIndex(std::move(plan).value(), makeDetachedAudioLoader(viewModel), code)
                                   : fmt::Result<fmt::Export>(plan.error());
            if (!built.ok()) {
                state.SkipWithError("payloads failed");
                return;
            }
            payloadBytes = 0;
            for (const auto& p : built.value().payloads) payloadBytes += p.bytes.size();
            const auto f0 = Clock::now();
            if (!fmt::writeZem6File(floorPath, built.value().model, built.value().payloads).ok())
                state.SkipWithError("floor write failed");
            floor += seconds(f0, Clock::now());
        }
        std::filesystem::remove(floorPath);
        resetPeakResident();
        const uint64_t base = residentBytes();
        const auto t0 = Clock::now();
        auto plan = composeSaveModel(viewModel.document, viewModel.activeSource()->model(), "job", code);
        const auto t1 = Clock::now();
        if (!plan.ok()) {
            state.SkipWithError("compose failed");
            return;
        }
        std::mutex lock;
        int current = -1;
        Clock::time_point since = t1;
        double spent[kPhases] = {};
        const int result = runSaveJob(target, std::move(plan).value(), makeDetachedAudioSource(viewModel),
                                      [&](const SaveProgress& p) {
                                          const std::lock_guard<std::mutex> hold(lock);
                                          const int now = static_cast<int>(p.phase);
                                          if (now == current) return;
                                          const auto at = Clock::now();
                                          if (current >= 0) spent[current] += seconds(since, at);
                                          current = now;
                                          since = at;
                                      });
        const auto t2 = Clock::now();
        if (current >= 0) spent[current] += seconds(since, t2);
        peakOverBase = std::max(peakOverBase, peakResidentBytes() - std::min(base, peakResidentBytes()));
        leftOverBase = std::max<uint64_t>(leftOverBase, residentBytes() - std::min(base, residentBytes()));
        if (result != 0) {
            state.SkipWithError("the save job failed");
            return;
        }
        // Creating the sibling comes before the first report: counted with
        // the measuring.
        spent[0] += seconds(t1, t2) - (spent[0] + spent[1] + spent[2] + spent[3] + spent[4]);
        for (int i = 0; i < kPhases; ++i) phase[i] += spent[i];
        compose += seconds(t0, t1);
        whole += seconds(t0, t2);
        state.SetIterationTime(seconds(t0, t2));
    }
    state.counters["floor_write_ms"] = 1000.0 * floor / static_cast<double>(state.iterations());
    state.counters["model_x"] = compose / floor;
    state.counters["measure_x"] = phase[0] / floor;
    state.counters["analysis_x"] = phase[1] / floor;
    state.counters["write_x"] = phase[2] / floor;
    state.counters["verify_x"] = phase[3] / floor;
    state.counters["replace_x"] = phase[4] / floor;
    state.counters["whole_x"] = whole / floor;
    state.counters["payload_MB"] = static_cast<double>(payloadBytes) / 1e6;
    state.counters["peak_over_payload"] = static_cast<double>(peakOverBase) / static_cast<double>(payloadBytes);
    state.counters["kept_over_payload"] = static_cast<double>(leftOverBase) / static_cast<double>(payloadBytes);
}
BENCHMARK(BM_SaveJob)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The read-back check of a 1 GiB file: one thread against the pool.
void BM_VerifyPool(benchmark::State& state) {
    constexpr int kBig = 256;
    constexpr int kBigFrames = 1 << 20;  // 4 MiB of floats each
    const fmt::Zem6Model m = vt6::bench::benchmarkKitModel({kBig, 4, 1, 4, 32, kBigFrames});
    fmt::Export e;
    e.model = m;
    for (const fmt::SmplEntry& row : m.samples)
        e.payloads.push_back(
            {row.audi_uid, fmt::kTagAUDI, vt6::ui::zemedit::logic::encodePcmPayload(hit(row.uid, kBigFrames), 1, 48000)});
    const std::string path = (gFolder / "big.zem").string();
    if (!fmt::writeZem6File(path, e.model, e.payloads).ok()) {
        state.SkipWithError("cannot write the 1 GiB file");
        return;
    }
    const unsigned pool = vt6::maker::defaultVerifyThreads();
    double one = 0, two = 0, pooled = 0;
    for (auto _ : state) {
        // Alternated so that both see the same machine.
        const auto a = Clock::now();
        const int r1 = vt6::maker::verifyWrittenFile(path, e, 1);
        const auto b = Clock::now();
        const int r2 = vt6::maker::verifyWrittenFile(path, e, 2);
        const auto c = Clock::now();
        const int rp = vt6::maker::verifyWrittenFile(path, e, pool);
        const auto d = Clock::now();
        if (r1 != 0 || r2 != 0 || rp != 0) state.SkipWithError("verification failed");
        one += seconds(a, b);
        two += seconds(b, c);
        pooled += seconds(c, d);
        state.SetIterationTime(seconds(c, d));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["pool_threads"] = pool;
    state.counters["one_thread_ms"] = 1000.0 * one / n;
    state.counters["speedup_2"] = one / two;
    state.counters["speedup_pool"] = one / pooled;
    std::filesystem::remove(path);
}
BENCHMARK(BM_VerifyPool)->UseManualTime()->Iterations(2)->Repetitions(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Stands in for a window manager on a bare virtual display.
    createWindowManagerAtoms();
    juce::ScopedJuceInitialiser_GUI gui;
    gFolder = std::filesystem::temp_directory_path() / ("zem_save_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gFolder);
    gSource = (gFolder / "kit.zem").string();
    if (const char* frames = std::getenv("ZEM_SAVE_BENCH_FRAMES"); frames != nullptr && std::atoi(frames) > 0)
        gFrames = std::atoi(frames);
    if (!writeKit(gSource, kSamples, gFrames)) {
        std::fprintf(stderr, "cannot write the benchmark kit\n");
        return 1;
    }
    gBigSource = (gFolder / "big-kit.zem").string();
    if (!writeKit(gBigSource, kBigSamples, 256)) {
        std::fprintf(stderr, "cannot write the 10,000-sample kit\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(gFolder);
    return 0;
}
