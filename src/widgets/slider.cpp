#include "widgets/slider.hpp"

#include <algorithm>
#include <cmath>

namespace vt6::ui::widgets {

namespace {

constexpr int kTouchMargin = 5;

bool disabledInHierarchy(const juce::Component& component) {
    for (auto* c = &component; c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return true;
    return false;
}

// Squared distance from p to the rectangle; 0 along an axis where p lies
// within the rectangle's span.
long long squaredDistance(juce::Point<int> p, juce::Rectangle<int> r) {
    const long long dx = std::max({r.getX() - p.x, p.x - r.getRight(), 0});
    const long long dy = std::max({r.getY() - p.y, p.y - r.getBottom(), 0});
    return dx * dx + dy * dy;
}

bool isArrowKey(const juce::KeyPress& key) {
    const int code = key.getKeyCode();
    return code == juce::KeyPress::leftKey || code == juce::KeyPress::rightKey || code == juce::KeyPress::upKey ||
           code == juce::KeyPress::downKey;
}

}  // namespace

// ---------------------------------------------------------------------------
// SliderTouchTarget

SliderTouchTarget::Surface::Surface(V6HSlider& slider) : slider_(slider) {
    setName("Slider touch surface");
    setOpaque(false);
    setWantsKeyboardFocus(false);
}

bool SliderTouchTarget::Surface::hitTest(int x, int y) {
    auto* parent = getParentComponent();
    if (parent == nullptr || !slider_.isVisible() || disabledInHierarchy(slider_)) return false;
    const juce::Point<int> p = getPosition() + juce::Point<int>(x, y);
    if (slider_.getBounds().contains(p)) return false;
    const long long mine = squaredDistance(p, slider_.getBounds());
    bool earlier = true;  // whether the child being looked at comes before this surface
    for (auto* child : parent->getChildren()) {
        if (child == this) {
            earlier = false;
            continue;
        }
        if (child == &slider_ || !child->isVisible()) continue;
        if (!child->getBounds().contains(p)) continue;
        if (auto* other = dynamic_cast<Surface*>(child)) {
            const auto& otherSlider = other->slider();
            if (otherSlider.isVisible() && !disabledInHierarchy(otherSlider)) {
                const long long theirs = squaredDistance(p, otherSlider.getBounds());
                if (theirs < mine || (theirs == mine && earlier)) return false;
                continue;
            }
        }
        if (child->getComponentAt(p - child->getPosition()) != nullptr) return false;
    }
    return true;
}

namespace {

juce::MouseEvent toSlider(const juce::MouseEvent& e, juce::Component& slider) { return e.getEventRelativeTo(&slider); }

}  // namespace

void SliderTouchTarget::Surface::mouseDown(const juce::MouseEvent& e) { slider_.mouseDown(toSlider(e, slider_)); }
void SliderTouchTarget::Surface::mouseDrag(const juce::MouseEvent& e) { slider_.mouseDrag(toSlider(e, slider_)); }
void SliderTouchTarget::Surface::mouseUp(const juce::MouseEvent& e) { slider_.mouseUp(toSlider(e, slider_)); }
void SliderTouchTarget::Surface::mouseDoubleClick(const juce::MouseEvent& e) {
    slider_.mouseDoubleClick(toSlider(e, slider_));
}
void SliderTouchTarget::Surface::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) {
    slider_.mouseWheelMove(toSlider(e, slider_), wheel);
}
void SliderTouchTarget::Surface::mouseMove(const juce::MouseEvent& e) {
    slider_.mouseMove(toSlider(e, slider_));
    setMouseCursor(slider_.getMouseCursor());
}
void SliderTouchTarget::Surface::mouseEnter(const juce::MouseEvent& e) {
    slider_.mouseEnter(toSlider(e, slider_));
    setMouseCursor(slider_.getMouseCursor());
}
void SliderTouchTarget::Surface::mouseExit(const juce::MouseEvent& e) { slider_.mouseExit(toSlider(e, slider_)); }

SliderTouchTarget::SliderTouchTarget(V6HSlider& slider)
    : slider_(slider), surface_(std::make_unique<Surface>(slider)) {
    slider_.addComponentListener(this);
    sync();
}

SliderTouchTarget::~SliderTouchTarget() {
    slider_.removeComponentListener(this);
    surface_.reset();  // leaves its parent as it goes
}

void SliderTouchTarget::sync() {
    auto* parent = slider_.getParentComponent();
    auto* current = surface_->getParentComponent();
    if (parent == nullptr) {
        // Nothing to sit in yet: the parent-hierarchy notification brings the
        // surface back once the slider has a parent.
        if (current != nullptr) current->removeChildComponent(surface_.get());
        surface_->setVisible(false);
        return;
    }
    if (current != parent) {
        if (current != nullptr) current->removeChildComponent(surface_.get());
        parent->addChildComponent(surface_.get());
    }
    surface_->setBounds(slider_.getBounds().expanded(kTouchMargin));
    surface_->setVisible(slider_.isVisible());
}

void SliderTouchTarget::componentMovedOrResized(juce::Component&, bool, bool) { sync(); }
void SliderTouchTarget::componentVisibilityChanged(juce::Component&) { sync(); }
void SliderTouchTarget::componentParentHierarchyChanged(juce::Component&) { sync(); }

// ---------------------------------------------------------------------------
// V6HSlider

V6HSlider::V6HSlider(const juce::String& name) : juce::Slider(name) {
    // The slider paints its own face edge to edge; owners show the value
    // where they want it.
    setTextBoxStyle(juce::Slider::NoTextBox, true, 0, 0);
    setTitle(name);
    touchTarget_ = std::make_unique<SliderTouchTarget>(*this);
}

V6HSlider::~V6HSlider() {
    touchTarget_.reset();
    valueEntry_.close();
}

juce::String V6HSlider::valueText(double value) const {
    if (formatter) return formatter(value);
    return juce::String::fromUTF8(formatNumber(value, 2).c_str());
}

void V6HSlider::updateFineAdjust(juce::ModifierKeys mods, bool inside) {
    const bool wasShowing = fineIndicatorShowing();
    const bool wasActive = fineActive();
    altHeld_ = fineActive_ = mods.isAltDown();
    pointerInside_ = inside;
    if (wasShowing != fineIndicatorShowing()) repaint();
    if (wasActive != fineActive() && onFineAdjust) onFineAdjust();
}

void V6HSlider::mouseMove(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    juce::Slider::mouseMove(e);
}

void V6HSlider::mouseEnter(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    juce::Slider::mouseEnter(e);
}

void V6HSlider::mouseExit(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, false);
    juce::Slider::mouseExit(e);  // also hides the framework's value pop-up
}

