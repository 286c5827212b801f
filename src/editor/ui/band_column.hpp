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
        // A paging line pressed: scroll the grid so that `top` (in the
        // column's coordinates) is the top of the view.
        std::function<void(int group, int top)> onScrollTo;
    };

    int bandIndex = 0;
    int colourCategory = 1;
    const logic::EditDocument* document = nullptr;  // not owned
    widgets::ChipFlashTracker* flashTracker = nullptr;  // not owned
    Callbacks callbacks;
    std::string name;
    // The name as the interface shows it (the rename box opens with it).
    std::string shownName;
    bool dropTarget = false;
    int sampleCount = 0;
    int subColumns = 1;
    int rows = 1;
    std::vector<int> slots;
    // Paging lines, each in a row of its own in view: "+N more" counts the
    // samples of the group below the chips shown and pages on to them;
    // "Back to first" appears once the first rows are scrolled away. Row -1
    // (and an empty area) when a line is not shown.
    int moreCount = 0;
    int moreRow = -1;
    juce::Rectangle<int> moreArea;
    int backRow = -1;
    juce::Rectangle<int> backArea;
    // Where "+N more" scrolls to: its row's predecessor comes to the top
    // (where "Back to first" then stands), its own row right below.
    int moreTarget = 0;
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
    // Hides the rename box without renaming.
    void cancelRename();

private:
    void requestMenuAtCentre();
    const std::string& shownNameOrName() const { return shownName.empty() ? name : shownName; }
};

}  // namespace vt6::ui::zemedit
