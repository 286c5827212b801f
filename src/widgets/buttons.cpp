#include "widgets/buttons.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"

namespace vt6::ui::widgets {

namespace {

constexpr float kPi = juce::MathConstants<float>::pi;

float radiusFor(float h) { return std::min(h / 2.0f, 10.0f); }

juce::Path strokeCurved(const juce::Path& p, float thickness, juce::PathStrokeType::EndCapStyle cap =
                                                                   juce::PathStrokeType::rounded) {
    juce::Path out;
    juce::PathStrokeType(thickness, juce::PathStrokeType::curved, cap).createStrokedPath(out, p);
    return out;
}

juce::Path roundedRectOutline(juce::Rectangle<float> r, float corner, float thickness) {
    juce::Path p;
    p.addRoundedRectangle(r, corner);
    return strokeCurved(p, thickness);
}

// The undo arrow in its unit square, scaled by u and placed at the origin.
juce::Path undoArrow(float u) {
    juce::Path arc;
    arc.addCentredArc(0.5f, 0.5f, 0.415f, 0.415f, 0.0f, -kPi / 4.0f, 5.0f * kPi / 4.0f, true);
    arc.applyTransform(juce::AffineTransform::scale(u));
    juce::Path shape = strokeCurved(arc, 0.17f * u);
    juce::Path head;
    head.addTriangle(0.0f, 0.02f * u, 0.4f * u, 0.42f * u, 0.0f, 0.42f * u);
    shape.addPath(head.createPathWithRoundedCorners(0.045f * u));
    return shape;
}

// The ring of a button that holds the keyboard, inside its bounds.
void paintFocusRing(juce::Graphics& g, const juce::Button& b) {
    if (!b.hasKeyboardFocus(false)) return;
    const float w = static_cast<float>(b.getWidth()), h = static_cast<float>(b.getHeight());
    g.setColour(themeColour(ThemeColour::accent));
    g.drawRoundedRectangle(1.0f, 1.0f, std::max(w - 2.0f, 0.0f), std::max(h - 2.0f, 0.0f),
                           std::max(radiusFor(h) - 1.0f, 0.0f), 2.0f);
}

}  // namespace

V6Button::V6Button(const juce::String& text, int style) : juce::Button(text), style_(style) {
    setButtonText(text);
    setTitle(text);
    // Only Tab gives a button the keyboard, and then it shows it: a click
    // must not leave a control that Space would press again unseen.
    setMouseClickGrabsKeyboardFocus(false);
}

V6Button::~V6Button() = default;

juce::Font V6Button::getFont() const {
    const TypeStyle role = fontRole_ ? *fontRole_ : (style_ == 1 ? kTypeButtonSmall : kTypeButton);
    auto font = makeFont(role);
    if (fontScale_ != 1.0f) font.setHeight(std::clamp(font.getHeight() * fontScale_, 0.1f, 10000.0f));
    return font;
}

int V6Button::getIdealWidth() const {
    const auto font = getFont();
    double content = 0.0;
    if (icon_) {
        double factor = 0.6;
        switch (*icon_) {
            case 0: case 2: case 3: factor = 0.52; break;
            case 1: factor = 0.66; break;
            case 4: factor = 0.82; break;
            case 5: factor = 0.62; break;
            case 6: case 11: factor = 0.72; break;
            case 7: case 8: factor = 0.34; break;
            case 9: factor = 0.36; break;
            case 10: factor = 0.22; break;
            default: break;
        }
        content = static_cast<double>(font.getHeight()) * factor;
    } else {
        content = static_cast<double>(font.getStringWidthFloat(getButtonText()));
    }
    return static_cast<int>(std::round(content + 2.0 * horizontalInset_));
}

void V6Button::setActive(bool active) {
    active_ = active;
    repaint();
}

V6Button::Colours V6Button::coloursFor(bool hovered, bool pressed) const {
    const auto c = [](ThemeColour role) { return themeColour(role); };
    const auto dangerOutline = withAlphaProduct(c(ThemeColour::danger), 153.0f / 255.0f);
    if (style_ == 0) {
        if (active_) return {c(ThemeColour::accentWash), c(ThemeColour::accent), c(ThemeColour::accent)};
        if (tone_ == 1) return {c(fillColour_), dangerOutline, c(ThemeColour::danger)};
        if (hovered) return {c(fillColour_), c(ThemeColour::borderHover), c(ThemeColour::textPrimary)};
        return {c(fillColour_), c(ThemeColour::border), c(ThemeColour::textSecondary)};
    }
    if (style_ == 1) {
        if (tone_ == 1) return {c(ThemeColour::surfaceRaised), dangerOutline, c(ThemeColour::danger)};
        if (active_) return {c(ThemeColour::accentWash), c(ThemeColour::accent), c(ThemeColour::accent)};
        if (hovered) return {c(ThemeColour::surfaceRaised), c(ThemeColour::borderHover), c(ThemeColour::textPrimary)};
        return {c(ThemeColour::surfaceRaised), c(ThemeColour::border), c(ThemeColour::textSecondary)};
    }
    const auto accent = c(ThemeColour::accent);
    return {pressed ? withAlphaProduct(accent, 0.85f) : accent, accent, c(ThemeColour::textOnAccent)};
}

void V6Button::paintButton(juce::Graphics& g, bool highlighted, bool down) {
    auto state = paintStateOf(*this, active_);
    state.hovered = highlighted;
    state.pressed = down;
    const float w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    const float r = radiusFor(h);
    const auto colours = coloursFor(state.hovered, state.pressed);

    if (state.disabled) g.beginTransparencyLayer(kDisabledOpacity);
    if (colours.fill.getAlpha() != 0) {
        g.setColour(colours.fill);
        g.fillRoundedRectangle(0.0f, 0.0f, w, h, r);
    }
    g.setColour(colours.outline);
    g.drawRoundedRectangle(0.5f, 0.5f, std::max(w - 1.0f, 0.0f), std::max(h - 1.0f, 0.0f), r, 1.0f);

    const auto font = getFont();
    g.setColour(colours.content);
    g.setFont(font);
    if (icon_) {
        g.fillPath(makeIcon(*icon_, {0.0f, 0.0f, w, h}, font.getHeight()));
    } else if (truncateText_) {
        const int inset = static_cast<int>(horizontalInset_);
        g.drawText(getButtonText(), inset, 0, std::max(getWidth() - 2 * inset, 0), getHeight(),
                   juce::Justification::centred, true);
    } else {
        auto text = getButtonText();
        if (ellipsisSuffix_) text += juce::String::charToString(static_cast<juce::juce_wchar>(0x2026));
        g.drawText(text, 0, 0, getWidth(), getHeight(), juce::Justification::centred, false);
    }
    if (state.disabled) g.endTransparencyLayer();
    paintFocusRing(g, *this);
}

V6IconButton::V6IconButton(int iconId, const juce::String& name) : juce::Button(name), iconId_(iconId) {
    setTitle(name);
    setMouseClickGrabsKeyboardFocus(false);
}

V6IconButton::~V6IconButton() = default;

void V6IconButton::setVariant(int variant) {
    variant_ = variant;
    repaint();
}

void V6IconButton::setActive(bool active) {
    active_ = active;
    repaint();
}

juce::Rectangle<float> V6IconButton::glyphBox() const {
    const float w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    return label_.isEmpty() ? juce::Rectangle<float>(0.0f, 0.0f, w, h) : juce::Rectangle<float>(0.0f, 0.0f, h, h);
}

void V6IconButton::drawGlyph(juce::Graphics& g, int iconId, juce::Rectangle<float> box, float G, juce::Colour C,
                             char character) {
    const float W = box.getWidth(), H = box.getHeight();
    const float s = std::min(W, H);
    const float bx0 = box.getX(), by0 = box.getY();
    const float cx = bx0 + W / 2.0f, cy = by0 + H / 2.0f;
    const float x0 = bx0 + (W - s) / 2.0f, y0 = by0 + (H - s) / 2.0f;
    const float q = 0.42f * s;
    const float qx = bx0 + (W - q) / 2.0f, qy = by0 + (H - q) / 2.0f;
    const auto fill = [&](const juce::Path& p) {
        g.setColour(C);
        g.fillPath(p);
    };
    const auto smallTriangle = [&](bool pointsRight) {
        const float tw = 0.25f * s, th = 0.38f * s;
        const float l = cx - tw / 2.0f, t = cy - th / 2.0f;
        juce::Path p;
        if (pointsRight)
            p.addTriangle(l, t, l + tw, cy, l, t + th);
        else
            p.addTriangle(l + tw, t, l, cy, l + tw, t + th);
        fill(p);
    };

    switch (iconId) {
        case 0:
        case 1:
        default: {
            const bool plus = iconId == 0;
            const float R = 0.18f * s;
            const float lx = cx - 0.06f * s, ly = cy - 0.06f * s;
            juce::Path p;
            p.addEllipse(lx - R, ly - R, 2.0f * R, 2.0f * R);
            p.startNewSubPath(lx + 0.7071f * R, ly + 0.7071f * R);
            p.lineTo(lx + 0.7071f * R + 0.14f * s, ly + 0.7071f * R + 0.14f * s);
            p.startNewSubPath(lx - 0.56f * R, ly);
            p.lineTo(lx + 0.56f * R, ly);
            if (plus) {
                p.startNewSubPath(lx, ly - 0.56f * R);
                p.lineTo(lx, ly + 0.56f * R);
            }
            fill(strokeCurved(p, 1.4f));
            break;
        }
        case 2:
        case 3: {
            const float t = std::max(0.08f * s, 1.0f);
            const float corner = 0.06f * s;
            const juce::Rectangle<float> back(x0 + 0.32f * s, y0 + 0.1f * s, 0.58f * s, 0.58f * s);
            const juce::Rectangle<float> front(x0 + 0.1f * s, y0 + 0.42f * s, 0.48f * s, 0.48f * s);
            fill(roundedRectOutline(back, corner, t));
            g.setColour(themeColour(ThemeColour::surfaceRaised));
            if (iconId == 2) {
                g.fillRoundedRectangle(front, corner);
                fill(roundedRectOutline(front, corner, t));
            } else {
                g.fillRoundedRectangle(front.expanded(t), corner);
                g.setColour(C);
                g.fillRoundedRectangle(front, corner);
            }
            break;
        }
        case 4:
        case 5: {
            const auto tray = makeTrayArrowIcon({x0 + 0.27f * s, y0 + 0.24f * s, 0.46f * s, 0.52f * s}, iconId == 5);
            fill(strokeCurved(tray, std::max(0.055f * s, 1.4f)));
            break;
        }
        case 6: {
            juce::Path p;
            p.addTriangle(qx, qy, qx + q, qy + q / 2.0f, qx, qy + q);
            fill(p);
            break;
        }
        case 7: {
            juce::Path p;
            p.addRoundedRectangle(qx, qy, q, q, 0.04f * s);
            fill(p);
            break;
        }
        case 8: {
            const float bx = bx0 + (W - 0.5f * s) / 2.0f;
            juce::Path p;
            p.addRectangle(bx, by0 + (H - 0.42f * s) / 2.0f, 0.065f * s, 0.42f * s);
            p.addTriangle(bx + 0.14f * s, cy, bx + 0.5f * s, cy - 0.21f * s, bx + 0.5f * s, cy + 0.21f * s);
            fill(p);
            break;
        }
        case 9: smallTriangle(false); break;
        case 10: smallTriangle(true); break;
        case 11: {
            const float R = 0.34f * s;
            const float acy = y0 + 0.52f * s;
            juce::Path arc;
            arc.addCentredArc(cx, acy, R, R, 0.0f, -kPi / 2.0f, kPi / 2.0f, true);
            juce::Path p = strokeCurved(arc, std::max(0.09f * s, 1.0f));
            const float top = acy - 0.045f * s;
            p.addRoundedRectangle(cx - R - 0.07f * s, top, 0.2f * s, 0.3f * s, 0.06f * s);
            p.addRoundedRectangle(cx + R - 0.13f * s, top, 0.2f * s, 0.3f * s, 0.06f * s);
            fill(p);
            break;
        }
        case 12: {
            // Fixed pixel size: the mixer reads badly when scaled.
            const float x1 = bx0 + (W - 16.0f) / 2.0f;
            const float knobs[3] = {0.30f, 0.72f, 0.46f};
            juce::Path lines, out;
            for (int i = 0; i < 3; ++i) {
                const float y = by0 + (H - 14.0f) / 2.0f + 2.0f + 5.0f * static_cast<float>(i);
                const float k = x1 + 16.0f * knobs[i];
                lines.startNewSubPath(x1, y);
                lines.lineTo(k - 2.0f, y);
                lines.startNewSubPath(k + 2.0f, y);
                lines.lineTo(x1 + 16.0f, y);
                out.addPath(roundedRectOutline({k - 1.75f, y - 2.0f, 3.5f, 4.0f}, 1.0f, 1.25f));
            }
            out.addPath(strokeCurved(lines, 1.25f, juce::PathStrokeType::butt));
            fill(out);
            break;
        }
        case 13: {
            const float R = 0.265f * s;
            juce::Path arcs;
            arcs.addCentredArc(cx, cy, R, R, 0.0f, -kPi / 3.0f, kPi / 3.0f, true);
            arcs.addCentredArc(cx, cy, R, R, 0.0f, 2.0f * kPi / 3.0f, 4.0f * kPi / 3.0f, true);
            juce::Path p = strokeCurved(arcs, 1.4f);
            for (const float a : {kPi / 3.0f, 4.0f * kPi / 3.0f}) {
                juce::Path head;
                head.addTriangle(-0.06f * s, -0.09f * s, -0.06f * s, 0.09f * s, 0.08f * s, 0.0f);
                head.applyTransform(juce::AffineTransform::rotation(a).translated(cx + R * std::sin(a),
                                                                                    cy - R * std::cos(a)));
                p.addPath(head);
            }
            fill(p);
            break;
        }
        case 14:
        case 15: {
            const float u = 0.56f * s;
            juce::Path p = undoArrow(u);
            p.applyTransform(juce::AffineTransform::translation(bx0 + (W - u) / 2.0f, by0 + (H - u) / 2.0f));
            if (iconId == 15) p.applyTransform(juce::AffineTransform::scale(-1.0f, 1.0f, cx, cy));
            fill(p);
            break;
        }
        case 16: fill(makeIcon(0, box, G)); break;
        case 17: fill(makeIcon(1, box, G)); break;
        case 18: fill(makeIcon(2, box, G)); break;
        case 19: fill(makeIcon(3, box, G)); break;
        case 20: fill(makeIcon(4, box, G)); break;
        case 21: fill(makeIcon(7, box, G)); break;
        case 22: fill(makeIcon(8, box, G)); break;
        case 23: fill(makeIcon(11, box, G)); break;
        case 24: {
            auto font = makeFont(kTypeValue);
            font.setHeight(std::clamp(G, 0.1f, 10000.0f));
            g.setFont(font);
            g.setColour(C);
            const juce::String text = character == 0 ? juce::String() : juce::String::charToString(character);
            g.drawText(text, box.toNearestInt(), juce::Justification::centred, false);
            break;
        }
    }
}

void V6IconButton::paintButton(juce::Graphics& g, bool highlighted, bool down) {
    auto state = paintStateOf(*this, active_);
    state.hovered = highlighted;
    state.pressed = down;
    const float w = static_cast<float>(getWidth()), h = static_cast<float>(getHeight());
    const auto box = glyphBox();
    const float G = (variant_ == 0 ? 17.5f : 16.25f) * scale_;

    if (state.disabled) g.beginTransparencyLayer(kDisabledOpacity);
    juce::Colour C;
    if (variant_ == 0 || variant_ == 1) {
        C = state.hovered ? themeColour(ThemeColour::textPrimary)
                          : themeColour(variant_ == 0 ? ThemeColour::textSecondary : ThemeColour::textMuted);
        const auto outline = active_          ? themeColour(ThemeColour::accent)
                             : state.hovered ? themeColour(ThemeColour::borderHover)
                                             : themeColour(ThemeColour::border);
        paintRoundedBox(g, {0.0f, 0.0f, w, h}, radiusFor(h), themeColour(ThemeColour::surfaceRaised), outline);
    } else {
        C = active_          ? themeColour(ThemeColour::accent)
            : state.hovered ? themeColour(ThemeColour::textPrimary)
                            : themeColour(ThemeColour::textSecondary);
    }
    drawGlyph(g, iconId_, box, G, C, glyphCharacter_);
    if (label_.isNotEmpty()) {
        const int m = static_cast<int>(0.27f * h + 0.5f);
        g.setColour(C);
        g.setFont(makeFont(labelFont_));
        g.drawText(label_, getHeight(), 0, getWidth() - getHeight() - m, getHeight(),
                   juce::Justification::centredLeft, true);
    }
    if (state.disabled) g.endTransparencyLayer();
    paintFocusRing(g, *this);
}

}  // namespace vt6::ui::widgets
