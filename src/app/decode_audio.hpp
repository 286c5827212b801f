#pragma once
// One audio file on its way into the open zem: decoded whole into
// interleaved floats, checked, given a playback region that skips leading
// silence and the decayed tail, and measured for the auto-sort. Each refusal
// carries a kind that selects the line of the import report. Runs on the
// import job's threads; nothing here touches the message thread.

#include <juce_core/juce_core.h>

#include <functional>
#include <string>

#include "app/decode_audio_core.hpp"

namespace vt6::maker {

// Reads the whole file into floats through libsndfile, choosing the reader
// by the file's content (WAV, RF64, Wave64, AIFF and AIFF-C, FLAC, Ogg
// Vorbis, MP3). The channel count, the declared length and the rate are
// checked before any audio is read, so an oversized or malformed header
// costs no memory; a file holding less audio than it declares is damaged.
// `cancelled` is asked between decoded blocks; `admit`, when given, decides
// on the declared size before any audio is read (kind kImportNoRoom).
fmt::Result<ImportedSample> decodeAudioFile(const juce::File& file, int* kind,
                                            const std::function<bool()>& cancelled = {},
                                            const DecodeAdmission& admit = {});

// The report line of a refused file; kinds 5 and 6 carry no reference code,
// unknown kinds give the empty text.
std::string importErrorText(const std::string& fileName, int kind);

}  // namespace vt6::maker
