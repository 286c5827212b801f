#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/menus.hpp"
#include "widgets/slider.hpp"

namespace vt6::ui::widgets {
namespace {

using test::pumpFor;
using test::pumpUntil;

// A slider that counts the gestures an owner would record as undo steps.
struct CountedSlider {
    explicit CountedSlider(const juce::String& name) : slider(name) {
        slider.setRange(-24.0, 24.0, 0.5);
        slider.setValue(0.0, juce::dontSendNotification);
        slider.setDoubleClickReturnValue(true, 0.0);
        slider.onDragStart = [this] { ++starts; };
        slider.onDragEnd = [this] { ++ends; };
    }
    V6HSlider slider;
    int starts = 0;
    int ends = 0;
};

// A top-level component on the virtual display holding the sliders; mouse
// and keys go in through its window peer, as the display would send them.
class Stage : public juce::Component {
public:
    Stage() {
        setSize(400, 300);
        // Not a focus taker itself: the display's focus-in can come late,
        // and a window that wants the keyboard would then take it from the
        // box or slider a test has just focused.
        setWantsKeyboardFocus(false);
        addToDesktop(juce::ComponentPeer::windowHasDropShadow);
        setVisible(true);
        pumpUntil([this] { return isShowing(); });
        // Settle the window's own focus first, so that a late focus change of
        // the display does not end a test's typing.
        getPeer()->grabFocus();
        pumpUntil([this] { return getPeer()->isFocused(); }, 1000);
        pumpFor(20);
    }
    ~Stage() override { removeFromDesktop(); }

