#include "app/new_zem_dialog.hpp"

#include <algorithm>

namespace vt6::maker {

namespace {

using ui::ThemeColour;
using ui::themeColour;

constexpr ui::TypeStyle kDialogButtonFont{12.0f, 700, 0.5f};
constexpr ui::TypeStyle kStepperFont{20.0f, 400, 0.0f};
constexpr ui::TypeStyle kFieldFont{16.0f, 400, 0.0f};

// Return runs CREATE and Escape cancels in every field of the dialog.
void wireKeys(juce::TextEditor& field, std::function<void()> onReturn, std::function<void()> onEscape) {
    field.onReturnKey = std::move(onReturn);
    field.onEscapeKey = std::move(onEscape);
}

}  // namespace

void styleDialogLabel(juce::Label& label, const juce::String& text, float size, int weight, ThemeColour colour) {
    label.setText(text, juce::dontSendNotification);
    label.setFont(ui::makeFont({size, weight, 0.0f}));
    label.setColour(juce::Label::textColourId, themeColour(colour));
    if (!label.getBorderSize().isEmpty()) label.setBorderSize(juce::BorderSize<int>(0));
}

void styleDialogField(juce::TextEditor& field, const juce::String& title) {
    field.setName(title);
    field.setTitle(title);
    field.setMultiLine(false);
    field.applyFontToAllText(ui::makeFont(kFieldFont));
    field.setIndents(14, 0);
    field.setJustification(juce::Justification::centredLeft);
    field.setSelectAllWhenFocused(true);
    field.setScrollbarsShown(false);
    field.setColour(juce::TextEditor::textColourId, themeColour(ThemeColour::textPrimary));
    field.setColour(juce::TextEditor::highlightColourId, themeColour(ThemeColour::accentWash));
    field.setColour(juce::TextEditor::highlightedTextColourId, themeColour(ThemeColour::textPrimary));
    field.setColour(juce::CaretComponent::caretColourId, themeColour(ThemeColour::accent));
}

// --- FieldLook ---------------------------------------------------------------

void NewZemDialog::FieldLook::fillTextEditorBackground(juce::Graphics& g, int width, int height, juce::TextEditor&) {
    g.setColour(themeColour(ThemeColour::fieldBackground));
    g.fillRoundedRectangle(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height), 8.0f);
}

void NewZemDialog::FieldLook::drawTextEditorOutline(juce::Graphics& g, int width, int height,
                                                    juce::TextEditor& field) {
    g.setColour(themeColour(field.hasKeyboardFocus(true) ? ThemeColour::accent : ThemeColour::border));
    g.drawRoundedRectangle(0.5f, 0.5f, static_cast<float>(std::max(width - 1, 0)),
                           static_cast<float>(std::max(height - 1, 0)), 8.0f, 1.0f);
}

// --- Count -------------------------------------------------------------------

NewZemDialog::Count::Count(const juce::String& label, const juce::String& hint, int initial, int minimum, int maximum)
    : minimum_(minimum), maximum_(maximum) {
    styleDialogLabel(caption_, label.toUpperCase(), 11.0f, 700, ThemeColour::textSecondary);
    styleDialogLabel(hint_, hint, 12.0f, 400, ThemeColour::textMuted);

    styleDialogField(field_, label);
    field_.setInputRestrictions(3, "0123456789");
    field_.setIndents(0, 0);
    field_.setJustification(juce::Justification::centred);
    field_.setText(juce::String(initial), true);

    for (auto* button : {&decrease_, &increase_}) {
        button->setFontRole(kStepperFont);
        // First repeat after 400 ms, then every 90 ms, speeding up to 40 ms.
        button->setRepeatSpeed(400, 90, 40);
        button->setWantsKeyboardFocus(false);
        button->setMouseClickGrabsKeyboardFocus(false);
    }
    decrease_.setName("Decrease " + label);
    decrease_.setTitle("Decrease " + label);
    increase_.setName("Increase " + label);
    increase_.setTitle("Increase " + label);
    decrease_.onClick = [this] { setValue(value() - 1); };
    increase_.onClick = [this] { setValue(value() + 1); };
    field_.onFocusLost = [this] { setValue(value()); };
    field_.onTextChange = [this] { updateEnabling(); };

    addAndMakeVisible(caption_);
    addAndMakeVisible(hint_);
    addAndMakeVisible(field_);
    addAndMakeVisible(decrease_);
    addAndMakeVisible(increase_);
    updateEnabling();
}

