#include <gtest/gtest.h>

#include "editor/ui/peer_mouse.hpp"
#include "widgets/buttons.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/paint.hpp"

namespace vt6::ui::widgets {
namespace {

using test::nearColour;

juce::Colour over(juce::Colour top, juce::Colour base) { return base.overlaidWith(top); }

TEST(V6Button, FontsAndIdealWidths) {
    V6Button surface("OPEN ZEM", 0);
    V6Button secondary("SMALL", 1);
    V6Button primary("GO", 2);
    EXPECT_EQ(surface.getFont(), makeFont(kTypeButton));
    EXPECT_EQ(secondary.getFont(), makeFont(kTypeButtonSmall));
    EXPECT_EQ(primary.getFont(), makeFont(kTypeButton));

    const float text = makeFont(kTypeButton).getStringWidthFloat("OPEN ZEM");
    EXPECT_EQ(surface.getIdealWidth(), static_cast<int>(std::lround(text + 28.0f)));

    V6Button icon("", 0);
    icon.setIcon(10);
    EXPECT_EQ(icon.getIdealWidth(), 31);  // 0.22 x 13 + 28 = 30.86
    icon.setIcon(4);
    EXPECT_EQ(icon.getIdealWidth(), 39);  // 0.82 x 13 + 28 = 38.66

    surface.setFontScale(2.0f);
    EXPECT_FLOAT_EQ(surface.getFont().getHeight(), 26.0f);
    surface.setFontRole(kTypeMenu);
    EXPECT_FLOAT_EQ(surface.getFont().getHeight(), 30.0f);
}

TEST(V6Button, ColoursByStyleAndState) {
    const auto c = [](ThemeColour role) { return themeColour(role); };
    const auto danger153 = c(ThemeColour::danger).withAlpha(static_cast<juce::uint8>(153));

    V6Button surface("A", 0);
    EXPECT_EQ(surface.coloursFor(false, false).outline, c(ThemeColour::border));
    EXPECT_EQ(surface.coloursFor(false, false).content, c(ThemeColour::textSecondary));
    EXPECT_EQ(surface.coloursFor(true, false).content, c(ThemeColour::textPrimary));
    EXPECT_EQ(surface.coloursFor(true, true).fill, c(ThemeColour::surfaceRaised));  // pressing changes nothing
    surface.setFillColour(ThemeColour::panelBackground);
    surface.setTone(1);
    EXPECT_EQ(surface.coloursFor(true, false).fill, c(ThemeColour::panelBackground));
    EXPECT_EQ(surface.coloursFor(true, false).outline, danger153);
    surface.setActive(true);  // active wins over the danger tone in style 0
    EXPECT_EQ(surface.coloursFor(false, false).fill, c(ThemeColour::accentWash));
    EXPECT_EQ(surface.coloursFor(false, false).content, c(ThemeColour::accent));

    V6Button secondary("B", 1);
    secondary.setActive(true);
    secondary.setTone(1);  // ...but not in style 1
    EXPECT_EQ(secondary.coloursFor(false, false).content, c(ThemeColour::danger));
    EXPECT_EQ(secondary.coloursFor(false, false).fill, c(ThemeColour::surfaceRaised));

    V6Button primary("C", 2);
    EXPECT_EQ(primary.coloursFor(false, false).fill, c(ThemeColour::accent));
    EXPECT_EQ(primary.coloursFor(false, true).fill.getAlpha(), 217);  // 255 x 0.85 rounded
    EXPECT_EQ(primary.coloursFor(true, true).content, c(ThemeColour::textOnAccent));
}

TEST(V6Button, PaintsItsFaceAndFadesWhenDisabled) {
    juce::Component parent;
    V6Button button("OK", 0);
    parent.addAndMakeVisible(button);
    parent.setSize(100, 30);
    button.setBounds(0, 0, 100, 30);
    const auto background = juce::Colours::black;

    auto image = test::render(button, background);
    EXPECT_EQ(image.getPixelAt(6, 15), themeColour(ThemeColour::surfaceRaised));
    EXPECT_EQ(image.getPixelAt(50, 0), themeColour(ThemeColour::border));
    // Radius 10 at height 30: the corner pixel stays background, 10 px in is face.
    EXPECT_EQ(image.getPixelAt(1, 1), background);
    EXPECT_EQ(image.getPixelAt(10, 3), themeColour(ThemeColour::surfaceRaised));

    parent.setEnabled(false);  // a disabled parent is enough
    image = test::render(button, background);
    EXPECT_TRUE(nearColour(image.getPixelAt(6, 15),
                           over(themeColour(ThemeColour::surfaceRaised).withAlpha(0.35f), background)));
}

TEST(V6Button, SmallHeightGetsHalfHeightRadius) {
    V6Button button("", 2);
    button.setSize(40, 12);
    const auto image = test::render(button, juce::Colours::black);
    // Radius 6: the pixel one in from the corner is still outside the face.
    EXPECT_EQ(image.getPixelAt(0, 0), juce::Colours::black);
    EXPECT_EQ(image.getPixelAt(6, 6), themeColour(ThemeColour::accent));
}

TEST(V6IconButton, GlyphBoxWithAndWithoutLabel) {
    V6IconButton button(6, "Play");
    button.setSize(40, 24);
    EXPECT_EQ(button.glyphBox(), juce::Rectangle<float>(0, 0, 40, 24));
    button.setLabel("PLAY");
    EXPECT_EQ(button.glyphBox(), juce::Rectangle<float>(0, 0, 24, 24));
}

TEST(V6IconButton, GlyphsDrawInTheContentColour) {
    struct Case {
        int id;
        int x, y;  // a pixel inside the glyph on a 40 x 40 face
    };
    const Case cases[] = {{6, 17, 20}, {7, 20, 20}, {16, 20, 16}, {18, 20, 20}, {19, 17, 20}, {14, 20, 10}};
    for (const auto& c : cases) {
        V6IconButton button(c.id, "x");
        button.setSize(40, 40);
        const auto image = test::render(button);
        EXPECT_TRUE(nearColour(image.getPixelAt(c.x, c.y), themeColour(ThemeColour::textSecondary), 40))
            << c.id << " " << image.getPixelAt(c.x, c.y).toDisplayString(true);
    }
}

TEST(V6IconButton, RedoMirrorsUndo) {
    const auto glyph = [](int id) {
        return test::draw(40, 40, [id](juce::Graphics& g) {
            V6IconButton::drawGlyph(g, id, {0, 0, 40, 40}, 17.5f, juce::Colours::white, 0);
        });
    };
    const auto undo = glyph(14), redo = glyph(15);
    int lit = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            EXPECT_NEAR(undo.getPixelAt(x, y).getAlpha(), redo.getPixelAt(39 - x, y).getAlpha(), 40);
            lit += undo.getPixelAt(x, y).getAlpha() > 128;
        }
    EXPECT_GT(lit, 50);
    // The head of the undo arrow sits on the left.
    EXPECT_GT(undo.getPixelAt(12, 16).getAlpha(), 128);
}

TEST(V6IconButton, VariantsChooseFaceAndColour) {
    V6IconButton bare(7, "Stop");
    bare.setSize(30, 30);
    bare.setVariant(2);
    bare.setActive(true);
    auto image = test::render(bare, juce::Colours::black);
    EXPECT_EQ(image.getPixelAt(2, 15), juce::Colours::black);  // no face
    EXPECT_TRUE(nearColour(image.getPixelAt(15, 15), themeColour(ThemeColour::accent)));

    V6IconButton bordered(7, "Stop");
    bordered.setSize(30, 30);
    bordered.setActive(true);
    image = test::render(bordered, juce::Colours::black);
    EXPECT_EQ(image.getPixelAt(4, 15), themeColour(ThemeColour::surfaceRaised));
    EXPECT_EQ(image.getPixelAt(15, 0), themeColour(ThemeColour::accent));  // active outline
}

TEST(V6IconButton, CharacterGlyphZeroDrawsNothing) {
    const auto image = test::draw(30, 30, [](juce::Graphics& g) {
        V6IconButton::drawGlyph(g, 24, {0, 0, 30, 30}, 17.5f, juce::Colours::white, 0);
    });
    EXPECT_FALSE(test::anyPixel(image, [](juce::Colour c) { return c.getAlpha() != 0; }));
    const auto withChar = test::draw(30, 30, [](juce::Graphics& g) {
        V6IconButton::drawGlyph(g, 24, {0, 0, 30, 30}, 17.5f, juce::Colours::white, 'M');
    });
    EXPECT_TRUE(test::anyPixel(withChar, [](juce::Colour c) { return c.getAlpha() > 128; }));
}

// Two buttons in a window of their own, after a panel that holds the
// keyboard first.
struct FocusStage : juce::Component {
    juce::Component panel;
    V6Button first{"FIRST", 0};
    V6IconButton second{14, "Undo"};
    int firstClicks = 0, secondClicks = 0;
    FocusStage() {
        setSize(300, 100);
        panel.setWantsKeyboardFocus(true);
        panel.setBounds(0, 60, 300, 40);
        addAndMakeVisible(panel);
        first.setBounds(10, 10, 120, 32);
        second.setBounds(150, 10, 32, 32);
        first.onClick = [this] { ++firstClicks; };
        second.onClick = [this] { ++secondClicks; };
        addAndMakeVisible(first);
        addAndMakeVisible(second);
        addToDesktop(0);
        setVisible(true);
        test::pumpUntil([this] { return isShowing(); });
        panel.grabKeyboardFocus();
        test::pumpUntil([this] { return panel.hasKeyboardFocus(false); }, 1000);
    }
    ~FocusStage() override { removeFromDesktop(); }
    void paint(juce::Graphics& g) override { g.fillAll(juce::Colours::black); }
    void key(int code) { getPeer()->handleKeyPress(juce::KeyPress(code)); }
};

TEST(ButtonFocus, AClickLeavesNoHiddenFocusAndTabShowsARingThatReturnPresses) {
    FocusStage stage;
    test::PeerMouse mouse{stage};
    mouse.gesture({70.0f, 26.0f});
    EXPECT_EQ(stage.firstClicks, 1);
    EXPECT_FALSE(stage.first.hasKeyboardFocus(false));
    // A key after a click presses nothing the user cannot see.
    stage.key(juce::KeyPress::returnKey);
    test::pumpFor(50);
    EXPECT_EQ(stage.firstClicks, 1);

    // Tab walks the buttons, each drawn with the accent ring while it holds
    // the keyboard; Return then presses the one with the ring.
    const auto ringAt = [&](juce::Component& b) {
        const auto shot = stage.createComponentSnapshot(b.getBounds());
        return nearColour(shot.getPixelAt(b.getWidth() / 2, 1), themeColour(ThemeColour::accent), 40);
    };
    EXPECT_FALSE(ringAt(stage.first));
    stage.key(juce::KeyPress::tabKey);
    ASSERT_TRUE(test::pumpUntil([&] { return stage.first.hasKeyboardFocus(false); }, 1000));
    EXPECT_TRUE(ringAt(stage.first));
    EXPECT_FALSE(ringAt(stage.second));
    stage.key(juce::KeyPress::tabKey);
    ASSERT_TRUE(test::pumpUntil([&] { return stage.second.hasKeyboardFocus(false); }, 1000));
    EXPECT_FALSE(ringAt(stage.first));
    EXPECT_TRUE(ringAt(stage.second));
    stage.key(juce::KeyPress::returnKey);
    test::pumpUntil([&] { return stage.secondClicks == 1; }, 500);
    EXPECT_EQ(stage.secondClicks, 1);
    EXPECT_EQ(stage.firstClicks, 1);
}

}  // namespace
}  // namespace vt6::ui::widgets
