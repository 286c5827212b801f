// The editor's hit analysis in the program window (needs a display: run under
// xvfb-run), each figure against a floor measured in the same run:
//  - the message thread's longest stall (a probe thread posts to it every
//    2 ms) during the background run a 5,000-sample file starts, and during an
//    AUTO-SORT that measures, applies, refreshes, sorts and rebuilds, against
//    one frame (33 ms) and against the longest stall of the same window idle;
//  - the run's time (thread alone, and mount to levels stored) against
//    analyzeHitSort on the same job called directly;
//  - on long samples, the time from Cancel to the box closing, against loading
//    one sample plus the 100 ms tick;
//  - on long samples, the message thread's longest stall when another file is
//    opened mid-run (the old overlay's destructor cancels and lets the thread
//    go) against the same replacement with no analysis, and the time until
//    the abandoned run has ended against loading one sample.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "audio/sample_load.hpp"
#include "editor/logic/hit_sort.hpp"
#include "editor/ui/graded_kit.hpp"
#include "editor/ui/hit_sort_progress.hpp"
#include "format/read_policy.hpp"
#include "stall_probe.hpp"
#include "support/window_manager_atoms.hpp"

// Window-manager atoms for a bare virtual display (window_manager_atoms.cpp).

namespace {

using vt6::bench::msSince;
using vt6::bench::StallProbe;

using Clock = std::chrono::steady_clock;
using vt6::ui::zemedit::ZemEditOverlay;

std::filesystem::path gFolder;


void pump(int ms) { juce::MessageManager::getInstance()->runDispatchLoopUntil(ms); }

bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 600000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > end) return false;
        pump(1);
    }
    return true;
}

// When the analysis thread started and last reported, and how many samples
// it had finished then.
struct ThreadClock {
    std::atomic<int64_t> startNs{0}, lastNs{0};
    std::atomic<uint64_t> finished{0};
    static int64_t now() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }
    void install() {
        startNs = lastNs = 0;
        finished = 0;
        vt6::ui::zemedit::setHitAnalysisHook([this](uint64_t done, const std::function<bool()>&) {
            const int64_t t = now();
            if (done == 0) startNs = t;
            lastNs = t;
            finished = done;
        });
    }
    double threadMs() const { return static_cast<double>(lastNs.load() - startNs.load()) / 1e6; }
};

struct Window {
    vt6::test::ScopedFakeAudio fake;
    std::unique_ptr<vt6::maker::MainComponent> main = std::make_unique<vt6::maker::MainComponent>();
    Window() {
        main->addToDesktop(0);
        main->setVisible(true);
        pump(50);
    }
    ~Window() {
        main->removeFromDesktop();
        main.reset();
        pump(20);
    }
    // Mounts the file as the open job does once it has its working copy.
    ZemEditOverlay* mount(const std::string& path) {
        main->mount(juce::File(juce::String::fromUTF8(path.c_str())), nullptr);
        return main->overlay();
    }
    juce::Button* overlayButton(const juce::String& text) {
        if (auto* o = main->overlay())
            for (auto* child : o->getChildren())
                if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == text) return b;
        return nullptr;
    }
    // The progress box is the overlay's only child holding a Cancel button.
    juce::Button* cancelButton() {
        if (auto* o = main->overlay())
            for (auto* child : o->getChildren())
                if (auto* box = dynamic_cast<vt6::ui::zemedit::HitSortProgress*>(child)) return &box->cancelButton;
        return nullptr;
    }
    void paintNow() {
        if (auto* peer = main->getPeer()) peer->performAnyPendingRepaintsNow();
    }
    bool measured() { return main->overlay() != nullptr && main->overlay()->document().unmeasuredUids.empty(); }
};

// The longest stall of the message thread while nothing runs in the window
// (the same window and grid): what the machine itself adds.
double idleStallMs(int ms) {
    StallProbe probe;
    pump(ms);
    return probe.longestMs();
}

