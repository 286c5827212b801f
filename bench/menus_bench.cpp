// Two everyday edits of the editor on the message thread, each with a paint
// of the whole editor: dropping a dragged chip on another dynamic group (the
// move and the refresh after it) and deleting 100 selected samples through
// Delete and its confirmation. Both are set against one 33 ms animation frame
// and against a full structure rebuild with the same paint (the floor,
// measured in the same run). A document of 5,000 samples over 8 room
// channels, 4 articulations and 8 dynamic groups. Needs a display: run under
// xvfb-run.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "bench_kit.hpp"
#include "editor/ui/band_column.hpp"
#include "editor/ui/zem_chip.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/message_boxes.hpp"
#include "overlay_rebuild.hpp"

namespace {

using vt6::ui::zemedit::BandColumn;
using vt6::ui::zemedit::ZemChip;
using vt6::ui::zemedit::ZemEditDeps;
using vt6::ui::zemedit::ZemEditOverlay;
using Clock = std::chrono::steady_clock;

constexpr double kFrame = 0.033;

// The editor at the shell's size, painted by the software renderer the
// window's peer uses.
struct Mounted {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;
    juce::Image frame{juce::Image::ARGB, 1280, 689, true};

    Mounted() {
        ZemEditDeps deps;
        deps.standalone = true;
        deps.filePath = "benchmark.zem";  // adopted from memory, never read
        deps.model = std::make_shared<const vt6::fmt::Zem6Model>(vt6::bench::benchmarkKitModel({}));
        host.setSize(1280, 689);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        paint();
    }
    void paint() {
        juce::Graphics g(frame);
        host.paintEntireComponent(g, false);
    }
    std::vector<BandColumn*> columns() {
        std::vector<BandColumn*> found;
        std::function<void(juce::Component&)> walk = [&](juce::Component& c) {
            for (auto* child : c.getChildren()) {
                if (auto* column = dynamic_cast<BandColumn*>(child))
                    found.push_back(column);
                else
                    walk(*child);
            }
        };
        walk(*overlay);
        return found;
    }
    ZemChip* firstChip(BandColumn& column) {
        for (auto& chip : column.chips)
            if (chip->isVisible()) return chip.get();
        return nullptr;
    }
};

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void report(benchmark::State& state, double total, double floor) {
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["vs_rebuild"] = mean / floor;
    state.counters["vs_frame"] = mean / kFrame;
    state.counters["rebuild_ms"] = floor * 1000.0;
    state.counters["samples"] = 5000;
}

// A chip of the first group dragged to the second and dropped, then back.
void chipDrop(benchmark::State& state) {
    Mounted m;
    const double floor = vt6::bench::rebuildFloor(m);
    double total = 0.0;
    int from = 0;
    for (auto _ : state) {
        auto columns = m.columns();
        if (columns.size() < 2) {
            state.SkipWithError("no columns");
            return;
        }
        auto* chip = m.firstChip(*columns[static_cast<size_t>(from)]);
        if (chip == nullptr) {
            state.SkipWithError("no chip");
            return;
        }
        auto& target = *columns[static_cast<size_t>(1 - from)];
        const auto over = target.localPointToGlobal(target.getLocalBounds().getCentre());
        const uint64_t uid = chip->uid;
        chip->onDrag(uid, chip->localPointToGlobal(juce::Point<int>(20, 10)));
        chip->onDrag(uid, over);
        const auto t0 = Clock::now();
        chip->onDrop(uid, true);
        m.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
        if (m.overlay->document().bandIndexOf(m.overlay->document().sampleByUid(uid)->bandId) != 1 - from) {
            state.SkipWithError("the chip did not move");
            return;
        }
        from = 1 - from;
    }
    report(state, total, floor);
}

// 100 samples spread over the document, deleted by Delete and confirmed;
// undone (untimed) before the next round.
void deleteHundred(benchmark::State& state) {
    Mounted m;
    vt6::ui::widgets::setMessageBoxPresenter(
        [](const juce::MessageBoxOptions&, std::function<void(int)> done) { done(1); });
    const double floor = vt6::bench::rebuildFloor(m);
    auto& doc = m.overlay->document();
    std::vector<uint64_t> chosen;
    for (size_t i = 0; i < doc.samples.size() && chosen.size() < 100; i += 50) chosen.push_back(doc.samples[i].uid);
    const auto live = doc.liveSampleCount;
    double total = 0.0;
    for (auto _ : state) {
        doc.selection.clear();
        doc.selection.insert(chosen.begin(), chosen.end());
        m.overlay->refreshAll();
        m.paint();
        const auto t0 = Clock::now();
        m.overlay->keyPressed(juce::KeyPress(juce::KeyPress::deleteKey));
        m.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
        if (doc.liveSampleCount != live - chosen.size()) {
            state.SkipWithError("the samples were not deleted");
            break;
        }
        m.overlay->undoManager().undo();
        m.overlay->refreshAfterCommand();
    }
    vt6::ui::widgets::setMessageBoxPresenter({});
    report(state, total, floor);
    state.counters["deleted"] = static_cast<double>(chosen.size());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    {
        juce::ScopedJuceInitialiser_GUI gui;
        benchmark::RegisterBenchmark("ChipDrop/5000Samples", chipDrop)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);
        benchmark::RegisterBenchmark("Delete100Selected/5000Samples", deleteHundred)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
