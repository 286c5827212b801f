#pragma once
// The small panel the level button drops down: one slider per room channel
// that can carry a default level (Direct, Room A to C). Releasing a slider,
// or committing a typed value, reports the new level once; the owner turns
// it into one undo step.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "widgets/slider.hpp"

namespace vt6::ui::zemedit {

// One listed room channel. The key guards against a layer list that changed
// between building the row and acting on it.
struct LevelRow {
    uint32_t layerIndex = 0;
    uint64_t layerKey = 0;
    std::string name;
    double level = 1.0;  // linear; 1.0 is the full recorded level, may exceed it
};

// The slider position of a level: 0 for none or non-finite, 100 for any
// level at or above the full recorded level.
double levelSliderValue(double level);
// The tooltip of a row's slider.
std::string levelTooltip(double level);

class ChannelLevelPanel : public juce::Component {
public:
    static constexpr const char* kTitle = "Room Channel Default Levels";

    ChannelLevelPanel();
    ~ChannelLevelPanel() override;

    // Layer index, layer key, new level within 0..1.
    std::function<void(uint32_t, uint64_t, double)> onLevelChanged;

    // Rebuilds the sliders only when the listed channels changed; otherwise
    // moves the values (except a slider being dragged) and tooltips.
    void setRows(std::vector<LevelRow> rows, int colourIndex);

    const std::vector<LevelRow>& rows() const noexcept { return rows_; }
    widgets::V6HSlider& slider(size_t i) { return *sliders_.at(i); }
    size_t sliderCount() const noexcept { return sliders_.size(); }
    int nameColumnWidth() const noexcept { return nameColumn_; }
    int valueColumnWidth() const noexcept { return valueColumn_; }
    int draggedRow() const noexcept { return draggedRow_; }
    // True while a slider's notification runs; deleting the panel then must
    // wait until it returns.
    bool notifying() const noexcept { return notifying_ > 0; }
    // Whether the component is, or lies inside, the open typed-value box of
    // one of the sliders (the boxes live in the window, not in the panel).
    bool ownsTypedValueBox(const juce::Component* component) const;

    void paint(juce::Graphics&) override;
    void resized() override;
    // The wheel over the open panel stops here: the grid behind it must not
    // zoom or scroll.
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override {}
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    // "100 %" for the value column: clamped to 0..100, halves up.
    static juce::String valueColumnText(double sliderValue);

private:
    void rebuild();
    void sliderDragEnded(size_t row);

    std::vector<LevelRow> rows_;
    std::vector<std::unique_ptr<widgets::V6HSlider>> sliders_;
    int nameColumn_ = 64;
    int valueColumn_ = 40;
    int draggedRow_ = -1;
    double dragStartValue_ = 0.0;
    int notifying_ = 0;
};

}  // namespace vt6::ui::zemedit
