// Dragging chips between dynamic groups. Not built yet.
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::dragChip(uint64_t, juce::Point<int>) {}

void ZemEditOverlay::dropChip(uint64_t, bool) {}

}  // namespace vt6::ui::zemedit
