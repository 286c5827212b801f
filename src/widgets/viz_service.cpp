#include "widgets/viz_service.hpp"

#include <algorithm>

namespace vt6::ui::widgets {

V6VizService::~V6VizService() { stopTimer(); }

void V6VizService::addClient(Client* client) {
    if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) clients_.push_back(client);
    runTimerWhileNeeded();
}

void V6VizService::removeClient(Client* client) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    runTimerWhileNeeded();
}

void V6VizService::start(int intervalMs) {
    intervalMs_ = std::max(intervalMs, 1);
    runTimerWhileNeeded();
}

void V6VizService::stop() {
    intervalMs_ = 0;
    stopTimer();
}

void V6VizService::runTimerWhileNeeded() {
    if (intervalMs_ > 0 && !clients_.empty()) {
        if (getTimerInterval() != intervalMs_) startTimer(intervalMs_);
    } else {
        stopTimer();
    }
}

void V6VizService::timerCallback() {
    if (gate_ && !gate_()) {
        // Hidden: the clock stands still, and sleeps once nobody wants it.
        if (!anyClientActive()) stopTimer();
        return;
    }
    // A fixed step keeps animations smooth and repeatable whatever the timer jitter.
    clock_ += 0.033;
    // Clients may register or unregister others during a tick: walk a copy and
    // skip anyone who left meanwhile.
    const std::vector<Client*> snapshot = clients_;
    for (Client* client : snapshot) {
        if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) continue;
        if (client->isActive()) client->tick(clock_);
    }
    if (!anyClientActive()) stopTimer();
}

bool V6VizService::anyClientActive() {
    const std::vector<Client*> snapshot = clients_;
    for (Client* client : snapshot)
        if (std::find(clients_.begin(), clients_.end(), client) != clients_.end() && client->isActive()) return true;
    return false;
}

void ChipFlashTracker::resize(size_t count) {
    startTimes_.resize(count, 0);
    lit_.resize(count, 0);
    litList_.erase(std::remove_if(litList_.begin(), litList_.end(), [count](uint32_t i) { return i >= count; }),
                   litList_.end());
}

bool ChipFlashTracker::trigger(size_t item, uint32_t now) {
    if (item >= lit_.size()) return false;
    if (lit_[item] == 0) {
        lit_[item] = 1;
        litList_.push_back(static_cast<uint32_t>(item));
    }
    startTimes_[item] = now;
    return true;
}

float ChipFlashTracker::level(size_t item, uint32_t now) const {
    if (item >= lit_.size() || lit_[item] == 0) return 0.0f;
    const uint32_t age = now - startTimes_[item];
    if (age < 70) return static_cast<float>(age) / 70.0f;
    if (age < 350) return 1.0f;
    if (age < 700) return 1.0f - static_cast<float>(age - 350) / 350.0f;
    return 0.0f;
}

void ChipFlashTracker::expire(uint32_t now) {
    litList_.erase(std::remove_if(litList_.begin(), litList_.end(),
                                  [&](uint32_t i) {
                                      if (now - startTimes_[i] < 700) return false;
                                      lit_[i] = 0;
                                      return true;
                                  }),
                   litList_.end());
}

}  // namespace vt6::ui::widgets
