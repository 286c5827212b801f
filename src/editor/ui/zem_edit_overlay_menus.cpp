// The overlay's right-click menus and delete confirmations. Not built yet.
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::showBandMenu(int, juce::Point<int>) {}

void ZemEditOverlay::confirmDeleteBand(int) {}

void ZemEditOverlay::showChipMenu(uint64_t, juce::Point<int>) {}

void ZemEditOverlay::confirmDelete(const std::vector<uint64_t>&) {}

void ZemEditOverlay::showDefMenu(bool, int, juce::Point<int>) {}

}  // namespace vt6::ui::zemedit
