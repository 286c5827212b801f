#include "widgets/look_and_feel.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/segment_group.hpp"
#include "widgets/slider.hpp"

namespace vt6::ui::widgets {

namespace {

bool disabledInHierarchy(const juce::Component& component) {
    for (auto* c = &component; c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return true;
    return false;
}

}  // namespace

float cornerRadiusFor(float height) {
    return std::min(height / 2.0f, static_cast<float>(Theme::instance().cornerRadius));
}

juce::LookAndFeel_V4::ColourScheme themeColourScheme() {
    using Ui = juce::LookAndFeel_V4::ColourScheme::UIColour;
    juce::LookAndFeel_V4::ColourScheme scheme = juce::LookAndFeel_V4::getDarkColourScheme();
    const std::pair<Ui, ThemeColour> roles[] = {
        {Ui::windowBackground, ThemeColour::windowBackground},
        {Ui::widgetBackground, ThemeColour::fieldBackground},
        {Ui::menuBackground, ThemeColour::popupBackground},
        {Ui::outline, ThemeColour::border},
        {Ui::defaultText, ThemeColour::textPrimary},
        {Ui::defaultFill, ThemeColour::accent},
        {Ui::highlightedText, ThemeColour::textPrimary},
        {Ui::highlightedFill, ThemeColour::surfaceRaised},
        {Ui::menuText, ThemeColour::textSecondary},
    };
    for (const auto& [ui, role] : roles) scheme.setUIColour(ui, themeColour(role));
    return scheme;
}

V6LookAndFeel::V6LookAndFeel() {
    themeChanged();
    Theme::instance().addListener(this);
}

V6LookAndFeel::~V6LookAndFeel() { Theme::instance().removeListener(this); }

void V6LookAndFeel::themeChanged() {
    // The scheme first: it resets every framework colour, and the roles
    // below refine it for the components the program shows.
    setColourScheme(themeColourScheme());
    const std::pair<int, ThemeColour> roles[] = {
        {juce::AlertWindow::backgroundColourId, ThemeColour::panelBackground},
        {juce::AlertWindow::textColourId, ThemeColour::textPrimary},
        {juce::AlertWindow::outlineColourId, ThemeColour::border},
        {juce::TextButton::buttonColourId, ThemeColour::surfaceRaised},
        {juce::TextButton::buttonOnColourId, ThemeColour::accent},
        {juce::TextButton::textColourOffId, ThemeColour::textSecondary},
        {juce::TextButton::textColourOnId, ThemeColour::textOnAccent},
        {juce::ComboBox::backgroundColourId, ThemeColour::fieldBackground},
        {juce::ComboBox::outlineColourId, ThemeColour::border},
        {juce::ComboBox::focusedOutlineColourId, ThemeColour::borderHover},
        {juce::ComboBox::buttonColourId, ThemeColour::surfaceRaised},
        {juce::ComboBox::textColourId, ThemeColour::textPrimary},
        {juce::ComboBox::arrowColourId, ThemeColour::textSecondary},
        {juce::ToggleButton::textColourId, ThemeColour::textSecondary},
        {juce::ToggleButton::tickColourId, ThemeColour::accent},
        {juce::ToggleButton::tickDisabledColourId, ThemeColour::borderHover},
        {juce::TextEditor::focusedOutlineColourId, ThemeColour::borderHover},
    };
    for (const auto& [id, role] : roles) setColour(id, themeColour(role));
    setColour(juce::TooltipWindow::backgroundColourId, themeColour(ThemeColour::popupBackground));
    setColour(juce::TooltipWindow::textColourId, themeColour(ThemeColour::textSecondary));
    setColour(juce::TooltipWindow::outlineColourId, themeColour(ThemeColour::border));
    setColour(juce::PopupMenu::backgroundColourId, themeColour(ThemeColour::popupBackground));
    setColour(juce::PopupMenu::textColourId, themeColour(ThemeColour::textSecondary));
    setColour(juce::PopupMenu::highlightedBackgroundColourId, themeColour(ThemeColour::surfaceRaised));
    setColour(juce::PopupMenu::highlightedTextColourId, themeColour(ThemeColour::textPrimary));
}

void V6LookAndFeel::drawScrollbar(juce::Graphics& g, juce::ScrollBar&, int x, int y, int width, int height,
                                  bool vertical, int thumbStart, int thumbSize, bool, bool) {
    juce::Rectangle<float> thumb;
    const float t = static_cast<float>(std::min(vertical ? width : height, 6));
    if (vertical) {
        thumb = {static_cast<float>(x) + (static_cast<float>(width) - t) / 2.0f, static_cast<float>(thumbStart), t,
                 static_cast<float>(thumbSize)};
    } else {
        thumb = {static_cast<float>(thumbStart), static_cast<float>(y) + (static_cast<float>(height) - t) / 2.0f,
                 static_cast<float>(thumbSize), t};
    }
    g.setColour(themeColour(ThemeColour::borderHover).withAlpha(static_cast<juce::uint8>(0x99)));
    g.fillRoundedRectangle(thumb, t / 2.0f);
}

void V6LookAndFeel::drawToggleButton(juce::Graphics& g, juce::ToggleButton& button, bool highlighted, bool down) {
    if (button.getRadioGroupId() == 0) {
        LookAndFeel_V4::drawToggleButton(g, button, highlighted, down);
        return;
    }
    const float h = static_cast<float>(button.getHeight());
    const float w = static_cast<float>(button.getWidth());
    const float d = std::min(0.75f * h, 15.0f);
    const float e = 1.1f * d;
    const float y0 = (h - e) / 2.0f;
    const auto accent = themeColour(ThemeColour::accent);
    g.setColour(accent);
    g.drawEllipse(4.0f, y0, e, e, 1.5f);
    if (button.getToggleState()) g.fillEllipse(4.0f + e / 4.0f, y0 + e / 4.0f, e / 2.0f, e / 2.0f);

    auto font = makeFont(kTypeValue);
    font.setHeight(std::clamp(d, 0.1f, 10000.0f));
    g.setFont(font);
    auto text = themeColour(ThemeColour::textSecondary);
    if (disabledInHierarchy(button)) text = text.withMultipliedAlpha(0.5f);
    g.setColour(text);
    const int ew = juce::roundToInt(e);
    g.drawFittedText(button.getButtonText(), ew + 10, 0, std::max(static_cast<int>(w) - ew - 12, 0),
                     static_cast<int>(h), juce::Justification::centredLeft, 10);
}

void V6LookAndFeel::fillTextEditorBackground(juce::Graphics& g, int width, int height, juce::TextEditor& editor) {
    g.setColour(editor.findColour(juce::TextEditor::backgroundColourId));
    g.fillRoundedRectangle(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height),
                           cornerRadiusFor(static_cast<float>(height)));
}

void V6LookAndFeel::drawTextEditorOutline(juce::Graphics& g, int width, int height, juce::TextEditor& editor) {
    if (disabledInHierarchy(editor)) return;
    const bool focused = editor.hasKeyboardFocus(true) && !editor.isReadOnly();
    const float t = focused ? 2.0f : 1.0f;
    g.setColour(editor.findColour(focused ? juce::TextEditor::focusedOutlineColourId
                                          : juce::TextEditor::outlineColourId));
    g.drawRoundedRectangle(t / 2.0f, t / 2.0f, std::max(static_cast<float>(width) - t, 0.0f),
                           std::max(static_cast<float>(height) - t, 0.0f),
                           cornerRadiusFor(static_cast<float>(height)), t);
}

void V6LookAndFeel::drawPopupMenuBackgroundWithOptions(juce::Graphics& g, int width, int height,
                                                       const juce::PopupMenu::Options& options) {
    // A menu in a desktop window of its own stays opaque where the display
    // cannot blend windows; the framework fills it white first. Its corners
    // then take the colour of the window it most often opens over rather than
    // showing white around the rounded box.
    if (options.getParentComponent() == nullptr && !juce::Desktop::canUseSemiTransparentWindows())
        g.fillAll(themeColour(ThemeColour::windowBackground));
    paintThemedBox(g, {0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)}, 10.0f,
                   ThemeColour::popupBackground);
}