    void send(juce::Point<float> p, juce::ModifierKeys mods) {
        clock_ += 1000;  // far apart, so that no two presses make a double-click
        getPeer()->handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, p, mods,
                                    juce::MouseInputSource::defaultPressure,
                                    juce::MouseInputSource::defaultOrientation, clock_);
        pumpFor(5);
    }
    void click(juce::Point<float> p, juce::ModifierKeys button = juce::ModifierKeys::leftButtonModifier) {
        send(p, {});
        send(p, button);
        send(p, {});
    }
    void drag(juce::Point<float> from, juce::Point<float> to,
              juce::ModifierKeys button = juce::ModifierKeys::leftButtonModifier) {
        send(from, {});
        send(from, button);
        send((from + to) / 2.0f, button);
        send(to, button);
        send(to, {});
    }
    bool key(const juce::KeyPress& k) { return getPeer()->handleKeyPress(k); }
    void paint(juce::Graphics& g) override { g.fillAll(juce::Colours::black); }

private:
    juce::int64 clock_ = juce::Time::currentTimeMillis();
};

// Records menus instead of showing them.
struct MenuRecorder {
    MenuRecorder() {
        setMenuPresenter([this](const juce::PopupMenu& menu, const juce::PopupMenu::Options&,
                                std::function<void(int)> onResult) {
            items.clear();
            for (juce::PopupMenu::MenuItemIterator it(menu); it.next();)
                items.push_back({it.getItem().itemID, it.getItem().text, it.getItem().isEnabled});
            answer = std::move(onResult);
        });
    }
    ~MenuRecorder() { setMenuPresenter({}); }
    struct Item {
        int id;
        juce::String text;
        bool enabled;
    };
    std::vector<Item> items;
    std::function<void(int)> answer;
};

TEST(SliderTouchTarget, FollowsTheSliderAndWaitsForAParent) {
    CountedSlider s("Gain");
    auto& surface = s.slider.touchTarget().surface();
    // Built without a parent: the surface is detached and hidden.
    EXPECT_EQ(surface.getParentComponent(), nullptr);
    EXPECT_FALSE(surface.isVisible());

    juce::Component parent, other;
    s.slider.setBounds(20, 30, 100, 20);
    parent.addAndMakeVisible(s.slider);
    EXPECT_EQ(surface.getParentComponent(), &parent);
    EXPECT_EQ(surface.getBounds(), juce::Rectangle<int>(15, 25, 110, 30));
    EXPECT_TRUE(surface.isVisible());

    s.slider.setBounds(40, 50, 60, 24);
    EXPECT_EQ(surface.getBounds(), juce::Rectangle<int>(35, 45, 70, 34));
    s.slider.setVisible(false);
    EXPECT_FALSE(surface.isVisible());
    s.slider.setVisible(true);
    EXPECT_TRUE(surface.isVisible());

    other.addAndMakeVisible(s.slider);
    EXPECT_EQ(surface.getParentComponent(), &other);
    EXPECT_EQ(parent.getNumChildComponents(), 0);

    other.removeChildComponent(&s.slider);
    EXPECT_EQ(surface.getParentComponent(), nullptr);
    EXPECT_FALSE(surface.isVisible());
}

TEST(SliderTouchTarget, GivesAPointToTheNearerSliderAndNeverTakesAButtons) {
    // a at y 20..40, b at y 46..66: their surfaces overlap from 41 to 45.
    struct Case {
        const char* name;
        juce::Point<float> point;
        int expectedA, expectedB, expectedButton;
        bool hideB = false;
        bool disableA = false;
    };
    const Case cases[] = {
        {"2 px below a", {200, 42}, 1, 0, 0},
        {"2 px above b", {200, 44}, 0, 1, 0},
        {"equally near: the earlier surface", {200, 43}, 1, 0, 0},
        {"3 px left of a", {17, 30}, 1, 0, 0},
        {"on a itself", {200, 30}, 1, 0, 0},
        {"a button over a's surface", {330, 17}, 0, 0, 1},
        {"b hidden: its surface takes nothing", {200, 69}, 0, 0, 0, true},
        {"a disabled: its surface takes nothing, b is too far", {200, 16}, 0, 0, 0, false, true},
        {"a disabled: the overlap goes to b", {200, 43}, 0, 1, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stage stage;
        CountedSlider a("A"), b("B");
        juce::TextButton button("Go");
        int clicks = 0;
        button.onClick = [&] { ++clicks; };
        a.slider.setBounds(20, 20, 360, 20);
        b.slider.setBounds(20, 46, 360, 20);
        button.setBounds(320, 10, 40, 9);
        stage.addAndMakeVisible(a.slider);
        stage.addAndMakeVisible(b.slider);
        stage.addAndMakeVisible(button);
        if (c.hideB) b.slider.setVisible(false);
        if (c.disableA) a.slider.setEnabled(false);

        stage.click(c.point);
        EXPECT_EQ(a.starts, c.expectedA);
        EXPECT_EQ(b.starts, c.expectedB);
        EXPECT_EQ(clicks, c.expectedButton);
    }
}

TEST(SliderTouchTarget, ForwardsDragsInTheSlidersCoordinates) {
    Stage stage;
    CountedSlider s("Gain");
    s.slider.setBounds(50, 100, 300, 20);
    stage.addAndMakeVisible(s.slider);
    // From just left of the slider to past its right end, on the surface.
    stage.drag({46, 96}, {352, 123});
    EXPECT_DOUBLE_EQ(s.slider.getValue(), 24.0);
    EXPECT_EQ(s.starts, 1);
    EXPECT_EQ(s.ends, 1);
}

TEST(V6HSlider, ArrowKeysWithoutModifiersAreOneGestureEach) {
    struct Case {
        const char* name;
        juce::KeyPress key;
        bool handled;
        double value;
        int gestures;
    };
    const Case cases[] = {
        {"Left", juce::KeyPress(juce::KeyPress::leftKey), true, -0.5, 1},
        {"Right", juce::KeyPress(juce::KeyPress::rightKey), true, 0.5, 1},
        {"Up", juce::KeyPress(juce::KeyPress::upKey), true, 0.5, 1},
        {"Down", juce::KeyPress(juce::KeyPress::downKey), true, -0.5, 1},
        {"Shift+Left", juce::KeyPress(juce::KeyPress::leftKey, juce::ModifierKeys::shiftModifier, 0), false, 0.0, 0},
        {"Ctrl+Right", juce::KeyPress(juce::KeyPress::rightKey, juce::ModifierKeys::ctrlModifier, 0), false, 0.0, 0},
        {"Alt+Right", juce::KeyPress(juce::KeyPress::rightKey, juce::ModifierKeys::altModifier, 0), false, 0.0, 0},
        {"Home", juce::KeyPress(juce::KeyPress::homeKey), false, 0.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CountedSlider s("Gain");
        EXPECT_EQ(s.slider.keyPressed(c.key), c.handled);
        EXPECT_DOUBLE_EQ(s.slider.getValue(), c.value);
        EXPECT_EQ(s.starts, c.gestures);
        EXPECT_EQ(s.ends, c.gestures);
    }
}

TEST(V6HSlider, ArrowKeyThroughTheWindowReachesTheFocusedSlider) {
    Stage stage;
    CountedSlider s("Gain");
    s.slider.setBounds(50, 100, 300, 20);
    s.slider.setWantsKeyboardFocus(true);
    stage.addAndMakeVisible(s.slider);
    s.slider.grabKeyboardFocus();
    if (!pumpUntil([&] { return s.slider.hasKeyboardFocus(false); }, 1000)) GTEST_SKIP() << "no keyboard focus";
    EXPECT_TRUE(stage.key(juce::KeyPress(juce::KeyPress::rightKey)));
    EXPECT_DOUBLE_EQ(s.slider.getValue(), 0.5);
    EXPECT_EQ(s.starts, 1);
}

TEST(V6HSlider, RightClickOpensTheValueMenuAndNeverDrags) {
    Stage stage;
    MenuRecorder menus;
    CountedSlider s("Gain");
    s.slider.unit = "dB";
    s.slider.formatter = [](double v) { return juce::String(v, 1) + " dB"; };
    s.slider.setBounds(50, 100, 300, 20);
    stage.addAndMakeVisible(s.slider);

    // A left drag first, so the framework holds the state of a drag...
    stage.drag({200, 110}, {275, 110});
    const double afterDrag = s.slider.getValue();
    EXPECT_EQ(s.starts, 1);
    // ...which a right-button drag must not continue.
    stage.drag({200, 110}, {60, 110}, juce::ModifierKeys::rightButtonModifier);
    EXPECT_DOUBLE_EQ(s.slider.getValue(), afterDrag);
    EXPECT_EQ(s.starts, 1);

    ASSERT_EQ(menus.items.size(), 2u);
    EXPECT_EQ(menus.items[0].id, kTypeValueItem);
    EXPECT_EQ(menus.items[0].text, juce::String::fromUTF8("Type a value\xe2\x80\xa6"));
    EXPECT_TRUE(menus.items[0].enabled);
    EXPECT_EQ(menus.items[1].id, kResetValueItem);
    EXPECT_EQ(menus.items[1].text, "Reset to default (0.0 dB)");
    EXPECT_TRUE(menus.items[1].enabled);
}

TEST(SliderValueMenu, ItemsFollowTheSlidersState) {
    struct Case {
        const char* name;
        bool enabled, doubleClickReset;
        const char* defaultText;
        const char* resetText;
        bool typeEnabled, resetEnabled;
    };
    const Case cases[] = {
        {"enabled with a default", true, true, "0", "Reset to default (0)", true, true},
        {"no default text", true, true, "", "Reset to default", true, true},
        {"double-click reset off", true, false, "", "Reset to default", true, false},
        {"disabled", false, true, "0", "Reset to default (0)", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        juce::Slider slider;
        slider.setDoubleClickReturnValue(c.doubleClickReset, 0.0);
        slider.setEnabled(c.enabled);
        const auto menu = makeSliderValueMenu(slider, c.defaultText);
        juce::PopupMenu::MenuItemIterator it(menu);
        ASSERT_TRUE(it.next());
        EXPECT_EQ(it.getItem().isEnabled, c.typeEnabled);
        ASSERT_TRUE(it.next());
        EXPECT_EQ(it.getItem().text, c.resetText);
        EXPECT_EQ(it.getItem().isEnabled, c.resetEnabled);
        EXPECT_FALSE(it.next());
    }
}

TEST(SliderValueMenu, AnswersActOnALiveSliderOnly) {
    struct Case {
        const char* name;
        int answer;
        bool deleteFirst;
        bool entryOpen;
        double value;
        int gestures;
    };
    const Case cases[] = {
        {"type a value", kTypeValueItem, false, true, 7.0, 0},
        {"reset", kResetValueItem, false, false, -3.0, 1},
        {"dismissed", 0, false, false, 7.0, 0},
        {"slider gone: type", kTypeValueItem, true, false, 0.0, 0},
        {"slider gone: reset", kResetValueItem, true, false, 0.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stage stage;
        MenuRecorder menus;
        auto s = std::make_unique<CountedSlider>("Gain");
        s->slider.setDoubleClickReturnValue(true, -3.0);
        s->slider.setValue(7.0, juce::dontSendNotification);
        s->slider.setBounds(50, 100, 300, 20);
        stage.addAndMakeVisible(s->slider);
        stage.click({200, 110}, juce::ModifierKeys::rightButtonModifier);
        ASSERT_TRUE(menus.answer);
        if (c.deleteFirst) s.reset();
        menus.answer(c.answer);
        if (s == nullptr) continue;  // nothing to look at, and nothing crashed
        EXPECT_EQ(s->slider.valueEntry().isOpen(), c.entryOpen);
        EXPECT_DOUBLE_EQ(s->slider.getValue(), c.value);
        EXPECT_EQ(s->starts, c.gestures);
        EXPECT_EQ(s->ends, c.gestures);
    }
}

TEST(ValueEntry, OpensA72PxBoxOverASmallSliderInsideTheWindow) {
    struct Case {
        const char* name;
        juce::Rectangle<int> slider;
        juce::Rectangle<int> expected;
    };
    const Case cases[] = {
        {"middle", {100, 100, 40, 20}, {84, 99, 72, 22}},
        {"right edge", {360, 100, 40, 20}, {328, 99, 72, 22}},
        {"bottom left", {0, 290, 40, 10}, {0, 278, 72, 22}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stage stage;
        juce::Component holder;
        holder.setBounds(stage.getLocalBounds());
        stage.addAndMakeVisible(holder);
        V6HSlider slider("Gain");
        slider.setRange(-24.0, 24.0);
        slider.setBounds(c.slider);
        holder.addAndMakeVisible(slider);
        slider.valueEntry().open(slider, "0", "", "dB", {});
        auto* box = slider.valueEntry().box();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->getParentComponent(), &stage);
        EXPECT_EQ(box->getBounds(), c.expected);
        EXPECT_TRUE(stage.getLocalBounds().contains(box->getBounds()));
        EXPECT_EQ(stage.getIndexOfChildComponent(box), stage.getNumChildComponents() - 1);
        EXPECT_EQ(box->getTitle(), "Gain: type a value");
        EXPECT_EQ(box->getName(), "Gain: type a value");
        EXPECT_EQ(box->getTooltip(), juce::String::fromUTF8("-24 \xe2\x80\x93 24 dB"));
        EXPECT_EQ(box->getText(), "0");
        EXPECT_EQ(box->getHighlightedText(), "0");
    }
}

TEST(ValueEntry, TitleFallsBackToTheSliderThenValue) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"Pan", "Gain", "Pan: type a value"},
        {"", "Gain", "Gain: type a value"},
        {"", "", "Value: type a value"},
    };
    for (const auto& [title, sliderTitle, expected] : cases) {
        Stage stage;
        juce::Slider slider;
        slider.setTitle(sliderTitle);
        slider.setBounds(10, 10, 100, 20);
        stage.addAndMakeVisible(slider);
        ValueEntry entry;
        entry.open(slider, "1", title, "", {});
        ASSERT_TRUE(entry.isOpen());
        EXPECT_EQ(entry.box()->getTitle(), expected);
    }
}

TEST(ValueEntry, InAResizableWindowTheBoxGoesIntoTheContent) {
    juce::DocumentWindow window("Levels", juce::Colours::black, juce::DocumentWindow::closeButton);
    window.setUsingNativeTitleBar(false);
    window.setResizable(true, false);
    auto* content = new juce::Component();
    content->setSize(300, 200);
    window.setContentOwned(content, true);
    V6HSlider slider("Gain");
    slider.setRange(0.0, 100.0);
    slider.setBounds(270, 180, 30, 20);
    content->addAndMakeVisible(slider);
    window.setVisible(true);
    window.addToDesktop();
    pumpUntil([&] { return window.isShowing(); });

    slider.valueEntry().open(slider, "5", "", "%", {});
    auto* box = slider.valueEntry().box();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->getParentComponent(), content);
    EXPECT_EQ(box->getBounds(), juce::Rectangle<int>(228, 178, 72, 22));
    slider.valueEntry().close();
    EXPECT_EQ(content->getIndexOfChildComponent(box), -1);
}

TEST(ValueEntry, DoesNotOpenOnADisabledOrEmptySlider) {
    Stage stage;
    juce::Component holder;
    holder.setBounds(stage.getLocalBounds());
    stage.addAndMakeVisible(holder);
    juce::Slider slider;
    slider.setBounds(10, 10, 100, 20);
    holder.addAndMakeVisible(slider);
    ValueEntry entry;

    holder.setEnabled(false);
    slider.setRange(0.0, 1.0);
    entry.open(slider, "1", "", "", {});
    EXPECT_FALSE(entry.isOpen());
    holder.setEnabled(true);
    slider.setRange(2.0, 2.0);
    entry.open(slider, "2", "", "", {});
    EXPECT_FALSE(entry.isOpen());
}

TEST(ValueEntry, CommitsTypedTextAsOneGesture) {
    enum class Ending { returnKey, escapeKey, focusLost };
    struct Case {
        const char* name;
        const char* typed;
        Ending ending;
        bool open;
        double value;
        int gestures;
        bool snapToWhole = false;
    };
    const Case cases[] = {
        {"unchanged text and Return", "1.5 dB", Ending::returnKey, false, 1.5, 0},
        {"a number", "12", Ending::returnKey, false, 12.0, 1},
        {"typographic minus and comma", "  \xe2\x88\x92" "3,5 dB ", Ending::returnKey, false, -3.5, 1},
        {"above the range", "100", Ending::returnKey, false, 24.0, 1},
        {"infinity", "inf", Ending::returnKey, false, 24.0, 1},
        {"minus infinity", "-inf", Ending::returnKey, false, -24.0, 1},
        {"snapped", "3.4", Ending::returnKey, false, 3.0, 1, true},
        {"invalid text and Return stays open", "abc", Ending::returnKey, true, 1.5, 0},
        {"empty text and Return stays open", "", Ending::returnKey, true, 1.5, 0},
        {"valid text and Escape", "7", Ending::escapeKey, false, 1.5, 0},
        {"valid text and focus lost", "7", Ending::focusLost, false, 7.0, 1},
        {"invalid text and focus lost", "c5", Ending::focusLost, false, 1.5, 0},
    };
    // One window for every case: windows coming and going move the display's
    // focus at moments of their own.
    Stage stage;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        juce::TextButton elsewhere("Elsewhere");
        elsewhere.setWantsKeyboardFocus(true);
        elsewhere.setBounds(10, 250, 100, 30);
        stage.addAndMakeVisible(elsewhere);
        CountedSlider s("Gain");
        s.slider.setValue(1.5, juce::dontSendNotification);
        if (c.snapToWhole) s.slider.snap = [](double v) { return std::round(v); };
        s.slider.setBounds(50, 100, 300, 20);
        stage.addAndMakeVisible(s.slider);
        s.slider.valueEntry().open(s.slider, "1.5 dB", "", "dB", s.slider.snap);
        auto* box = s.slider.valueEntry().box();
        ASSERT_NE(box, nullptr);
        if (!pumpUntil([&] { return box->hasKeyboardFocus(true); }, 1000)) GTEST_SKIP() << "no keyboard focus";
        box->setText(juce::String::fromUTF8(c.typed), true);
        switch (c.ending) {
            case Ending::returnKey: stage.key(juce::KeyPress(juce::KeyPress::returnKey)); break;
            case Ending::escapeKey: stage.key(juce::KeyPress(juce::KeyPress::escapeKey)); break;
            case Ending::focusLost: elsewhere.grabKeyboardFocus(); break;
        }
        pumpFor(50);
        EXPECT_EQ(s.slider.valueEntry().isOpen(), c.open);
        EXPECT_DOUBLE_EQ(s.slider.getValue(), c.value);
        EXPECT_EQ(s.starts, c.gestures);
        EXPECT_EQ(s.ends, c.gestures);
        if (!c.open) {
            EXPECT_EQ(stage.getIndexOfChildComponent(box), -1);
        }
    }
}

