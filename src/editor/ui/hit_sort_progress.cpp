#include "editor/ui/hit_sort_progress.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

// Touched on the message thread only.
HitThreadStarter& starterSlot() {
    static HitThreadStarter starter;
    return starter;
}

HitAnalysisHook& hookSlot() {
    static HitAnalysisHook hook;
    return hook;
}

// Joins retired analysis threads on a thread of its own, started when the
// first one arrives and ended when the queue runs dry. The analysis threads
// touch no static that needs destroying, so the join at exit, in this
// object's destructor, is safe whatever was destroyed before it.
class Reaper {
public:
    ~Reaper() { joinAll(); }

    void retire(std::thread thread) {
        if (!thread.joinable()) return;
        std::unique_lock<std::mutex> lock(m_);
        queue_.push_back(std::move(thread));
        if (running_) return;  // the joiner looks at the queue before it ends
        if (joiner_.joinable()) joiner_.join();  // it ended by itself: returns at once
        try {
            joiner_ = std::thread([this] { run(); });
            running_ = true;
        } catch (const std::system_error&) {
            // No thread to spare: join here rather than leave one unjoined.
            std::thread taken = std::move(queue_.back());
            queue_.pop_back();
            lock.unlock();
            taken.join();
        }
    }

    void joinAll() {
        std::unique_lock<std::mutex> lock(m_);
        idle_.wait(lock, [this] { return !running_; });
        if (joiner_.joinable()) joiner_.join();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_);
        while (!queue_.empty()) {
            std::thread next = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            next.join();
            lock.lock();
        }
        running_ = false;
        idle_.notify_all();
    }

    std::mutex m_;
    std::condition_variable idle_;
    std::deque<std::thread> queue_;
    std::thread joiner_;
    bool running_ = false;
};

Reaper& reaper() {
    static Reaper instance;
    return instance;
}

}  // namespace

HitSortProgress::HitSortProgress() {
    setSize(kWidth, kHeight);
    // The fill stands out from the box it sits in.
    bar.setColour(juce::ProgressBar::backgroundColourId, themeColour(ThemeColour::fieldBackground));
    bar.setColour(juce::ProgressBar::foregroundColourId, themeColour(ThemeColour::accent));
    addAndMakeVisible(bar);
    addAndMakeVisible(cancelButton);
}

HitSortProgress::~HitSortProgress() = default;

void HitSortProgress::paint(juce::Graphics& g) {
    widgets::paintThemedBox(g, getLocalBounds().toFloat(), static_cast<float>(Theme::instance().spacing),
                            ThemeColour::surfaceRaised);
    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(makeFont(kTypeHeading));
    g.drawText("Analyzing sample dynamics", 16, 16, std::max(0, getWidth() - 32), 28, juce::Justification::centred,
               true);
}

void HitSortProgress::resized() {
    bar.setBounds(20, 52, std::max(0, getWidth() - 40), 20);
    cancelButton.setBounds((getWidth() - 90) / 2, 88, 90, 30);
}

void setHitThreadStarter(HitThreadStarter starter) { starterSlot() = std::move(starter); }

std::thread startHitThread(std::function<void()> body) {
    if (const auto& starter = starterSlot()) return starter(std::move(body));
    return std::thread(std::move(body));
}

void retireHitThread(std::thread thread) { reaper().retire(std::move(thread)); }

void joinRetiredHitThreads() { reaper().joinAll(); }

void setHitAnalysisHook(HitAnalysisHook hook) { hookSlot() = std::move(hook); }

HitAnalysisHook hitAnalysisHook() { return hookSlot(); }

}  // namespace vt6::ui::zemedit
