#include "widgets/value_entry.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "widgets/menus.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::widgets {

namespace {

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool numberStartsAt(const std::string& s, std::size_t i) {
    if (i >= s.size()) return false;
    if (isDigit(s[i])) return true;
    if (s[i] == '+' || s[i] == '-' || s[i] == '.')
        return i + 1 < s.size() && (isDigit(s[i + 1]) || s[i + 1] == '.');
    return false;
}

std::size_t skipSpaces(const std::string& s, std::size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

// A decimal number at the start of s: sign, digits, point, exponent; length
// is how many characters it took. No value when nothing is read or the number
// is not finite; a number too small to represent reads as the nearest
// representable one.
std::optional<double> readNumber(std::string_view s, std::size_t& length) {
    std::size_t sign = 0;
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        sign = 1;
    }
    const char* first = s.data() + sign;
    const char* last = s.data() + s.size();
    if (first == last || *first == '+' || *first == '-') return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (end == first) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // Overflow is not a value; underflow is (what the C library gives).
        const std::string consumed(first, end);
        value = std::strtod(consumed.c_str(), nullptr);
    } else if (error != std::errc()) {
        return std::nullopt;
    }
    if (!std::isfinite(value)) return std::nullopt;
    length = sign + static_cast<std::size_t>(end - first);
    return negative ? -value : value;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool disabledInHierarchy(const juce::Component& component) {
    for (auto* c = &component; c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return true;
    return false;
}

juce::String fromUtf8(const std::string& s) { return juce::String::fromUTF8(s.data(), static_cast<int>(s.size())); }

}  // namespace

std::string normaliseNumberText(std::string_view utf8) {
    std::string s(utf8);
    replaceAll(s, "\xe2\x88\x92", "-");  // minus sign
    replaceAll(s, "\xe2\x80\x93", "-");  // en dash
    replaceAll(s, "\xe2\x80\x94", "-");  // em dash
    replaceAll(s, "\xe2\x88\x9e", "inf");
    return s;
}

std::optional<double> parseValueText(std::string_view utf8) {
    std::string s = normaliseNumberText(utf8);
    const auto first = s.find_first_not_of(" \t\n\r");
    if (first == std::string::npos) return std::nullopt;
    s = s.substr(first, s.find_last_not_of(" \t\n\r") - first + 1);

    if (s.find('.') == std::string::npos && std::count(s.begin(), s.end(), ',') == 1)
        s[s.find(',')] = '.';
    s.erase(std::remove(s.begin(), s.end(), ','), s.end());
    if (s.empty()) return std::nullopt;

    if ((s.front() == 'c' || s.front() == 'C') && std::none_of(s.begin(), s.end(), isDigit)) return 0.0;

    std::size_t pos = 0;
    double factor = 1.0;
    if (s.front() == 'l' || s.front() == 'L' || s.front() == 'r' || s.front() == 'R') {
        const std::size_t after = skipSpaces(s, 1);
        if (numberStartsAt(s, after)) {
            pos = after;
            factor = (s.front() == 'l' || s.front() == 'L') ? -1.0 : 1.0;
        }
    }

    {
        std::size_t i = pos;
        double sign = 1.0;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            sign = s[i] == '-' ? -1.0 : 1.0;
            ++i;
        }
        i = skipSpaces(s, i);
        if (i + 3 <= s.size() && equalsIgnoringCase(std::string_view(s).substr(i, 3), "inf"))
            return sign * factor * std::numeric_limits<double>::infinity();
    }

    if (!numberStartsAt(s, pos)) return std::nullopt;
    std::size_t length = 0;
    const auto number = readNumber(std::string_view(s).substr(pos), length);
    if (!number) return std::nullopt;
    double value = *number * factor;
    const std::size_t after = skipSpaces(s, pos + length);
    if (after < s.size() && (s[after] == 'k' || s[after] == 'K')) value *= 1000.0;
    return value;
}