TEST(ValueEntry, ASliderDeletedWithItsBoxOpenLeavesNothingBehind) {
    Stage stage;
    auto s = std::make_unique<CountedSlider>("Gain");
    s->slider.setBounds(50, 100, 300, 20);
    stage.addAndMakeVisible(s->slider);
    s->slider.valueEntry().open(s->slider, "0", "", "", {});
    ASSERT_TRUE(s->slider.valueEntry().isOpen());
    s.reset();
    pumpFor(50);  // a late focus loss of the box must find nothing to act on
    EXPECT_EQ(stage.getNumChildComponents(), 0);
}

TEST(V6HSlider, FineAdjustFollowsAltWhileThePointerIsInside) {
    struct Case {
        const char* name;
        bool enabled;
        bool inside;
        int calls;
        bool indicator;
    };
    const Case cases[] = {
        {"enabled, inside", true, true, 1, true},
        {"enabled, outside", true, false, 1, false},
        {"not enabled", false, true, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stage stage;
        V6HSlider slider("Gain");
        slider.fineAdjustEnabled = c.enabled;
        int calls = 0;
        slider.onFineAdjust = [&] { ++calls; };
        slider.setBounds(50, 100, 300, 20);
        stage.addAndMakeVisible(slider);
        if (c.inside) stage.send({200, 110}, {});
        slider.modifierKeysChanged(juce::ModifierKeys(juce::ModifierKeys::altModifier));
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(slider.fineIndicatorShowing(), c.indicator);
        slider.modifierKeysChanged(juce::ModifierKeys());
        EXPECT_EQ(calls, 2 * c.calls);
        EXPECT_FALSE(slider.fineIndicatorShowing());
    }
}

TEST(V6HSlider, NameIsItsAccessibleTitleAndRoleIsSlider) {
    Stage stage;
    V6HSlider slider("Room A default level");
    stage.addAndMakeVisible(slider);
    EXPECT_EQ(slider.getName(), "Room A default level");
    EXPECT_EQ(slider.getTitle(), "Room A default level");
    auto* handler = slider.getAccessibilityHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->getRole(), juce::AccessibilityRole::slider);
    EXPECT_NE(handler->getValueInterface(), nullptr);
}

