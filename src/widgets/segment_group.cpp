#include "widgets/segment_group.hpp"

#include "widgets/wide_plus.hpp"

#include <algorithm>
#include <cmath>

namespace vt6::ui::widgets {

namespace {

int codePoints(const juce::String& s) { return s.length(); }

}  // namespace

V6SegmentGroup::V6SegmentGroup(const juce::StringArray& labels, const juce::String& name)
    : juce::Component(name), labels_(labels) {
    count_ = labels_.size();
    selected_ = count_ > 0 ? 0 : -1;
    flashLevels_.assign(static_cast<size_t>(count_), 0.0f);
    setTitle(name);
}

V6SegmentGroup::~V6SegmentGroup() = default;

void V6SegmentGroup::setLabels(const juce::StringArray& labels, int index) {
    labels_ = labels;
    count_ = labels_.size();
    selected_ = count_ == 0 ? -1 : std::clamp(index, 0, count_ - 1);
    icons_.clear();
    flashLevels_.resize(static_cast<size_t>(count_), 0.0f);
    repaint();
}

void V6SegmentGroup::setSelectedIndex(int index, bool notify) {
    if (count_ == 0 || index < 0 || index >= count_ || index == selected_) return;
    selected_ = index;
    repaint();
    if (notify && onChange) onChange(index);
}

void V6SegmentGroup::setSegmentEnabled(int index, bool enabled) {
    if (disabled_.size() < static_cast<size_t>(count_)) disabled_.resize(static_cast<size_t>(count_), false);
    if (index >= 0 && static_cast<size_t>(index) < disabled_.size()) {
        disabled_[static_cast<size_t>(index)] = !enabled;
        repaint();
    }
}

bool V6SegmentGroup::isSegmentEnabled(int index) const {
    return index < 0 || static_cast<size_t>(index) >= disabled_.size() || !disabled_[static_cast<size_t>(index)];
}

void V6SegmentGroup::setIcons(std::vector<juce::Path> icons) {
    icons_ = std::move(icons);
    repaint();
}

void V6SegmentGroup::setStyle(int style) {
    style_ = style;
    repaint();
}

void V6SegmentGroup::setNaturalLayout(bool natural) {
    naturalLayout_ = natural;
    repaint();
}

void V6SegmentGroup::setSegmentTooltip(int index, const juce::String& tooltip) {
    if (index < 0) return;
    while (tooltips_.size() <= index) tooltips_.add({});
    tooltips_.set(index, tooltip);
}

void V6SegmentGroup::setSegmentNameTip(int index, const juce::String& nameTip) {
    if (index < 0) return;
    while (nameTips_.size() <= index) nameTips_.add({});
    nameTips_.set(index, nameTip);
}

void V6SegmentGroup::setFlashLevel(int index, float level) {
    if (index < 0 || static_cast<size_t>(index) >= flashLevels_.size()) return;
    if (flashLevels_[static_cast<size_t>(index)] == level) return;
    flashLevels_[static_cast<size_t>(index)] = level;
    repaint();
}

float V6SegmentGroup::flashLevel(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= flashLevels_.size()) return 0.0f;
    return flashLevels_[static_cast<size_t>(index)];
}

bool V6SegmentGroup::isIconSegment(int index) const {
    return index >= 0 && static_cast<size_t>(index) < icons_.size() && !icons_[static_cast<size_t>(index)].isEmpty();
}

bool V6SegmentGroup::isSqueezable(int index) const {
    return !isIconSegment(index) && codePoints(labels_[index]) >= 2;
}

juce::Font V6SegmentGroup::getLabelFont() const {
    if (style_ != kCompactStyle) return makeFont(kTypeButton);
    auto font = makeFont(kTypeMicro);
    font.setHeight(7.0f);
    return font;
}

int V6SegmentGroup::segmentNaturalWidth(int index) const {
    if (isIconSegment(index)) return style_ == kCompactStyle ? 22 : 28;
    const auto& label = labels_[index];
    const int text = static_cast<int>(std::ceil(labelWidth(getLabelFont(), label)));
    return text + (codePoints(label) < 2 ? 8 : 22);
}

int V6SegmentGroup::getIdealWidth() const {
    int sum = 0;
    for (int i = 0; i < count_; ++i) sum += segmentNaturalWidth(i);
    return sum;
}

int V6SegmentGroup::squeezePerSide() const {
    const int w = getWidth();
    if (!naturalLayout_ || w <= 0) return 0;
    int total = 0, squeezable = 0;
    for (int i = 0; i < count_; ++i) {
        total += segmentNaturalWidth(i);
        if (isSqueezable(i)) ++squeezable;
    }
    if (total <= w || squeezable == 0) return 0;
    const int over = total - w;
    return std::min(7, (over + 2 * squeezable - 1) / (2 * squeezable));
}

int V6SegmentGroup::segmentWidth(int index, int squeeze) const {
    const int natural = segmentNaturalWidth(index);
    return squeeze > 0 && isSqueezable(index) ? natural - 2 * squeeze : natural;
}

