// The detail strip of the selected samples and the room-channel level panel.
#include "editor/ui/zem_edit_overlay.hpp"

#include <algorithm>

#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit {

void ZemEditOverlay::wireDetailStrip() {
    detailStrip.onAudition = [this](uint64_t uid) { auditionFromDetail(uid); };
    detailStrip.onReassign = [this](uint64_t uid, char field) { reassignFromDetail(uid, field); };
    detailStrip.onMute = [this](uint64_t uid, bool muted) { setMutedFromDetail(uid, muted); };
    detailStrip.onSolo = [this](uint64_t uid, bool soloed) { setSoloedFromDetail(uid, soloed); };
    addAndMakeVisible(detailStrip);
}

void ZemEditOverlay::refreshDetailStrip() { detailStrip.refresh(document()); }

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

std::vector<LevelRow> ZemEditOverlay::buildLevelRows() const {
    std::vector<LevelRow> rows;
    if (!loaded()) return rows;
    const auto& doc = viewModel.document;
    const auto slots = doc.layerSlots(deps.standalone);
    for (const int32_t index : doc.layerSlotOrder(deps.standalone)) {
        // Without the standalone host only the channels the strip shows.
        if (!deps.standalone && std::find(roomList.begin(), roomList.end(), index) == roomList.end()) continue;
        const auto& layer = doc.layers[static_cast<size_t>(index)];
        LevelRow row;
        row.layerIndex = static_cast<uint32_t>(index);
        row.layerKey = layer.key;
        row.name = slots[static_cast<size_t>(index)] == 0 ? std::string("Direct") : layer.name;
        row.level = doc.layerDefaultLevel(index, deps.standalone);
        rows.push_back(std::move(row));
    }
    return rows;
}

void ZemEditOverlay::updateLevelButton() {
    auto rows = buildLevelRows();
    levelButton.setEnabled(!rows.empty());
    levelButton.setTooltip(rows.empty() ? "No channel of this zem carries a default level"
                                        : "Room channel default levels");
    if (levelPanel == nullptr) return;
    if (rows.empty()) {
        closeLevelPanel(false);
        return;
    }
    levelPanel->setRows(std::move(rows), deps.colourCategory);
    positionLevelPanel();
}

void ZemEditOverlay::toggleLevelPanel() {
    if (levelPanel != nullptr) {
        closeLevelPanel(true);
        return;
    }
    auto rows = buildLevelRows();
    if (rows.empty()) return;
    levelPanel = std::make_unique<ChannelLevelPanel>();
    levelPanel->onLevelChanged = [this](uint32_t index, uint64_t key, double level) {
        levelChanged(index, key, level);
    };
    levelPanel->setRows(std::move(rows), deps.colourCategory);
    addAndMakeVisible(*levelPanel);
    positionLevelPanel();
    levelPanel->toFront(false);
    levelButton.setActive(true);
    levelButton.repaint();
    addMouseListener(&levelPanelDismisser, true);
}

void ZemEditOverlay::positionLevelPanel() {
    if (levelPanel == nullptr) return;
    const int W = getWidth(), H = getHeight();
    const auto b = levelButton.getBounds();
    const int pw = levelPanel->getWidth(), ph = levelPanel->getHeight();
    const int x = b.getX() < 10 ? 10 : std::min(b.getX(), std::max(10, W - 10 - pw));
    int y = b.getBottom() + 4;
    y = y < 10 ? 10 : std::min(y, std::max(10, H - 10 - ph));
    levelPanel->setTopLeftPosition(x, y);
}

void ZemEditOverlay::closeLevelPanel(bool commitTyped) {
    if (levelPanel == nullptr) return;
    if (commitTyped) {
        // A commit runs the level action and a refresh, which may close the
        // panel itself.
        const juce::Component::SafePointer<ChannelLevelPanel> panel(levelPanel.get());
        for (size_t i = 0; panel != nullptr && panel.getComponent() == levelPanel.get() && i < panel->sliderCount();
             ++i) {
            auto& entry = panel->slider(i).valueEntry();
            if (entry.isOpen() && !entry.commit()) entry.close();
        }
        if (levelPanel == nullptr || panel.getComponent() != levelPanel.get()) return;
    }
    removeMouseListener(&levelPanelDismisser);
    std::unique_ptr<ChannelLevelPanel> panel = std::move(levelPanel);
    removeChildComponent(panel.get());
    if (panel->notifying()) {
        // Closed from inside one of its sliders' notifications: delete it once
        // that has returned.
        std::shared_ptr<ChannelLevelPanel> retired(std::move(panel));
        juce::MessageManager::callAsync([retired] {});
    }
    panel.reset();
    levelButton.setActive(false);
    levelButton.repaint();
}

void ZemEditOverlay::levelChanged(uint32_t layerIndex, uint64_t layerKey, double level) {
    auto& doc = document();
    // A row of a layer that was removed or replaced meanwhile.
    if (layerIndex >= doc.layers.size() || doc.layers[layerIndex].key != layerKey) return;
    doc.setChannelLevel(static_cast<int32_t>(layerIndex), layerKey, level, deps.standalone);
    refreshAfterCommand();
}

void ZemEditOverlay::LevelPanelDismisser::mouseDown(const juce::MouseEvent& e) {
    auto* panel = overlay.levelPanel.get();
    if (panel == nullptr) return;
    const auto* pressed = e.originalComponent;
    const auto inside = [pressed](const juce::Component& c) {
        return pressed == &c || c.isParentOf(pressed);
    };
    if (inside(*panel) || inside(overlay.levelButton) || panel->ownsTypedValueBox(pressed)) return;
    overlay.closeLevelPanel(true);
}

}  // namespace vt6::ui::zemedit
