#include "editor/ui/band_column.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

uint8_t alphaByte(float a) {
    if (!(a > 0.0f)) return 0;
    if (a >= 1.0f) return 255;
    return static_cast<uint8_t>(std::lround(a * 255.0f));
}

bool onPage(const logic::EditDocument& doc, const logic::EditSample& s) {
    return (doc.pageLayer < 0 || doc.pageLayer == s.layerIndex) &&
           (doc.pageArticulation < 0 || doc.pageArticulation == s.articulationIndex);
}

}  // namespace

BandColumn::BandColumn() {
    setName("Dynamics band");
    setTitle("Dynamics band");
    renameEditor.setName({});
    renameEditor.setPasswordCharacter(0);
    // The box is 12 px high: a font and insets that fit inside it.
    renameEditor.setFont(makeFont(kTypeChip));
    renameEditor.setIndents(3, 0);
    renameEditor.setBorder(juce::BorderSize<int>(0));
    addChildComponent(renameEditor);
    renameEditor.onReturnKey = [this] { commitRename(); };
    renameEditor.onFocusLost = [this] { commitRename(); };
    renameEditor.onEscapeKey = [this] { cancelRename(); };
}

BandColumn::~BandColumn() {
    renameEditor.onReturnKey = nullptr;
    renameEditor.onFocusLost = nullptr;
    renameEditor.onEscapeKey = nullptr;
}