juce::Rectangle<int> V6SegmentGroup::segmentBounds(int index) const {
    const int h = getHeight();
    if (index < 0 || index >= count_) return {};
    if (naturalLayout_) {
        const int squeeze = squeezePerSide();
        int x = 0;
        for (int i = 0; i < index; ++i) x += segmentWidth(i, squeeze);
        return {x, 0, segmentWidth(index, squeeze), h};
    }
    const int gap = style_ == kCompactStyle ? 3 : 0;
    const int gaps = count_ < 2 ? 0 : (count_ - 1) * gap;
    const int divisor = count_ < 2 ? 1 : count_;
    const int width = (getWidth() - gaps) / divisor;
    return {index * (width + gap), 0, width, h};
}

int V6SegmentGroup::rowWidth() const { return count_ == 0 ? 0 : segmentBounds(count_ - 1).getRight(); }

int V6SegmentGroup::segmentAt(juce::Point<int> point) const {
    for (int i = 0; i < count_; ++i) {
        const auto r = segmentBounds(i);
        if (point.x >= r.getX() && point.x < r.getRight() && point.y >= 0 && point.y < r.getHeight()) return i;
    }
    return -1;
}

juce::Colour V6SegmentGroup::segmentTextColour(int index, int hovered) const {
    juce::Colour text;
    if (index == selected_) {
        text = themeColour(ThemeColour::textOnAccent);
        if (selectedColours)
            if (auto chosen = selectedColours(index)) text = chosen->second;
    } else {
        text = themeColour(index == hovered ? ThemeColour::textPrimary : ThemeColour::textMuted);
    }
    if (flashLevel(index) >= 0.5f) text = juce::Colour(kFlashTextArgb);
    if (!isSegmentEnabled(index)) text = withAlphaProduct(text, kDisabledOpacity);
    return text;
}

void V6SegmentGroup::paintSegments(juce::Graphics& g, const WidgetPaintState& state) {
    if (state.disabled) g.beginTransparencyLayer(kDisabledOpacity);
    const int w = getWidth(), h = getHeight();
    const float hf = static_cast<float>(h);
    const bool compact = style_ == kCompactStyle;
    const int hovered = state.hovered && !state.disabled ? segmentAt(getMouseXYRelative()) : -1;
    const float pill = static_cast<float>(Theme::instance().pillRadius);

    const int trackWidth = std::max(0, std::min(w, rowWidth()));
    // An empty row has a track of width 0, which shows nothing (not even its outline).
    if (!compact && trackWidth > 0)
        paintThemedBox(g, {0.0f, 0.0f, static_cast<float>(trackWidth), hf}, std::min(hf / 2.0f, pill),
                       ThemeColour::fieldBackground);

    for (int i = 0; i < count_; ++i) {
        const auto slot = segmentBounds(i);
        const float sx = static_cast<float>(slot.getX()), sw = static_cast<float>(slot.getWidth());
        const juce::Rectangle<float> face =
            compact ? slot.toFloat() : juce::Rectangle<float>(sx + 2.0f, 2.0f, std::max(sw - 4.0f, 0.0f),
                                                              std::max(hf - 4.0f, 0.0f));
        const float rr = std::min(face.getHeight() / 2.0f, 99.0f);

        if (i == selected_) {
            auto fill = themeColour(ThemeColour::accent);
            if (selectedColours)
                if (auto chosen = selectedColours(i)) fill = chosen->first;
            if (!compact) {
                juce::Graphics::ScopedSaveState saved(g);
                juce::Path inner;
                inner.addRoundedRectangle(1.0f, 1.0f, std::max(static_cast<float>(trackWidth) - 2.0f, 0.0f),
                                          std::max(hf - 2.0f, 0.0f), std::min((hf - 2.0f) / 2.0f, 99.0f));
                g.reduceClipRegion(inner);
                paintHaloRing(g, face, rr, fill, 4.0f, 0.25f);
            } else {
                paintHaloRing(g, face, rr, fill, 4.0f, 0.25f);
            }
            g.setColour(fill);
            g.fillRoundedRectangle(face, rr);
        } else if (compact) {
            g.setColour(themeColour(ThemeColour::borderSubtle));
            g.drawRoundedRectangle(face.reduced(0.5f), rr, 1.0f);
        }

        const float flash = flashLevel(i);
        if (flash > 0.0f) {
            g.setColour(withAlphaProduct(juce::Colours::white, flash));
            g.fillRoundedRectangle(face, rr);
        }

        const auto text = segmentTextColour(i, hovered);
        g.setColour(text);
        if (isIconSegment(i)) {
            const float k = 4.0f / 7.0f * std::min(hf, sw);
            const juce::Rectangle<float> square(sx + (sw - k) / 2.0f, (hf - k) / 2.0f, k, k);
            const auto& icon = icons_[static_cast<size_t>(i)];
            g.fillPath(icon, icon.getTransformToScaleToFit(square, true));
        } else {
            drawLabel(g, labels_[i], getLabelFont(), slot);
        }

        if (!compact && i > 0 && i != selected_ && i - 1 != selected_) {
            g.setColour(themeColour(ThemeColour::borderSubtle));
            g.fillRect(juce::Rectangle<float>(sx, 4.0f, 1.0f, std::max(hf - 8.0f, 0.0f)));
        }
    }
    if (state.disabled) g.endTransparencyLayer();
}