// analyzeHitSort on the job the overlay would make, on this thread.
double directAnalysisMs(const std::string& path) {
    vt6::ui::zemedit::logic::ZemEditViewModel vm;
    vm.openFile(path, vt6::fmt::ReadPolicy{});
    auto job = vm.prepareHitSort();
    const auto start = Clock::now();
    vt6::ui::zemedit::logic::analyzeHitSort(job, nullptr, nullptr);
    return msSince(start);
}

// The same, on a fresh thread as the overlay runs it: a new thread's heap
// hands large buffers back between samples, so their pages fault again.
double directAnalysisInThreadMs(const std::string& path) {
    double ms = 0.0;
    std::thread t([&] { ms = directAnalysisMs(path); });
    t.join();
    return ms;
}

double loadOneMs(const std::string& path, int32_t position) {
    const auto start = Clock::now();
    auto audio = vt6::fmt::loadSampleForEdit(path, vt6::fmt::SampleSelector{-1, position}, vt6::fmt::kEditingBudgetBytes,
                                             vt6::fmt::SampleLoadMode::CompleteSource);
    benchmark::DoNotOptimize(audio);
    return msSince(start);
}

// The background run a mounted file starts by itself.
void backgroundRun(benchmark::State& state, const std::string& path) {
    Window window;
    ThreadClock clock;
    double direct = 0.0, thread = 0.0, whole = 0.0, worstStall = 0.0, idle = 0.0;
    for (auto _ : state) {
        direct += directAnalysisMs(path);
        clock.install();
        pump(20);
        double stall = 0.0;
        const auto start = Clock::now();
        // The mount builds and paints the grid (its own stall, not the
        // analysis's); the first tick comes 100 ms later.
        window.mount(path);
        window.paintNow();
        pump(10);
        {
            StallProbe probe;
            if (!pumpUntil([&] { return window.measured(); })) state.SkipWithError("never measured");
            const double w = msSince(start);
            state.SetIterationTime(w / 1000.0);
            whole += w;
            pump(20);
            stall = probe.longestMs();
        }
        thread += clock.threadMs();
        worstStall = std::max(worstStall, stall);
        idle = std::max(idle, idleStallMs(1500));
    }
    vt6::ui::zemedit::setHitAnalysisHook({});
    const double n = static_cast<double>(state.iterations());
    state.counters["direct_ms"] = direct / n;
    state.counters["thread_ms"] = thread / n;
    state.counters["mount_to_stored_ms"] = whole / n;
    state.counters["thread_per_direct"] = thread / std::max(direct, 1e-9);
    state.counters["stored_per_direct"] = whole / std::max(direct, 1e-9);
    state.counters["longest_stall_ms"] = worstStall;
    state.counters["stall_per_frame"] = worstStall / 33.0;
    state.counters["idle_stall_ms"] = idle;
}

