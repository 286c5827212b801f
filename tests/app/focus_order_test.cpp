// Tab through the real main window with a zem open: the stops follow the
// layout from the header row to the editor's quit button, every control that
// takes keys is one of them, and each shows the focus ring when reached.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "app/application.hpp"
#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "app/main_component_access.hpp"
#include "widgets/buttons.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/theme.hpp"

namespace vt6::maker {
namespace {

juce::String describe(juce::Component* c) {
    if (c == nullptr) return "nothing";
    juce::String text = c->getTitle().isNotEmpty() ? c->getTitle() : c->getName();
    if (auto* b = dynamic_cast<juce::Button*>(c); b != nullptr && b->getTooltip().isNotEmpty())
        text << " (" << b->getTooltip() << ")";
    return text << " at " << c->getScreenBounds().toString();
}

// The controls a user can operate by keys: buttons and drop-downs.
void collectKeyControls(juce::Component& root, std::vector<juce::Component*>& out) {
    for (auto* child : root.getChildren()) {
        const bool control = dynamic_cast<juce::Button*>(child) != nullptr || dynamic_cast<juce::ComboBox*>(child) != nullptr;
        if (control && child->isShowing() && child->isEnabled() && child->getWantsKeyboardFocus()) out.push_back(child);
        collectKeyControls(*child, out);
    }
}

// What the window shows where a stop is: for the editor, its grid frame.
juce::Rectangle<int> shownArea(MainComponent& main, juce::Component* stop) {
    if (stop == main.overlay())
        return main.getLocalArea(stop, main.overlay()->gridFrameBounds()).expanded(1);
    return main.getLocalArea(stop, stop->getLocalBounds());
}

int accentPixels(const juce::Image& image) {
    const auto accent = ui::themeColour(ui::ThemeColour::accent);
    int n = 0;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (test::nearColour(image.getPixelAt(x, y), accent, 40)) ++n;
    return n;
}

struct Stop {
    juce::Component* component;
    juce::Rectangle<int> area;  // in the main component
    juce::Image focused;
};

TEST(FocusOrder, TabFollowsTheLayoutFromTheHeaderToTheQuitButtonAndEveryStopShowsTheRing) {
    test::ScopedFakeAudio fake;
    Application::Window window;
    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    MainComponentTestAccess(*main).mountNew();
    auto* overlay = main->overlay();
    std::vector<float> audio(4410, 0.1f);
    ASSERT_NE(overlay->viewModel.addSampleFromPcm("Snare", std::move(audio), 1, 44100, 0.1, 0, 0, 0, fmt::HitLevel{},
                                                  false),
              0u);
    overlay->refreshAfterCommand();
    ASSERT_TRUE(test::pumpUntil([&] { return window.isShowing(); }));
    // Where the keyboard rests by itself: the editor, without a ring.
    overlay->grabKeyboardFocus();
    ASSERT_TRUE(test::pumpUntil([&] { return overlay->hasKeyboardFocus(false); }));

    const auto press = [&](bool back) {
        window.getPeer()->handleKeyPress(
            juce::KeyPress(juce::KeyPress::tabKey, back ? juce::ModifierKeys::shiftModifier : juce::ModifierKeys(), 0));
        test::pumpFor(10);
        return juce::Component::getCurrentlyFocusedComponent();
    };

    // Once round, until the first stop comes again.
    std::vector<Stop> stops;
    for (int i = 0; i < 60; ++i) {
        auto* focused = press(false);
        ASSERT_NE(focused, nullptr);
        if (!stops.empty() && focused == stops.front().component) break;
        const auto area = shownArea(*main, focused);
        stops.push_back({focused, area, main->createComponentSnapshot(area)});
    }
    ASSERT_GE(stops.size(), 3u);
    juce::String order;
    for (const auto& s : stops) order << "\n  " << describe(s.component);
    SCOPED_TRACE(order.toStdString());

    // Header first, quit last.
    EXPECT_EQ(stops.front().component, &MainComponentTestAccess(*main).button("OPEN ZEM"));
    auto* quit = dynamic_cast<ui::widgets::V6IconButton*>(stops.back().component);
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(quit->iconId(), 17);  // the editor's quit ✕
    EXPECT_TRUE(overlay->isParentOf(quit));

    // Every control that takes keys is reached, and the grid too.
    std::vector<juce::Component*> controls;
    collectKeyControls(*main, controls);
    const auto reached = [&](juce::Component* c) {
        return std::any_of(stops.begin(), stops.end(), [c](const Stop& s) { return s.component == c; });
    };
    for (auto* c : controls) EXPECT_TRUE(reached(c)) << "never reached: " << describe(c);
    EXPECT_TRUE(reached(overlay)) << "the grid is no stop";

    // Along the layout: each stop lies right of the one before in its row,
    // or in a row below it; only the quit button goes back up.
    for (size_t i = 1; i + 1 < stops.size(); ++i) {
        const auto a = stops[i - 1].area, b = stops[i].area;
        const bool sameRowOnward = b.getY() < a.getBottom() && a.getY() < b.getBottom() && b.getX() > a.getX();
        const bool rowBelow = b.getY() >= a.getCentreY() && b.getCentreY() > a.getBottom() - 2;
        EXPECT_TRUE(sameRowOnward || rowBelow)
            << describe(stops[i - 1].component) << " then " << describe(stops[i].component);
    }

    // The ring: the accent outline is there while the stop holds the
    // keyboard and gone once Tab has moved on.
    // The walk above ended back at the first stop.
    for (size_t i = 0; i < stops.size(); ++i) {
        const auto& s = stops[(i + 1) % stops.size()];
        ASSERT_EQ(press(false), s.component);
        const auto& previous = stops[i];
        const int with = accentPixels(previous.focused);
        const int without = accentPixels(main->createComponentSnapshot(previous.area));
        EXPECT_GT(with, without + 20) << "no ring on " << describe(previous.component);
    }

    // Shift+Tab from where the keyboard rests by itself starts at the end.
    overlay->grabKeyboardFocus();
    test::pumpUntil([&] { return overlay->hasKeyboardFocus(false); });
    EXPECT_EQ(press(true), quit);
    EXPECT_EQ(press(true), stops[stops.size() - 2].component);
}

}  // namespace
}  // namespace vt6::maker
