// The browse-sample reader over arbitrary files: every SMPL row through
// readBrowseSample and through the analysis callable. A success holds at
// most five seconds at a rate inside the accepted range; the callable never
// fails, and a failed row gives it empty audio at 44100 Hz.

#include <cstring>
#include <cstddef>
#include <cstdint>

#include "audio/browse_reader.hpp"
#include "format/reader.hpp"
#include "fuzz_file.hpp"

using namespace vt6::fmt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = vt6::fuzz::writeProbe(data, size);
    auto opened = openZem6File(path, vt6::fuzz::fuzzPolicy());
    if (!opened.ok()) {
        if (opened.message().empty()) __builtin_trap();
        return 0;
    }
    const Zem6File& file = *opened;
    const size_t rows = file.model.samples.size();
    for (size_t i = 0; i < rows; ++i) {
        auto audio = readBrowseSample(file, file.model.samples[i]);
        auto pa = browseAudioForIndex(&file, i);
        if (!pa.ok()) __builtin_trap();
        if (!audio.ok()) {
            if (audio.message().empty()) __builtin_trap();
            if (!pa->samples.empty() || pa->sample_rate != 44100) __builtin_trap();
            continue;
        }
        if (audio->sampleRate < kBrowseMinRate || audio->sampleRate > kBrowseMaxRate) __builtin_trap();
        if (audio->samples.size() > uint64_t{audio->sampleRate} * kBrowseSeconds) __builtin_trap();
        // Compared bit for bit: 32-bit float audio may hold NaNs.
        if (pa->samples.size() != audio->samples.size() || pa->sample_rate != audio->sampleRate ||
            (!audio->samples.empty() &&
             std::memcmp(pa->samples.data(), audio->samples.data(), audio->samples.size() * sizeof(float)) != 0)) {
            __builtin_trap();
        }
    }
    auto past = browseAudioForIndex(&file, rows);
    if (!past.ok() || !past->samples.empty() || past->sample_rate != 44100) __builtin_trap();
    return 0;
}