int NewZemDialog::Count::value() const {
    return std::clamp(field_.getText().getIntValue(), minimum_, maximum_);
}

void NewZemDialog::Count::setValue(int v) {
    field_.setText(juce::String(std::clamp(v, minimum_, maximum_)), true);
    updateEnabling();
}

void NewZemDialog::Count::updateEnabling() {
    const int v = value();
    decrease_.setEnabled(minimum_ < v);
    increase_.setEnabled(v < maximum_);
}

void NewZemDialog::Count::paint(juce::Graphics& g) {
    const auto w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    g.setColour(themeColour(ThemeColour::panelBackground));
    g.fillRoundedRectangle(0.0f, 0.0f, w, h, 10.0f);
    g.setColour(themeColour(ThemeColour::border));
    g.drawRoundedRectangle(0.5f, 0.5f, std::max(w - 1.0f, 0.0f), std::max(h - 1.0f, 0.0f), 10.0f, 1.0f);
}

void NewZemDialog::Count::resized() {
    juce::Rectangle<int> area(14, 12, std::max(0, getWidth() - 28), std::max(0, getHeight() - 24));
    caption_.setBounds(area.removeFromTop(18));
    hint_.setBounds(area.removeFromTop(20));
    auto row = area.removeFromBottom(40);
    decrease_.setBounds(row.removeFromLeft(34));
    increase_.setBounds(row.removeFromRight(34));
    row.removeFromLeft(5);
    row.removeFromRight(5);
    field_.setBounds(row);
}

// --- Content -----------------------------------------------------------------

NewZemDialog::Content::Content(NewZemDialog& dialog) : dialog_(dialog) {
    setLookAndFeel(&fieldLook_);

    styleDialogLabel(title_, "New ZEM", 26.0f, 700, ThemeColour::textPrimary);
    styleDialogLabel(subtitle_, "Set up your instrument, then import its samples.", 14.0f, 400,
                     ThemeColour::textSecondary);
    styleDialogLabel(nameCaption_, "ZEM NAME", 11.0f, 700, ThemeColour::textSecondary);
    styleDialogLabel(namesCaption_, "ARTICULATION NAMES", 11.0f, 700, ThemeColour::textSecondary);
    styleDialogLabel(optional_, "Optional", 12.0f, 400, ThemeColour::textMuted);
    styleDialogLabel(hint_, "Separate names with commas.", 12.0f, 400,
                     ThemeColour::textMuted);

    styleDialogField(name_, "ZEM name");
    name_.setText("Untitled", true);
    styleDialogField(articulationNames_, "Articulation names");
    articulationNames_.setTextToShowWhenEmpty("Center, Rimshot, Sidestick", themeColour(ThemeColour::textMuted));

    for (auto* label : {&title_, &subtitle_, &nameCaption_, &namesCaption_, &optional_, &hint_})
        addAndMakeVisible(label);
    for (auto* field : {&name_, &articulationNames_}) {
        addAndMakeVisible(field);
        wireKeys(*field, [this] { create(); }, [this] { cancel(); });
    }
    name_.onTextChange = [this] { create_.setEnabled(name_.getText().trim().isNotEmpty()); };

    for (auto* count : {&groups_, &rooms_, &articulations_}) {
        addAndMakeVisible(count);
        wireKeys(count->field(), [this] { create(); }, [this] { cancel(); });
    }

    for (auto* button : {&cancel_, &create_}) {
        button->setFontRole(kDialogButtonFont);
        addAndMakeVisible(button);
    }
    cancel_.onClick = [this] { cancel(); };
    create_.onClick = [this] { create(); };

    setSize(620, 520);
}

