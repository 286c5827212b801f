#pragma once
// Writes a save's export over its target without ever damaging the target:
// a temporary sibling is written and synced, analysed, read back and checked
// chunk by chunk, and only then renamed over the target, the folder synced
// after. Runs on the shell's worker thread; plain C++ so tests can drive and
// fail each step.

#include <functional>
#include <string>

#include "format/export.hpp"

namespace vt6::maker {

// Save result codes beyond those of the save model.
inline constexpr int kSaveCannotWrite = 6;

// The steps of a save, each one finished before the next starts.
enum class SaveStep {
    written,   // the temporary sibling holds the complete file, synced
    analysed,  // the physical analysis was written into it
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

// The whole job: 0 on success; 5 when the writer refuses the model or the
// analysis fails; 6 when writing, verifying or replacing fails. On failure
// the target is as it was, and neither the temporary nor its ".physical"
// companion remains.
int writeExportOver(const std::string& target, const fmt::Export& exported, const SaveStepCheck& check = {});

} // namespace vt6::maker
