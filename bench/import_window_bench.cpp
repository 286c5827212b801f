// The import seen from the message thread, in the real main component with a
// new zem mounted (run under xvfb-run): the longest gap between the ticks of
// a 5 ms timer while the job for 500 short files runs on the worker (the
// floor is the longest gap with no job, measured in the same run), and the
// time MainComponent::finishImport takes to add 500 samples.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/import_job.hpp"
#include "app/main_component.hpp"
#include "import_files.hpp"

namespace vt6::maker {

// Reaches the message-thread end of the job directly.
class MainComponentTestAccess {
public:
    static void finish(MainComponent& c, std::shared_ptr<ImportResult> result, ImportPage page) {
        c.finishImport(std::move(result), page);
    }
};

}  // namespace vt6::maker

namespace {

using Clock = std::chrono::steady_clock;
namespace maker = vt6::maker;

constexpr int kFiles = vt6::bench::kImportFiles;
constexpr int kFrames = vt6::bench::kImportFrames;
std::filesystem::path gDir;
std::vector<juce::File> gFiles;

void makeFiles() { vt6::bench::writeImportFiles("zem_import_window_bench", gDir, gFiles); }

// Records the longest gap between its ticks while `measuring` says so.
class GapTimer : public juce::Timer {
public:
    std::function<bool()> measuring;
    double longestMs = 0;
    void timerCallback() override {
        const auto now = Clock::now();
        const bool on = measuring();
        if (on && wasOn_) longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(now - last_).count());
        wasOn_ = on;
        last_ = now;
    }

private:
    Clock::time_point last_ = Clock::now();
    bool wasOn_ = false;
};

void pump(const std::function<bool()>& until) {
    while (!until()) juce::MessageManager::getInstance()->runDispatchLoopUntil(2);
}

void BM_MessageThreadIdleFloor(benchmark::State& state) {
    GapTimer timer;
    for (auto _ : state) {
        timer.longestMs = 0;
        const auto end = Clock::now() + std::chrono::milliseconds(1000);
        timer.measuring = [] { return true; };
        timer.startTimer(5);
        pump([&] { return Clock::now() > end; });
        timer.stopTimer();
        state.SetIterationTime(1.0);
    }
    state.counters["longest_gap_ms"] = timer.longestMs;
}
BENCHMARK(BM_MessageThreadIdleFloor)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MessageThreadDuringImport(benchmark::State& state) {
    makeFiles();
    maker::MainComponent main;
    main.settings().trimSilence = true;
    double longest = 0;
    for (auto _ : state) {
        main.mount(juce::File(), nullptr);
        GapTimer timer;
        timer.measuring = [&] { return main.isBusy(); };
        timer.startTimer(5);
        const auto start = Clock::now();
        main.import(gFiles, -1);
        // Stop as the job ends, before its end runs on the message thread.
        pump([&] { return !main.isBusy(); });
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        timer.stopTimer();
        longest = std::max(longest, timer.longestMs);
    }
    state.counters["longest_gap_ms"] = longest;
}
BENCHMARK(BM_MessageThreadDuringImport)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_FinishImport500(benchmark::State& state) {
    makeFiles();
    maker::MainComponent main;
    maker::ImportJobRequest request;
    request.files = gFiles;
    request.page = {0, 0};
    request.trim = {true, -60, -90};
    for (auto _ : state) {
        std::atomic<int> done{0};
        auto result = maker::runImportJob(request, {}, done);
        main.mount(juce::File(), nullptr);
        const auto start = Clock::now();
        maker::MainComponentTestAccess::finish(main, result, {0, 0});
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (main.overlay()->document().uidIndex.size() != kFiles) state.SkipWithError("not every sample was added");
    }
}
BENCHMARK(BM_FinishImport500)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    juce::ScopedJuceInitialiser_GUI gui;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gDir.empty()) std::filesystem::remove_all(gDir);
    return 0;
}
