#include "editor/ui/zem_chip.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

constexpr uint32_t kBandColours[16] = {
    0x006c60, 0xdc9a27, 0x3660ac, 0xcb5327, 0x77287c, 0x821517, 0xbb2025, 0x059ec1,
    0x232c63, 0x754c28, 0x679042, 0xb21f5f, 0xbd8549, 0x36673a, 0xfee292, 0x6b747b,
};

const juce::Colour kDarkText(0xff141b2e);
const juce::Colour kSuggestInner(0x992a0a0a);
const juce::Colour kSuggestOuter(0xffff7070);

// A fraction as an alpha byte: 0 at or below 0, 255 at or above 1.
uint8_t alphaByte(float a) {
    if (!(a > 0.0f)) return 0;
    if (a >= 1.0f) return 255;
    return static_cast<uint8_t>(std::lround(a * 255.0f));
}

juce::Colour withAlphaByte(juce::Colour c, uint8_t alpha) { return c.withAlpha(alpha); }

}  // namespace

juce::Colour bandColour(int groupIndex) {
    const int entry = ((groupIndex % 16) + 16) % 16;
    return juce::Colour(0xff000000u | kBandColours[entry]);
}

bool bandColourWantsDarkText(juce::Colour face) {
    const int luma = (face.getRed() * 299 + face.getGreen() * 587 + face.getBlue() * 114) / 1000;
    return luma > 150;
}

ChipZones chipZones(int w, bool soloed) {
    ChipZones z;
    const int inner = std::max(w - 14, 0);
    const int controls = std::min(inner, 30);
    const int nameArea = inner - controls;
    z.playW = std::min(controls, 14);
    z.playX = 7 + inner - z.playW;
    z.muteW = std::min(controls - z.playW, 14);
    // Too narrow to draw its "M", a chip has no mute zone: a click there must
    // not mute what the user cannot see.
    // (The framework drops a glyph whose advance ends more than 1 px past its box.)
    static const float mAdvance = makeFont(kTypeCaps).getStringWidthFloat(juce::String("M"));
    if (static_cast<float>(z.muteW) + 1.0f < mAdvance) z.muteW = 0;
    z.muteX = z.playX - z.muteW;
    z.soloW = soloed ? std::min(nameArea, 14) : 0;
    z.nameX = 7;
    z.nameW = nameArea - z.soloW;
    z.soloX = 7 + z.nameW;
    return z;
}

ZemChip::ZemChip() {
    setName("Sample chip");
    setTitle("Sample chip");
}

void ZemChip::setSample(const logic::EditSample& sample, const std::string& text, bool isSelected,
                        bool isSuggested, int band, bool anySolo) {
    soloed = sample.soloed != 0;
    silenced = sample.muted != 0 || (anySolo && !soloed);
    uid = sample.uid;
    label = text;
    muted = sample.muted != 0;
    selected = isSelected;
    suggested = isSuggested;
    bandIndex = band;
    flashSlot = static_cast<uint32_t>(std::max(sample.recordIndex, 0));
    flashLevel = 0.0f;
    const auto title = juce::String::fromUTF8(label.c_str());
    if (getTitle() != title) setTitle(title);
    setTooltip(suggested ? juce::String::fromUTF8("Recorded attack strength suggests another dynamic group "
                                                  "\xe2\x80\x94 AUTO-SORT will move it")
                         : juce::String());
    repaint();
}

