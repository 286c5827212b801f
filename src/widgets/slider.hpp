#pragma once
// The program's horizontal slider: the framework's value model, dragging and
// keys, painted in the theme, with a typed-value menu, a fine-adjust
// indicator and an invisible surface that makes it easier to hit.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>

#include "widgets/paint.hpp"
#include "widgets/value_entry.hpp"

namespace vt6::ui::widgets {

class V6HSlider;

// Keeps an invisible surface 5 px larger than the slider on every side in
// the slider's parent, and forwards what it catches to the slider.
class SliderTouchTarget : public juce::ComponentListener {
public:
    class Surface : public juce::Component {
    public:
        explicit Surface(V6HSlider& slider);
        V6HSlider& slider() const noexcept { return slider_; }

        bool hitTest(int x, int y) override;
        void mouseDown(const juce::MouseEvent&) override;
        void mouseDrag(const juce::MouseEvent&) override;
        void mouseUp(const juce::MouseEvent&) override;
        void mouseDoubleClick(const juce::MouseEvent&) override;
        void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;
        void mouseMove(const juce::MouseEvent&) override;
        void mouseEnter(const juce::MouseEvent&) override;
        void mouseExit(const juce::MouseEvent&) override;

    private:
        V6HSlider& slider_;
    };

    explicit SliderTouchTarget(V6HSlider& slider);
    ~SliderTouchTarget() override;
    SliderTouchTarget(const SliderTouchTarget&) = delete;
    SliderTouchTarget& operator=(const SliderTouchTarget&) = delete;

    // Follows the slider: the same parent, its bounds grown by 5 px, visible
    // exactly when the slider is. A slider without a parent has its surface
    // detached and hidden until it gets one.
    void sync();
    Surface& surface() const noexcept { return *surface_; }

    void componentMovedOrResized(juce::Component&, bool wasMoved, bool wasResized) override;
    void componentVisibilityChanged(juce::Component&) override;
    void componentParentHierarchyChanged(juce::Component&) override;

private:
    V6HSlider& slider_;
    std::unique_ptr<Surface> surface_;
};

class V6HSlider : public juce::Slider {
public:
    explicit V6HSlider(const juce::String& name = {});
    ~V6HSlider() override;

    // Set by the owner right after construction.
    std::function<void()> onFineAdjust;  // fine adjustment switched on or off
    int fillMode = 0;                    // 0 gradient, 1 bipolar, other values solid
    int colourIndex = -1;                // -1 accent, else the theme's category colour
    bool fineAdjustEnabled = false;      // Alt turns on fine adjustment
    std::function<juce::String(double)> formatter;
    juce::String unit;
    SnapFunction snap;

    bool pointerInside() const noexcept { return pointerInside_; }
    bool altHeld() const noexcept { return altHeld_; }
    bool fineActive() const noexcept { return fineAdjustEnabled && fineActive_; }
    bool fineIndicatorShowing() const noexcept { return fineAdjustEnabled && pointerInside_ && altHeld_; }

    juce::String valueText(double value) const;
    ValueEntry& valueEntry() noexcept { return valueEntry_; }
    SliderTouchTarget& touchTarget() noexcept { return *touchTarget_; }

    void paintSlider(juce::Graphics& g, float width, float height, const WidgetPaintState& state) const;
    static void paintThumb(juce::Graphics& g, float centreX, float centreY);
    void paintFineIndicator(juce::Graphics& g, float width) const;

    void mouseMove(const juce::MouseEvent&) override;
    void mouseEnter(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;
    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void mouseDoubleClick(const juce::MouseEvent&) override;
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;
    bool keyPressed(const juce::KeyPress&) override;
    void modifierKeysChanged(const juce::ModifierKeys&) override;
    void paint(juce::Graphics&) override;
    // The track that takes the pointer is laid out by the look-and-feel; a
    // slider sized before it reached its window lays it out again there, so
    // that it matches the track it paints.
    void parentHierarchyChanged() override;
    void lookAndFeelChanged() override;

    static constexpr float kThumbRadius = 7.0f;

private:
    void updateFineAdjust(juce::ModifierKeys mods, bool inside);

    bool pointerInside_ = false;
    bool altHeld_ = false;
    bool fineActive_ = false;
    // A right-button press belongs to the value menu: the framework sees
    // neither it nor the drag and release that follow it.
    bool menuPress_ = false;
    ValueEntry valueEntry_;
    std::unique_ptr<SliderTouchTarget> touchTarget_;
};

}  // namespace vt6::ui::widgets
