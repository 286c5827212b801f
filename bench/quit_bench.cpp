// Quitting the program window: the time from the answer to the "Unsaved
// changes" question (Discard) to the end of the window, with a 5,000-sample
// zem open and the editor's background hit analysis running (the overlay
// starts it by itself shortly after the mount; the counters say whether it
// was still measuring at the answer). Ending the
// window runs the main component's destructor, which cancels and joins the
// worker and cancels the overlay's analysis (its thread is joined off the
// message thread). The floor, in the same run, is ending a
// window with no file open.
//
// Needs a display (run under xvfb-run).

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/application.hpp"
#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "widgets/message_boxes.hpp"
#include "support/window_manager_atoms.hpp"


namespace vt6::ui::zemedit {
// Whether the overlay's hit analysis is still measuring.
class HitAnalysisTestAccess {
public:
    static bool running(const ZemEditOverlay& o) {
        return o.hitWork != nullptr && o.hitThread.joinable() && !o.hitWork->done.load();
    }
    static uint64_t progress(const ZemEditOverlay& o) { return o.hitWork != nullptr ? o.hitWork->progress.load() : 0; }
};
}  // namespace vt6::ui::zemedit

namespace {

using Clock = std::chrono::steady_clock;

std::string gManyFile;
double gFloorMs = 0.0;

void pump(int ms) { juce::MessageManager::getInstance()->runDispatchLoopUntil(ms); }

vt6::maker::MainComponent* contentOf(vt6::maker::Application::Window& window) {
    return dynamic_cast<vt6::maker::MainComponent*>(window.getContentComponent());
}

// The floor: a window with nothing open goes away.
void closeEmptyWindow(benchmark::State& state) {
    vt6::test::ScopedFakeAudio fake;
    for (auto _ : state) {
        state.PauseTiming();
        auto window = std::make_unique<vt6::maker::Application::Window>();
        pump(50);
        state.ResumeTiming();
        const auto start = Clock::now();
        window.reset();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        gFloorMs += 1000.0 * seconds / 5.0;
    }
}

// From the Discard answer to the end of the window, with the large file open
// and edited.
void quitWithLargeFileOpen(benchmark::State& state) {
    vt6::test::ScopedFakeAudio fake;
    std::function<void(int)> answer;
    vt6::ui::widgets::setMessageBoxPresenter(
        [&](const juce::MessageBoxOptions&, std::function<void(int)> done) { answer = std::move(done); });
    double total = 0.0;
    int running = 0;
    uint64_t measured = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto window = std::make_unique<vt6::maker::Application::Window>();
        auto* main = contentOf(*window);
        bool quit = false;
        main->setQuitAction([&] { quit = true; });
        main->openFile(juce::File(juce::String::fromUTF8(gManyFile.c_str())));
        while (main->isBusy()) pump(1);
        if (main->overlay() == nullptr) {
            state.SkipWithError("the file did not open");
            break;
        }
        using Access = vt6::ui::zemedit::HitAnalysisTestAccess;
        main->overlay()->document().renameBand(0, "Edited");
        // The analysis starts within 100 ms of the mount; quit while it
        // measures.
        const auto mounted = Clock::now();
        while (!Access::running(*main->overlay()) && Clock::now() - mounted < std::chrono::seconds(2)) pump(1);
        pump(20);
        running += Access::running(*main->overlay()) ? 1 : 0;
        measured += Access::progress(*main->overlay());
        answer = {};
        main->requestQuit();
        if (!answer) {
            state.SkipWithError("no question");
            break;
        }
        state.ResumeTiming();
        const auto start = Clock::now();
        answer(2);
        // The framework's quit ends the message loop; then the window goes.
        if (quit) window.reset();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        if (!quit) state.SkipWithError("Discard did not quit");
    }
    const double ms = 1000.0 * total / static_cast<double>(std::max<int64_t>(1, state.iterations()));
    state.counters["quit_ms"] = ms;
    // In how many runs the analysis was still measuring at the answer, and
    // how far it had got on average (of 5,000 samples).
    state.counters["analysis_running"] = running;
    state.counters["analysis_done_samples"] =
        static_cast<double>(measured) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
    if (gFloorMs > 0.0) state.counters["vs_floor"] = ms / gFloorMs;
    vt6::ui::widgets::setMessageBoxPresenter({});
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto folder = std::filesystem::temp_directory_path() / ("zem_quit_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto config = folder / "config";
    std::filesystem::create_directories(config);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    gManyFile = vt6::test::writeKit((folder / "many.zem").string(), 5000, 8, "Many");
    void* atomKeeper = createWindowManagerAtoms();
    {
        juce::ScopedJuceInitialiser_GUI gui;
        benchmark::RegisterBenchmark("Floor/CloseEmptyWindow", closeEmptyWindow)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark("Quit/DiscardToEndOfWindow/5000Samples", quitWithLargeFileOpen)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RunSpecifiedBenchmarks();
    }
    closeWindowManagerAtoms(atomKeeper);
    benchmark::Shutdown();
    std::filesystem::remove_all(folder);
    return 0;
}