void BandColumn::populate(const logic::EditDocument& doc, int band, int top, int bottom, int visibleHeight,
                          int& budget) {
    bandIndex = band;
    document = &doc;
    const bool bandValid = band >= 0 && static_cast<size_t>(band) < doc.bands.size();
    const int n = bandValid ? doc.bandSampleCount(band) : 0;
    sampleCount = n;

    bool anySolo = false;
    for (const auto& s : doc.samples)
        if (s.soloed != 0 && doc.uidIndex.count(s.uid) != 0) {
            anySolo = true;
            break;
        }

    const int rowsFit = std::max((visibleHeight - kTitleHeight) / kRowPitch, 1);
    if (rowsFit < n) {
        subColumns = 2;
        rows = std::max(rowsFit, (n + 1) / 2);
    } else {
        subColumns = 1;
        rows = std::max(n, 1);
    }

    int first = 0, count = 0;
    if (bottom > 0) {
        first = std::max((top - kTitleHeight) / kRowPitch, 0);
        const int last = std::max((bottom + 11) / kRowPitch, 0);
        if (first < rows && first < last)
            count = std::min(last, rows) - first;
        else
            first = 0;
    }

    // Samples in rows [from, rows) of every sub-column.
    const auto samplesFrom = [&](int from) {
        int total = 0;
        for (int s = 0; s < subColumns; ++s)
            total += std::max(std::min((s + 1) * rows, n) - (s * rows + std::max(from, 0)), 0);
        return total;
    };
    // The rows whose chip lies wholly in view: only there is a line readable.
    const int fullFirst = top <= kTitleHeight ? 0 : (top - kTitleHeight + kRowPitch - 1) / kRowPitch;
    const int fullLast = bottom >= kTitleHeight + kChipHeight ? (bottom - kTitleHeight - kChipHeight) / kRowPitch : -1;
    int chipFirst = first, chipEnd = first + count;
    moreRow = -1;
    backRow = -1;
    if (bottom > 0 && fullLast >= 0 && samplesFrom(fullLast + 1) > 0) {
        moreRow = fullLast;
        chipEnd = std::min(chipEnd, moreRow);
    }
    // "Back to first" only where it leaves a row of chips above "+N more".
    if (n > 0 && fullFirst > 0 && (moreRow < 0 ? fullFirst <= fullLast : moreRow - fullFirst >= 2)) {
        backRow = fullFirst;
        chipFirst = std::max(chipFirst, backRow + 1);
    }

    // Row by row, so that a short budget still shows whole rows; the chips
    // the budget leaves out are counted by "+N more" in the first row
    // without chips.
    slots.clear();
    for (int r = chipFirst; r < chipEnd; ++r) {
        const size_t before = slots.size();
        for (int s = 0; s < subColumns; ++s) {
            const int p = s * rows + r;
            if (p < n) slots.push_back(p);
        }
        if (static_cast<int>(slots.size()) > std::max(budget, 0)) {
            slots.resize(before);
            moreRow = r;
            break;
        }
    }
    std::sort(slots.begin(), slots.end());
    budget -= static_cast<int>(slots.size());

    moreCount = moreRow >= 0 ? samplesFrom(moreRow) : 0;
    const int lineWidth = std::max(getWidth() - 6, 0);
    moreArea = moreRow >= 0 ? juce::Rectangle<int>(3, kTitleHeight + moreRow * kRowPitch, lineWidth, kChipHeight)
                            : juce::Rectangle<int>();
    backArea = backRow >= 0 ? juce::Rectangle<int>(3, kTitleHeight + backRow * kRowPitch, lineWidth, kChipHeight)
                            : juce::Rectangle<int>();
    // With row k at the top of the view, 4 px below its edge, row k - 1 is
    // out of sight: the rows before "+N more" are what the user has seen.
    const int topRow = std::max(moreRow - 1, fullFirst + 1);
    moreTarget = kTitleHeight + topRow * kRowPitch - 4;

    sampleIndices.clear();
    std::vector<int32_t> part;
    for (int s = 0; s < subColumns && bandValid; ++s) {
        int p0 = -1, k = 0;
        for (int p : slots)
            if (p >= s * rows && p < (s + 1) * rows) {
                if (p0 < 0) p0 = p;
                ++k;
            }
        if (k == 0) continue;
        doc.bands[static_cast<size_t>(band)].groups.collect(doc.pageFilter(), p0, k, part);
        sampleIndices.insert(sampleIndices.end(), part.begin(), part.end());
    }

    while (chips.size() < sampleIndices.size()) {
        chips.push_back(std::make_unique<ZemChip>());
        wireChip(*chips.back());
        addAndMakeVisible(*chips.back());
    }

    const int w = getWidth();
    const int cell = std::max((w - 6) / subColumns, 1);
    const uint32_t now = juce::Time::getMillisecondCounter();
    const bool placementCurrent = doc.indexedRevision == doc.structureRevision;

    for (size_t k = 0; k < chips.size(); ++k) {
        auto& chip = *chips[k];
        const bool bound = k < sampleIndices.size() && k < slots.size() && sampleIndices[k] >= 0 &&
                           static_cast<size_t>(sampleIndices[k]) < doc.samples.size();
        if (!bound) {
            chip.setVisible(false);
            continue;
        }
        const auto& sample = doc.samples[static_cast<size_t>(sampleIndices[k])];
        const int p = slots[k];
        const bool selected = doc.allSelected != 0 ? onPage(doc, sample) : doc.selection.count(sample.uid) != 0;
        bool suggested = false;
        if (placementCurrent) {
            const auto placed = doc.autoPlacement.find(sample.uid);
            suggested = placed != doc.autoPlacement.end() && placed->second.changed != 0 &&
                        placed->second.band != band;
        }
        chip.setSample(sample, doc.sampleLabel(sample, p), selected, suggested, band, anySolo);
        const float level =
            flashTracker != nullptr ? std::clamp(flashTracker->level(chip.flashSlot, now), 0.0f, 1.0f) : 0.0f;
        if (level != chip.flashLevel) {
            chip.flashLevel = level;
            chip.repaint();
        }
        const int w0 = subColumns == 2 ? cell - 4 : cell;
        const int cw = std::min(std::max(w0, 1), kMaxChipWidth);
        const int x = (p / rows) * cell + 3 + (std::max(w0, 1) - cw) / 2;
        const int y = (p % rows) * kRowPitch + kTitleHeight;
        chip.setBounds(x, y, cw, kChipHeight);
        chip.setVisible(true);
    }
    repaint();
}

void BandColumn::paint(juce::Graphics& g) {
    const int w = getWidth(), h = getHeight();
    const float a = static_cast<float>(bandIndex) * 0.022f + 0.028f;
    g.setColour(Theme::instance().categoryColour(colourCategory).withAlpha(alphaByte(a)));
    g.fillRect(0, 0, w, h);
    if (dropTarget) {
        g.setColour(themeColour(ThemeColour::accentWash));
        g.fillRect(0, 0, w, h);
    }
    const int m = std::min(std::max(w - 12, 0), 10);
    g.setColour(bandColour(bandIndex));
    g.fillRoundedRectangle(static_cast<float>((m - 8) / 2 + 6), 3.0f, 8.0f, 8.0f,
                           std::min(4.0f, static_cast<float>(Theme::instance().smallRadius)));
    g.setColour(themeColour(ThemeColour::textMuted));
    const int crossW = std::min(w, 16);
    g.fillPath(widgets::makeIcon(1,
                                 juce::Rectangle<float>(static_cast<float>(w - crossW), 0.0f,
                                                        static_cast<float>(crossW), 14.0f),
                                 makeFont(kTypeValue).getHeight()));
    g.setColour(themeColour(ThemeColour::textSecondary));
    g.setFont(makeFont(kTypeLabelBold));
    if (moreCount > 0 && !moreArea.isEmpty())
        g.drawText("+" + juce::String(moreCount) + " more", moreArea, juce::Justification::centred, true);
    if (!backArea.isEmpty()) g.drawText("Back to first", backArea, juce::Justification::centred, true);
}

