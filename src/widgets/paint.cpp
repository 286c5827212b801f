#include "widgets/paint.hpp"

#include <algorithm>
#include <cmath>

namespace vt6::ui::widgets {

namespace {

constexpr float kPi = juce::MathConstants<float>::pi;

bool anyAncestorDisabled(const juce::Component& component) {
    for (auto* c = &component; c != nullptr; c = c->getParentComponent())
        if (!c->isEnabled()) return true;
    return false;
}

juce::Path strokeToFill(const juce::Path& source, float thickness, juce::PathStrokeType::JointStyle joint,
                        juce::PathStrokeType::EndCapStyle cap) {
    juce::Path out;
    juce::PathStrokeType(thickness, joint, cap).createStrokedPath(out, source);
    return out;
}

}  // namespace

WidgetPaintState paintStateOf(const juce::Component& component, bool active, float level) {
    WidgetPaintState state;
    state.hovered = component.isMouseOver(false);
    state.pressed = component.isMouseButtonDown(false);
    state.active = active;
    state.disabled = anyAncestorDisabled(component);
    state.level = level;
    return state;
}

std::unique_ptr<juce::AccessibilityHandler> makeAccessibilityHandler(juce::Component& component,
                                                                     juce::AccessibilityRole role) {
    return std::make_unique<juce::AccessibilityHandler>(component, role);
}

juce::Colour withAlphaProduct(juce::Colour colour, float factor) {
    const float a = colour.getFloatAlpha() * factor;
    const int byte = a <= 0.0f ? 0 : a >= 1.0f ? 255 : static_cast<int>(std::lround(a * 255.0f));
    return colour.withAlpha(static_cast<juce::uint8>(byte));
}

void paintRoundedBox(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, juce::Colour fill,
                     juce::Colour outline) {
    g.setColour(fill);
    g.fillRoundedRectangle(box, cornerRadius);
    g.setColour(outline);
    // Half a pixel in, so the 1 px line lands on whole pixels.
    g.drawRoundedRectangle(box.getX() + 0.5f, box.getY() + 0.5f, std::max(box.getWidth() - 1.0f, 0.0f),
                           std::max(box.getHeight() - 1.0f, 0.0f), cornerRadius, 1.0f);
}

void paintThemedBox(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, ThemeColour fill) {
    paintRoundedBox(g, box, cornerRadius, themeColour(fill), themeColour(ThemeColour::border));
}

void paintHaloRing(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius, juce::Colour colour,
                   float thickness, float alpha) {
    if (thickness <= 0.0f || alpha <= 0.0f || Theme::instance().lightInForce()) return;
    const auto ring = [&](float grow, float alphaFactor) {
        g.setColour(withAlphaProduct(colour, alphaFactor));
        g.drawRoundedRectangle(box.getX() - grow, box.getY() - grow, std::max(box.getWidth() + 2.0f * grow, 0.0f),
                               std::max(box.getHeight() + 2.0f * grow, 0.0f), cornerRadius + grow,
                               thickness / 2.0f);
    };
    ring(thickness / 4.0f, alpha);
    ring(3.0f * thickness / 4.0f, alpha / 2.0f);
}

void paintAccentGlow(juce::Graphics& g, juce::Rectangle<float> box, float cornerRadius) {
    const auto start = themeColour(ThemeColour::glowStart);
    const auto end = themeColour(ThemeColour::glowEnd);
    if (start.getAlpha() == 0 && end.getAlpha() == 0) return;
    for (int i = 1; i <= 6; ++i) {
        const float d = static_cast<float>(i) - 0.5f;
        const float fade = 1.0f - static_cast<float>(i - 1) / 6.0f;
        const juce::Rectangle<float> r(box.getX() - d, box.getY() - d, std::max(box.getWidth() + 2.0f * d, 0.0f),
                                       std::max(box.getHeight() + 2.0f * d, 0.0f));
        g.setGradientFill(juce::ColourGradient(withAlphaProduct(start, 0.22f * fade), r.getTopLeft(),
                                               withAlphaProduct(end, 0.18f * fade), r.getBottomRight(), false));
        g.drawRoundedRectangle(r, cornerRadius + d, 1.0f);
    }
}

void strokeGlowPath(juce::Graphics& g, const juce::Path& path, juce::Colour colour, GlowStrokeOptions options) {
    const juce::PathStrokeType::JointStyle joint = juce::PathStrokeType::curved;
    const juce::PathStrokeType::EndCapStyle cap = juce::PathStrokeType::rounded;
    if (options.fill) {
        g.setColour(withAlphaProduct(colour, options.fillAlpha));
        g.fillPath(path);
    }
    if (options.halo && !Theme::instance().lightInForce()) {
        g.setColour(withAlphaProduct(colour, 0.25f));
        g.strokePath(path, juce::PathStrokeType(4.0f, joint, cap));
    }
    g.setColour(colour);
    g.strokePath(path, juce::PathStrokeType(1.0f, joint, cap));
}

void fillSnappedSpan(juce::Graphics& g, float left, float width, float top, float bottom, float scale) {
    const double k = std::max(static_cast<double>(scale), 0.01);
    const double l = std::round(static_cast<double>(left) * k) / k;
    const double r = std::round((static_cast<double>(left) + static_cast<double>(width)) * k) / k;
    if (bottom > top && r > l)
        g.fillRect(juce::Rectangle<float>(static_cast<float>(l), top, static_cast<float>(r - l), bottom - top));
}

juce::Path makeTrayArrowIcon(juce::Rectangle<float> area, bool up) {
    const float x = area.getX(), y = area.getY(), w = area.getWidth(), h = area.getHeight();
    juce::Path p;
    p.startNewSubPath(x, y + h - 0.26f * h);
    p.lineTo(x, y + h);
    p.lineTo(x + w, y + h);
    p.lineTo(x + w, y + h - 0.26f * h);
    const float mid = x + w / 2.0f;
    const float shaftEnd = y + h - 0.403f * h;
    p.startNewSubPath(mid, y);
    p.lineTo(mid, shaftEnd);
    const float wing = 0.3f * w;
    if (up) {
        p.startNewSubPath(mid - wing, y + wing);
        p.lineTo(mid, y);
        p.lineTo(mid + wing, y + wing);
    } else {
        p.startNewSubPath(mid - wing, shaftEnd - wing);
        p.lineTo(mid, shaftEnd);
        p.lineTo(mid + wing, shaftEnd - wing);
    }
    return p;
}

juce::Path makeIcon(int id, juce::Rectangle<float> area, float s) {
    const float cx = area.getCentreX(), cy = area.getCentreY();
    const auto polar = [&](float angle, float radius) {
        return juce::Point<float>(cx + radius * std::sin(angle), cy - radius * std::cos(angle));
    };
    const auto triangle = [](juce::Point<float> a, juce::Point<float> b, juce::Point<float> c) {
        juce::Path p;
        p.addTriangle(a, b, c);
        return p;
    };
    const auto mitred = [](const juce::Path& source, float thickness, juce::PathStrokeType::EndCapStyle cap) {
        return strokeToFill(source, thickness, juce::PathStrokeType::mitered, cap);
    };

    switch (id) {
        case 0: {
            juce::Path teeth;
            for (int k = 0; k < 8; ++k) {
                const float a = static_cast<float>(k) * kPi / 4.0f;
                const auto first = polar(a - 0.23562f, 0.19f * s);
                if (k == 0)
                    teeth.startNewSubPath(first);
                else
                    teeth.lineTo(first);
                teeth.lineTo(polar(a - 0.14923f, 0.26f * s));
                teeth.lineTo(polar(a + 0.14923f, 0.26f * s));
                teeth.lineTo(polar(a + 0.23562f, 0.19f * s));
                teeth.lineTo(polar(a + kPi / 8.0f, 0.19f * s));
            }
            teeth.closeSubPath();
            juce::Path gear = teeth.createPathWithRoundedCorners(0.03f * s);
            gear.addEllipse(cx - 0.08f * s, cy - 0.08f * s, 0.16f * s, 0.16f * s);
            gear.setUsingNonZeroWinding(false);  // the centre circle is a hole
            return gear;
        }
        case 1: {
            juce::Path lines;
            lines.startNewSubPath(cx - 0.28f * s, cy - 0.28f * s);
            lines.lineTo(cx + 0.28f * s, cy + 0.28f * s);
            lines.startNewSubPath(cx + 0.28f * s, cy - 0.28f * s);
            lines.lineTo(cx - 0.28f * s, cy + 0.28f * s);
            return mitred(lines, std::max(0.1f * s, 1.2f), juce::PathStrokeType::rounded);
        }
        case 2:
        case 3: {
            const float t = std::max(0.1f * s, 1.2f);
            juce::Path p;
            p.addRoundedRectangle(cx - 0.26f * s, cy - t / 2.0f, 0.52f * s, t, 0.3f * t);
            if (id == 2) p.addRoundedRectangle(cx - t / 2.0f, cy - 0.26f * s, t, 0.52f * s, 0.3f * t);
            return p;
        }
        case 4: {
            const float W = 0.82f * s, H = 0.74f * s;
            const float L = cx - 0.41f * s, T = cy - 0.37f * s;
            juce::Path p;
            p.startNewSubPath(cx, T + H);
            p.cubicTo(L + 0.14f * W, T + 0.7f * H, L, T + 0.48f * H, L, T + 0.29f * H);
            p.cubicTo(L, T + 0.11f * H, L + 0.13f * W, T, L + 0.28f * W, T);
            p.cubicTo(L + 0.39f * W, T, L + 0.46f * W, T + 0.07f * H, cx, T + 0.17f * H);
            p.cubicTo(L + 0.54f * W, T + 0.07f * H, L + 0.61f * W, T, L + 0.72f * W, T);
            p.cubicTo(L + 0.87f * W, T, L + W, T + 0.11f * H, L + W, T + 0.29f * H);
            p.cubicTo(L + W, T + 0.48f * H, L + 0.86f * W, T + 0.7f * H, cx, T + H);
            p.closeSubPath();
            return p;
        }
        case 5: {
            const float x = cx - 0.2604f * s;
            return triangle({x, cy - 0.35f * s}, {x + 0.62f * s, cy}, {x, cy + 0.35f * s});
        }
        case 6: {
            juce::Path squares;
            squares.addRectangle(cx - 0.10f * s, cy - 0.36f * s, 0.46f * s, 0.46f * s);
            squares.addRectangle(cx - 0.36f * s, cy - 0.10f * s, 0.46f * s, 0.46f * s);
            return mitred(squares, std::max(0.075f * s, 1.0f), juce::PathStrokeType::butt);
        }
        case 7:
            return triangle({cx + 0.17f * s, cy - 0.21f * s}, {cx - 0.17f * s, cy}, {cx + 0.17f * s, cy + 0.21f * s});
        case 8:
            return triangle({cx - 0.17f * s, cy - 0.21f * s}, {cx + 0.17f * s, cy}, {cx - 0.17f * s, cy + 0.21f * s});
        case 9:
            return triangle({cx - 0.18f * s, cy - 0.12f * s}, {cx + 0.18f * s, cy - 0.12f * s}, {cx, cy + 0.12f * s});
        case 10: {
            juce::Path chevron;
            chevron.startNewSubPath(cx - 0.08f * s, cy - 0.19f * s);
            chevron.lineTo(cx + 0.08f * s, cy);
            chevron.lineTo(cx - 0.08f * s, cy + 0.19f * s);
            return mitred(chevron, std::max(0.085f * s, 1.0f), juce::PathStrokeType::rounded);
        }
        case 11: {
            const float v = std::max(0.07f * s, 1.0f);
            const float length = 0.72f * s;
            const float x = cx - 0.36f * s;
            const float rows[3] = {cy - 0.22f * s, cy, cy + 0.22f * s};
            const float knobs[3] = {0.28f, 0.70f, 0.46f};
            juce::Path p;
            for (int i = 0; i < 3; ++i) {
                p.addRoundedRectangle(x, rows[i] - v / 2.0f, length, v, v / 2.0f);
                const float kx = x + knobs[i] * length;
                p.addEllipse(kx - 0.09f * s, rows[i] - 0.09f * s, 0.18f * s, 0.18f * s);
            }
            return p;
        }
        default:
            return {};
    }
}

}  // namespace vt6::ui::widgets