void V6LookAndFeel::preparePopupMenuWindow(juce::Component& menuWindow) {
    // The framework makes a menu opaque whenever its background colour is, and
    // then leaves the corners outside the rounded box unpainted. Inside a
    // window, or where the display can blend windows, let what is behind show.
    if (!menuWindow.isOnDesktop() || juce::Desktop::canUseSemiTransparentWindows()) menuWindow.setOpaque(false);
}

void V6LookAndFeel::drawResizableFrame(juce::Graphics&, int, int, const juce::BorderSize<int>&) {
    // The framework draws this square frame over menus shown inside a window,
    // where it would darken the corners outside their rounded outline. The
    // program's resizable windows use the system's frame, so nothing else
    // draws one.
}

void V6LookAndFeel::drawPopupMenuItem(juce::Graphics& g, const juce::Rectangle<int>& area, bool isSeparator,
                                      bool isActive, bool isHighlighted, bool isTicked, bool hasSubMenu,
                                      const juce::String& text, const juce::String& shortcutKeyText,
                                      const juce::Drawable* icon, const juce::Colour* textColour) {
    g.setFont(makeFont(kTypeMenu));
    LookAndFeel_V4::drawPopupMenuItem(g, area, isSeparator, isActive, isHighlighted, isTicked, hasSubMenu, text,
                                      shortcutKeyText, icon, textColour);
}

