#pragma once
// Restyles the framework's standard components to match the program's own
// widgets; everything not overridden keeps the V4 drawing, in the theme's
// colours.

#include <juce_gui_basics/juce_gui_basics.h>

#include "widgets/theme.hpp"

namespace vt6::ui::widgets {

class V6LookAndFeel : public juce::LookAndFeel_V4, public Theme::Listener {
public:
    V6LookAndFeel();
    ~V6LookAndFeel() override;

    void drawScrollbar(juce::Graphics&, juce::ScrollBar&, int x, int y, int width, int height, bool vertical,
                       int thumbStart, int thumbSize, bool isMouseOver, bool isMouseDown) override;
    void drawToggleButton(juce::Graphics&, juce::ToggleButton&, bool highlighted, bool down) override;
    void fillTextEditorBackground(juce::Graphics&, int width, int height, juce::TextEditor&) override;
    void drawTextEditorOutline(juce::Graphics&, int width, int height, juce::TextEditor&) override;
    void drawPopupMenuBackgroundWithOptions(juce::Graphics&, int width, int height,
                                            const juce::PopupMenu::Options&) override;
    void preparePopupMenuWindow(juce::Component& menuWindow) override;
    void drawResizableFrame(juce::Graphics&, int width, int height, const juce::BorderSize<int>&) override;
    void drawPopupMenuItem(juce::Graphics&, const juce::Rectangle<int>& area, bool isSeparator, bool isActive,
                           bool isHighlighted, bool isTicked, bool hasSubMenu, const juce::String& text,
                           const juce::String& shortcutKeyText, const juce::Drawable* icon,
                           const juce::Colour* textColour) override;
    juce::Font getPopupMenuFont() override;
    void drawComboBox(juce::Graphics&, int width, int height, bool isButtonDown, int buttonX, int buttonY,
                      int buttonW, int buttonH, juce::ComboBox&) override;
    juce::Font getComboBoxFont(juce::ComboBox&) override;
    juce::PopupMenu::Options getOptionsForComboBoxPopupMenu(juce::ComboBox&, juce::Label&) override;
    void drawLabel(juce::Graphics&, juce::Label&) override;
    int getSliderThumbRadius(juce::Slider&) override;
    juce::Rectangle<int> getTooltipBounds(const juce::String& text, juce::Point<int> pointer,
                                          juce::Rectangle<int> parentArea) override;
    void drawTooltip(juce::Graphics&, const juce::String& text, int width, int height) override;
    void drawAlertBox(juce::Graphics&, juce::AlertWindow&, const juce::Rectangle<int>& textArea,
                      juce::TextLayout&) override;
    juce::AlertWindow* createAlertWindow(const juce::String& title, const juce::String& message,
                                         const juce::String& button1, const juce::String& button2,
                                         const juce::String& button3, juce::MessageBoxIconType iconType,
                                         int numButtons, juce::Component* associatedComponent) override;

    void themeChanged() override;
};

// The framework's V4 colour scheme filled from the current theme, so that
// components we do not draw ourselves still wear the theme's palette.
juce::LookAndFeel_V4::ColourScheme themeColourScheme();

// Corner radius of a box of height h: fully round up to the theme's limit.
float cornerRadiusFor(float height);

}  // namespace vt6::ui::widgets
