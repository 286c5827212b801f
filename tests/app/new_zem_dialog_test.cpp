// The "New ZEM" dialog on its own, shown modally on the virtual display:
// layout, texts, counts and their clamping, the name rule and its answers.

#include <gtest/gtest.h>

#include <optional>

#include "app/new_zem_dialog.hpp"
#include "app/new_zem_dialog_support.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::maker {
namespace {

using test::findChild;
using test::labelWithText;
using test::pumpUntil;
using ui::ThemeColour;
using ui::themeColour;

struct NewZemDialogTest : ::testing::Test {
    juce::Component::SafePointer<NewZemDialog> dialog;
    // Shared with the modal callback, which may run after a test ends.
    std::shared_ptr<std::optional<int>> result = std::make_shared<std::optional<int>>();
    std::optional<int>& answer = *result;

    void SetUp() override {
        auto* d = new NewZemDialog();
        dialog = d;
        d->centreWithSize(d->getWidth(), d->getHeight());
        d->enterModalState(true, juce::ModalCallbackFunction::create([r = result](int value) { *r = value; }), false);
        d->focusNameField();
        // A user types only once the window is up and its first messages
        // are handled.
        settle();
    }
    void TearDown() override {
        if (dialog != nullptr) dialog->exitModalState(0);
        test::pumpFor(20);
        delete dialog.getComponent();
    }
    NewZemDialog::Content& content() { return dialog->content(); }
    juce::TextEditor& field(const juce::String& name) { return findChild<juce::TextEditor>(content(), name); }
    juce::Button& button(const juce::String& name) { return findChild<juce::Button>(content(), name); }
    NewZemDialog::Count& count(const juce::String& fieldName) {
        return *dynamic_cast<NewZemDialog::Count*>(field(fieldName).getParentComponent());
    }
    // Waits for the posted text-change, return and escape notifications.
    void settle() { test::pumpFor(30); }
};

TEST_F(NewZemDialogTest, WindowAndLayout) {
    EXPECT_EQ(dialog->getName(), "New ZEM");
    EXPECT_TRUE(dialog->isUsingNativeTitleBar());
    EXPECT_FALSE(dialog->isResizable());
    EXPECT_TRUE(dialog->isCurrentlyModal());
    EXPECT_EQ(content().getWidth(), 620);
    EXPECT_EQ(content().getHeight(), 520);

    struct Case {
        juce::Component* c;
        juce::Rectangle<int> bounds;
    };
    auto& c = content();
    const Case cases[] = {
        {&labelWithText(c, "New ZEM"), {32, 24, 556, 34}},
        {&labelWithText(c, "Set up your instrument, then import its samples."), {32, 58, 556, 26}},
        {&labelWithText(c, "ZEM NAME"), {32, 106, 556, 18}},
        {&field("ZEM name"), {32, 132, 556, 44}},
        {&count("Dynamic groups"), {32, 200, 177, 112}},
        {&count("Room channels"), {221, 200, 177, 112}},
        {&count("Articulations"), {410, 200, 178, 112}},
        {&labelWithText(c, "ARTICULATION NAMES"), {32, 336, 490, 18}},
        {&labelWithText(c, "Optional"), {522, 336, 66, 18}},
        {&field("Articulation names"), {32, 362, 556, 44}},
        {&labelWithText(c, "Separate names with commas."), {32, 412, 556, 20}},
        {&button("CANCEL"), {336, 458, 98, 38}},
        {&button("CREATE ZEM"), {446, 458, 142, 38}},
        // Inside a count 177 px wide.
        {&labelWithText(count("Dynamic groups"), "DYNAMIC GROUPS"), {14, 12, 149, 18}},
        {&labelWithText(count("Dynamic groups"), "1 - 127 groups"), {14, 30, 149, 20}},
        {&button("Decrease Dynamic groups"), {14, 60, 34, 40}},
        {&field("Dynamic groups"), {53, 60, 71, 40}},
        {&button("Increase Dynamic groups"), {129, 60, 34, 40}},
    };
    for (const auto& k : cases) EXPECT_EQ(k.c->getBounds(), k.bounds) << k.c->getName() << " " << k.c->getTitle();
}

TEST_F(NewZemDialogTest, TextsFontsAndColours) {
    struct Case {
        juce::Component* parent;
        juce::String text;
        float size;
        bool bold;
        ThemeColour colour;
    };
    auto& c = content();
    const Case cases[] = {
        {&c, "New ZEM", 26, true, ThemeColour::textPrimary},
        {&c, "Set up your instrument, then import its samples.", 14, false, ThemeColour::textSecondary},
        {&c, "ZEM NAME", 11, true, ThemeColour::textSecondary},
        {&c, "ARTICULATION NAMES", 11, true, ThemeColour::textSecondary},
        {&c, "Optional", 12, false, ThemeColour::textMuted},
        {&c, "Separate names with commas.", 12, false, ThemeColour::textMuted},
        {&count("Dynamic groups"), "DYNAMIC GROUPS", 11, true, ThemeColour::textSecondary},
        {&count("Dynamic groups"), "1 - 127 groups", 12, false, ThemeColour::textMuted},
        {&count("Room channels"), "ROOM CHANNELS", 11, true, ThemeColour::textSecondary},
        {&count("Room channels"), "0 - 3, plus Direct", 12, false, ThemeColour::textMuted},
        {&count("Articulations"), "ARTICULATIONS", 11, true, ThemeColour::textSecondary},
        {&count("Articulations"), "1 - 128 articulations", 12, false, ThemeColour::textMuted},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        auto& label = labelWithText(*k.parent, k.text);
        EXPECT_FLOAT_EQ(label.getFont().getHeight(), k.size);
        EXPECT_EQ(label.getFont().isBold(), k.bold);
        EXPECT_EQ(label.findColour(juce::Label::textColourId), themeColour(k.colour));
        EXPECT_TRUE(label.getBorderSize().isEmpty());
    }

    for (const char* name : {"ZEM name", "Articulation names", "Dynamic groups", "Room channels", "Articulations"}) {
        SCOPED_TRACE(name);
        auto& f = field(name);
        EXPECT_EQ(f.getTitle(), name);
        EXPECT_FALSE(f.isMultiLine());
        EXPECT_FLOAT_EQ(f.getFont().getHeight(), 16.0f);
        EXPECT_EQ(f.findColour(juce::TextEditor::textColourId), themeColour(ThemeColour::textPrimary));
        EXPECT_EQ(f.findColour(juce::TextEditor::highlightColourId), themeColour(ThemeColour::accentWash));
        EXPECT_EQ(f.findColour(juce::CaretComponent::caretColourId), themeColour(ThemeColour::accent));
    }
    EXPECT_EQ(field("ZEM name").getLeftIndent(), 14);
    EXPECT_EQ(field("Dynamic groups").getLeftIndent(), 0);
    EXPECT_EQ(field("Dynamic groups").getJustificationType(), juce::Justification(juce::Justification::centred));
    EXPECT_EQ(field("Articulation names").getTextToShowWhenEmpty(), "Center, Rimshot, Sidestick");

    struct ButtonCase {
        juce::String name;
        int style;
        float size;
    };
    const ButtonCase buttons[] = {{"CANCEL", 0, 12}, {"CREATE ZEM", 2, 12}, {"Increase Articulations", 0, 20},
                                  {"Decrease Room channels", 0, 20}};
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.name);
        auto& v = dynamic_cast<ui::widgets::V6Button&>(button(b.name));
        EXPECT_EQ(v.style(), b.style);
        EXPECT_FLOAT_EQ(v.getFont().getHeight(), b.size);
        EXPECT_EQ(v.getTitle(), b.name);
    }
    EXPECT_FALSE(button("Increase Articulations").getWantsKeyboardFocus());
}