juce::Font V6LookAndFeel::getPopupMenuFont() { return makeFont(kTypeMenu); }

void V6LookAndFeel::drawComboBox(juce::Graphics& g, int width, int height, bool, int, int, int, int,
                                 juce::ComboBox& box) {
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    paintRoundedBox(g, {0.0f, 0.0f, w, h}, cornerRadiusFor(h), box.findColour(juce::ComboBox::backgroundColourId),
                    box.findColour(juce::ComboBox::outlineColourId));
    const float ax = w - h / 2.0f;
    juce::Path arrow;
    arrow.addTriangle(ax - 3.0f, h / 2.0f - 1.5f, ax + 3.0f, h / 2.0f - 1.5f, ax, h / 2.0f + 2.0f);
    g.setColour(box.findColour(juce::ComboBox::arrowColourId));
    g.fillPath(arrow);
}

juce::Font V6LookAndFeel::getComboBoxFont(juce::ComboBox& box) {
    if (dynamic_cast<V6DropChip*>(&box) != nullptr) return makeFont(kTypeChip);
    return juce::Font(std::min(0.85f * static_cast<float>(box.getHeight()), 16.0f));
}

juce::PopupMenu::Options V6LookAndFeel::getOptionsForComboBoxPopupMenu(juce::ComboBox& box, juce::Label& label) {
    auto options = LookAndFeel_V4::getOptionsForComboBoxPopupMenu(box, label)
                       .withMinimumNumColumns(box.getNumItems() / 18 + 1);
    // Open inside the window rather than as a separate desktop window.
    if (auto* top = box.getTopLevelComponent(); top != &box) {
        // A resizable window refuses children of its own; its content takes them.
        if (auto* window = dynamic_cast<juce::ResizableWindow*>(top); window != nullptr)
            if (auto* content = window->getContentComponent(); content != nullptr) top = content;
        options = options.withParentComponent(top);
    }
    return options;
}

void V6LookAndFeel::drawLabel(juce::Graphics& g, juce::Label& label) {
    const auto outline = label.findColour(juce::Label::outlineColourId);
    if (outline.isTransparent()) {
        LookAndFeel_V4::drawLabel(g, label);
        return;
    }
    const bool disabled = disabledInHierarchy(label);
    if (disabled) g.beginTransparencyLayer(kDisabledOpacity);
    const auto bounds = label.getLocalBounds().toFloat();
    paintRoundedBox(g, bounds, cornerRadiusFor(bounds.getHeight()),
                    label.findColour(juce::Label::backgroundColourId), outline);
    if (!label.isBeingEdited()) {
        const auto font = getLabelFont(label);
        g.setColour(label.findColour(juce::Label::textColourId));
        g.setFont(font);
        const auto textArea = getLabelBorderSize(label).subtractedFrom(label.getLocalBounds());
        const int lines = std::max(1, static_cast<int>(static_cast<float>(textArea.getHeight()) / font.getHeight()));
        g.drawFittedText(label.getText(), textArea, label.getJustificationType(), lines,
                         label.getMinimumHorizontalScale());
    }
    if (disabled) g.endTransparencyLayer();
}

int V6LookAndFeel::getSliderThumbRadius(juce::Slider& slider) {
    // The program's own slider paints a fixed thumb; the framework's drag
    // maths must use the same size.
    if (dynamic_cast<V6HSlider*>(&slider) != nullptr) return static_cast<int>(V6HSlider::kThumbRadius);
    return LookAndFeel_V4::getSliderThumbRadius(slider);
}

juce::Rectangle<int> V6LookAndFeel::getTooltipBounds(const juce::String& text, juce::Point<int> p,
                                                     juce::Rectangle<int> area) {
    const auto font = makeFont(kTypeBody);
    const int tw = static_cast<int>(std::ceil(font.getStringWidthFloat(text)));
    const int th = static_cast<int>(std::ceil(font.getHeight()));
    const int w = tw + 14, h = th + 8;
    const int x = p.x > area.getCentreX() ? p.x - w - 12 : p.x + 24;
    const int y = p.y > area.getCentreY() ? p.y - th - 14 : p.y + 6;
    return juce::Rectangle<int>(x, y, w, h).constrainedWithin(area);
}

