#pragma once
// The program's two push buttons. Both keep juce::Button's click, toggle,
// tooltip and accessibility behaviour and only paint themselves.

#include <juce_gui_basics/juce_gui_basics.h>

#include <optional>

#include "widgets/theme.hpp"

namespace vt6::ui::widgets {

class V6Button : public juce::Button {
public:
    // style: 0 surface, 1 secondary, any other value primary.
    V6Button(const juce::String& text, int style);
    ~V6Button() override;

    juce::Font getFont() const;
    int getIdealWidth() const;

    void setActive(bool active);
    bool isActive() const noexcept { return active_; }

    void setHorizontalInset(double inset) { horizontalInset_ = inset; }
    double horizontalInset() const noexcept { return horizontalInset_; }
    void setFontScale(float scale) { fontScale_ = scale; }
    void setIcon(std::optional<int> icon) { icon_ = icon; }
    void setFontRole(std::optional<TypeStyle> role) { fontRole_ = role; }
    void setTone(int tone) { tone_ = tone; }
    void setEllipsisSuffix(bool on) { ellipsisSuffix_ = on; }
    void setTruncateText(bool on) { truncateText_ = on; }
    void setFillColour(ThemeColour colour) { fillColour_ = colour; }
    int style() const noexcept { return style_; }

    // Face, outline and content colours for a state; painting uses exactly these.
    struct Colours {
        juce::Colour fill, outline, content;
    };
    Colours coloursFor(bool hovered, bool pressed) const;

protected:
    void paintButton(juce::Graphics&, bool highlighted, bool down) override;

private:
    double horizontalInset_ = 14.0;
    float fontScale_ = 1.0f;
    std::optional<int> icon_;
    std::optional<TypeStyle> fontRole_;
    int style_;
    int tone_ = 0;
    bool active_ = false;
    bool ellipsisSuffix_ = false;
    bool truncateText_ = false;
    ThemeColour fillColour_ = ThemeColour::surfaceRaised;
};

class V6IconButton : public juce::Button {
public:
    V6IconButton(int iconId, const juce::String& name);
    ~V6IconButton() override;

    void setVariant(int variant);
    int variant() const noexcept { return variant_; }
    void setActive(bool active);
    bool isActive() const noexcept { return active_; }
    void setScale(float scale) { scale_ = scale; }
    void setLabel(const juce::String& label) { label_ = label; }
    void setLabelFont(TypeStyle font) { labelFont_ = font; }
    void setGlyphCharacter(char c) { glyphCharacter_ = c; }
    int iconId() const noexcept { return iconId_; }

    // The square the glyph is drawn in: the whole face without a label, the
    // left h x h square with one.
    juce::Rectangle<float> glyphBox() const;
    // Draws glyph iconId (0-24) in colour c inside box; glyphSize is the size
    // of the basic icons 16-23 and the height of the character of 24.
    static void drawGlyph(juce::Graphics& g, int iconId, juce::Rectangle<float> box, float glyphSize, juce::Colour c,
                          char character);

protected:
    void paintButton(juce::Graphics&, bool highlighted, bool down) override;

private:
    float scale_ = 1.0f;
    juce::String label_;
    TypeStyle labelFont_ = kTypeButton;
    int variant_ = 0;
    int iconId_;
    char glyphCharacter_ = 0;
    bool active_ = false;
};

}  // namespace vt6::ui::widgets