void V6SegmentGroup::mouseEnter(const juce::MouseEvent& e) { mouseMove(e); }

void V6SegmentGroup::mouseMove(const juce::MouseEvent& e) {
    const int under = segmentAt(e.getPosition());
    if (under == hoveredSegment_) return;
    hoveredSegment_ = under;
    repaint();
}

void V6SegmentGroup::mouseExit(const juce::MouseEvent&) {
    hoveredSegment_ = -1;
    repaint();
}

void V6SegmentGroup::mouseDown(const juce::MouseEvent& e) {
    for (auto* c = static_cast<juce::Component*>(this); c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return;
    const int index = segmentAt(e.getPosition());
    if (index < 0 || !isSegmentEnabled(index)) return;
    setSelectedIndex(index, true);
}

void V6SegmentGroup::paint(juce::Graphics& g) { paintSegments(g, paintStateOf(*this, false)); }

juce::String V6SegmentGroup::getTooltip() {
    const int index = segmentAt(getMouseXYRelative());
    if (index >= 0 && index < tooltips_.size() && tooltips_[index].isNotEmpty()) return tooltips_[index];
    return SettableTooltipClient::getTooltip();
}

juce::String V6SegmentGroup::getNameTip(juce::Point<int> point) {
    const int index = segmentAt(point);
    if (index >= 0 && index < nameTips_.size()) return nameTips_[index];
    return {};
}

std::unique_ptr<juce::AccessibilityHandler> V6SegmentGroup::createAccessibilityHandler() {
    return makeAccessibilityHandler(*this, juce::AccessibilityRole::group);
}

V6DropChip::V6DropChip(const juce::String& name) : juce::ComboBox(name) {
    themeChanged();
    Theme::instance().addListener(this);
}

V6DropChip::~V6DropChip() { Theme::instance().removeListener(this); }

void V6DropChip::themeChanged() {
    setColour(juce::ComboBox::textColourId, themeColour(ThemeColour::textPrimary));
    setColour(juce::ComboBox::backgroundColourId, themeColour(ThemeColour::fieldBackground));
    setColour(juce::ComboBox::outlineColourId, themeColour(ThemeColour::border));
    setColour(juce::ComboBox::arrowColourId, themeColour(ThemeColour::textMuted));
    repaint();
}

void V6DropChip::paint(juce::Graphics& g) {
    auto state = paintStateOf(*this, false);
    state.hovered = isMouseOver(true);
    paintChip(g, state);
}

void V6DropChip::mouseEnter(const juce::MouseEvent& e) {
    juce::ComboBox::mouseEnter(e);
    repaint();
}

void V6DropChip::mouseExit(const juce::MouseEvent& e) {
    juce::ComboBox::mouseExit(e);
    repaint();
}

juce::Path V6DropChip::chevronPath(float w, float h) {
    const float xr = w - std::max(0.3f * h, 6.0f);
    const float c = std::min(0.38f * h, 7.0f);
    const float d = 0.275f * c;
    juce::Path v;
    v.startNewSubPath(xr - c, h / 2.0f - d);
    v.lineTo(xr - c / 2.0f, h / 2.0f + d);
    v.lineTo(xr, h / 2.0f - d);
    return v;
}

void V6DropChip::paintChip(juce::Graphics& g, const WidgetPaintState& state) {
    if (state.disabled) g.beginTransparencyLayer(kDisabledOpacity);
    const float w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    const float r = std::min(h / 2.0f, 10.0f);
    g.setColour(themeColour(ThemeColour::fieldBackground));
    g.fillRoundedRectangle(0.0f, 0.0f, w, h, r);
    g.setColour(themeColour(state.hovered && !state.disabled ? ThemeColour::borderHover : ThemeColour::border));
    g.drawRoundedRectangle(0.5f, 0.5f, std::max(w - 1.0f, 0.0f), std::max(h - 1.0f, 0.0f), r, 1.0f);
    g.setColour(themeColour(ThemeColour::textMuted));
    g.strokePath(chevronPath(w, h),
                 juce::PathStrokeType(1.4f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
    // The ring of the control that holds the keyboard, as the buttons draw it.
    if (hasKeyboardFocus(true)) {
        g.setColour(themeColour(ThemeColour::accent));
        g.drawRoundedRectangle(1.0f, 1.0f, std::max(w - 2.0f, 0.0f), std::max(h - 2.0f, 0.0f),
                               std::max(r - 1.0f, 0.0f), 2.0f);
    }
    if (state.disabled) g.endTransparencyLayer();
}

}  // namespace vt6::ui::widgets
