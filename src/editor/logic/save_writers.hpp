#pragma once
// The editor's own writers for a document opened from a current-format file:
// compose, gather the audio, write "<destination>.vt6tmp", add the physical
// analysis, verify that the file reopens, and only then rename it over the
// destination. The destination is never opened for writing, and a failure
// removes the temporary file again, so nothing half-made is left beside it.

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "editor/logic/data_source.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/save_destination.hpp"
#include "format/result.hpp"
#include "format/writer.hpp"

namespace vt6::ui::zemedit::logic {

struct SaveOutcome {
    std::string path;                               // the file written
    bool writtenAsNew = false;                      // the destination's asNew
    std::vector<std::string> unmatchedRoomSamples;  // room samples no direct sample matches
};

// Uids (key 1) of every sample row.
std::unordered_set<uint64_t> collectModelUids(const fmt::Zem6Model& model);
// Key 19 and, when present, key 24 uids of every sample row.
std::unordered_set<uint64_t> collectAudioUids(const fmt::Zem6Model& model);
// True when some sample row of `model` has a uid no row of `other` has.
bool hasSampleNotIn(const fmt::Zem6Model& model, const fmt::Zem6Model& other);

// Writes the document opened from `source` to `destination`. Does not mark
// the document saved.
fmt::Result<SaveOutcome> saveEdited(EditDocument& document, FileDataSource& source,
                                    const SaveDestination& destination, std::vector<fmt::StagedPayload> added,
                                    const std::string& name);

// saveEdited to the destination derived from the source; marks the document
// saved on success.
fmt::Result<SaveOutcome> saveInPlace(EditDocument& document, FileDataSource& source, const std::string& directory,
                                     std::vector<fmt::StagedPayload> added, const std::string& name);

// Writes a document opened from a converted legacy file, converting that
// file again for its audio. `destination` null: derived from the source, but
// never the legacy file itself. Marks the document saved on success.
fmt::Result<SaveOutcome> saveConverted(EditDocument& document, LegacyModelDataSource& source,
                                       const std::string& directory, const std::string& name,
                                       std::vector<fmt::StagedPayload> added, const SaveDestination* destination);

// The text shown after a save whose room samples have no direct sample.
std::string savedMessage(const std::vector<std::string>& names);

// Writes `model` and `payloads` (or, with `carrySourcePath`, the audio of that
// file) to "<path>.vt6tmp", adds the physical analysis, verifies it reopens
// and renames it over `path`. Any failure removes what this call created.
fmt::Result<fmt::Unit> writeAndReplace(const std::string& path, const fmt::Zem6Model& model,
                                       const std::vector<fmt::StagedPayload>& payloads,
                                       const fmt::WriteOptions& options, uint8_t drumType,
                                       const std::string& carrySourcePath, const fmt::ReadPolicy& carryPolicy);

// Test seam: called after each step of writeAndReplace has succeeded; a
// failure it returns is that step's failure.
enum class SaveStep { Written, Analysed, Verified };
using SaveStepHook = fmt::Result<fmt::Unit> (*)(SaveStep step, const std::string& temporaryPath);
void setSaveStepHookForTesting(SaveStepHook hook) noexcept;
// Test seam: when set, opening the written file after a save fails.
void setReopenFailsForTesting(bool fails) noexcept;

} // namespace vt6::ui::zemedit::logic
