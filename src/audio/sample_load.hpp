#pragma once
// One sample of a library file on disk as interleaved floats, for the
// audition player, the sample editor and the hit-level sort. Current files
// and legacy files (3.0 to 3.5, 4.0) are both accepted; the first bytes of
// the file decide which reader is used.
//
// Two modes: PlaybackRegion returns the sample's playback region when it has
// one (else its stored audio), cut to the editing budget at a whole frame;
// CompleteSource returns all stored audio and refuses a sample above the
// budget. The budget is checked against the payload heads' declared sizes
// before anything is decoded, so an oversized sample never fills memory.
//
// Calls keep no state and open their own handles; any thread may call.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/pcma_head.hpp"
#include "format/reader.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// The most stored (plain packed) audio bytes one load produces.
inline constexpr uint64_t kEditingBudgetBytes = 268435456;
inline constexpr uint32_t kRegionReadBlockFrames = 8192;

struct SampleSelector {
    // Articulation to look for; negative: the first direct sample.
    int32_t key = -1;
    // 1-based position in the file's stored order; >= 1 wins over the key.
    int32_t position = 0;
};

enum class SampleLoadMode : int32_t {
    PlaybackRegion = 0,
    CompleteSource = 1,
};

struct SampleAudio {
    std::vector<float> samples;  // frame f, channel c at f * channels + c
    int32_t channels = 0;
    int32_t sampleRate = 0;
};

struct DecodedPayload {
    PcmaHead head;
    std::vector<uint8_t> plain;
};

// True when the file has at least 64 bytes and starts with the zem 6 magic.
bool probeHeader(const std::string& path);

// One AUDI or AUDT payload decoded to plain packed PCM (its plain hash is not
// compared); empty on any failure.
std::optional<DecodedPayload> fetchDecodedPayload(const Zem6File& file, uint32_t tag, uint64_t uid);

// Loads the selected sample. `byteBudget` is honoured up to
// kEditingBudgetBytes (every caller passes that); smaller values serve tests
// and tools.
Result<SampleAudio> loadSampleForEdit(const std::string& path, const SampleSelector& selector, uint64_t byteBudget,
                                      SampleLoadMode mode);

// CompleteSource of the sample at `row` (from 0) of a current file that is
// already open, so that a caller loading many samples opens the file once.
// Not for two threads on one file at a time. `cancel` (when set) is asked
// between the reads and between FLAC frames of the decode, so that a long
// sample can be given up within milliseconds; true fails the load with
// ReadIo and kSampleReadCancelledText.
inline constexpr const char* kSampleReadCancelledText = "sample read cancelled";
Result<SampleAudio> loadCompleteSourceRow(Zem6File& file, size_t row, uint64_t byteBudget,
                                          const std::function<bool()>& cancel = {});

} // namespace vt6::fmt
