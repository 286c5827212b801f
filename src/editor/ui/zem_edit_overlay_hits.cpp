// The overlay's hit analysis: measuring recorded hit levels on a thread of its
// own, taking the results back on the 100 ms tick, and AUTO-SORT (measure what
// is missing, then sort) with its progress box and Cancel.
#include "editor/ui/zem_edit_overlay.hpp"

#include <exception>
#include <utility>

#include "editor/ui/hit_sort_progress.hpp"
#include "editor/ui/user_messages.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

namespace {

// The analysis thread's body. It touches nothing but the record; `done` is
// its last write, so everything else it wrote is visible to whoever sees it.
void runHitAnalysis(const std::shared_ptr<ZemEditOverlay::HitSortWork>& work, const HitAnalysisHook& hook) {
    const std::function<bool()> cancelled = [work] { return work->cancel.load(); };
    const std::function<void(uint64_t, uint64_t)> progress = [work, &hook, &cancelled](uint64_t finished, uint64_t) {
        work->progress.store(finished);
        if (hook) hook(finished, cancelled);
    };
    try {
        if (hook) hook(0, cancelled);
        logic::analyzeHitSort(work->job, cancelled, progress);
    } catch (...) {
        // Anything, allocation failures included: the rows measured so far stay.
        try {
            work->error = "analysis threw";
        } catch (...) {
        }
    }
    work->done.store(true, std::memory_order_release);
}

HitSortProgress* progressBoxOf(const std::unique_ptr<juce::Component>& box) {
    // The slot only ever holds the progress box.
    return static_cast<HitSortProgress*>(box.get());
}

}  // namespace

void ZemEditOverlay::startHitAnalysis(bool apply, bool alternate) {
    if (!loaded()) return;
    if (hitWork != nullptr) {
        // One run at a time: a sort request rides on the run in progress
        // unless that run is being cancelled.
        if (apply && !hitWork->cancel.load()) {
            hitWork->applyWhenDone = true;
            hitWork->alternate = alternate;
            showHitSortProgress();
        }
        return;
    }

    analysedContentRevision = static_cast<int64_t>(document().generation);
    analysedGeneration = static_cast<int64_t>(viewModel.sourceGeneration);
    logic::HitSortInput job = viewModel.prepareHitSort();

    if (job.rows.empty()) {
        if (apply) {
            document().applyAutoSort(alternate);
            document().rebuildIndexes();
            if (document().layoutRevision != builtRevision) {
                rebuildStructure();
                return;
            }
        }
        // Cached levels may have been given out by prepareHitSort.
        if (loaded()) refreshAll();
        return;
    }

    auto work = std::make_shared<HitSortWork>();
    work->job = std::move(job);
    work->applyWhenDone = apply;
    work->alternate = alternate;
    // The thread is started before the record is published: a refused start
    // leaves no run behind that the tick would wait on forever.
    try {
        hitThread = startHitThread([work, hook = hitAnalysisHook()] { runHitAnalysis(work, hook); });
    } catch (const std::exception&) {
        // The stamps taken above stay, so the tick does not retry every
        // 100 ms; AUTO-SORT pressed again does.
        if (loaded()) refreshAll();
        if (apply) showAutoSortWarning(0);
        return;
    }
    hitWork = std::move(work);
    if (apply) showHitSortProgress();
}

void ZemEditOverlay::pollHitSort() {
    if (hitWork == nullptr) {
        if (static_cast<int64_t>(document().generation) != analysedContentRevision ||
            static_cast<int64_t>(viewModel.sourceGeneration) != analysedGeneration)
            startHitAnalysis(false, false);
        // Nothing runs and nothing is left to measure: the tick sleeps until
        // the document changes (wakeIdleTicks).
        if (hitWork == nullptr) hitSortTimer.stopTimer();
        return;
    }

    const std::shared_ptr<HitSortWork> work = hitWork;
    if (auto* box = progressBoxOf(hitSortProgress)) {
        const auto total = work->job.rows.size();
        box->progress = total > 0 ? static_cast<double>(work->progress.load()) / static_cast<double>(total) : 0.0;
    }
    if (!work->done.load(std::memory_order_acquire)) return;

    // Done is the thread's last write, but it still has to unwind.
    retireHitThread(std::move(hitThread));
    hitWork.reset();
    closeHitSortProgress();

    // Cancelled: nothing applied; the stamps of the cancelled run stay, so a
    // new run starts by itself only when the samples change.
    if (work->cancel.load()) return;

    if (work->job.sourceGeneration != viewModel.sourceGeneration) {
        // Another document was opened, created or reset meanwhile: drop the
        // stale run (and any sort it carried) and measure the new one.
        analysedContentRevision = -1;
        return;
    }

    viewModel.applyHitSort(work->job);
    document().rebuildIndexes();
    if (loaded()) refreshAll();

    if (!work->applyWhenDone) return;
    uint32_t failedSamples = 0;
    for (const auto& row : work->job.rows)
        if (!row.error.empty()) ++failedSamples;
    if (failedSamples > 0 || !work->error.empty()) {
        showAutoSortWarning(failedSamples);
        return;
    }
    // Every level is cached now, so this sorts at once (or measures again
    // when the samples changed in between, with the sort still asked for).
    startHitAnalysis(true, work->alternate);
}

void ZemEditOverlay::showHitSortProgress() {
    if (hitSortProgress != nullptr) return;
    auto box = std::make_unique<HitSortProgress>();
    auto* cancel = &box->cancelButton;
    cancel->onClick = [this, cancel] {
        if (hitWork != nullptr) {
            hitWork->cancel.exchange(true);
            hitWork->applyWhenDone = false;
        }
        cancel->setEnabled(false);
        cancel->setButtonText("Canceling");
    };
    hitSortProgress = std::move(box);
    hitSortProgress->setVisible(true);
    addChildComponent(*hitSortProgress);
    hitSortProgress->setCentrePosition(getWidth() / 2, getHeight() / 2);
    hitSortProgress->toFront(true);
    repaint(hitSortProgress->getBounds().expanded(16));
}

void ZemEditOverlay::closeHitSortProgress() {
    if (hitSortProgress == nullptr) return;
    const auto area = hitSortProgress->getBounds();
    removeChildComponent(hitSortProgress.get());
    hitSortProgress.reset();
    // The accent glow around the box is painted by the overlay itself.
    repaint(area.expanded(16));
}

void ZemEditOverlay::showAutoSortWarning(uint32_t failedSamples) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::WarningIcon)
                             .withTitle("Auto Sort")
                             .withMessage(juce::String::fromUTF8(maker::analysisErrorText(failedSamples).c_str()))
                             .withButton("OK")
                             .withAssociatedComponent(this);
    widgets::showMessageBoxAsync(options);
}

}  // namespace vt6::ui::zemedit
