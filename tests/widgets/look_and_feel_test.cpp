#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

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
            // Drawn by the framework's V4 code, in the palette.
            {juce::AlertWindow::backgroundColourId, ThemeColour::panelBackground},
            {juce::AlertWindow::textColourId, ThemeColour::textPrimary},
            {juce::AlertWindow::outlineColourId, ThemeColour::border},
            {juce::TextButton::buttonColourId, ThemeColour::surfaceRaised},
            {juce::TextButton::textColourOffId, ThemeColour::textSecondary},
            {juce::TextButton::buttonOnColourId, ThemeColour::accent},
            {juce::TextButton::textColourOnId, ThemeColour::textOnAccent},
            {juce::ComboBox::backgroundColourId, ThemeColour::fieldBackground},
            {juce::ComboBox::outlineColourId, ThemeColour::border},
            {juce::ComboBox::focusedOutlineColourId, ThemeColour::borderHover},
            {juce::ComboBox::textColourId, ThemeColour::textPrimary},
            {juce::ComboBox::arrowColourId, ThemeColour::textSecondary},
            {juce::ToggleButton::textColourId, ThemeColour::textSecondary},
            {juce::ToggleButton::tickColourId, ThemeColour::accent},
            {juce::ToggleButton::tickDisabledColourId, ThemeColour::borderHover},
            {juce::TextEditor::focusedOutlineColourId, ThemeColour::borderHover},
            // Everything else through the scheme.
            {juce::ResizableWindow::backgroundColourId, ThemeColour::windowBackground},
            {juce::ListBox::backgroundColourId, ThemeColour::fieldBackground},
            {juce::ListBox::textColourId, ThemeColour::textPrimary},
            {juce::TextEditor::backgroundColourId, ThemeColour::fieldBackground},
            {juce::TextEditor::outlineColourId, ThemeColour::border},
            {juce::Label::textColourId, ThemeColour::textPrimary},
            {juce::CaretComponent::caretColourId, ThemeColour::accent},
        };
        for (const auto& [id, role] : cases) EXPECT_EQ(laf.findColour(id), themeColour(role)) << std::hex << id;
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

