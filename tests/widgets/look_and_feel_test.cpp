#include <gtest/gtest.h>

#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/paint.hpp"

namespace vt6::ui::widgets {
namespace {

TEST(LookAndFeel, ThemeColoursAndListenerLifetime) {
    const auto before = Theme::instance().listeners().size();
    {
        V6LookAndFeel laf;
        EXPECT_EQ(Theme::instance().listeners().size(), before + 1);
        const std::pair<int, ThemeColour> cases[] = {
            {juce::TooltipWindow::backgroundColourId, ThemeColour::popupBackground},
            {juce::TooltipWindow::textColourId, ThemeColour::textSecondary},
            {juce::TooltipWindow::outlineColourId, ThemeColour::border},
            {juce::PopupMenu::backgroundColourId, ThemeColour::popupBackground},
            {juce::PopupMenu::textColourId, ThemeColour::textSecondary},
            {juce::PopupMenu::highlightedBackgroundColourId, ThemeColour::surfaceRaised},
            {juce::PopupMenu::highlightedTextColourId, ThemeColour::textPrimary},
        };
        for (const auto& [id, role] : cases) EXPECT_EQ(laf.findColour(id), themeColour(role)) << id;
        EXPECT_EQ(laf.getPopupMenuFont().getHeight(), 15.0f);
    }
    EXPECT_EQ(Theme::instance().listeners().size(), before);
}

TEST(LookAndFeel, ComboPopupColumnsAndParent) {
    V6LookAndFeel laf;
    const std::pair<int, int> cases[] = {{17, 1}, {18, 2}, {36, 3}};
    for (const auto& [items, columns] : cases) {
        juce::Component window;
        juce::ComboBox box;
        window.addAndMakeVisible(box);
        for (int i = 1; i <= items; ++i) box.addItem(juce::String(i), i);
        juce::Label label;
        const auto options = laf.getOptionsForComboBoxPopupMenu(box, label);
        EXPECT_GE(options.getMinimumNumColumns(), columns) << items;
        EXPECT_LT(options.getMinimumNumColumns(), columns + 1) << items;
        EXPECT_EQ(options.getParentComponent(), &window) << items;
    }
    juce::ComboBox alone;  // top of its own hierarchy: the framework's parent stays
    juce::Label label;
    EXPECT_EQ(laf.getOptionsForComboBoxPopupMenu(alone, label).getParentComponent(), nullptr);
}

TEST(LookAndFeel, TooltipOpensAwayFromTheNearestCorner) {
    V6LookAndFeel laf;
    const juce::Rectangle<int> screen(0, 0, 1000, 800);
    const auto text = juce::String("Open a zem file");
    const auto font = makeFont(kTypeBody);
    const int w = static_cast<int>(std::ceil(font.getStringWidthFloat(text))) + 14;
    const int th = static_cast<int>(std::ceil(font.getHeight()));

    const auto topLeft = laf.getTooltipBounds(text, {100, 100}, screen);
    EXPECT_EQ(topLeft, juce::Rectangle<int>(124, 106, w, th + 8));

    const auto bottomRight = laf.getTooltipBounds(text, {990, 795}, screen);
    EXPECT_EQ(bottomRight.getRight(), 990 - 12);
    EXPECT_EQ(bottomRight.getY(), 795 - th - 14);
    EXPECT_TRUE(screen.contains(bottomRight));

    const auto longText = juce::String::repeatedString("wide ", 400);
    EXPECT_TRUE(screen.contains(laf.getTooltipBounds(longText, {990, 795}, screen)));
}

TEST(LookAndFeel, RadioButtonsAreThemedAndPlainTogglesAreNot) {
    V6LookAndFeel laf;
    juce::LookAndFeel_V4 plain;
    juce::ToggleButton toggle("Auto-trim");
    toggle.setSize(200, 24);
    toggle.setToggleState(true, juce::dontSendNotification);

    toggle.setLookAndFeel(&plain);
    const auto expected = test::render(toggle);
    toggle.setLookAndFeel(&laf);
    const auto ours = test::render(toggle);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 200; ++x) ASSERT_EQ(ours.getPixelAt(x, y), expected.getPixelAt(x, y)) << x << "," << y;

    toggle.setRadioGroupId(1);
    const auto radio = test::render(toggle);
    // The on dot: d = 15, e = 16.5, centred at 4 + e/2 across and 12 down.
    EXPECT_TRUE(test::nearColour(radio.getPixelAt(12, 12), themeColour(ThemeColour::accent)));
    toggle.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, ReadOnlyEditorGetsTheThinOutline) {
    V6LookAndFeel laf;
    juce::TextEditor editor;
    editor.setLookAndFeel(&laf);
    editor.setColour(juce::TextEditor::outlineColourId, juce::Colours::red);
    editor.setColour(juce::TextEditor::focusedOutlineColourId, juce::Colours::green);
    editor.setColour(juce::TextEditor::backgroundColourId, juce::Colours::black);
    editor.setSize(100, 30);
    editor.addToDesktop(juce::ComponentPeer::windowHasTitleBar);
    editor.setVisible(true);
    editor.setReadOnly(true);
    editor.grabKeyboardFocus();
    test::pumpUntil([&] { return editor.hasKeyboardFocus(true); }, 1000);

    const auto image = test::draw(100, 30, [&](juce::Graphics& g) { laf.drawTextEditorOutline(g, 100, 30, editor); });
    EXPECT_EQ(image.getPixelAt(50, 0), juce::Colours::red);
    EXPECT_EQ(image.getPixelAt(50, 1).getAlpha(), 0);  // 1 px, not 2
    editor.removeFromDesktop();
    editor.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, LabelWithOutlineIsABoxAndDisabledIsFaded) {
    V6LookAndFeel laf;
    juce::Component parent;
    juce::Label label;
    parent.addAndMakeVisible(label);
    parent.setSize(100, 24);
    label.setBounds(0, 0, 100, 24);
    label.setLookAndFeel(&laf);
    label.setColour(juce::Label::outlineColourId, juce::Colours::red);
    label.setColour(juce::Label::backgroundColourId, juce::Colours::blue);
    auto image = test::draw(100, 24, [&](juce::Graphics& g) { laf.drawLabel(g, label); });
    EXPECT_EQ(image.getPixelAt(50, 0), juce::Colours::red);
    EXPECT_EQ(image.getPixelAt(50, 12), juce::Colours::blue);

    parent.setEnabled(false);
    image = test::draw(100, 24, [&](juce::Graphics& g) { laf.drawLabel(g, label); });
    EXPECT_NEAR(image.getPixelAt(50, 12).getAlpha(), 89, 2);  // 0.35 of full
    label.setLookAndFeel(nullptr);
}

}  // namespace
}  // namespace vt6::ui::widgets