// AUTO-SORT pressed right after the mount: the box, the measurement, the
// apply, the second pass that sorts, and the rebuild.
void autoSort(benchmark::State& state, const std::string& path) {
    Window window;
    double whole = 0.0, worstStall = 0.0, sortStall = 0.0, refresh = 0.0, rebuild = 0.0, idle = 0.0;
    for (auto _ : state) {
        auto* overlay = window.mount(path);
        window.paintNow();
        pump(10);
        auto* button = window.overlayButton("AUTO-SORT");
        if (overlay == nullptr || button == nullptr) {
            state.SkipWithError("no editor");
            break;
        }
        double stall = 0.0;
        const auto start = Clock::now();
        {
            StallProbe probe;
            button->onClick();
            if (!pumpUntil([&] { return window.cancelButton() == nullptr && overlay->undoManager().canUndo(); }))
                state.SkipWithError("never sorted");
            const double w = msSince(start);
            state.SetIterationTime(w / 1000.0);
            whole += w;
            pump(20);
            stall = probe.longestMs();
        }
        worstStall = std::max(worstStall, stall);
        idle = std::max(idle, idleStallMs(1500));
        // What the take-in and the sort call of the grid, timed alone.
        auto t = Clock::now();
        overlay->refreshAll();
        refresh += msSince(t);
        t = Clock::now();
        overlay->rebuildStructure();
        rebuild += msSince(t);
        // The sort alone once every level is cached (undo it, sort again).
        overlay->undoManager().undo();
        pump(20);
        {
            StallProbe probe;
            button->onClick();
            pump(30);
            sortStall = std::max(sortStall, probe.longestMs());
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["click_to_sorted_ms"] = whole / n;
    state.counters["longest_stall_ms"] = worstStall;
    state.counters["stall_per_frame"] = worstStall / 33.0;
    state.counters["cached_sort_stall_ms"] = sortStall;
    state.counters["idle_stall_ms"] = idle;
    state.counters["grid_refresh_ms"] = refresh / n;
    state.counters["grid_rebuild_ms"] = rebuild / n;
}

// Cancel pressed while the thread works on a long sample.
void cancelToClose(benchmark::State& state, const std::string& path) {
    Window window;
    ThreadClock clock;
    double toClosed = 0.0, worstClosed = 0.0, load = 0.0, direct = 0.0, inThread = 0.0;
    for (auto _ : state) {
        load += loadOneMs(path, 2);
        direct += directAnalysisMs(path) / 8.0;
        inThread += directAnalysisInThreadMs(path) / 8.0;
        clock.install();
        auto* overlay = window.mount(path);
        pump(10);
        auto* button = window.overlayButton("AUTO-SORT");
        if (overlay == nullptr || button == nullptr) {
            state.SkipWithError("no editor");
            break;
        }
        button->onClick();
        // Into the second sample, at a point that varies with the iteration.
        if (!pumpUntil([&] { return clock.finished.load() >= 1; })) state.SkipWithError("never started");
        pump(static_cast<int>(5 + 17 * (state.iterations() % 7)));
        auto* cancel = window.cancelButton();
        if (cancel == nullptr) {
            state.SkipWithError("no box");
            break;
        }
        const auto start = Clock::now();
        cancel->onClick();
        pumpUntil([&] { return window.cancelButton() == nullptr; });
        const double stopped = msSince(start);
        state.SetIterationTime(stopped / 1000.0);
        toClosed += stopped;
        worstClosed = std::max(worstClosed, stopped);
    }
    vt6::ui::zemedit::setHitAnalysisHook({});
    const double n = static_cast<double>(state.iterations());
    state.counters["load_one_ms"] = load / n;
    state.counters["analyze_one_ms"] = direct / n;
    state.counters["analyze_one_in_thread_ms"] = inThread / n;
    state.counters["cancel_to_closed_ms"] = toClosed / n;
    state.counters["cancel_to_closed_max_ms"] = worstClosed;
    state.counters["closed_per_load_plus_tick"] = toClosed / std::max(load + 100.0 * n, 1e-9);
    state.counters["closed_per_thread_sample_plus_tick"] = toClosed / std::max(inThread + 100.0 * n, 1e-9);
}

// Opening another file over one whose run is in a long sample: the old
// overlay's destructor tells the run to stop and hands its thread to the
// reaper. The message thread's longest stall over the replacement and the
// 200 ms after it (a probe posts every 2 ms), against the floor of the same
// replacement at the same moment with no analysis (its thread refused to
// start), measured in the same iteration; and the time until the abandoned
// run has ended and been joined, against loading one sample whole (what a
// cancel checked only between samples waited for).
void replaceMidRun(benchmark::State& state, const std::string& path, const std::string& other) {
    Window window;
    ThreadClock clock;
    double midRun = 0.0, idle = 0.0, load = 0.0, inThread = 0.0;
    double stallIdle = 0.0, stallMidRun = 0.0, worst = 0.0, ended = 0.0, endedMax = 0.0;
    // Replaces the file and keeps the window running for 200 ms and until
    // every abandoned run has been joined; returns the longest stall, and
    // the time the replacement itself took.
    const auto replace = [&](double& replaceMs, double& endedMs) {
        StallProbe probe;
        pump(5);
        std::atomic<bool> joined{false};
        const auto start = Clock::now();
        window.mount(other);
        replaceMs = msSince(start);
        // Waited for off the message thread, which goes on being probed.
        std::thread waiter([&joined] {
            vt6::ui::zemedit::joinRetiredHitThreads();
            joined = true;
        });
        if (!pumpUntil([&] { return joined.load(); })) state.SkipWithError("the run never ended");
        endedMs = msSince(start);
        waiter.join();
        pump(std::max(1, 200 - static_cast<int>(endedMs)));
        return probe.longestMs();
    };
    for (auto _ : state) {
        load += loadOneMs(path, 2);
        inThread += directAnalysisInThreadMs(path) / 8.0;
        const int into = static_cast<int>(5 + 17 * (state.iterations() % 7));

        // Floor: no analysis thread starts, everything else as below.
        vt6::ui::zemedit::setHitThreadStarter(
            [](std::function<void()>) -> std::thread { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); });
        window.mount(path);
        pump(150 + into);
        double floorMs = 0.0, unused = 0.0;
        const double floorStall = replace(floorMs, unused);
        vt6::ui::zemedit::setHitThreadStarter({});
        idle += floorMs;
        stallIdle = std::max(stallIdle, floorStall);

        clock.install();
        window.mount(path);
        if (!pumpUntil([&] { return clock.finished.load() >= 1; })) state.SkipWithError("never started");
        pump(into);
        double m = 0.0, e = 0.0;
        const double runStall = replace(m, e);
        vt6::ui::zemedit::setHitAnalysisHook({});
        state.SetIterationTime(m / 1000.0);
        midRun += m;
        ended += e;
        endedMax = std::max(endedMax, e);
        stallMidRun = std::max(stallMidRun, runStall);
        worst = std::max(worst, runStall - floorStall);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["load_one_ms"] = load / n;
    state.counters["analyze_one_in_thread_ms"] = inThread / n;
    state.counters["replace_floor_ms"] = idle / n;
    state.counters["replace_mid_run_ms"] = midRun / n;
    state.counters["longest_stall_floor_ms"] = stallIdle;
    state.counters["longest_stall_mid_run_ms"] = stallMidRun;
    state.counters["stall_over_floor_max_ms"] = worst;
    state.counters["stall_per_floor"] = stallMidRun / std::max(stallIdle, 1e-9);
    state.counters["stall_per_frame"] = stallMidRun / 33.0;
    state.counters["run_ended_ms"] = ended / n;
    state.counters["run_ended_max_ms"] = endedMax;
    state.counters["run_ended_per_load"] = ended / std::max(load, 1e-9);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gFolder = std::filesystem::temp_directory_path() / ("zem_hit_gui_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gFolder);
    const auto many = vt6::test::writeGradedKit((gFolder / "many.zem").string(), 5000, 4, "Many");
    // Eight samples of 60 s (44.1 kHz, 16-bit mono): cancelling and joining
    // meet a thread inside one long load or measurement.
    const auto longs = vt6::test::writeGradedKit((gFolder / "long.zem").string(), 8, 4, "Long", 2646000);
    // The same stored as FLAC, as files from other tools are: the decode is
    // most of a sample's read.
    const auto longFlac =
        vt6::test::writeGradedKit((gFolder / "long_flac.zem").string(), 8, 4, "Long", 2646000, vt6::fmt::kCodecFlac);
    const auto small = vt6::test::writeGradedKit((gFolder / "small.zem").string(), 12, 4, "Small");
    void* atomKeeper = createWindowManagerAtoms();
    {
        juce::ScopedJuceInitialiser_GUI gui;
        benchmark::RegisterBenchmark("HitAnalysis/BackgroundRun/5000Samples", backgroundRun, many)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("HitAnalysis/AutoSort/5000Samples", autoSort, many)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("HitAnalysis/CancelToClose/60sSamples", cancelToClose, longs)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);
        benchmark::RegisterBenchmark("HitAnalysis/ReplaceMidRun/60sSamples", replaceMidRun, longs, small)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);
        benchmark::RegisterBenchmark("HitAnalysis/ReplaceMidRun/60sFlacSamples", replaceMidRun, longFlac, small)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);
        benchmark::RunSpecifiedBenchmarks();
    }
    closeWindowManagerAtoms(atomKeeper);
    benchmark::Shutdown();
    std::filesystem::remove_all(gFolder);
    return 0;
}
