// The band grid in the program window, for a 5,000-sample and a 500-sample
// file over four groups:
//  - the open: the worker's read of the working copy alone (the floor) against
//    OPEN ZEM's whole path to the first paint of the window with the grid, and
//    the message thread's longest stall meanwhile against one frame (33 ms);
//  - one mute (the command, the refresh after it and the paint it causes)
//    against a full rebuild of the grid with the same paint.
// Both pairs are measured in the same run; the counters carry the ratios.
//
// Needs a display (run under xvfb-run).

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "app/open_for_edit.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "stall_probe.hpp"
#include "support/window_manager_atoms.hpp"

// Window-manager atoms for a bare virtual display (window_manager_atoms.cpp).

namespace {

using vt6::bench::msSince;
using vt6::bench::StallProbe;

using Clock = std::chrono::steady_clock;

std::filesystem::path gFolder;


struct Window {
    vt6::test::ScopedFakeAudio fake;
    std::unique_ptr<vt6::maker::MainComponent> main = std::make_unique<vt6::maker::MainComponent>();
    Window() {
        main->addToDesktop(0);
        main->setVisible(true);
        juce::MessageManager::getInstance()->runDispatchLoopUntil(50);
    }
    ~Window() {
        main->removeFromDesktop();
        main.reset();
        juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
    }
    // The window puts each paint to the server and paints again only after
    // the server reported the last one done; let that report arrive outside
    // the timed part.
    void settle() { juce::MessageManager::getInstance()->runDispatchLoopUntil(15); }
    void paintNow() {
        if (auto* peer = main->getPeer()) peer->performAnyPendingRepaintsNow();
    }
    bool open(const std::string& path) {
        main->openFile(juce::File(juce::String::fromUTF8(path.c_str())));
        while (main->isBusy()) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
        paintNow();
        return main->overlay() != nullptr;
    }
};

void openToFirstPaint(benchmark::State& state, const std::string& path) {
    Window window;
    double alone = 0.0, whole = 0.0, worstStall = 0.0;
    for (auto _ : state) {
        // (a) The read of the working copy alone.
        auto start = Clock::now();
        auto opened = vt6::maker::openForEdit(path, path);
        if (!opened.ok()) state.SkipWithError("openForEdit failed");
        const double a = msSince(start);
        // (b) OPEN ZEM's path to the first paint of the grid.
        double stall = 0.0;
        start = Clock::now();
        {
            StallProbe probe;
            if (!window.open(path)) state.SkipWithError("the file did not open");
            const double b = msSince(start);
            state.SetIterationTime(b / 1000.0);
            whole += b;
            juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
            stall = probe.longestMs();
        }
        alone += a;
        worstStall = std::max(worstStall, stall);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["open_alone_ms"] = alone / n;
    state.counters["open_to_paint_ms"] = whole / n;
    state.counters["paint_per_alone"] = whole / std::max(alone, 1e-9);
    state.counters["longest_stall_ms"] = worstStall;
    state.counters["stall_per_frame"] = worstStall / 33.0;
}

void muteAgainstRebuild(benchmark::State& state, const std::string& path) {
    Window window;
    if (!window.open(path)) {
        state.SkipWithError("the file did not open");
        return;
    }
    auto& overlay = *window.main->overlay();
    auto& doc = overlay.document();
    const uint64_t uid = doc.samples.front().uid;
    double mute = 0.0, rebuild = 0.0, paint = 0.0;
    bool muted = false;
    for (auto _ : state) {
        window.settle();
        auto start = Clock::now();
        muted = !muted;
        doc.setMuted(uid, muted);
        overlay.refreshAfterCommand();
        window.paintNow();
        const double m = msSince(start);
        window.settle();
        start = Clock::now();
        overlay.rebuildStructure();
        window.paintNow();
        const double r = msSince(start);
        window.settle();
        start = Clock::now();
        window.main->repaint();
        window.paintNow();
        const double p = msSince(start);
        state.SetIterationTime(m / 1000.0);
        mute += m;
        rebuild += r;
        paint += p;
    }
    state.counters["whole_window_paint_ms"] = paint / static_cast<double>(state.iterations());
    const double n = static_cast<double>(state.iterations());
    state.counters["mute_ms"] = mute / n;
    state.counters["rebuild_ms"] = rebuild / n;
    state.counters["mute_per_rebuild"] = mute / std::max(rebuild, 1e-9);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gFolder = std::filesystem::temp_directory_path() / ("zem_grid_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gFolder);
    const auto many = vt6::test::writeKit((gFolder / "many.zem").string(), 5000, 4, "Many");
    const auto few = vt6::test::writeKit((gFolder / "few.zem").string(), 500, 4, "Few");
    void* atomKeeper = createWindowManagerAtoms();
    {
        juce::ScopedJuceInitialiser_GUI gui;
        for (const auto& [name, path] : {std::pair<std::string, std::string>{"5000Samples", many}, {"500Samples", few}}) {
            benchmark::RegisterBenchmark(("Grid/OpenToFirstPaint/" + name).c_str(), openToFirstPaint, path)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
            benchmark::RegisterBenchmark(("Grid/MuteAgainstRebuild/" + name).c_str(), muteAgainstRebuild, path)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
        }
        benchmark::RunSpecifiedBenchmarks();
    }
    closeWindowManagerAtoms(atomKeeper);
    benchmark::Shutdown();
    std::filesystem::remove_all(gFolder);
    return 0;
}
