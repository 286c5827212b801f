#pragma once
// Where a saved file keeps its physical analysis in the model: one PHDM chunk
// (the model-set blob, written after the audio) and the MTAD extension key 16
// holding [1, n], n the number of models in that blob. Any edit makes both
// stale, so every composed model starts without them.

#include <cstdint>

#include "format/framing.hpp"
#include "format/mtad.hpp"

namespace vt6::fmt {

inline constexpr uint32_t kTagPHDM = makeTag("PHDM");
inline constexpr uint64_t kPhysicalModelMtadKey = kPhysicalMarkerMtadKey;  // 16

// Removes every PHDM chunk and every MTAD extension pair with key 16; the
// remaining chunks and pairs keep their order, nothing else is touched.
void clearPhysicalAnalysis(Zem6Model& model);

} // namespace vt6::fmt