TEST(LookAndFeel, PlainTogglesKeepTheV4DrawingInThemeColoursAndRadiosAreOurs) {
    V6LookAndFeel laf;
    juce::ToggleButton toggle("Auto-trim");
    toggle.setSize(200, 24);
    toggle.setToggleState(true, juce::dontSendNotification);
    toggle.setLookAndFeel(&laf);
    const auto ours = test::render(toggle);

    // The same drawing as the framework's V4 given the same colours.
    juce::LookAndFeel_V4 v4(themeColourScheme());
    for (int id : {juce::ToggleButton::textColourId, juce::ToggleButton::tickColourId,
                   juce::ToggleButton::tickDisabledColourId})
        v4.setColour(id, laf.findColour(id));
    toggle.setLookAndFeel(&v4);
    const auto expected = test::render(toggle);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 200; ++x) ASSERT_EQ(ours.getPixelAt(x, y), expected.getPixelAt(x, y)) << x << "," << y;

    // In the palette: the tick in the accent, the box outline and the text
    // in theirs; none of the framework's stock white.
    const auto box = ours.getClippedImage({0, 0, 24, 24});
    EXPECT_TRUE(test::anyPixel(box, [](juce::Colour p) { return p == themeColour(ThemeColour::accent); }));
    EXPECT_TRUE(test::anyPixel(box, [](juce::Colour p) { return p == themeColour(ThemeColour::borderHover); }));
    EXPECT_TRUE(test::anyPixel(ours.getClippedImage({28, 0, 172, 24}),
                               [](juce::Colour p) { return p == themeColour(ThemeColour::textSecondary); }));
    EXPECT_FALSE(test::anyPixel(ours, [](juce::Colour p) { return p == juce::Colours::white; }));

    toggle.setLookAndFeel(&laf);
    toggle.setRadioGroupId(1);
    const auto radio = test::render(toggle);
    // The on dot: d = 15, e = 16.5, centred at 4 + e/2 across and 12 down.
    EXPECT_TRUE(test::nearColour(radio.getPixelAt(12, 12), themeColour(ThemeColour::accent)));
    toggle.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, ComboBoxWearsThePalette) {
    V6LookAndFeel laf;
    juce::ComboBox box;
    box.setLookAndFeel(&laf);
    box.addItem("-60 dB", 1);
    box.setSelectedId(1, juce::dontSendNotification);
    box.setSize(120, 28);
    const auto image = test::render(box);
    EXPECT_EQ(image.getPixelAt(60, 0), themeColour(ThemeColour::border));
    EXPECT_EQ(image.getPixelAt(95, 4), themeColour(ThemeColour::fieldBackground));
    EXPECT_TRUE(test::anyPixel(image.getClippedImage({0, 0, 80, 28}),
                               [](juce::Colour p) { return p == themeColour(ThemeColour::textPrimary); }));
    box.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, AlertWindowsAreDrawnByTheLookThatMadeThem) {
    V6LookAndFeel laf;
    juce::LookAndFeel_V4 v4;
    juce::Component owner;
    owner.setLookAndFeel(&laf);
    const std::pair<int, juce::StringArray> cases[] = {{1, {"OK"}}, {3, {"Save", "Discard", "Cancel"}}};
    for (const auto& [count, texts] : cases) {
        std::unique_ptr<juce::AlertWindow> ours(laf.createAlertWindow(
            "Import report", "No files imported yet.", texts[0], texts[1], texts[2],
            juce::MessageBoxIconType::InfoIcon, count, &owner));
        std::unique_ptr<juce::AlertWindow> stock(v4.createAlertWindow(
            "Import report", "No files imported yet.", texts[0], texts[1], texts[2],
            juce::MessageBoxIconType::InfoIcon, count, &owner));
        ASSERT_NE(ours, nullptr);
        EXPECT_EQ(&ours->getLookAndFeel(), &laf) << count;
        EXPECT_EQ(ours->getNumButtons(), count);
        // Laid out as the framework lays out its own: same size, buttons in
        // the same places.
        EXPECT_EQ(ours->getBounds().getWidth(), stock->getBounds().getWidth()) << count;
        EXPECT_EQ(ours->getBounds().getHeight(), stock->getBounds().getHeight()) << count;
        const auto buttonsOf = [](juce::AlertWindow& w) {
            std::vector<juce::TextButton*> out;
            for (auto* child : w.getChildren())
                if (auto* b = dynamic_cast<juce::TextButton*>(child)) out.push_back(b);
            return out;
        };
        const auto a = buttonsOf(*ours), b = buttonsOf(*stock);
        ASSERT_EQ(a.size(), static_cast<size_t>(count));
        ASSERT_EQ(b.size(), a.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i]->getBounds(), b[i]->getBounds()) << count << " " << i;
            EXPECT_EQ(a[i]->findColour(juce::TextButton::buttonColourId), themeColour(ThemeColour::surfaceRaised));
        }
        const auto image = test::render(*ours);
        EXPECT_EQ(image.getPixelAt(image.getWidth() - 6, 12), themeColour(ThemeColour::panelBackground)) << count;
    }
    owner.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, AlertIconsAreDrawnWholeInsideTheBox) {
    V6LookAndFeel laf;
    juce::Component owner;
    owner.setLookAndFeel(&laf);
    for (const auto type : {juce::MessageBoxIconType::WarningIcon, juce::MessageBoxIconType::InfoIcon,
                            juce::MessageBoxIconType::QuestionIcon}) {
        std::unique_ptr<juce::AlertWindow> box(laf.createAlertWindow("Cannot edit this sample", "The audio is gone.",
                                                                     "OK", {}, {}, type, 1, &owner));
        ASSERT_NE(box, nullptr);
        const auto image = test::render(*box);
        const auto background = box->findColour(juce::AlertWindow::backgroundColourId);
        // The corner is the box's own background: no icon cut by the edge.
        for (int y = 3; y < 14; ++y)
            for (int x = 3; x < 14; ++x)
                EXPECT_TRUE(test::nearColour(image.getPixelAt(x, y), background, 2))
                    << static_cast<int>(type) << " at " << x << "," << y;
        // The icon is drawn in the column left of the text.
        EXPECT_TRUE(test::anyPixel(image.getClippedImage({0, 20, 80, 70}),
                                   [&](juce::Colour c) { return !test::nearColour(c, background, 8); }))
            << static_cast<int>(type);
    }
    owner.setLookAndFeel(nullptr);
}