void V6HSlider::mouseDown(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    menuPress_ = e.mods.isRightButtonDown();
    if (menuPress_) {
        const juce::String defaultText =
            isDoubleClickReturnEnabled() ? valueText(getDoubleClickReturnValue()) : juce::String();
        showSliderValueMenu(valueEntry_, *this, valueText(getValue()), getTitle(), unit, defaultText, snap);
        return;
    }
    juce::Slider::mouseDown(e);
}

void V6HSlider::mouseDrag(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    if (!menuPress_) juce::Slider::mouseDrag(e);
}

void V6HSlider::mouseUp(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    if (std::exchange(menuPress_, false)) return;
    juce::Slider::mouseUp(e);
}

void V6HSlider::mouseDoubleClick(const juce::MouseEvent& e) {
    updateFineAdjust(e.mods, true);
    if (!e.mods.isRightButtonDown()) juce::Slider::mouseDoubleClick(e);
}

void V6HSlider::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) {
    updateFineAdjust(e.mods, true);
    juce::Slider::mouseWheelMove(e, wheel);
}

bool V6HSlider::keyPressed(const juce::KeyPress& key) {
    const auto mods = key.getModifiers();
    if (isEnabled() && isArrowKey(key) && !mods.isShiftDown() && !mods.isCtrlDown() && !mods.isAltDown()) {
        // One gesture per key, so that the owner records one undo step.
        const ScopedDragNotification gesture(*this);
        return juce::Slider::keyPressed(key);
    }
    return juce::Slider::keyPressed(key);
}

void V6HSlider::modifierKeysChanged(const juce::ModifierKeys& mods) {
    updateFineAdjust(mods, pointerInside_);
    juce::Slider::modifierKeysChanged(mods);
}

