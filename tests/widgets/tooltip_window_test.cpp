// The window's own tooltip, driven by pointer events through a real window:
// it shows the hovered component's tip in the theme after the delay, and no
// timer runs while the pointer is still or outside the window.

#include <gtest/gtest.h>

#include "editor/ui/peer_mouse.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/theme.hpp"
#include "widgets/tooltip_window.hpp"

namespace vt6::ui::widgets {
namespace {

using test::pumpFor;
using test::pumpUntil;

struct Tipped : juce::Component, juce::SettableTooltipClient {};

class TipStage : public juce::Component {
public:
    TipStage() {
        setLookAndFeel(&lookAndFeel);
        setSize(400, 300);
        tipped.setTooltip("Zoom in (+)");
        tipped.setBounds(20, 20, 100, 40);
        plain.setBounds(20, 200, 100, 40);
        addAndMakeVisible(tipped);
        addAndMakeVisible(plain);
        addToDesktop(0);
        setVisible(true);
        pumpUntil([this] { return isShowing(); });
    }
    ~TipStage() override {
        removeFromDesktop();
        setLookAndFeel(nullptr);
    }
    void paint(juce::Graphics& g) override { g.fillAll(juce::Colours::black); }

    V6LookAndFeel lookAndFeel;
    Tipped tipped;
    Tipped plain;
    V6TooltipWindow tip{*this};
};

TEST(TooltipWindow, ShowsTheHoveredTipInTheThemeAfterTheDelayAndThenRunsNoTimer) {
    TipStage stage;
    test::PeerMouse mouse{stage};
    mouse.send({60.0f, 40.0f}, {});
    EXPECT_TRUE(stage.tip.isArmed());
    EXPECT_FALSE(stage.tip.isVisible());
    ASSERT_TRUE(pumpUntil([&] { return stage.tip.isVisible(); }, 3000));
    EXPECT_EQ(stage.tip.shownText(), "Zoom in (+)");
    // Pointer still: nothing left to wait for.
    EXPECT_FALSE(stage.tip.isArmed());
    EXPECT_EQ(stage.tip.getBounds(),
              stage.lookAndFeel.getTooltipBounds("Zoom in (+)", {60, 40}, stage.getLocalBounds()));

    // The screenshot: the box is drawn in the popup colour with its text.
    const auto shot = stage.createComponentSnapshot(stage.getLocalBounds());
    const auto box = stage.tip.getBounds();
    EXPECT_TRUE(test::nearColour(shot.getPixelAt(box.getX() + 4, box.getCentreY()),
                                 themeColour(ThemeColour::popupBackground), 8));
    EXPECT_TRUE(test::anyPixel(shot.getClippedImage(box), [](juce::Colour c) {
        return test::nearColour(c, themeColour(ThemeColour::textSecondary), 40);
    }));

    // A small move over the same component keeps it; a click hides it.
    mouse.send({62.0f, 41.0f}, {});
    EXPECT_TRUE(stage.tip.isVisible());
    EXPECT_FALSE(stage.tip.isArmed());
    mouse.send({62.0f, 41.0f}, test::PeerMouse::held(false));
    mouse.send({62.0f, 41.0f}, {});
    EXPECT_FALSE(stage.tip.isVisible());
}

// As on desktops: after a click the control's tip stays away while the
// pointer stays on it, through moves and the wait, and comes back only once
// the pointer has left it and returned.
TEST(TooltipWindow, AClickedControlShowsNoTipUntilThePointerHasLeftIt) {
    TipStage stage;
    test::PeerMouse mouse{stage};
    mouse.send({60.0f, 40.0f}, {});
    mouse.send({60.0f, 40.0f}, test::PeerMouse::held(false));
    mouse.send({60.0f, 40.0f}, {});
    for (const auto p : {juce::Point<float>{64.0f, 42.0f}, juce::Point<float>{90.0f, 30.0f}}) {
        mouse.send(p, {});
        EXPECT_FALSE(stage.tip.isArmed());
        pumpFor(stage.tip.kDelayMs + 200);
        EXPECT_FALSE(stage.tip.isVisible()) << "tip after the click, pointer at " << p.toString();
    }

    // Out onto the window, then back: the tip returns.
    mouse.send({60.0f, 120.0f}, {});
    mouse.send({60.0f, 40.0f}, {});
    EXPECT_TRUE(stage.tip.isArmed());
    EXPECT_TRUE(pumpUntil([&] { return stage.tip.isVisible(); }, 3000));

    // Clicked, then out of the window and back in: that is leaving it too.
    mouse.send({60.0f, 40.0f}, test::PeerMouse::held(false));
    mouse.send({60.0f, 40.0f}, {});
    EXPECT_FALSE(stage.tip.isVisible());
    mouse.send({600.0f, 40.0f}, {});
    mouse.send({60.0f, 40.0f}, {});
    EXPECT_TRUE(stage.tip.isArmed());
}

// One component with two parts, each with its own tip (as the detail strip's
// audition and polarity areas): the other part is another control.
struct TwoParts : juce::Component, juce::TooltipClient {
    juce::String tip;
    juce::String getTooltip() override { return tip; }
    void mouseMove(const juce::MouseEvent& e) override { tip = e.x < getWidth() / 2 ? "Audition" : "Polarity"; }
};

TEST(TooltipWindow, AfterAClickAnotherPartOfTheSameComponentShowsItsTip) {
    TipStage stage;
    TwoParts parts;
    parts.setBounds(200, 20, 160, 40);
    stage.addAndMakeVisible(parts);
    test::PeerMouse mouse{stage};
    mouse.send({220.0f, 40.0f}, {});
    mouse.send({220.0f, 40.0f}, test::PeerMouse::held(false));
    mouse.send({220.0f, 40.0f}, {});
    mouse.send({224.0f, 41.0f}, {});
    pumpFor(stage.tip.kDelayMs + 200);
    EXPECT_FALSE(stage.tip.isVisible()) << "the clicked part shows its tip again";
    mouse.send({320.0f, 40.0f}, {});
    EXPECT_TRUE(pumpUntil([&] { return stage.tip.isVisible(); }, 3000));
    EXPECT_EQ(stage.tip.shownText(), "Polarity");
}

TEST(TooltipWindow, NoTipAndNoTimerForAComponentWithoutOneOrAPointerOutside) {
    TipStage stage;
    test::PeerMouse mouse{stage};
    mouse.send({60.0f, 220.0f}, {});
    pumpFor(stage.tip.kDelayMs + 200);
    EXPECT_FALSE(stage.tip.isVisible());
    EXPECT_FALSE(stage.tip.isArmed());

    // Leaving the window before the delay ends shows nothing and stops.
    mouse.send({60.0f, 40.0f}, {});
    EXPECT_TRUE(stage.tip.isArmed());
    mouse.send({600.0f, 40.0f}, {});
    EXPECT_FALSE(stage.tip.isArmed());
    pumpFor(stage.tip.kDelayMs + 200);
    EXPECT_FALSE(stage.tip.isVisible());
}

}  // namespace
}  // namespace vt6::ui::widgets
