#include "editor/ui/detail_strip.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

constexpr const char* kMinus = "\xe2\x88\x92";       // U+2212
constexpr const char* kMiddleDot = "\xc2\xb7";       // U+00B7
constexpr const char* kChipArrow = " \xe2\x96\xbe";  // space, U+25BE
constexpr const char* kPolarity = "\xc3\x98";        // U+00D8
constexpr int kButton = 34;
constexpr int kCellGap = 8;
constexpr int kChipHeight = 20;
constexpr int kChipGap = 6;

juce::String utf8(const std::string& text) { return juce::String::fromUTF8(text.c_str()); }

std::string printed(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

float textWidth(const TypeStyle& role, const juce::String& text) { return makeFont(role).getStringWidthFloat(text); }

// A cell of the right-hand group: its text width plus 28, halves away from zero.
int cellWidth(const char* text) {
    return static_cast<int>(std::lround(textWidth(kTypeButtonSmall, juce::String::fromUTF8(text)) + 28.0f));
}

juce::String chipText(const std::string& name) { return utf8(name) + juce::String::fromUTF8(kChipArrow); }

int chipWidth(const std::string& name) {
    return static_cast<int>(std::ceil(textWidth(kTypeChip, chipText(name)))) + 24;
}

// Takes `width` (at most what is left) from the right of `area` and centres
// a box of the full width on that slice, so a box wider than its slice
// overhangs it on both sides.
juce::Rectangle<int> takeCentred(juce::Rectangle<int>& area, int width, int y, int height, bool fromRight) {
    const int taken = std::min(width, area.getWidth());
    const auto slice = fromRight ? area.removeFromRight(taken) : area.removeFromLeft(taken);
    return {slice.getX() + (slice.getWidth() - width) / 2, y, width, height};
}

void drawCell(juce::Graphics& g, juce::Rectangle<int> box, const char* text, bool on, float opacity) {
    const auto fill = themeColour(on ? ThemeColour::accentWash : ThemeColour::surfaceRaised);
    const auto outline = themeColour(on ? ThemeColour::accent : ThemeColour::border);
    const auto ink = themeColour(on ? ThemeColour::accent : ThemeColour::textSecondary);
    const float radius = static_cast<float>(std::min(kButton / 2, Theme::instance().cornerRadius));
    widgets::paintRoundedBox(g, box.toFloat(), radius, widgets::withAlphaProduct(fill, opacity),
                             widgets::withAlphaProduct(outline, opacity));
    g.setColour(widgets::withAlphaProduct(ink, opacity));
    g.setFont(makeFont(kTypeButtonSmall));
    g.drawText(juce::String::fromUTF8(text), box, juce::Justification::centred, false);
}

}  // namespace

std::string detailFormatText(uint64_t sampleRate, uint64_t bits, uint64_t channels) {
    const std::string rate = sampleRate % 1000 == 0
                                 ? std::to_string(sampleRate / 1000)
                                 : printed("%.1f", static_cast<double>(sampleRate) / 1000.0);
    return rate + "k " + kMiddleDot + " " + std::to_string(bits) + "-bit " + kMiddleDot + " " +
           std::to_string(channels) + " mic" + (channels == 1 ? "" : "s");
}

double detailPowerDecibels(double power) {
    // A missing or unreadable power (NaN) counts as silence, like 0.
    return 20.0 * std::log10(power > 0.000001 ? power : 0.000001);
}

std::string detailMeasuresText(double powerDb, double gainDb, double tune) {
    const std::string p = printed("%.1f", powerDb);
    const std::string q = (gainDb < 0.0 ? std::string(kMinus) : std::string()) + printed("%.1f", std::fabs(gainDb));
    const double rounded = std::round(std::fabs(tune));  // halves away from zero
    const std::string t = (tune < 0.0 && rounded != 0.0 ? std::string(kMinus) : std::string()) +
                          printed("%.0f", rounded);
    return "PWR " + p + " dB   GAIN " + q + " dB   TUNE " + t + " st";
}

DetailStrip::DetailStrip() {
    setName("Sample detail");
    setTitle("Sample detail");
}

DetailStrip::~DetailStrip() = default;

const char* DetailStrip::polarityTooltip() { return "No polarity anywhere in Vantorel 6 (DIV-002)"; }

