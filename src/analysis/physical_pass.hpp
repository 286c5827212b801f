#pragma once
// The physical analysis that every saved file with samples carries: for each
// articulation a model of one or two representative hits, stored as one PHDM
// chunk, MTAD key 16 and a rebuilt summary. The pass reopens a freshly
// written file, analyses it and replaces it by a synced sibling that holds
// the result; the file it analyses is never written.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/drum_type.hpp"
#include "analysis/physical_model_set.hpp"
#include "format/hit_level.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// Threads, the caller included, that analyse `articulations` articulations:
// the rule of the legacy decode pool, min(max(articulations, 1),
// clamp(hardware / 3, 1, 4)), a reported 0 hardware threads taken as 1.
unsigned physicalAnalysisPoolSize(unsigned hardwareThreads, size_t articulations) noexcept;

// One entry per articulation value of the sample rows, ascending. `audio`
// gives a row's analysis audio; it is called from several threads at once.
// threads = 0 sizes the pool by physicalAnalysisPoolSize; the result does not
// depend on it.
Result<std::vector<PhysicalModelEntry>> analyzePhysicalModels(const Zem6Model& model, DrumType drumType, const Fn& audio,
                                                              unsigned threads = 0);

// Stores the entries in the model: one PHDM chunk last in the extra chunks,
// MTAD key 16 = [1, entry count] and the summary rebuilt from the rows. When
// the blob would pass its size limit, the entry that would pass it and every
// later one are stored without a model. On failure the model is unchanged.
Result<Unit> applyPhysicalModels(Zem6Model& model, std::span<const PhysicalModelEntry> entries);

// Analyses the file at `path` and replaces it by "<path>.physical" with the
// result. A file without samples is left as it is. Any failure leaves the
// file byte for byte as it was and no sibling behind.
Result<Unit> rewriteWithPhysicalAnalysis(const std::string& path, DrumType drumType, unsigned threads = 0);

} // namespace vt6::fmt
