#include "editor/ui/level_panel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "editor/logic/edit_document.hpp"
#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

constexpr int kRowTop = 44;
constexpr int kRowPitch = 34;
constexpr int kRowHeight = 30;
constexpr int kSliderWidth = 180;

int ceilWidth(const TypeStyle& role, const juce::String& text) {
    return static_cast<int>(std::ceil(makeFont(role).getStringWidthFloat(text)));
}

bool sameList(const std::vector<LevelRow>& a, const std::vector<LevelRow>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].layerIndex != b[i].layerIndex || a[i].layerKey != b[i].layerKey || a[i].name != b[i].name)
            return false;
    return true;
}

}  // namespace

double levelSliderValue(double level) {
    if (!std::isfinite(level) || level <= 0.0) return 0.0;
    return level / std::max(level, 1.0) * 100.0;
}

std::string levelTooltip(double level) {
    if (std::isfinite(level) && level > 1.0) {
        char decibels[32];
        std::snprintf(decibels, sizeof decibels, "%.1f", 20.0 * std::log10(level));
        return std::string("Stored above the full recorded level (+") + decibels +
               " dB). Moving the slider replaces it.";
    }
    return "The level this channel starts at when the zem is loaded";
}

ChannelLevelPanel::ChannelLevelPanel() {
    setName(kTitle);
    setTitle(kTitle);
}

ChannelLevelPanel::~ChannelLevelPanel() = default;

juce::String ChannelLevelPanel::valueColumnText(double sliderValue) {
    const double v = std::isfinite(sliderValue) ? std::clamp(sliderValue, 0.0, 100.0) : 0.0;
    return juce::String(static_cast<int>(std::floor(v + 0.5))) + " %";
}

void ChannelLevelPanel::setRows(std::vector<LevelRow> rows, int colourIndex) {
    const bool same = sameList(rows_, rows);
    rows_ = std::move(rows);
    if (!same) rebuild();
    for (size_t i = 0; i < rows_.size() && i < sliders_.size(); ++i) {
        auto& slider = *sliders_[i];
        slider.colourIndex = colourIndex;
        slider.repaint();
        slider.setEnabled(true);
        // A slider under the user's hand keeps its position until released.
        if (draggedRow_ != static_cast<int>(i))
            slider.setValue(levelSliderValue(rows_[i].level), juce::dontSendNotification);
        slider.setTooltip(juce::String::fromUTF8(levelTooltip(rows_[i].level).c_str()));
    }
    repaint();
}

void ChannelLevelPanel::rebuild() {
    draggedRow_ = -1;
    if (notifying_ > 0 && !sliders_.empty()) {
        // A slider's own notification is still running: take the sliders out
        // of the panel now and delete them once it has returned.
        auto retired = std::make_shared<std::vector<std::unique_ptr<widgets::V6HSlider>>>(std::move(sliders_));
        for (auto& s : *retired) removeChildComponent(s.get());
        juce::MessageManager::callAsync([retired] {});
    }
    sliders_.clear();

    int widestName = 0;
    for (const auto& row : rows_)
        widestName = std::max(widestName, ceilWidth(kTypeValue, juce::String::fromUTF8(row.name.c_str())));
    nameColumn_ = std::clamp(widestName + 4, 64, 160);
    valueColumn_ = ceilWidth(kTypeText, "100 %") + 4;

    for (size_t i = 0; i < rows_.size(); ++i) {
        auto slider = std::make_unique<widgets::V6HSlider>(juce::String::fromUTF8(rows_[i].name.c_str()) +
                                                           " default level");
        slider->setRange(0.0, 100.0, 1.0);
        slider->setWantsKeyboardFocus(true);
        slider->setTextValueSuffix(" %");
        slider->formatter = [](double value) {
            return juce::String::fromUTF8(logic::percentText(value).c_str());
        };
        slider->unit = "%";
        auto* raw = slider.get();
        slider->onValueChange = [this] { repaint(); };
        slider->onDragStart = [this, raw, i] {
            draggedRow_ = static_cast<int>(i);
            dragStartValue_ = raw->getValue();
        };
        slider->onDragEnd = [this, i] { sliderDragEnded(i); };
        addAndMakeVisible(*slider);
        sliders_.push_back(std::move(slider));
    }

    const int n = static_cast<int>(rows_.size());
    const int width = std::max(ceilWidth(kTypeHeading, kTitle) + 28, nameColumn_ + valueColumn_ + 228);
    const int height = 58 + 30 * n + 4 * std::max(n - 1, 0);
    setSize(width, height);
    resized();
}

void ChannelLevelPanel::sliderDragEnded(size_t row) {
    if (draggedRow_ != static_cast<int>(row) || row >= sliders_.size() || row >= rows_.size()) return;
    draggedRow_ = -1;
    const double value = sliders_[row]->getValue();
    if (value == dragStartValue_ || !onLevelChanged) return;
    const double level = std::isfinite(value) ? std::clamp(value, 0.0, 100.0) / 100.0 : 0.0;
    const uint32_t layerIndex = rows_[row].layerIndex;
    const uint64_t layerKey = rows_[row].layerKey;
    ++notifying_;
    onLevelChanged(layerIndex, layerKey, level);
    --notifying_;
}

bool ChannelLevelPanel::ownsTypedValueBox(const juce::Component* component) const {
    if (component == nullptr) return false;
    for (const auto& slider : sliders_) {
        const auto* box = slider->valueEntry().box();
        if (box != nullptr && (box == component || box->isParentOf(component))) return true;
    }
    return false;
}

void ChannelLevelPanel::paint(juce::Graphics& g) {
    const int w = getWidth(), h = getHeight();
    const float radius = static_cast<float>(std::min(h / 2, Theme::instance().cornerRadius));
    widgets::paintThemedBox(g, getLocalBounds().toFloat(), radius, ThemeColour::popupBackground);

    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(makeFont(kTypeHeading));
    g.drawText(kTitle, juce::Rectangle<int>(14, 14, std::max(0, w - 28), 22), juce::Justification::centredLeft,
               false);

    for (size_t i = 0; i < rows_.size() && i < sliders_.size(); ++i) {
        const int y = kRowTop + kRowPitch * static_cast<int>(i);
        g.setColour(themeColour(ThemeColour::textPrimary).withAlpha(static_cast<uint8_t>(217)));
        g.setFont(makeFont(kTypeValue));
        g.drawText(juce::String::fromUTF8(rows_[i].name.c_str()), juce::Rectangle<int>(14, y, nameColumn_, kRowHeight),
                   juce::Justification::centredLeft, true);
        g.setColour(themeColour(ThemeColour::textMuted));
        g.setFont(makeFont(kTypeText));
        g.drawText(valueColumnText(sliders_[i]->getValue()),
                   juce::Rectangle<int>(w - 14 - valueColumn_, y, valueColumn_, kRowHeight),
                   juce::Justification::centredRight, false);
    }
}

void ChannelLevelPanel::resized() {
    for (size_t i = 0; i < sliders_.size(); ++i)
        sliders_[i]->setBounds(nameColumn_ + 24, kRowTop + kRowPitch * static_cast<int>(i), kSliderWidth,
                               kRowHeight);
}

std::unique_ptr<juce::AccessibilityHandler> ChannelLevelPanel::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::group);
}

}  // namespace vt6::ui::zemedit
