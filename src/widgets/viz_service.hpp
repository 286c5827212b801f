#pragma once
// The program's single animation clock and the per-item flash envelope of
// triggered chips.

#include <juce_events/juce_events.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace vt6::ui::widgets {

// The clock's timer runs only while it has been started and a registered
// client wants ticks: an idle window must not wake the process 30 times a
// second for nothing. A client that stops wanting ticks lets the timer stop
// after the tick that told it; one that wants them again calls wake().
class V6VizService : private juce::Timer {
public:
    class Client {
    public:
        virtual ~Client() = default;
        virtual void tick(double clockSeconds) = 0;
        virtual bool isActive() = 0;
    };

    V6VizService() = default;
    ~V6VizService() override;

    void setGate(std::function<bool()> gate) { gate_ = std::move(gate); }
    void addClient(Client* client);
    void removeClient(Client* client);

    // Ticks every intervalMs while clients are registered; stop() ends that.
    void start(int intervalMs);
    void stop();
    // Restarts the ticks after every client had gone quiet.
    void wake() { runTimerWhileNeeded(); }
    bool isStarted() const noexcept { return intervalMs_ > 0; }
    using juce::Timer::getTimerInterval;
    using juce::Timer::isTimerRunning;

    double clock() const noexcept { return clock_; }
    const std::vector<Client*>& clients() const noexcept { return clients_; }

    void timerCallback() override;

private:
    std::vector<Client*> clients_;
    void runTimerWhileNeeded();
    bool anyClientActive();

    std::function<bool()> gate_;
    double clock_ = 0.0;
    int intervalMs_ = 0;
};

// Times are the system's millisecond counter and are compared by unsigned
// wrap-around subtraction, so a flash survives the counter wrapping.
class ChipFlashTracker {
public:
    void resize(size_t count);
    bool trigger(size_t item, uint32_t now);
    float level(size_t item, uint32_t now) const;
    void expire(uint32_t now);

    const std::vector<uint32_t>& litList() const noexcept { return litList_; }
    bool isLit(size_t item) const noexcept { return item < lit_.size() && lit_[item] != 0; }

private:
    std::vector<uint32_t> startTimes_;
    std::vector<uint8_t> lit_;
    std::vector<uint32_t> litList_;
};

}  // namespace vt6::ui::widgets
