#pragma once
// The message thread's longest stall while something runs: a probe thread
// posts to the message thread every 2 ms and keeps the longest wait for a
// post to run. Needs the framework's message manager.

#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace vt6::bench {

using StallClock = std::chrono::steady_clock;

inline double msSince(StallClock::time_point t) {
    return std::chrono::duration<double, std::milli>(StallClock::now() - t).count();
}

class StallProbe {
public:
    StallProbe() : thread_([this] { run(); }) {}
    ~StallProbe() {
        stop_ = true;
        thread_.join();
    }
    StallProbe(const StallProbe&) = delete;
    StallProbe& operator=(const StallProbe&) = delete;
    double longestMs() const { return longest_->load(); }

private:
    void run() {
        while (!stop_) {
            const auto posted = StallClock::now();
            auto longest = longest_;
            juce::MessageManager::callAsync([posted, longest] {
                const double waited = msSince(posted);
                double seen = longest->load();
                while (waited > seen && !longest->compare_exchange_weak(seen, waited)) {
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    std::shared_ptr<std::atomic<double>> longest_ = std::make_shared<std::atomic<double>>(0.0);
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace vt6::bench
