#pragma once
// A short, cheap view of one sample for the audio analysis: at most the first
// five seconds of its playback region, mixed to mono, as floats at the
// sample's own rate. Only the needed prefix of each payload is read; FLAC
// bodies go through a stream cursor of their own, so nothing is decoded
// whole.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/hit_level.hpp"
#include "format/reader.hpp"
#include "format/result.hpp"
#include "format/smpl.hpp"

namespace vt6::fmt {

inline constexpr uint32_t kBrowseSeconds = 5;
inline constexpr uint32_t kBrowseMinRate = 1000;
inline constexpr uint32_t kBrowseMaxRate = 384000;

struct BrowseSampleAudio {
    std::vector<float> samples;  // mono, one value per frame
    uint32_t sampleRate = 44100;
};

// Up to sample rate x 5 mono values from the row's playback start (or its
// first frame), across head and tail. Refuses rates outside 1000..384000 Hz
// and more than two channels. Only reads the file.
Result<BrowseSampleAudio> readBrowseSample(const Zem6File& file, const SmplEntry& row);

// The browse audio of SMPL row `index` of `file`. Never fails: a sample that
// cannot be read, an index past the rows and a null file all give empty audio
// at 44100 Hz, so one bad sample never stops the analysis of the others.
Result<Pa6> browseAudioForIndex(const Zem6File* file, size_t index);

// The per-sample callable the analysis takes, over a file that stays open
// (and in place) while it is called.
Fn browseAudioFn(const Zem6File* file);

} // namespace vt6::fmt