juce::Component* newDesktopComponent(const std::vector<juce::Component*>& before) {
    auto& desktop = juce::Desktop::getInstance();
    for (int i = 0; i < desktop.getNumComponents(); ++i)
        if (std::find(before.begin(), before.end(), desktop.getComponent(i)) == before.end())
            return desktop.getComponent(i);
    return nullptr;
}

std::vector<juce::Component*> desktopComponents() {
    std::vector<juce::Component*> out;
    auto& desktop = juce::Desktop::getInstance();
    for (int i = 0; i < desktop.getNumComponents(); ++i) out.push_back(desktop.getComponent(i));
    return out;
}

// A window-sized component painted in one colour, as a window behind a menu.
struct Backdrop : juce::Component {
    juce::Colour colour = juce::Colours::orange;
    void paint(juce::Graphics& g) override { g.fillAll(colour); }
};

TEST(LookAndFeel, MenuInsideAWindowShowsTheWindowInItsCorners) {
    V6LookAndFeel laf;
    Backdrop window;
    window.setLookAndFeel(&laf);
    window.setBounds(100, 100, 400, 400);
    window.addToDesktop(0);
    window.setVisible(true);
    juce::ComboBox box;
    window.addAndMakeVisible(box);
    box.setBounds(20, 20, 120, 28);
    for (int i = 1; i <= 9; ++i) box.addItem("Item " + juce::String(i), i);

    box.showPopup();
    juce::Component* menu = nullptr;
    test::pumpUntil([&] {
        for (auto* child : window.getChildren())
            if (child != &box && child->isVisible()) menu = child;
        return menu != nullptr;
    });
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(menu->isOpaque());
    const auto area = menu->getBounds();
    const auto image = window.createComponentSnapshot(area, true, 1.0f);
    for (const auto corner : {juce::Point<int>(0, 0), juce::Point<int>(area.getWidth() - 1, 0),
                              juce::Point<int>(0, area.getHeight() - 1),
                              juce::Point<int>(area.getWidth() - 1, area.getHeight() - 1)})
        EXPECT_EQ(image.getPixelAt(corner.x, corner.y), window.colour) << corner.toString();
    EXPECT_EQ(image.getPixelAt(area.getWidth() / 2, 2), themeColour(ThemeColour::popupBackground));

    juce::PopupMenu::dismissAllActiveMenus();
    test::pumpUntil([&] { return window.getNumChildComponents() == 1; }, 1000);
    window.removeFromDesktop();
    window.setLookAndFeel(nullptr);
}

TEST(LookAndFeel, MenuInItsOwnWindowHasNoWhiteCorners) {
    V6LookAndFeel laf;
    const auto before = desktopComponents();
    juce::PopupMenu menu;
    menu.setLookAndFeel(&laf);
    for (int i = 1; i <= 4; ++i) menu.addItem(i, "Item " + juce::String(i));
    menu.showMenuAsync(juce::PopupMenu::Options().withTargetScreenArea({200, 200, 1, 1}));
    juce::Component* window = nullptr;
    test::pumpUntil([&] { return (window = newDesktopComponent(before)) != nullptr; });
    ASSERT_NE(window, nullptr);
    // Without a compositor the menu window cannot be see-through; its
    // corners then take the main window's colour, never white.
    const auto expected = juce::Desktop::canUseSemiTransparentWindows()
                              ? juce::Colours::transparentBlack
                              : themeColour(ThemeColour::windowBackground);
    const auto image = test::draw(window->getWidth(), window->getHeight(),
                                  [&](juce::Graphics& g) { window->paintEntireComponent(g, false); });
    EXPECT_EQ(image.getPixelAt(0, 0), expected);
    EXPECT_EQ(image.getPixelAt(window->getWidth() - 1, window->getHeight() - 1), expected);
    EXPECT_EQ(image.getPixelAt(window->getWidth() / 2, 2), themeColour(ThemeColour::popupBackground));

    juce::PopupMenu::dismissAllActiveMenus();
    test::pumpUntil([&] { return newDesktopComponent(before) == nullptr; }, 1000);
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