TEST_F(NewZemDialogTest, PaintsSeparatorCountsAndFocusedField) {
    const auto image = test::render(content());
    // The separator: one row at y 438 from x 32 to 587.
    EXPECT_TRUE(test::nearColour(image.getPixelAt(300, 438), themeColour(ThemeColour::border)));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(32, 438), themeColour(ThemeColour::border)));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(300, 437), themeColour(ThemeColour::windowBackground)));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(300, 439), themeColour(ThemeColour::windowBackground)));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(20, 438), themeColour(ThemeColour::windowBackground)));
    // A count's box: panel inside, border on its edge.
    EXPECT_TRUE(test::nearColour(image.getPixelAt(32 + 90, 200 + 55), themeColour(ThemeColour::panelBackground)));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(32 + 90, 200), themeColour(ThemeColour::border)));
    // Fields: their background inside; the focused name field's outline in
    // the accent, the others' in the border colour.
    ASSERT_TRUE(pumpUntil([&] { return field("ZEM name").hasKeyboardFocus(true); }));
    const auto focused = test::render(content());
    EXPECT_TRUE(test::nearColour(focused.getPixelAt(32, 154), themeColour(ThemeColour::accent)));
    EXPECT_TRUE(test::nearColour(focused.getPixelAt(32, 384), themeColour(ThemeColour::border)));
    EXPECT_TRUE(test::nearColour(focused.getPixelAt(560, 384), themeColour(ThemeColour::fieldBackground)));
}

