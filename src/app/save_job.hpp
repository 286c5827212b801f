#pragma once
// Writes a save's export over its target without ever damaging the target:
// a temporary sibling is written and synced, analysed, read back and checked
// chunk by chunk, and only then renamed over the target, the folder synced
// after. Runs on the shell's worker thread; plain C++ so tests can drive and
// fail each step.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "app/save_model.hpp"
#include "format/export.hpp"

namespace vt6::maker {

// Save result codes beyond those of the save model.
inline constexpr int kSaveCannotWrite = 6;

// The steps of a save, each one finished before the next starts.
enum class SaveStep {
    created,   // the temporary sibling exists and took a first synced block
    written,   // the temporary sibling holds the complete file, synced
    analysed,  // the physical analysis was written into it (runSaveJob:
               // computed, before the file is written)
    verified,  // every chunk read back and compared with the export
    replaced,  // the sibling renamed over the target and the folder synced
};

// Test seam: asked after each step; false fails the job there as an I/O
// fault would. Null: every step goes on.
using SaveStepCheck = std::function<bool(SaveStep)>;

// The temporary sibling of a target: its stem + "_temp" + random hex digits
// + its extension, in its folder. Splits on "/" and "\".
std::string temporarySiblingFor(const std::string& target);

// Reads the file at `path` back with every check of a read, reads every
// chunk, and compares its sample uids and each AUDI payload with `exported`.
// 0 when they agree, else 6. Chunks are checked on `threads` threads (0: the
// default pool, up to four); the answer never depends on the count.
int verifyWrittenFile(const std::string& path, const fmt::Export& exported, unsigned threads = 0);

// Threads the read-back check uses by default: one per hardware thread, at
// most four (more only queue on the same disk).
unsigned defaultVerifyThreads();

// Where a running save is: its phase, and how many of the phase's steps
// (samples, or chunks read back) of how many are done.
enum class SavePhase { measuring, analysing, writing, verifying, replacing };
struct SaveProgress {
    SavePhase phase = SavePhase::measuring;
    size_t done = 0;
    size_t total = 0;
};
// Called on the job's threads, often; must be cheap and thread-safe.
using SaveProgressFn = std::function<void(const SaveProgress&)>;

// The share of the whole job, 0 to 100, that `progress` stands for: the
// phases in order, each weighted by what it costs.
int saveProgressPercent(const SaveProgress& progress);

// Threads a save builds and checks samples on: one per hardware thread, at
// most four. Each holds at most one sample's audio at a time.
unsigned saveWorkerThreads();

// The shell's save job, on its worker thread, from a composed plan:
// 1. creates the temporary sibling and syncs a first block into it, so a
//    folder that cannot be written to or a full disk fails (6) before any
//    audio is read;
// 2. reads and measures every sample on the pool (4 when a sample's audio
//    cannot be read), keeping only the rows, peaks and payload sizes; then
//    indexes the groups (5 when they do not index);
// 3. computes the physical analysis from the audio (5 when it fails);
// 4. writes the complete file once: each payload is built and hashed on the
//    pool as the writer reaches it and released once written, so at most one
//    payload per worker is held beyond the document (small ones in batches of
//    up to 1 MiB per worker); a payload that is its stored chunk byte for
//    byte keeps that chunk's verified checks instead of being hashed again;
// 5. reads it back whole, every chunk with all its checks, against what was
//    written; 6. replaces the target.
// The file is byte for byte what writeExportOver writes for the export
// buildExport makes from the same plan and audio. On failure the target is
// as it was and nothing the job created remains.
int runSaveJob(const std::string& target, SaveModelPlan plan, const SaveAudioSource& audio,
               const SaveProgressFn& progress = {}, const SaveStepCheck& check = {}, unsigned threads = 0);

// The job for an export held whole in memory (its payloads built already):
// the file written, rewritten with the analysis, read back and put in
// place; runSaveJob writes the same bytes. 0 on success; 5 when the writer
// refuses the model or the analysis fails; 6 when writing, verifying or replacing fails. On failure
// the target is as it was, and neither the temporary nor its ".physical"
// companion remains.
int writeExportOver(const std::string& target, const fmt::Export& exported, const SaveStepCheck& check = {});

// How the shell's save ended: refused while composing (a code, or notes
// on room samples, and nothing written), or written (code 0) or not; with
// the room samples the linking moved into their direct samples' groups.
struct SaveJobResult {
    int code = kSaveOk;
    std::string refusal;             // a refusal's own text; empty: the code's
    std::string unreadableSample;    // code 4: the name of the sample whose audio failed, if known
    std::vector<std::string> notes;  // room samples to match; nothing written
    std::vector<ui::zemedit::logic::RoomGroupMove> roomMoves;
};

// The shell's whole save on its worker thread: composeSaveModel of the
// document (a copy no other thread touches) and the source model, then
// runSaveJob. A sample whose own audio cannot be read is named in the
// refusal. Nothing is written while composing refuses or notes stand.
SaveJobResult composeAndRunSave(const ui::zemedit::logic::EditDocument& document, const fmt::Zem6Model& source,
                                const std::string& baseName, const std::string& target, const SaveAudioSource& audio,
                                const SaveProgressFn& progress = {});

// What the document takes after a successful save, as the file took it:
// the room samples the linking moved join their direct samples' groups,
// groups left empty are pruned, and the document is marked saved. Each
// change is a step Undo takes back.
void settleSavedDocument(ui::zemedit::logic::EditDocument& document,
                         std::span<const ui::zemedit::logic::RoomGroupMove> roomMoves);

} // namespace vt6::maker