void BandColumn::mouseDown(const juce::MouseEvent& e) {
    if (e.mods.isRightButtonDown()) {
        if (callbacks.onBandMenu) callbacks.onBandMenu(bandIndex, e.getScreenPosition());
        return;
    }
    if (moreCount > 0 && moreArea.contains(e.getPosition())) {
        if (callbacks.onScrollTo) callbacks.onScrollTo(bandIndex, moreTarget);
        return;
    }
    if (backArea.contains(e.getPosition())) {
        if (callbacks.onScrollTo) callbacks.onScrollTo(bandIndex, 0);
        return;
    }
    if (e.y > kTitleHeight) {
        if (callbacks.onBackgroundClick) callbacks.onBackgroundClick();
        return;
    }
    const int w = getWidth();
    if (e.x >= w - std::min(w, 16) && e.x < w && e.y >= 0 && e.y <= 13)
        if (callbacks.onBandDelete) callbacks.onBandDelete(bandIndex);
}

void BandColumn::mouseDoubleClick(const juce::MouseEvent& e) {
    if (e.y > kTitleHeight) return;
    renameEditor.setBounds(4, 1, 110, 12);
    renameEditor.setText(juce::String::fromUTF8(shownNameOrName().c_str()), juce::dontSendNotification);
    renameEditor.applyFontToAllText(makeFont(kTypeChip));
    renameEditor.setVisible(true);
    renameEditor.grabKeyboardFocus();
    // Typing replaces the old name, as in any rename field.
    renameEditor.selectAll();
}

void BandColumn::commitRename() {
    if (!renameEditor.isVisible()) return;
    renameEditor.setVisible(false);
    auto text = renameEditor.getText().toStdString();
    // A default name shown as the interface says it stays the name it is.
    if (text == shownNameOrName()) text = name;
    if (callbacks.onBandRename) callbacks.onBandRename(bandIndex, text);
}

void BandColumn::cancelRename() {
    // Hidden first: the focus loss that follows then commits nothing.
    renameEditor.setVisible(false);
}

void BandColumn::wireChip(ZemChip& chip) {
    chip.onClick = [this](uint64_t uid, const juce::ModifierKeys& mods) {
        if (callbacks.onChipClick) callbacks.onChipClick(uid, mods);
    };
    chip.onAudition = [this](uint64_t uid) {
        if (callbacks.onChipAudition) callbacks.onChipAudition(uid);
    };
    chip.onMute = [this](uint64_t uid, bool muted) {
        if (callbacks.onChipMute) callbacks.onChipMute(uid, muted);
    };
    chip.onDrag = [this](uint64_t uid, juce::Point<int> screen) {
        if (callbacks.onChipDrag) callbacks.onChipDrag(uid, screen);
    };
    chip.onMenu = [this](uint64_t uid, juce::Point<int> screen) {
        if (callbacks.onChipMenu) callbacks.onChipMenu(uid, screen);
    };
    chip.onDrop = [this](uint64_t uid, bool dropped) {
        if (callbacks.onChipDrop) callbacks.onChipDrop(uid, dropped);
    };
    chip.onEdit = [this](uint64_t uid) {
        if (callbacks.onChipEdit) callbacks.onChipEdit(uid);
    };
}

void BandColumn::requestMenuAtCentre() {
    if (callbacks.onBandMenu) callbacks.onBandMenu(bandIndex, localPointToGlobal(juce::Point<int>(getWidth() / 2, getHeight() / 2)));
}

std::unique_ptr<juce::AccessibilityHandler> BandColumn::createAccessibilityHandler() {
    juce::AccessibilityActions actions;
    actions.addAction(juce::AccessibilityActionType::showMenu, [this] { requestMenuAtCentre(); });
    actions.addAction(juce::AccessibilityActionType::press, [this] { requestMenuAtCentre(); });
    return std::make_unique<juce::AccessibilityHandler>(*this, juce::AccessibilityRole::group, std::move(actions));
}

}  // namespace vt6::ui::zemedit