TEST_F(NewZemDialogTest, DefaultsAndFocus) {
    const auto choices = content().readChoices();
    EXPECT_EQ(choices.name, "Untitled");
    EXPECT_EQ(choices.dynamicGroups, 4);
    EXPECT_EQ(choices.roomChannels, 0);
    EXPECT_EQ(choices.articulations, 1);
    EXPECT_TRUE(choices.instrumentName.empty());
    EXPECT_TRUE(choices.thirdText.empty());
    EXPECT_TRUE(button("CREATE ZEM").isEnabled());
    EXPECT_EQ(content().articulationNamesText(), "");

    // The name field takes the focus with its whole text selected, so typing
    // replaces "Untitled".
    ASSERT_TRUE(pumpUntil([&] { return field("ZEM name").hasKeyboardFocus(true); }));
    EXPECT_EQ(field("ZEM name").getHighlightedText(), "Untitled");
    test::typeInto(field("ZEM name"), "Kit");
    EXPECT_EQ(content().readChoices().name, "Kit");
}

TEST_F(NewZemDialogTest, CountsClampTypedValues) {
    struct Case {
        const char* count;
        const char* typed;
        int value;             // read on CREATE
        const char* afterBlur; // the text once the field loses focus
    };
    const Case cases[] = {
        {"Dynamic groups", "200", 127, "127"},
        {"Dynamic groups", "", 1, "1"},
        {"Dynamic groups", "0", 1, "1"},
        {"Dynamic groups", "12", 12, "12"},
        {"Dynamic groups", "007", 7, "7"},
        {"Room channels", "9", 3, "3"},
        {"Room channels", "", 0, "0"},
        {"Articulations", "999", 128, "128"},
        {"Articulations", "128", 128, "128"},
        {"Articulations", "", 1, "1"},
        // Only three digits are taken; letters are refused.
        {"Articulations", "12x345", 123, "123"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.count) + " <- '" + c.typed + "'");
        auto& f = field(c.count);
        f.grabKeyboardFocus();
        ASSERT_TRUE(pumpUntil([&] { return f.hasKeyboardFocus(false); }));
        f.selectAll();
        f.keyPressed(juce::KeyPress(juce::KeyPress::deleteKey));
        test::typeInto(f, c.typed);
        EXPECT_EQ(count(c.count).value(), c.value);
        field("ZEM name").grabKeyboardFocus();
        ASSERT_TRUE(pumpUntil([&] { return f.getText() == c.afterBlur; })) << f.getText();
    }
    const auto choices = content().readChoices();
    EXPECT_EQ(choices.dynamicGroups, 7);
    EXPECT_EQ(choices.roomChannels, 0);
    EXPECT_EQ(choices.articulations, 123);
}