NewZemDialog::Content::~Content() { setLookAndFeel(nullptr); }

void NewZemDialog::Content::create() {
    // Disabled while the name is only white space: an empty name cannot be
    // confirmed, by the button or by Return.
    if (create_.isEnabled()) dialog_.exitModalState(1);
}

void NewZemDialog::Content::cancel() { dialog_.exitModalState(0); }

void NewZemDialog::Content::focusNameField() { name_.grabKeyboardFocus(); }

NewZemChoices NewZemDialog::Content::readChoices() const {
    NewZemChoices choices;
    choices.name = name_.getText().trim().toStdString();
    choices.dynamicGroups = groups_.value();
    choices.roomChannels = rooms_.value();
    choices.articulations = articulations_.value();
    return choices;
}

void NewZemDialog::Content::paint(juce::Graphics& g) {
    g.fillAll(themeColour(ThemeColour::windowBackground));
    const int w = getWidth(), h = getHeight();
    if (w - 32 > 32) {
        // The separator above the buttons.
        g.setColour(themeColour(ThemeColour::border));
        g.fillRect(32, h - 82, (w - 32) - 32, 1);
    }
}

void NewZemDialog::Content::resized() {
    juce::Rectangle<int> area(32, 24, std::max(0, getWidth() - 64), std::max(0, getHeight() - 48));
    const int w = area.getWidth();

    title_.setBounds(area.removeFromTop(34));
    subtitle_.setBounds(area.removeFromTop(26));
    area.removeFromTop(22);
    nameCaption_.setBounds(area.removeFromTop(18));
    area.removeFromTop(8);
    name_.setBounds(area.removeFromTop(44));
    area.removeFromTop(24);

    auto row = area.removeFromTop(112);
    const int third = (w - 24) / 3;
    groups_.setBounds(row.removeFromLeft(std::min(w, third)));
    row.removeFromLeft(std::min(row.getWidth(), 12));
    rooms_.setBounds(row.removeFromLeft(std::min(row.getWidth(), third)));
    row.removeFromLeft(std::min(row.getWidth(), 12));
    articulations_.setBounds(row);

    area.removeFromTop(24);
    auto captionRow = area.removeFromTop(18);
    optional_.setBounds(captionRow.removeFromRight(std::min(w, 66)));
    namesCaption_.setBounds(captionRow);
    area.removeFromTop(8);
    articulationNames_.setBounds(area.removeFromTop(44));
    area.removeFromTop(6);
    hint_.setBounds(area.removeFromTop(20));

    auto buttons = area.removeFromBottom(38);
    create_.setBounds(buttons.removeFromRight(142));
    buttons.removeFromRight(12);
    cancel_.setBounds(buttons.removeFromRight(98));
}

// --- Dialog ------------------------------------------------------------------

NewZemDialog::NewZemDialog()
    : juce::DialogWindow("New ZEM", themeColour(ThemeColour::windowBackground), true, true, 1.0f) {
    setUsingNativeTitleBar(true);
    setResizable(false, false);
    // Brought to the front with the focus (as the framework does when the
    // blocked main window is activated), the window passes the focus to the
    // field that had it, or to the name field, instead of taking it itself.
    setWantsKeyboardFocus(false);
    content_ = new Content(*this);
    setContentOwned(content_, true);
}

NewZemDialog::~NewZemDialog() = default;

void NewZemDialog::closeButtonPressed() { exitModalState(0); }

void NewZemDialog::focusNameField() {
    content_->focusNameField();
    // A window the window system has not mapped yet cannot take the focus;
    // the request is repeated when it comes to the front.
    nameFocusPending_ = !content_->nameFieldHasFocus();
}

void NewZemDialog::broughtToFront() {
    DialogWindow::broughtToFront();
    if (nameFocusPending_) focusNameField();
}


bool NewZemDialog::escapeKeyPressed() {
    closeButtonPressed();
    return true;
}

}  // namespace vt6::maker
