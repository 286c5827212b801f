#pragma once
// The recorded hit level of one sample: the loudest 1 ms sets the scale, the
// onset is the first frame at -20 dB of it, and the level is the weighted
// mean of the loudest 10, 25 and 50 ms windows after the onset.

#include <cstdint>
#include <functional>
#include <span>

#include "format/hit_level.hpp"

namespace vt6::fmt {

// `samples` are interleaved by channel. The region is [startFrame, endFrame),
// endFrame 0 meaning the end of the buffer; onsetFrame counts from the
// buffer's first frame. `cancel` (when set) is polled every 2048 frames and
// returns true to stop. Never throws; refusals come back measured but not
// finite.
HitLevel measureHitLevel(std::span<const float> samples, uint32_t channels, double sampleRate,
                         uint64_t startFrame, uint64_t endFrame,
                         const std::function<bool()>& cancel = {});

} // namespace vt6::fmt