std::string formatNumber(double x, int decimals) {
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    const int d = std::clamp(decimals, 0, 9);
    const int length = std::snprintf(nullptr, 0, "%.*f", d, x);
    if (length <= 0) return {};
    std::string s(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(s.data(), s.size(), "%.*f", d, x);
    s.resize(static_cast<std::size_t>(length));
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
        if (!s.empty() && s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

juce::String formatNumber3(double x) { return fromUtf8(formatNumber(x, 3)); }

juce::String rangeHintText(const juce::Slider& slider, const juce::String& unit) {
    auto text = formatNumber3(slider.getMinimum()) + juce::String::fromUTF8(" \xe2\x80\x93 ") +
                formatNumber3(slider.getMaximum());
    if (unit.isNotEmpty()) text << " " << unit;
    return text;
}

juce::Component* valueBoxHost(juce::Component& slider) {
    auto* top = slider.getTopLevelComponent();
    // A resizable window asserts on children of its own; its content
    // component is the window's face.
    if (auto* window = dynamic_cast<juce::ResizableWindow*>(top))
        if (auto* content = window->getContentComponent()) return content;
    return top;
}

juce::Rectangle<int> valueBoxBounds(juce::Rectangle<int> s, juce::Rectangle<int> host) {
    constexpr int kMinWidth = 72, kHeight = 22;
    const int bw = std::max(s.getWidth(), kMinWidth);
    int x = s.getX() + s.getWidth() / 2 - bw / 2;
    int y = s.getY() + s.getHeight() / 2 - kHeight / 2;
    x = std::max(0, std::min(x, host.getWidth() - bw));
    y = std::max(0, std::min(y, host.getHeight() - kHeight));
    return {x, y, std::min(bw, host.getWidth()), std::min(kHeight, host.getHeight())};
}

ValueEntry::ValueEntry() : self_(std::make_shared<ValueEntry*>(this)) {}

ValueEntry::~ValueEntry() {
    *self_ = nullptr;
    close();
}

void ValueEntry::close() {
    target_ = nullptr;
    if (box_ == nullptr) return;
    std::unique_ptr<juce::TextEditor> box = std::move(box_);
    if (auto* parent = box->getParentComponent()) parent->removeChildComponent(box.get());
    if (inBoxCallback_) {
        // The framework is still inside the box's own callback.
        std::shared_ptr<juce::TextEditor> retired(std::move(box));
        juce::MessageManager::callAsync([retired] {});
    }
}

void ValueEntry::fromBox(juce::TextEditor* sender, void (ValueEntry::*reaction)()) {
    // Late callbacks of a box already closed (a focus loss posted while it
    // was removed) belong to no entry.
    if (sender == nullptr || sender != box_.get()) return;
    const bool outer = !inBoxCallback_;
    inBoxCallback_ = true;
    (this->*reaction)();
    if (outer) inBoxCallback_ = false;
}

void ValueEntry::open(juce::Slider& slider, const juce::String& currentText, const juce::String& title,
                      const juce::String& unit, SnapFunction snap) {
    close();
    if (disabledInHierarchy(slider) || !(slider.getMinimum() < slider.getMaximum())) return;
    auto* host = valueBoxHost(slider);
    if (host == nullptr || host == &slider) return;  // nowhere to show a box

    target_ = &slider;
    initialText_ = currentText;
    snap_ = std::move(snap);

    auto box = std::make_unique<juce::TextEditor>();
    box->setMultiLine(false);
    box->setJustification(juce::Justification::centred);
    box->setFont(makeFont(kTypeValue));
    box->setColour(juce::TextEditor::backgroundColourId, themeColour(ThemeColour::fieldBackground));
    box->setColour(juce::TextEditor::textColourId, themeColour(ThemeColour::textPrimary));
    box->setColour(juce::TextEditor::outlineColourId, themeColour(ThemeColour::border));
    box->setColour(juce::TextEditor::focusedOutlineColourId, themeColour(ThemeColour::border));
    box->setColour(juce::TextEditor::highlightColourId, themeColour(ThemeColour::accentWash));
    box->setColour(juce::CaretComponent::caretColourId, themeColour(ThemeColour::accent));
    juce::String name = title.isNotEmpty() ? title : slider.getTitle();
    if (name.isEmpty()) name = "Value";
    name << ": type a value";
    box->setTitle(name);
    box->setName(name);
    const auto hint = rangeHintText(slider, unit);
    box->setTooltip(hint);
    box->setTextToShowWhenEmpty(hint, themeColour(ThemeColour::textMuted));
    box->setText(currentText, false);
    box->setBounds(valueBoxBounds(host->getLocalArea(&slider, slider.getLocalBounds()), host->getLocalBounds()));

    auto* raw = box.get();
    const std::weak_ptr<ValueEntry*> self = self_;
    const auto route = [self, raw](void (ValueEntry::*reaction)()) {
        return [self, raw, reaction] {
            if (const auto alive = self.lock(); alive && *alive != nullptr) (*alive)->fromBox(raw, reaction);
        };
    };
    box->onReturnKey = route(&ValueEntry::commitOnReturn);
    box->onEscapeKey = route(&ValueEntry::cancelOnEscape);
    box->onFocusLost = route(&ValueEntry::commitOnFocusLost);

    box_ = std::move(box);
    box_->setVisible(true);
    host->addChildComponent(box_.get());
    box_->selectAll();
    box_->grabKeyboardFocus();
    // Opened from a menu's answer, the focus is handed back to the window
    // after this returns; take it again once that is done.
    juce::MessageManager::callAsync([box = juce::Component::SafePointer<juce::TextEditor>(raw)] {
        if (box != nullptr && box->isShowing() && !box->hasKeyboardFocus(false)) box->grabKeyboardFocus();
    });
}

bool ValueEntry::commit() {
    if (box_ == nullptr) return true;
    if (target_ == nullptr) {
        close();
        return true;
    }
    const auto text = box_->getText();
    if (text == initialText_) {
        close();
        return true;
    }
    auto value = parseValueText(text.toStdString());
    if (!value) return false;
    double v = snap_ ? snap_(*value) : *value;
    if (std::isnan(v)) return false;
    juce::Slider* slider = target_.getComponent();
    v = std::clamp(v, slider->getMinimum(), slider->getMaximum());
    close();
    const juce::Slider::ScopedDragNotification gesture(*slider);
    slider->setValue(v, juce::sendNotificationSync);
    return true;
}

void ValueEntry::commitOnReturn() { commit(); }

void ValueEntry::cancelOnEscape() { close(); }

void ValueEntry::commitOnFocusLost() {
    if (!commit()) close();
}

juce::PopupMenu makeSliderValueMenu(const juce::Slider& slider, const juce::String& defaultText) {
    const bool enabled = !disabledInHierarchy(slider);
    juce::PopupMenu menu;
    menu.addItem(kTypeValueItem, juce::String::fromUTF8("Type a value\xe2\x80\xa6"), enabled);
    juce::String reset = "Reset to default";
    if (defaultText.isNotEmpty()) reset << " (" << defaultText << ")";
    menu.addItem(kResetValueItem, reset, enabled && slider.isDoubleClickReturnEnabled());
    return menu;
}

void SliderMenuCapture::onResult(int item) const {
    auto* target = slider.getComponent();
    if (target == nullptr || item == 0) return;
    if (item == kTypeValueItem) {
        if (entry != nullptr) entry->open(*target, currentText, title, unit, snap);
    } else if (item == kResetValueItem) {
        const juce::Slider::ScopedDragNotification gesture(*target);
        target->setValue(target->getDoubleClickReturnValue(), juce::sendNotificationSync);
    }
}

void showSliderValueMenu(ValueEntry& entry, juce::Slider& slider, const juce::String& currentText,
                         const juce::String& title, const juce::String& unit, const juce::String& defaultText,
                         SnapFunction snap) {
    SliderMenuCapture capture{&slider, &entry, currentText, title, unit, std::move(snap)};
    showMenuAsync(makeSliderValueMenu(slider, defaultText), juce::PopupMenu::Options().withTargetComponent(&slider),
                  [capture](int item) { capture.onResult(item); });
}

}  // namespace vt6::ui::widgets