TEST(V6LookAndFeel, SliderThumbRadius) {
    V6LookAndFeel lnf;
    V6HSlider ours;
    juce::Slider tall, flat;
    ours.setSize(200, 40);
    tall.setSize(200, 40);
    flat.setSize(200, 10);
    EXPECT_EQ(lnf.getSliderThumbRadius(ours), 7);
    EXPECT_EQ(lnf.getSliderThumbRadius(tall), 12);
    EXPECT_EQ(lnf.getSliderThumbRadius(flat), 5);
}

// Painting: where the thumb lands and which fill shows.
TEST(V6HSlider, PaintsTrackFillAndThumb) {
    const auto thumb = themeColour(ThemeColour::sliderThumb);
    const auto accent = themeColour(ThemeColour::accent);
    struct Case {
        const char* name;
        int width;
        int fillMode;
        double value;
        int thumbX;
        bool accentAtQuarter;  // accent shows a quarter of the way along the track
    };
    const Case cases[] = {
        {"10 px wide: the thumb clamps to 7", 10, 0, 24.0, 7, false},
        {"gradient at the minimum draws no fill", 200, 0, -24.0, 7, false},
        {"gradient at the maximum", 200, 0, 24.0, 193, true},
        {"bipolar at the centre", 200, 1, 0.0, 100, false},
        {"bipolar below the centre fills towards it", 200, 1, -24.0, 7, true},
        {"solid uses no accent", 200, 2, 24.0, 193, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        V6HSlider slider;
        slider.setRange(-24.0, 24.0);
        slider.setValue(c.value, juce::dontSendNotification);
        slider.fillMode = c.fillMode;
        slider.setSize(c.width, 20);
        const auto image = test::render(slider);
        EXPECT_TRUE(test::nearColour(image.getPixelAt(c.thumbX, 10), thumb, 8));
        const int quarter = 7 + (c.width - 14) / 4;
        const auto pixel = image.getPixelAt(quarter, 10);
        const bool accentish = pixel.getBlue() > 40 && test::nearColour(pixel.withAlpha(accent.getAlpha()), pixel) &&
                               std::abs(pixel.getHue() - accent.getHue()) < 0.05f;
        if (c.width > 14) {
            EXPECT_EQ(accentish, c.accentAtQuarter) << pixel.toDisplayString(true);
        }
    }
}

TEST(V6HSlider, DisabledFacePaintsInsideTheTransparencyLayer) {
    juce::Component parent;
    V6HSlider slider;
    slider.setRange(0.0, 1.0);
    slider.setValue(0.5, juce::dontSendNotification);
    slider.setBounds(0, 0, 200, 20);
    parent.addAndMakeVisible(slider);
    parent.setEnabled(false);
    juce::Image image(juce::Image::ARGB, 200, 20, true);
    juce::Graphics g(image);
    slider.paint(g);
    const auto centre = image.getPixelAt(100, 10);
    const int expected = juce::roundToInt(themeColour(ThemeColour::sliderThumb).getAlpha() * kDisabledOpacity);
    EXPECT_NEAR(centre.getAlpha(), expected, 3);
}

}  // namespace
}  // namespace vt6::ui::widgets
