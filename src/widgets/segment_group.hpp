#pragma once
// A row of mutually exclusive segments drawn as a pill (text or icon per
// segment), and the compact drop-down chip. The editor's reorder strips derive
// from the segment group and reuse its geometry and painting.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::widgets {

// Anything that can name what lies under a point, for the name tips.
class NameTipSource {
public:
    virtual ~NameTipSource() = default;
    virtual juce::String getNameTip(juce::Point<int> point) = 0;
};

class V6SegmentGroup : public juce::Component, public juce::SettableTooltipClient, public NameTipSource {
public:
    static constexpr int kCompactStyle = 3;
    // The fixed label colour over a bright flash, whatever the state.
    static constexpr juce::uint32 kFlashTextArgb = 0xFF141B2E;

    // Fill and text colour of the selected segment.
    using SelectedColours = std::function<std::optional<std::pair<juce::Colour, juce::Colour>>(int)>;

    V6SegmentGroup(const juce::StringArray& labels, const juce::String& name);
    ~V6SegmentGroup() override;

    SelectedColours selectedColours;
    std::function<void(int)> onChange;

    void setLabels(const juce::StringArray& labels, int index);
    void setSelectedIndex(int index, bool notify);
    void setSegmentEnabled(int index, bool enabled);
    bool isSegmentEnabled(int index) const;
    // Icon segments: a non-empty path turns segment i into an icon segment.
    void setIcons(std::vector<juce::Path> icons);
    void setStyle(int style);
    void setNaturalLayout(bool natural);
    void setSegmentTooltip(int index, const juce::String& tooltip);
    void setSegmentNameTip(int index, const juce::String& nameTip);
    void setFlashLevel(int index, float level);

    int getSelectedIndex() const noexcept { return selected_; }
    int getNumSegments() const noexcept { return count_; }
    int style() const noexcept { return style_; }
    bool naturalLayout() const noexcept { return naturalLayout_; }
    const juce::StringArray& labels() const noexcept { return labels_; }
    float flashLevel(int index) const;

    int getIdealWidth() const;
    juce::Rectangle<int> segmentBounds(int index) const;
    int segmentAt(juce::Point<int> point) const;
    juce::Font getLabelFont() const;
    int segmentNaturalWidth(int index) const;
    int squeezePerSide() const;
    int segmentWidth(int index, int squeeze) const;
    // The colour a segment's label or icon is drawn in for this state.
    juce::Colour segmentTextColour(int index, int hovered) const;

    void paintSegments(juce::Graphics& g, const WidgetPaintState& state);

    void mouseDown(const juce::MouseEvent&) override;
    // The segment under the pointer lights; it goes dark again when the
    // pointer moves on or leaves.
    void mouseEnter(const juce::MouseEvent&) override;
    void mouseMove(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    juce::String getTooltip() override;
    juce::String getNameTip(juce::Point<int> point) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

private:
    int hoveredSegment_ = -1;  // as last painted lit, -1 for none
    bool isIconSegment(int index) const;
    bool isSqueezable(int index) const;
    // Right edge of the last segment in the current layout; 0 without segments.
    int rowWidth() const;

    juce::StringArray labels_;
    std::vector<juce::Path> icons_;
    int style_ = 0;
    int count_ = 0;
    int selected_ = -1;
    std::vector<bool> disabled_;
    juce::StringArray tooltips_;
    juce::StringArray nameTips_;
    bool naturalLayout_ = false;
    std::vector<float> flashLevels_;
};

// A combo box that paints its own compact face: a rounded field and a
// chevron. Its text is the combo box's own label, in the drop-chip font the
// look-and-feel gives it.
class V6DropChip : public juce::ComboBox, public Theme::Listener {
public:
    explicit V6DropChip(const juce::String& name = {});
    ~V6DropChip() override;

    void themeChanged() override;
    void paint(juce::Graphics&) override;
    void paintChip(juce::Graphics& g, const WidgetPaintState& state);
    // Its face lights under the pointer, also over the text it shows.
    void mouseEnter(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;

    // The open V of the chevron for a chip of this size, before stroking.
    static juce::Path chevronPath(float width, float height);
};

}  // namespace vt6::ui::widgets
