#pragma once
// One dynamic group of the open document: a title row with the group's dot and
// delete cross, and the group's sample chips for the current page in one or
// two sub-columns. Every user action leaves through Callbacks.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "editor/ui/zem_chip.hpp"
#include "widgets/viz_service.hpp"

namespace vt6::ui::zemedit {

class BandColumn : public juce::Component, public juce::SettableTooltipClient {
public:
    static constexpr int kTitleHeight = 14;
    static constexpr int kRowPitch = 26;
    static constexpr int kChipHeight = 22;
    static constexpr int kMaxChipWidth = 176;

    struct Callbacks {
        std::function<void(int group, juce::Point<int> screen)> onBandMenu;
        std::function<void(int group)> onBandDelete;
        std::function<void(int group, const std::string& name)> onBandRename;
        std::function<void(uint64_t uid, const juce::ModifierKeys&)> onChipClick;
        std::function<void(uint64_t uid)> onChipAudition;
        std::function<void(uint64_t uid, bool muted)> onChipMute;
        std::function<void(uint64_t uid, juce::Point<int> screen)> onChipDrag;
        std::function<void(uint64_t uid, bool dropped)> onChipDrop;
        std::function<void(uint64_t uid, juce::Point<int> screen)> onChipMenu;
        std::function<void(uint64_t uid)> onChipEdit;
        std::function<void()> onBackgroundClick;
        // "+N more" pressed: bring the row at `rowTop` (in the column's
        // coordinates), the first below the chips shown, to the top.
        std::function<void(int group, int rowTop)> onMore;
    };

    int bandIndex = 0;
    int colourCategory = 1;
    const logic::EditDocument* document = nullptr;  // not owned
    widgets::ChipFlashTracker* flashTracker = nullptr;  // not owned
    Callbacks callbacks;
    std::string name;
    bool dropTarget = false;
    int sampleCount = 0;
    int subColumns = 1;
    int rows = 1;
    std::vector<int> slots;
    // Samples of the group the chip budget left without a chip, and where
    // their "+N more" line is drawn (empty when none).
    int moreCount = 0;
    int rowsShown = 0;
    juce::Rectangle<int> moreArea;
    std::vector<int32_t> sampleIndices;
    std::vector<std::unique_ptr<ZemChip>> chips;
    juce::TextEditor renameEditor;

    BandColumn();
    ~BandColumn() override;

    void populate(const logic::EditDocument& doc, int band, int visibleTop, int visibleBottom, int visibleHeight,
                  int& budget);

    void mouseDown(const juce::MouseEvent&) override;
    void mouseDoubleClick(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    void wireChip(ZemChip& chip);
    void commitRename();

private:
    void requestMenuAtCentre();
};

}  // namespace vt6::ui::zemedit
