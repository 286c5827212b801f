#pragma once
// Laws a whole model must keep beyond what each chunk's codec checks: uid
// allocation, agreement of SMPL with SUMM and PEAK, playback regions inside
// the audio, and carried chunks that are safe to write back.

#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// Success, or the first broken law (in a fixed order) with its code and
// message. The writer refuses to encode, and the reader to open, a model
// that fails.
Result<Unit> checkModelLaws(const Zem6Model& model);

} // namespace vt6::fmt
