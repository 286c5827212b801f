#pragma once
// The modal "New ZEM" dialog: the instrument's name, its counts of dynamic
// groups, room channels and articulations, and optional articulation names.
// It answers 1 for CREATE ZEM and 0 for CANCEL, Escape or its close button;
// whoever shows it reads the answer from the content and deletes it.

#include <juce_gui_basics/juce_gui_basics.h>

#include "app/new_model.hpp"
#include "widgets/buttons.hpp"
#include "widgets/theme.hpp"

namespace vt6::maker {

// The dialog's label style: text without notification, the font role of the
// size and weight, the palette entry as text colour, no border.
void styleDialogLabel(juce::Label& label, const juce::String& text, float size, int weight, ui::ThemeColour colour);
// The dialog's single-line field style; the title is also the field's name.
void styleDialogField(juce::TextEditor& field, const juce::String& title);

class NewZemDialog : public juce::DialogWindow {
public:
    // Draws the dialog's text fields as rounded boxes outlined in the accent
    // while they hold the focus.
    class FieldLook : public juce::LookAndFeel_V4 {
    public:
        void fillTextEditorBackground(juce::Graphics&, int width, int height, juce::TextEditor&) override;
        void drawTextEditorOutline(juce::Graphics&, int width, int height, juce::TextEditor&) override;
    };

    // A labelled number stepper clamped to [minimum, maximum].
    class Count : public juce::Component {
    public:
        Count(const juce::String& label, const juce::String& hint, int initial, int minimum, int maximum);

        // The typed value clamped to the range; text that is no number reads
        // as 0 and so as the minimum when that is above 0.
        int value() const;
        void setValue(int v);

        void paint(juce::Graphics&) override;
        void resized() override;

        juce::TextEditor& field() noexcept { return field_; }
        ui::widgets::V6Button& decrease() noexcept { return decrease_; }
        ui::widgets::V6Button& increase() noexcept { return increase_; }

    private:
        void updateEnabling();

        juce::Label caption_;
        juce::Label hint_;
        juce::TextEditor field_;
        ui::widgets::V6Button decrease_{"-", 0};
        ui::widgets::V6Button increase_{"+", 0};
        int minimum_;
        int maximum_;
    };

    class Content : public juce::Component {
    public:
        explicit Content(NewZemDialog& dialog);
        ~Content() override;

        void paint(juce::Graphics&) override;
        void resized() override;

        NewZemChoices readChoices() const;
        // The articulation-names field's text, as typed.
        juce::String articulationNamesText() const { return articulationNames_.getText(); }
        void focusNameField();
        bool nameFieldHasFocus() const { return name_.hasKeyboardFocus(false); }

    private:
        void create();
        void cancel();

        NewZemDialog& dialog_;
        FieldLook fieldLook_;
        juce::Label title_;
        juce::Label subtitle_;
        juce::Label nameCaption_;
        juce::Label namesCaption_;
        juce::Label optional_;
        juce::Label hint_;
        juce::TextEditor name_;
        juce::TextEditor articulationNames_;
        Count groups_{"Dynamic groups", "1 - 127 groups", 4, 1, 127};
        Count rooms_{"Room channels", "0 - 3, plus Direct", 0, 0, 3};
        Count articulations_{"Articulations", "1 - 128 articulations", 1, 1, 128};
        ui::widgets::V6Button cancel_{"CANCEL", 0};
        ui::widgets::V6Button create_{"CREATE ZEM", 2};
    };

    NewZemDialog();
    ~NewZemDialog() override;

    // Both end the modal state with 0, like CANCEL.
    void closeButtonPressed() override;
    bool escapeKeyPressed() override;

    // Gives the name field the keyboard focus, now or, when the window
    // system has not shown the window yet, as soon as it has.
    void focusNameField();
    void broughtToFront() override;

    Content& content() noexcept { return *content_; }

private:
    Content* content_;  // owned by the window
    bool nameFocusPending_ = false;
};

}  // namespace vt6::maker