void ZemChip::paint(juce::Graphics& g) {
    const int w = getWidth(), h = getHeight();
    const float fw = static_cast<float>(w), fh = static_cast<float>(h);
    const float r = std::min(fh / 2.0f, static_cast<float>(Theme::instance().cornerRadius));
    const juce::Colour face = bandColour(bandIndex);
    const bool darkText = bandColourWantsDarkText(face) || flashLevel >= 0.5f;
    const juce::Colour text = darkText ? kDarkText : juce::Colours::white;
    const ChipZones z = chipZones(w, soloed);

    if (silenced) g.beginTransparencyLayer(0.55f);

    g.setColour(face);
    g.fillRoundedRectangle(0.0f, 0.0f, fw, fh, r);
    g.setGradientFill(juce::ColourGradient(juce::Colours::white.withAlpha(static_cast<uint8_t>(41)), 0.0f, 0.0f,
                                           juce::Colours::white.withAlpha(static_cast<uint8_t>(0)), 0.0f, fh, false));
    g.fillRoundedRectangle(0.0f, 0.0f, fw, fh, r);
    g.setColour(juce::Colours::black.withAlpha(static_cast<uint8_t>(71)));
    g.fillRect(r, fh - 1.0f, fw - 2.0f * r, 1.0f);
    g.setColour(juce::Colours::black.withAlpha(static_cast<uint8_t>(56)));
    g.drawRoundedRectangle(0.5f, 0.5f, std::max(fw - 1.0f, 0.0f), std::max(fh - 1.0f, 0.0f), r, 1.0f);

    if (flashLevel > 0.0f) {
        g.setColour(withAlphaByte(juce::Colours::white, alphaByte(std::min(flashLevel, 1.0f))));
        g.fillRoundedRectangle(0.0f, 0.0f, fw, fh, r);
        g.setColour(withAlphaByte(juce::Colours::white, alphaByte(0.9f * flashLevel)));
        g.drawRoundedRectangle(1.0f, 1.0f, std::max(fw - 2.0f, 0.0f), std::max(fh - 2.0f, 0.0f), r, 2.0f);
    }

    auto valueFont = makeFont(kTypeValue);
    valueFont.setHeight(static_cast<float>(std::min(h - 8, 14)));
    g.setColour(text);
    g.setFont(valueFont);
    g.drawText(juce::String::fromUTF8(label.c_str()), z.nameX, 0, std::max(z.nameW, 0), std::max(h, 0),
               juce::Justification::centredLeft, true);

    const auto capsFont = makeFont(kTypeCaps);
    g.setColour(withAlphaByte(text, 178));
    g.setFont(capsFont);
    if (z.playW > 0)
        g.fillPath(widgets::makeIcon(5,
                                     juce::Rectangle<float>(static_cast<float>(z.playX), 0.0f,
                                                            static_cast<float>(z.playW), fh),
                                     capsFont.getHeight()));
    if (z.muteW > 0) g.drawText("M", z.muteX, 0, z.muteW, std::max(h, 0), juce::Justification::centred, false);
    if (soloed) {
        g.setColour(withAlphaByte(text, 230));
        g.drawText("S", z.soloX, 0, z.soloW, std::max(h, 0), juce::Justification::centred, false);
    }

    if (silenced) {
        g.endTransparencyLayer();
        g.setColour(withAlphaByte(flashLevel >= 0.5f ? kDarkText : juce::Colours::white, 128));
        g.drawLine(1.0f, 2.0f, fw - 1.0f, fh - 2.0f, 1.0f);
        g.drawLine(1.0f, fh - 2.0f, fw - 1.0f, 2.0f, 1.0f);
    }

    if (suggested && !selected) {
        g.setColour(kSuggestInner);
        g.drawRoundedRectangle(2.5f, 2.5f, std::max(fw - 5.0f, 0.0f), std::max(fh - 5.0f, 0.0f), r - 1.0f, 1.0f);
        g.setColour(kSuggestOuter);
        g.drawRoundedRectangle(1.0f, 1.0f, std::max(fw - 2.0f, 0.0f), std::max(fh - 2.0f, 0.0f), r, 2.0f);
    } else if (selected) {
        g.setColour(juce::Colours::white);
        g.drawRoundedRectangle(0.75f, 0.75f, std::max(fw - 1.5f, 0.0f), std::max(fh - 1.5f, 0.0f), r, 1.5f);
    }
}

void ZemChip::mouseDown(const juce::MouseEvent& e) {
    pressX = e.position.x;
    dragging = false;
    if (!e.mods.isRightButtonDown()) return;
    if (!selected && onClick) onClick(uid, juce::ModifierKeys());
    if (onMenu) onMenu(uid, e.getScreenPosition());
}

void ZemChip::mouseDrag(const juce::MouseEvent& e) {
    if (!dragging) {
        if (std::abs(e.position.x - pressX) <= 8.0f) return;
        dragging = true;
    }
    if (onDrag) onDrag(uid, e.getScreenPosition());
}

void ZemChip::mouseUp(const juce::MouseEvent& e) {
    if (e.mods.isRightButtonDown()) return;
    if (dragging) {
        dragging = false;
        if (onDrop) onDrop(uid, true);
        return;
    }
    const int h = std::max(getHeight(), 0);
    const bool yInside = e.y >= 0 && e.y < h;
    const ChipZones z = chipZones(getWidth(), soloed);
    if (yInside && e.x >= z.playX && e.x < z.playX + z.playW) {
        if (onAudition) onAudition(uid);
    } else if (yInside && e.x >= z.muteX && e.x < z.muteX + z.muteW) {
        muted = !muted;
        if (onMute) onMute(uid, muted);
        repaint();
    } else if (onClick) {
        onClick(uid, e.mods);
    }
}

void ZemChip::mouseDoubleClick(const juce::MouseEvent& e) {
    if (e.mods.isRightButtonDown()) return;
    if (onEdit) onEdit(uid);
}

std::unique_ptr<juce::AccessibilityHandler> ZemChip::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::button);
}

}  // namespace vt6::ui::zemedit
