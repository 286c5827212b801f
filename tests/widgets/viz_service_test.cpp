#include <gtest/gtest.h>

#include <functional>

#include "widgets/viz_service.hpp"

namespace vt6::ui::widgets {
namespace {

struct Client : V6VizService::Client {
    std::vector<double> ticks;
    bool active = true;
    std::function<void()> onTick;
    void tick(double clock) override {
        ticks.push_back(clock);
        if (onTick) onTick();
    }
    bool isActive() override { return active; }
};

TEST(VizService, GateHoldsTheClockAndResumesByOneStep) {
    V6VizService clock;
    Client client;
    clock.addClient(&client);
    bool open = false;
    clock.setGate([&] { return open; });
    for (int i = 0; i < 10; ++i) clock.timerCallback();
    EXPECT_EQ(clock.clock(), 0.0);
    EXPECT_TRUE(client.ticks.empty());
    open = true;
    clock.timerCallback();
    EXPECT_DOUBLE_EQ(clock.clock(), 0.033);
    ASSERT_EQ(client.ticks.size(), 1u);
    EXPECT_DOUBLE_EQ(client.ticks[0], 0.033);
}

TEST(VizService, RegistrationDuringATick) {
    V6VizService clock;
    Client first, second, late;
    clock.addClient(&first);
    clock.addClient(&first);  // one entry only
    clock.addClient(&second);
    EXPECT_EQ(clock.clients().size(), 2u);

    first.onTick = [&] {
        clock.removeClient(&second);
        clock.addClient(&late);
    };
    clock.timerCallback();
    EXPECT_EQ(first.ticks.size(), 1u);
    EXPECT_TRUE(second.ticks.empty());  // unregistered by an earlier client in the same tick
    EXPECT_TRUE(late.ticks.empty());    // registered during the tick: next tick
    first.onTick = nullptr;
    clock.timerCallback();
    EXPECT_EQ(late.ticks.size(), 1u);
}

TEST(VizService, InactiveClientsAreSkippedButTheClockRuns) {
    V6VizService clock;
    Client client;
    client.active = false;
    clock.addClient(&client);
    clock.timerCallback();
    clock.timerCallback();
    EXPECT_TRUE(client.ticks.empty());
    EXPECT_DOUBLE_EQ(clock.clock(), 0.066);
}

TEST(VizService, TimerRunsOnlyWhileStartedWithClients) {
    V6VizService clock;
    Client a, b;
    struct Step {
        const char* what;
        std::function<void()> act;
        bool running;
    };
    const Step steps[] = {
        {"started, nobody listens", [&] { clock.start(33); }, false},
        {"first client", [&] { clock.addClient(&a); }, true},
        {"second client", [&] { clock.addClient(&b); }, true},
        {"one of two leaves", [&] { clock.removeClient(&a); }, true},
        {"last client leaves", [&] { clock.removeClient(&b); }, false},
        {"a client returns", [&] { clock.addClient(&a); }, true},
        {"stopped with a client", [&] { clock.stop(); }, false},
        {"client added while stopped", [&] { clock.addClient(&b); }, false},
        {"started again", [&] { clock.start(33); }, true},
        {"removing a stranger", [&] { clock.removeClient(nullptr); }, true},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(clock.isTimerRunning(), step.running) << step.what;
        if (step.running) {
            EXPECT_EQ(clock.getTimerInterval(), 33) << step.what;
        }
    }

    // The last client leaving from inside its own tick stops the timer too.
    clock.removeClient(&b);
    a.onTick = [&] { clock.removeClient(&a); };
    clock.timerCallback();
    EXPECT_FALSE(clock.isTimerRunning());
    EXPECT_TRUE(clock.clients().empty());
}

TEST(ChipFlashTracker, EnvelopeByAge) {
    const std::pair<uint32_t, float> cases[] = {{0, 0.0f},   {35, 0.5f},  {70, 1.0f},        {349, 1.0f},
                                                {350, 1.0f}, {525, 0.5f}, {699, 1.0f / 350}, {700, 0.0f}};
    ChipFlashTracker flashes;
    flashes.resize(2);
    ASSERT_TRUE(flashes.trigger(1, 1000));
    for (const auto& [age, level] : cases) EXPECT_NEAR(flashes.level(1, 1000 + age), level, 1e-5) << age;
    EXPECT_EQ(flashes.level(0, 1000), 0.0f);  // never lit
    EXPECT_EQ(flashes.level(5, 1000), 0.0f);  // outside
    EXPECT_FALSE(flashes.trigger(2, 1000));
}

TEST(ChipFlashTracker, RetriggerRestartsWithoutDuplicating) {
    ChipFlashTracker flashes;
    flashes.resize(3);
    flashes.trigger(2, 0);
    flashes.trigger(2, 600);
    EXPECT_EQ(flashes.level(2, 600), 0.0f);
    EXPECT_EQ(flashes.litList(), std::vector<uint32_t>{2});
    flashes.expire(1200);  // age 600: still running
    EXPECT_TRUE(flashes.isLit(2));
    flashes.expire(1300);
    EXPECT_FALSE(flashes.isLit(2));
    EXPECT_TRUE(flashes.litList().empty());
}

TEST(ChipFlashTracker, ExpireKeepsOrderOfSurvivors) {
    ChipFlashTracker flashes;
    flashes.resize(4);
    flashes.trigger(3, 0);
    flashes.trigger(0, 500);
    flashes.trigger(1, 100);
    flashes.expire(750);  // 3 is 750 old, 1 is 650, 0 is 250
    EXPECT_EQ(flashes.litList(), (std::vector<uint32_t>{0, 1}));
}

TEST(ChipFlashTracker, ResizeDropsItemsBeyondTheEnd) {
    ChipFlashTracker flashes;
    flashes.resize(6);
    flashes.trigger(5, 0);
    flashes.trigger(1, 0);
    flashes.resize(3);
    EXPECT_EQ(flashes.litList(), std::vector<uint32_t>{1});
    EXPECT_TRUE(flashes.isLit(1));
    flashes.resize(6);
    EXPECT_FALSE(flashes.isLit(5));
    EXPECT_EQ(flashes.level(5, 10), 0.0f);
}

TEST(ChipFlashTracker, AgeSurvivesCounterWrap) {
    ChipFlashTracker flashes;
    flashes.resize(1);
    const uint32_t start = 0xFFFFFFFFu - 9;
    flashes.trigger(0, start);
    EXPECT_NEAR(flashes.level(0, 25), 0.5f, 1e-5);  // 35 ms after the trigger, across the wrap
    flashes.expire(100);
    EXPECT_TRUE(flashes.isLit(0));
}

}  // namespace
}  // namespace vt6::ui::widgets