const char* DetailStrip::auditionTooltip() { return "Audition \xe2\x80\x94 loudness-matched"; }

void DetailStrip::refresh(const logic::EditDocument& doc) {
    shownUid_ = 0;
    selectionText_.clear();
    const uint64_t n = doc.selectionCount();
    if (n > 1) {
        selectionText_ = doc.selectionText();
    } else if (n == 1) {
        // The whole page selected as one sample has no uid in the set: the
        // anchor names it.
        const uint64_t uid = doc.selection.empty() ? doc.anchorUid : *doc.selection.begin();
        if (const auto* sample = doc.sampleByUid(uid)) {
            shownUid_ = sample->uid;
            label_ = doc.sampleLabel(*sample, doc.samplePosition(*sample));
            const auto nameOf = [](const std::vector<logic::EditDef>& defs, int32_t index) {
                return index >= 0 && static_cast<size_t>(index) < defs.size() ? defs[static_cast<size_t>(index)].name
                                                                              : std::string();
            };
            // The strips and menus say "Room channel A" for a layer "Room A".
            roomChannelName_ = roomChannelDisplayName(nameOf(doc.layers, sample->layerIndex));
            articulationName_ = nameOf(doc.articulations, sample->articulationIndex);
            powerDb_ = detailPowerDecibels(sample->key13Value);
            gainDb_ = sample->key14Value;
            tune_ = sample->key15Value;
            muted_ = sample->muted != 0;
            soloed_ = sample->soloed != 0;
            formatText_ = detailFormatText(sample->sampleRate, sample->bits, sample->channels);
        }
    }
    repaint();
}

DetailStrip::Layout DetailStrip::computeLayout() const {
    Layout out;
    const int W = getWidth(), H = getHeight();
    const juce::Rectangle<int> content(10, 6, std::max(0, W - 20), std::max(0, H - 12));
    const int hc = content.getHeight();
    const int a = std::min(content.getWidth(), kButton);
    out.areas.audition = {10 + (a - kButton) / 2, 6 + (hc - kButton) / 2, kButton, kButton};

    int remaining = content.getWidth() - a;
    const int g = std::min(remaining, 10);
    remaining -= g;
    const int x1 = 10 + a + g;
    juce::Rectangle<int> middle(x1, 6, remaining, hc);

    const int cellY = 6 + (hc - kButton) / 2;
    out.areas.solo = takeCentred(middle, cellWidth("SOLO"), cellY, kButton, true);
    middle.removeFromRight(std::min(kCellGap, middle.getWidth()));
    out.areas.mute = takeCentred(middle, cellWidth("MUTE"), cellY, kButton, true);
    middle.removeFromRight(std::min(kCellGap, middle.getWidth()));
    out.areas.polarity = takeCentred(middle, cellWidth(kPolarity), cellY, kButton, true);
    middle.removeFromRight(std::min(kCellGap, middle.getWidth()));

    const int r = middle.getWidth();
    const int nameWidth = std::min(r, std::max(150, r / 3));
    out.labelBox = {x1, 6, nameWidth, hc / 2};
    juce::Rectangle<int> chipRow(x1, 6 + hc / 2, nameWidth, hc - hc / 2);
    const int chipY = chipRow.getY() + (chipRow.getHeight() - kChipHeight) / 2;
    out.areas.roomChip = takeCentred(chipRow, chipWidth(roomChannelName_), chipY, kChipHeight, false);
    chipRow.removeFromLeft(std::min(kChipGap, chipRow.getWidth()));
    out.areas.articulationChip = takeCentred(chipRow, chipWidth(articulationName_), chipY, kChipHeight, false);
    chipRow.removeFromLeft(std::min(kChipGap, chipRow.getWidth()));
    out.formatBox = {chipRow.getX() + 4, chipRow.getY(), std::max(0, chipRow.getWidth() - 8), chipRow.getHeight()};
    out.measuresBox = {x1 + nameWidth + 4, 6, std::max(0, r - nameWidth - 8), hc};
    return out;
}

DetailStrip::HitAreas DetailStrip::layout() const { return computeLayout().areas; }

