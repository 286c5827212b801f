// The detail strip of the selected samples and the room-channel level panel.
#include "editor/ui/zem_edit_overlay.hpp"

#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::refreshDetailStrip() {}

void ZemEditOverlay::cycleSampleAssignment(uint64_t uid, char field) {
    auto& doc = document();
    const auto* sample = doc.sampleByUid(uid);
    if (sample == nullptr || (field != 'l' && field != 'a')) return;
    const size_t count = field == 'l' ? doc.layers.size() : doc.articulations.size();
    // A document always holds one of each; without one there is nowhere to go.
    if (count == 0) return;
    const int64_t from = field == 'l' ? sample->layerIndex : sample->articulationIndex;
    const int64_t to = (from + 1) % static_cast<int64_t>(count);
    const uint64_t sequence = doc.nextPositionKey++;
    doc.execute(std::make_unique<logic::AssignFieldCmd>(uid, field, from, to, sample->positionKey, sequence));
}

void ZemEditOverlay::auditionFromDetail(uint64_t uid) {
    if (deps.previewService == nullptr || document().sampleByUid(uid) == nullptr) return;
    // Added or edited audio plays from memory; stored audio through the file.
    if (auto it = viewModel.addedPcm.find(uid); it != viewModel.addedPcm.end() && it->second != nullptr) {
        if (viewModel.playPcm) viewModel.playPcm(it->second->samples, it->second->channels, it->second->sampleRate);
        return;
    }
    if (const auto* source = viewModel.activeSource(); source != nullptr && viewModel.auditionStored)
        viewModel.auditionStored(source->path(), uid);
}

void ZemEditOverlay::reassignFromDetail(uint64_t uid, char field) {
    cycleSampleAssignment(uid, field);
    refreshAfterCommand();
}

void ZemEditOverlay::setMutedFromDetail(uint64_t uid, bool muted) {
    document().setMuted(uid, muted);
    refreshAfterCommand();
}

void ZemEditOverlay::setSoloedFromDetail(uint64_t uid, bool soloed) {
    document().setSoloed(uid, soloed);
    refreshAfterCommand();
}

void ZemEditOverlay::toggleLevelPanel() {}

void ZemEditOverlay::positionLevelPanel() {}

void ZemEditOverlay::closeLevelPanel() {
    if (levelPanel == nullptr) return;
    removeChildComponent(levelPanel.get());
    levelPanel.reset();
}

}  // namespace vt6::ui::zemedit