void V6LookAndFeel::drawTooltip(juce::Graphics& g, const juce::String& text, int width, int height) {
    paintThemedBox(g, {0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)}, 10.0f,
                   ThemeColour::popupBackground);
    g.setColour(themeColour(ThemeColour::textSecondary));
    g.setFont(makeFont(kTypeBody));
    g.drawFittedText(text, 7, 4, std::max(width - 14, 0), std::max(height - 8, 0), juce::Justification::centredLeft,
                     8);
}

// The V4 box, but with its icon whole inside the column left of the text
// (the V4 drawing pushes it out across the box's top-left corner).
void V6LookAndFeel::drawAlertBox(juce::Graphics& g, juce::AlertWindow& alert, const juce::Rectangle<int>& textArea,
                                 juce::TextLayout& textLayout) {
    juce::ignoreUnused(textArea);
    constexpr float cornerSize = 4.0f;
    g.setColour(alert.findColour(juce::AlertWindow::outlineColourId));
    g.drawRoundedRectangle(alert.getLocalBounds().toFloat(), cornerSize, 2.0f);
    const auto bounds = alert.getLocalBounds().reduced(1);
    g.reduceClipRegion(bounds);
    g.setColour(alert.findColour(juce::AlertWindow::backgroundColourId));
    g.fillRoundedRectangle(bounds.toFloat(), cornerSize);

    constexpr int iconColumn = 80;
    int iconSpaceUsed = 0;
    if (alert.getAlertType() != juce::MessageBoxIconType::NoIcon) {
        constexpr int iconSize = 52;
        const juce::Rectangle<float> iconRect(static_cast<float>(bounds.getX() + (iconColumn - iconSize) / 2), 30.0f,
                                              static_cast<float>(iconSize), static_cast<float>(iconSize));
        juce::Path icon;
        char character = '!';
        juce::Colour colour(0x66ff2a00);
        if (alert.getAlertType() == juce::MessageBoxIconType::WarningIcon) {
            icon.addTriangle(iconRect.getCentreX(), iconRect.getY(), iconRect.getRight(), iconRect.getBottom(),
                             iconRect.getX(), iconRect.getBottom());
            icon = icon.createPathWithRoundedCorners(5.0f);
        } else {
            colour = juce::Colour(0xff00b0b9).withAlpha(0.4f);
            character = alert.getAlertType() == juce::MessageBoxIconType::InfoIcon ? 'i' : '?';
            icon.addEllipse(iconRect);
        }
        juce::GlyphArrangement glyphs;
        glyphs.addFittedText(juce::Font(iconRect.getHeight() * 0.9f, juce::Font::bold),
                             juce::String::charToString(static_cast<juce::juce_wchar>(character)), iconRect.getX(),
                             iconRect.getY(), iconRect.getWidth(), iconRect.getHeight(), juce::Justification::centred,
                             false);
        glyphs.createPath(icon);
        icon.setUsingNonZeroWinding(false);
        g.setColour(colour);
        g.fillPath(icon);
        iconSpaceUsed = iconColumn;
    }
    g.setColour(alert.findColour(juce::AlertWindow::textColourId));
    const juce::Rectangle<int> textBounds(bounds.getX() + iconSpaceUsed, 30, bounds.getWidth(),
                                          bounds.getHeight() - getAlertWindowButtonHeight() - 20);
    textLayout.draw(g, textBounds.toFloat());
}

juce::AlertWindow* V6LookAndFeel::createAlertWindow(const juce::String& title, const juce::String& message,
                                                    const juce::String& button1, const juce::String& button2,
                                                    const juce::String& button3, juce::MessageBoxIconType iconType,
                                                    int numButtons, juce::Component* associatedComponent) {
    auto* window = LookAndFeel_V2::createAlertWindow(title, message, button1, button2, button3, iconType,
                                                     numButtons, associatedComponent);
    if (window == nullptr) return nullptr;
    // The box is a desktop window of its own: without this it would be drawn
    // by the framework's default look, not by the one that created it. The
    // window holds the look weakly, so a box that outlives it falls back
    // safely. Setting it lays the box out again; the V4 margins follow.
    window->setLookAndFeel(this);
    constexpr int margin = 50;
    window->setBounds(window->getBounds().withSizeKeepingCentre(window->getWidth() + margin,
                                                                window->getHeight() + margin));
    for (auto* child : window->getChildren())
        if (auto* button = dynamic_cast<juce::TextButton*>(child))
            button->setBounds(button->getBounds() + juce::Point<int>(margin / 2, 40));
    return window;
}

}  // namespace vt6::ui::widgets
