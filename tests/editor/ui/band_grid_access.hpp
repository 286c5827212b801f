#pragma once
// Reaches the overlay's band grid from the tests.

#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

class BandGridTestAccess {
public:
    explicit BandGridTestAccess(ZemEditOverlay& o) : o_(o) {}
    std::vector<std::unique_ptr<BandColumn>>& columns() { return o_.columns; }
    std::vector<std::unique_ptr<BoundaryEditor>>& editors() { return o_.boundaryEditors; }
    SessionHitsAxis& hitsAxis() { return o_.hitsAxis; }
    juce::Component& content() { return o_.bandContent; }
    juce::ScrollBar& horizontal() { return o_.horizontalScrollBar; }
    void layoutGrid() { o_.layoutGrid(); }
    widgets::ChipFlashTracker& chipFlashes() { return o_.chipFlashes; }

private:
    ZemEditOverlay& o_;
};

}  // namespace vt6::ui::zemedit
