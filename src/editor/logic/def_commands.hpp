#pragma once
// Undo commands that change the definitions: room channels (layers) and
// articulations. Definitions are addressed by index; deleting one moves the
// later ones down and renumbers the samples that refer to them. Display
// order is ascending key, not list order.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "editor/logic/history.hpp"

namespace vt6::ui::zemedit::logic {

inline constexpr std::array<const char*, 4> kArticulationNames = {"EDGE", "SIDESTICK", "FLAM", "RUFF"};

struct AddDefCmd final : ZemCmd {
    uint8_t isLayer = 1;
    std::string defName;
    uint64_t key = 0;
    std::optional<uint64_t> assignedSlot;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 72 + defName.size(); }
    const char* name() const override { return isLayer != 0 ? "Add layer" : "Add articulation"; }
};

struct ShowLayerCmd final : ZemCmd {
    uint32_t layerIndex = 0;

    explicit ShowLayerCmd(uint32_t index) : layerIndex(index) {}
    bool apply(EditDocument& doc) override { return write(doc, 1); }
    bool revert(EditDocument& doc) override { return write(doc, 0); }
    uint64_t cost() const override { return 16; }
    const char* name() const override { return "Add room channel"; }

private:
    bool write(EditDocument& doc, uint8_t shown) const;
};

struct DefSampleRef {
    uint32_t recordIndex = 0;
    uint8_t onDeleted = 0;  // 1: uses the deleted definition and leaves with it; 0: renumbered

    bool operator==(const DefSampleRef&) const = default;
};

struct SavedPage {
    int32_t layer = -1;
    int32_t articulation = -1;
};

struct DeleteDefCmd final : ZemCmd {
    uint8_t isLayer = 1;
    uint32_t index = 0;
    EditDef saved;
    std::vector<DefSampleRef> affected;
    SavedPage savedPage;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 168 + saved.name.size() + 8 * affected.size(); }
    const char* name() const override { return isLayer != 0 ? "Delete room channel" : "Delete articulation"; }
};

struct ReorderDefsCmd final : ZemCmd {
    uint8_t isLayer = 1;
    std::vector<uint64_t> fromKeys;  // by definition index
    std::vector<uint64_t> toKeys;

    bool apply(EditDocument& doc) override { return write(doc, toKeys); }
    bool revert(EditDocument& doc) override { return write(doc, fromKeys); }
    uint64_t cost() const override { return 64 + 8 * (fromKeys.size() + toKeys.size()); }
    const char* name() const override { return isLayer != 0 ? "Reorder room channels" : "Reorder articulations"; }

private:
    bool write(EditDocument& doc, const std::vector<uint64_t>& keys) const;
};

struct SetChannelLevelCmd final : ZemCmd {
    uint32_t layerIndex = 0;
    double fromLevel = 0.0;
    double toLevel = 0.0;

    SetChannelLevelCmd(uint32_t index, double from, double to) : layerIndex(index), fromLevel(from), toLevel(to) {}
    bool apply(EditDocument& doc) override { return write(doc, toLevel); }
    bool revert(EditDocument& doc) override { return write(doc, fromLevel); }
    uint64_t cost() const override { return 32; }
    const char* name() const override { return "Set room channel default level"; }

private:
    bool write(EditDocument& doc, double level) const;
};

} // namespace vt6::ui::zemedit::logic
