#pragma once
// Typed values for sliders: lenient reading of number texts, the small text
// box that opens over a slider, and the slider's right-click value menu.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vt6::ui::widgets {

using SnapFunction = std::function<double(double)>;

// Typographic minus signs and dashes become "-", the infinity sign "inf".
std::string normaliseNumberText(std::string_view utf8);

// Reads what a user typed as a number: a decimal comma, "L"/"R" side
// prefixes, "inf", a "k" suffix and a lone "c" for the centre are accepted,
// and text after the number (a unit) is ignored. No value when nothing
// readable or finite is there.
std::optional<double> parseValueText(std::string_view utf8);

// At most 9 decimals, without trailing zeros or a trailing point; "-0" is "0".
std::string formatNumber(double x, int decimals);
juce::String formatNumber3(double x);

// "min – max unit", the range a typed value is clamped to.
juce::String rangeHintText(const juce::Slider& slider, const juce::String& unit);

// The typed-value box of one slider. The box lives in the slider's window,
// above everything else, while the entry is open.
class ValueEntry {
public:
    ValueEntry();
    ~ValueEntry();
    ValueEntry(const ValueEntry&) = delete;
    ValueEntry& operator=(const ValueEntry&) = delete;

    // Opens the box over the slider with the current text selected. Does
    // nothing more when the slider is disabled or has an empty range.
    void open(juce::Slider& slider, const juce::String& currentText, const juce::String& title,
              const juce::String& unit, SnapFunction snap);

    // True when the entry is done (closed): with the text unchanged the value
    // is left alone, otherwise the parsed, snapped and clamped value is set as
    // one gesture. False when the text is not a number; the box stays open.
    bool commit();

    // Closes without touching the value.
    void close();

    bool isOpen() const noexcept { return box_ != nullptr; }
    juce::TextEditor* box() const noexcept { return box_.get(); }

private:
    void commitOnReturn();
    void cancelOnEscape();
    void commitOnFocusLost();
    // Runs a reaction of the box; a box closed inside its own callback is
    // deleted only after that callback has returned.
    void fromBox(juce::TextEditor* sender, void (ValueEntry::*reaction)());

    std::unique_ptr<juce::TextEditor> box_;
    juce::Component::SafePointer<juce::Slider> target_;
    juce::String initialText_;
    SnapFunction snap_;
    // Lets the box's callbacks, which can arrive after this entry is gone,
    // find out that it is.
    std::shared_ptr<ValueEntry*> self_;
    bool inBoxCallback_ = false;
};

// The component a value box is added to: the top-level component, or the
// content component of a resizable window (which accepts no other children).
juce::Component* valueBoxHost(juce::Component& slider);

// The box's bounds in its host's coordinates: at least 72 px wide, 22 high,
// centred on the slider and kept inside the host.
juce::Rectangle<int> valueBoxBounds(juce::Rectangle<int> sliderInHost, juce::Rectangle<int> hostArea);

inline constexpr int kTypeValueItem = 1;
inline constexpr int kResetValueItem = 2;

// The right-click menu of a slider: "Type a value…" and "Reset to default".
juce::PopupMenu makeSliderValueMenu(const juce::Slider& slider, const juce::String& defaultText);

// What the menu's answer acts on; it holds the slider safely, so an answer
// arriving after the slider is gone does nothing.
struct SliderMenuCapture {
    juce::Component::SafePointer<juce::Slider> slider;
    ValueEntry* entry = nullptr;
    juce::String currentText, title, unit;
    SnapFunction snap;

    void onResult(int item) const;
};

void showSliderValueMenu(ValueEntry& entry, juce::Slider& slider, const juce::String& currentText,
                         const juce::String& title, const juce::String& unit, const juce::String& defaultText,
                         SnapFunction snap);

}  // namespace vt6::ui::widgets