TEST_F(NewZemDialogTest, StepperButtonsStopAtTheLimits) {
    struct Case {
        const char* count;
        int minimum, maximum;
    };
    const Case cases[] = {{"Dynamic groups", 1, 127}, {"Room channels", 0, 3}, {"Articulations", 1, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        auto& k = count(c.count);
        auto& minus = k.decrease();
        auto& plus = k.increase();
        k.setValue(c.minimum);
        EXPECT_FALSE(minus.isEnabled());
        EXPECT_TRUE(plus.isEnabled());
        plus.triggerClick();
        settle();
        EXPECT_EQ(k.value(), c.minimum + 1);
        EXPECT_TRUE(minus.isEnabled());
        minus.triggerClick();
        settle();
        EXPECT_EQ(k.value(), c.minimum);
        EXPECT_FALSE(minus.isEnabled());

        k.setValue(c.maximum + 50);
        EXPECT_EQ(k.field().getText(), juce::String(c.maximum));
        EXPECT_FALSE(plus.isEnabled());
        EXPECT_TRUE(minus.isEnabled());
        minus.triggerClick();
        settle();
        EXPECT_EQ(k.value(), c.maximum - 1);
        EXPECT_TRUE(plus.isEnabled());

        // Typing follows the same rule once the text changes.
        k.field().setText(juce::String(c.maximum), true);
        ASSERT_TRUE(pumpUntil([&] { return !plus.isEnabled(); }));
        k.field().setText("", true);
        ASSERT_TRUE(pumpUntil([&] { return !minus.isEnabled() && plus.isEnabled(); }));
    }
}

TEST_F(NewZemDialogTest, HoldingPlusRepeats) {
    auto& k = count("Articulations");
    auto& plus = k.increase();
    ASSERT_EQ(k.value(), 1);
    auto* peer = dialog->getPeer();
    ASSERT_NE(peer, nullptr);
    const auto at = peer->getComponent().getLocalPoint(&plus, plus.getLocalBounds().getCentre()).toFloat();
    test::warpPointer(plus.localPointToGlobal(plus.getLocalBounds().getCentre()));
    settle();

    std::vector<std::pair<juce::uint32, int>> changes;  // time after the press, value
    const auto press = juce::Time::getMillisecondCounter();
    test::injectMouse(*peer, at, juce::ModifierKeys::leftButtonModifier);
    pumpUntil(
        [&] {
            if (k.value() != (changes.empty() ? 1 : changes.back().second))
                changes.emplace_back(juce::Time::getMillisecondCounter() - press, k.value());
            return changes.size() >= 4;
        },
        5000);
    test::injectMouse(*peer, at, juce::ModifierKeys());
    settle();

    // Nothing before the first repeat at 400 ms, then a faster cadence: three
    // more within a second (one every 90 ms or less).
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_GE(changes[0].first, 390u);
    EXPECT_LT(changes[3].first - changes[0].first, 1000u);
    EXPECT_EQ(changes[3].second, 5);
    // Releasing the button counts once more.
    EXPECT_EQ(k.value(), 6);
}

TEST_F(NewZemDialogTest, NameOfSpacesCannotBeConfirmed) {
    auto& name = field("ZEM name");
    ASSERT_TRUE(pumpUntil([&] { return name.hasKeyboardFocus(true); }));
    test::typeInto(name, "   ");
    settle();
    EXPECT_FALSE(button("CREATE ZEM").isEnabled());
    name.keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
    field("Dynamic groups").keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
    settle();
    EXPECT_FALSE(answer.has_value());
    EXPECT_TRUE(dialog->isCurrentlyModal());

    test::typeInto(name, " x ");
    settle();
    EXPECT_TRUE(button("CREATE ZEM").isEnabled());
    EXPECT_EQ(content().readChoices().name, "x");
}

enum class Way { createButton, cancelButton, returnInName, returnInNames, returnInCount, escapeInField, escapeKey,
                 closeButton };

struct AnswerCase {
    const char* what;
    Way way;
    int answer;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.what; }

struct NewZemDialogAnswer : NewZemDialogTest, ::testing::WithParamInterface<AnswerCase> {};

TEST_P(NewZemDialogAnswer, EndsTheModalState) {
    const auto& c = GetParam();
    switch (c.way) {
        case Way::createButton: button("CREATE ZEM").triggerClick(); break;
        case Way::cancelButton: button("CANCEL").triggerClick(); break;
        case Way::returnInName: field("ZEM name").keyPressed(juce::KeyPress(juce::KeyPress::returnKey)); break;
        case Way::returnInNames:
            field("Articulation names").keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
            break;
        case Way::returnInCount: field("Room channels").keyPressed(juce::KeyPress(juce::KeyPress::returnKey)); break;
        case Way::escapeInField:
            field("Articulations").keyPressed(juce::KeyPress(juce::KeyPress::escapeKey));
            break;
        case Way::escapeKey:
            // A key that reaches the window itself, with no field focused.
            static_cast<juce::Component*>(dialog.getComponent())->keyPressed(juce::KeyPress(juce::KeyPress::escapeKey));
            break;
        case Way::closeButton: dialog->closeButtonPressed(); break;
    }
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, c.answer);
    EXPECT_FALSE(dialog->isCurrentlyModal());
}

INSTANTIATE_TEST_SUITE_P(Ways, NewZemDialogAnswer,
                         ::testing::Values(AnswerCase{"create", Way::createButton, 1},
                                           AnswerCase{"cancel", Way::cancelButton, 0},
                                           AnswerCase{"returnInName", Way::returnInName, 1},
                                           AnswerCase{"returnInNames", Way::returnInNames, 1},
                                           AnswerCase{"returnInCount", Way::returnInCount, 1},
                                           AnswerCase{"escapeInField", Way::escapeInField, 0},
                                           AnswerCase{"escapeKey", Way::escapeKey, 0},
                                           AnswerCase{"closeButton", Way::closeButton, 0}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace vt6::maker
