#pragma once
// Turns the edited document back into a file model for saving. Composition
// never builds a model from nothing: it copies the model the document was
// opened from (an empty default model for a new library) and writes into the
// copy only what the document says, so every key, extension pair, field and
// carried chunk the editor does not know survives a save unchanged.

#include <cstdint>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"
#include "format/summ_peak.hpp"

namespace vt6::ui::zemedit::logic {

// The copy of `source` with the document written into it. With keepSlots no
// channel slot is computed or written and no room linking runs (new layers
// keep slot 6); without it, `unlinked` (when not null) receives the names of
// the room samples that could not be linked. Always succeeds.
fmt::Result<fmt::Zem6Model> composeModel(const EditDocument& document, const fmt::Zem6Model& source, bool keepSlots,
                                         std::vector<std::string>* unlinked);

// composeModel with slots and room links, then fitBandEdgesToRows, then the
// group-definition check. Fails only as the check does.
fmt::Result<fmt::Zem6Model> composeAndCheck(const EditDocument& document, const fmt::Zem6Model& source,
                                            std::vector<std::string>* unlinked);

// For a model composed from `document`: when some bands hold no row (the
// check before writing drops their definitions), the others get the edges
// and centres the document's layout has once pruning has removed those
// bands, so the file's groups cover 0..127 as the pruned grid shows them;
// a kept band stored without a name gets the one the editor showed when a
// reopen would make up another. Changes nothing when every band, or none,
// holds a row.
void fitBandEdgesToRows(fmt::Zem6Model& model, const EditDocument& document);

// Key 4 = the user's level when it differs from the level the entry already
// means (1.0 for a new entry; for a stored one its key 4, else 0.0 on a room
// channel, else 1.0).
void applyLayerLevel(fmt::LayerDef& entry, const EditDef& def, bool fromSource);
// A stored layer takes the computed slot only when it was stored as
// unassigned (6); a new one always does (6 when no channel is free). A room
// slot without a level gets the user's level or 1.0.
void applyLayerSlot(fmt::LayerDef& entry, const EditDef& def, bool fromSource, int32_t slot);

// Rows per key 5, 4 or 3 value (0 when absent), sorted by id.
std::vector<fmt::HistogramEntry> countSamplesByBand(const fmt::Zem6Model& model);
std::vector<fmt::HistogramEntry> countSamplesByArticulation(const fmt::Zem6Model& model);
std::vector<fmt::HistogramEntry> countSamplesByLayer(const fmt::Zem6Model& model);

} // namespace vt6::ui::zemedit::logic