void V6HSlider::parentHierarchyChanged() {
    juce::Slider::parentHierarchyChanged();
    resized();
}

void V6HSlider::lookAndFeelChanged() {
    juce::Slider::lookAndFeelChanged();
    resized();
}

void V6HSlider::paint(juce::Graphics& g) {
    const auto w = static_cast<float>(getWidth());
    paintSlider(g, w, static_cast<float>(getHeight()), paintStateOf(*this, false));
    if (fineIndicatorShowing()) paintFineIndicator(g, w);
}

void V6HSlider::paintSlider(juce::Graphics& g, float w, float h, const WidgetPaintState& state) const {
    if (state.disabled) g.beginTransparencyLayer(kDisabledOpacity);
    const juce::Colour c =
        colourIndex < 0 ? themeColour(ThemeColour::accent) : Theme::instance().categoryColour(colourIndex);
    const double minimum = getMinimum(), maximum = getMaximum(), value = getValue();
    const float p =
        maximum <= minimum ? 0.0f : static_cast<float>(std::clamp((value - minimum) / (maximum - minimum), 0.0, 1.0));

    const float r = kThumbRadius;
    float left = 0.0f, right = 0.0f;
    if (2.0f * r >= w) {
        left = right = w / 2.0f;
    } else {
        left = r;
        right = w - r;
    }
    const float length = std::max(right - left, 0.0f);
    const float top = h / 2.0f - 2.0f;

    g.setColour(themeColour(ThemeColour::sliderTrack));
    g.fillRoundedRectangle(left, top, length, 4.0f, 2.0f);

    const float x = left + p * length;
    const float filled = std::max(x - left, 0.0f);
    if (fillMode == 0) {
        if (filled > 0.5f) {
            g.setGradientFill(juce::ColourGradient(c.withAlpha(static_cast<juce::uint8>(0x4c)), left, h / 2.0f, c,
                                                   left + filled, h / 2.0f, false));
            g.fillRoundedRectangle(left, top, filled, 4.0f, 2.0f);
        }
    } else if (fillMode == 1) {
        g.setColour(themeColour(ThemeColour::border));
        g.fillRect(left + length / 2.0f - 0.5f, h / 2.0f - 5.0f, 1.0f, 10.0f);
        const double centre = (minimum + maximum) / 2.0;
        const float q = maximum <= minimum ? 50.0f : static_cast<float>((value - centre) / (maximum - minimum) * 100.0 + 50.0);
        const float x1 = left + std::min(q, 50.0f) / 100.0f * length;
        const float x2 = left + std::max(q, 50.0f) / 100.0f * length;
        g.setColour(c.withMultipliedAlpha(0.75f));
        g.fillRoundedRectangle(x1, top, std::max(x2 - x1, 1.0f), 4.0f, 2.0f);
    } else if (filled > 0.5f) {
        g.setColour(themeColour(ThemeColour::textMuted));
        g.fillRoundedRectangle(left, top, filled, 4.0f, 2.0f);
    }

    paintThumb(g, std::max(r, std::min(x, w - r)), h / 2.0f);
    if (state.disabled) g.endTransparencyLayer();
}

void V6HSlider::paintThumb(juce::Graphics& g, float centreX, float centreY) {
    constexpr float size = 2.0f * kThumbRadius;
    const auto box = juce::Rectangle<float>(size, size).withCentre({centreX, centreY});
    const auto colour = themeColour(ThemeColour::sliderThumb);
    paintHaloRing(g, box, kThumbRadius, colour, 3.0f, 0.3f);
    g.setColour(colour);
    g.fillEllipse(box);
}

void V6HSlider::paintFineIndicator(juce::Graphics& g, float w) const {
    g.setColour(themeColour(ThemeColour::accent).withAlpha(static_cast<juce::uint8>(0x99)));
    constexpr float d = 4.68f;
    const juce::Point<float> a(w - 7.06f, 3.94f), b(w - 3.94f, 7.06f);
    g.drawEllipse(a.x - d / 2.0f, a.y - d / 2.0f, d, d, 1.1f);
    g.drawEllipse(b.x - d / 2.0f, b.y - d / 2.0f, d, d, 1.1f);
    g.drawLine({a, b}, 1.1f);
}

}  // namespace vt6::ui::widgets