void DetailStrip::paint(juce::Graphics& g) {
    const int W = getWidth(), H = getHeight();
    widgets::paintThemedBox(g, juce::Rectangle<int>(0, 0, W, H).toFloat(),
                            static_cast<float>(Theme::instance().spacing), ThemeColour::panelBackground);
    if (!selectionText_.empty()) {
        g.setColour(themeColour(ThemeColour::textPrimary));
        g.setFont(makeFont(kTypeHeading));
        g.drawText(utf8(selectionText_), juce::Rectangle<int>(10, 6, std::max(0, W - 20), std::max(0, H - 12)),
                   juce::Justification::centredLeft, false);
        return;
    }
    if (shownUid_ == 0) return;

    const auto layout = computeLayout();
    const auto& areas = layout.areas;
    const float radius = static_cast<float>(std::min(kButton / 2, Theme::instance().cornerRadius));

    widgets::paintRoundedBox(g, areas.audition.toFloat(), radius, themeColour(ThemeColour::surfaceRaised),
                             themeColour(ThemeColour::border));
    const float s = kButton * 0.42f;
    const float x0 = static_cast<float>(areas.audition.getX()) + (kButton - s) / 2.0f;
    const float y0 = static_cast<float>(areas.audition.getY()) + (kButton - s) / 2.0f;
    juce::Path triangle;
    triangle.addTriangle(x0, y0, x0 + s, y0 + s / 2.0f, x0, y0 + s);
    g.setColour(themeColour(ThemeColour::textSecondary));
    g.fillPath(triangle);

    // The polarity cell names a control this format does not have.
    drawCell(g, areas.polarity, kPolarity, false, 0.35f);
    drawCell(g, areas.mute, "MUTE", muted_, 1.0f);
    drawCell(g, areas.solo, "SOLO", soloed_, 1.0f);

    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(makeFont(kTypeHeading));
    g.drawText(utf8(label_), layout.labelBox, juce::Justification::centredLeft, true);

    const float chipRadius = static_cast<float>(std::min(kChipHeight / 2, Theme::instance().cornerRadius));
    const std::pair<juce::Rectangle<int>, const std::string*> chips[] = {
        {areas.roomChip, &roomChannelName_}, {areas.articulationChip, &articulationName_}};
    for (const auto& [box, name] : chips) {
        widgets::paintRoundedBox(g, box.toFloat(), chipRadius, themeColour(ThemeColour::fieldBackground),
                                 themeColour(ThemeColour::border));
        g.setColour(themeColour(ThemeColour::textSecondary));
        g.setFont(makeFont(kTypeChip));
        g.drawText(chipText(*name), box, juce::Justification::centred, false);
    }

    g.setColour(themeColour(ThemeColour::textMuted));
    g.setFont(makeFont(kTypeMicro));
    g.drawText(utf8(formatText_), layout.formatBox, juce::Justification::centredLeft, true);

    g.setColour(themeColour(ThemeColour::textSecondary));
    g.setFont(makeFont(kTypeText));
    g.drawText(utf8(measuresText()), layout.measuresBox, juce::Justification::centredLeft, true);

    areas_ = areas;
}

void DetailStrip::mouseUp(const juce::MouseEvent& e) {
    if (shownUid_ == 0) return;
    const uint64_t uid = shownUid_;
    const auto p = e.getPosition();
    if (areas_.audition.contains(p) && onAudition) {
        onAudition(uid);
        return;
    }
    if (areas_.roomChip.contains(p) && onReassign) {
        onReassign(uid, 'l');
        return;
    }
    if (areas_.articulationChip.contains(p) && onReassign) {
        onReassign(uid, 'a');
        return;
    }
    if (areas_.polarity.contains(p)) return;
    if (areas_.mute.contains(p) && onMute) {
        onMute(uid, !muted_);
        return;
    }
    if (areas_.solo.contains(p) && onSolo) onSolo(uid, !soloed_);
}

void DetailStrip::mouseMove(const juce::MouseEvent& e) {
    const auto p = e.getPosition();
    const char* tip = "";
    if (shownUid_ != 0 && areas_.polarity.contains(p))
        tip = polarityTooltip();
    else if (shownUid_ != 0 && areas_.audition.contains(p))
        tip = auditionTooltip();
    const auto text = juce::String::fromUTF8(tip);
    if (getTooltip() != text) setTooltip(text);
}

std::unique_ptr<juce::AccessibilityHandler> DetailStrip::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::group);
}

}  // namespace vt6::ui::zemedit
