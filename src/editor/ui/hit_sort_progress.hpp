#pragma once
// The small box the editor shows while AUTO-SORT waits for its measurements:
// a title, a progress bar and a Cancel button. The overlay owns it, centres it
// and sets its fraction on every poll; the box itself knows nothing of the run.
//
// Also the two seams of the analysis thread: how the thread is started (tests
// make the start fail) and a hook the thread calls as it goes (tests hold the
// run at a chosen sample instead of waiting for it).

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <thread>

#include "widgets/buttons.hpp"

namespace vt6::ui::zemedit {

class HitSortProgress : public juce::Component {
public:
    static constexpr int kWidth = 380;
    static constexpr int kHeight = 132;

    HitSortProgress();
    ~HitSortProgress() override;

    void paint(juce::Graphics&) override;
    void resized() override;

    // Fraction done, 0..1; the bar reads it on its own timer.
    double progress = 0.0;
    juce::ProgressBar bar{progress};
    widgets::V6Button cancelButton{"Cancel", 0};
};

// Starts the analysis thread running `body`. The default makes a std::thread
// and, like it, throws std::system_error when the system refuses a thread.
using HitThreadStarter = std::function<std::thread(std::function<void()> body)>;
// Replaces the starter process-wide (message thread only); empty restores the
// default.
void setHitThreadStarter(HitThreadStarter starter);
std::thread startHitThread(std::function<void()> body);

// Hands an analysis thread that was told to stop, or has finished, to a
// reaper thread that joins it, so that the message thread never waits for a
// sample's read or measurement (an empty thread is ignored). The thread must
// own everything it touches. Any thread may call.
void retireHitThread(std::thread thread);
// Waits until every handed-over thread has been joined. Runs by itself at
// program exit, so that no analysis outlives main; tests call it to see a
// run end.
void joinRetiredHitThreads();

// Called on the analysis thread with the number of samples finished: 0 before
// the first one, then after each. `cancelled` tells whether the run was asked
// to stop, so a hook that waits can give up. What it throws ends the run as
// an exception in the analysis does. Test-only; empty in the program.
using HitAnalysisHook = std::function<void(uint64_t finished, const std::function<bool()>& cancelled)>;
// Set on the message thread; a run takes a copy when it starts, so changing
// it never races with a running thread.
void setHitAnalysisHook(HitAnalysisHook hook);
HitAnalysisHook hitAnalysisHook();

}  // namespace vt6::ui::zemedit
