// Dragging chips between dynamic groups: the ghost under the pointer, the
// marked target column and the move on release.
#include "editor/ui/zem_edit_overlay.hpp"

#include "editor/ui/chip_drag_ghost.hpp"
#include "editor/ui/zem_chip.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::dragChip(uint64_t uid, juce::Point<int> screen) {
    auto& doc = document();
    const auto* sample = doc.sampleByUid(uid);
    if (sample == nullptr || columns.empty()) return;

    const int x = bandContent.getLocalPoint(nullptr, screen).x;
    int target = -1;
    for (size_t i = 0; i < columns.size(); ++i) {
        const auto bounds = columns[i]->getBounds();
        if (x >= bounds.getX() && x < bounds.getRight()) {
            target = static_cast<int>(i);
            break;
        }
    }
    if (target < 0) target = x < 0 ? 0 : static_cast<int>(columns.size()) - 1;

    if (uid != draggedUid) {
        // A new drag: dress the ghost for this chip (or its selection).
        const bool several = doc.selection.count(uid) != 0 && doc.selection.size() > 1;
        dragGhost.colour = bandColour(doc.bandIndexOf(sample->bandId)).withAlpha(1.0f);
        // Named as its chip is, also when the sample has no name of its own.
        dragGhost.name = juce::String::fromUTF8(doc.sampleLabel(*sample, doc.samplePosition(*sample)).c_str());
        dragGhost.count = several ? static_cast<int>(doc.selection.size()) : 1;
        dragGhost.setSize(dragGhostWidth(columns.front()->getWidth()), kDragGhostHeight);
        dragGhost.setVisible(true);
        bandClip.addChildComponent(dragGhost);
        dragGhost.repaint();
    }
    const auto inClip = bandClip.getLocalPoint(nullptr, screen);
    dragGhost.setTopLeftPosition(inClip.x - dragGhost.getWidth() / 2, inClip.y - dragGhost.getHeight() / 2);
    dragGhost.setVisible(true);

    draggedUid = uid;
    doc.dropBand = target;
    layoutBands();
}

void ZemEditOverlay::dropChip(uint64_t uid, bool dropped) {
    auto& doc = document();
    const int target = doc.dropBand;
    doc.dropBand = -1;
    dragGhost.setVisible(false);
    bandClip.removeChildComponent(&dragGhost);

    const auto* sample = doc.sampleByUid(uid);
    if (dropped && target >= 0 && sample != nullptr && target != doc.bandIndexOf(sample->bandId)) {
        const auto targets = targetsFor(uid);
        draggedUid = 0;
        doc.moveSamples(targets, target);
        refreshAfterCommand();
        return;
    }
    draggedUid = 0;
    // Only the column mark goes away.
    refreshAll();
}

void ZemEditOverlay::resetChipDrag() {
    draggedUid = 0;
    document().dropBand = -1;
    dragGhost.setVisible(false);
    bandClip.removeChildComponent(&dragGhost);
}

}  // namespace vt6::ui::zemedit
