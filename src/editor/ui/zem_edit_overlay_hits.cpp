// The overlay's hit analysis: measuring recorded hit levels off the message
// thread, and AUTO-SORT with its progress box. Not built yet: the controls
// that reach it do nothing.
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::startHitAnalysis(bool, bool) {}

void ZemEditOverlay::pollHitSort() {}

}  // namespace vt6::ui::zemedit
