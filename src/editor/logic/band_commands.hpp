#pragma once
// Undo commands that change the dynamic groups (bands): their splits and
// level positions, names and number, and the drum type. Every command that
// changes the layout carries both forms, before and after, so they always
// agree.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "editor/logic/history.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {

struct SetBoundsCmd final : ZemCmd {
    std::vector<int32_t> fromSplits;
    std::vector<int32_t> toSplits;
    std::vector<double> fromPositions;
    std::vector<double> toPositions;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override {
        return 104 + 4 * (fromSplits.size() + toSplits.size()) + 8 * (fromPositions.size() + toPositions.size());
    }
    const char* name() const override { return "Move dynamics boundary"; }
};

struct RenameBandCmd final : ZemCmd {
    int32_t bandId = 0;
    std::string fromName;
    std::string toName;
    uint8_t fromGenerated = 0;  // the band's generatedName before the rename

    bool apply(EditDocument& doc) override { return write(doc, toName, 0); }
    bool revert(EditDocument& doc) override { return write(doc, fromName, fromGenerated); }
    uint64_t cost() const override { return 80 + fromName.size() + toName.size(); }
    const char* name() const override { return "Rename dynamic"; }

private:
    bool write(EditDocument& doc, const std::string& value, uint8_t generated) const;
};

struct SetDrumTypeCmd final : ZemCmd {
    uint8_t fromType = 5;
    uint8_t toType = 5;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override { return 16; }
    const char* name() const override { return "Set drum type"; }
};

struct AddBandCmd final : ZemCmd {
    int32_t index = 0;  // of the new band in bands and bandOrder
    int32_t bandId = 0;
    std::string bandName = "New";
    std::vector<int32_t> fromSplits;
    std::vector<int32_t> toSplits;
    std::vector<double> fromPositions;
    std::vector<double> toPositions;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override {
        return 144 + bandName.size() + 4 * (fromSplits.size() + toSplits.size()) +
               8 * (fromPositions.size() + toPositions.size());
    }
    const char* name() const override { return "Add dynamic"; }
};

struct DeleteBandCmd final : ZemCmd {
    int32_t index = 0;  // of the deleted band
    int32_t bandId = 0;
    int32_t targetBandId = 0;  // receives the samples
    std::string bandName;
    double levelPosition = 0.0;
    std::optional<fmt::BandDef> sourceEntry;
    uint8_t generatedName = 0;
    MoveSamplesCmd embeddedMove{{}};
    std::vector<int32_t> fromSplits;
    std::vector<int32_t> toSplits;
    std::vector<double> fromPositions;
    std::vector<double> toPositions;

    bool apply(EditDocument& doc) override;
    bool revert(EditDocument& doc) override;
    uint64_t cost() const override {
        return 304 + bandName.size() + embeddedMove.cost() + 4 * (fromSplits.size() + toSplits.size()) +
               8 * (fromPositions.size() + toPositions.size());
    }
    const char* name() const override { return "Delete dynamic"; }
};

std::unique_ptr<AddBandCmd> makeAddBandCmd();
std::unique_ptr<DeleteBandCmd> makeDeleteBandCmd();

} // namespace vt6::ui::zemedit::logic
