#pragma once
// A non-owning look at interleaved 32-bit float audio: frame f, channel c sits
// at samples[f * channels + c]. Trim searches and the sample editor's maths
// read audio through it, so they never copy or own the buffer.

#include <cstdint>
#include <vector>

namespace vt6::fmt {

struct InterleavedAudioView {
    const float* samples = nullptr;
    int64_t frames = 0;
    int32_t channels = 0;
    int32_t sampleRate = 0;

    // The whole of an interleaved vector; a trailing partial frame is not part of it.
    static InterleavedAudioView of(const std::vector<float>& audio, int32_t channels, int32_t sampleRate) noexcept {
        InterleavedAudioView v;
        v.samples = audio.empty() ? nullptr : audio.data();
        v.channels = channels;
        v.sampleRate = sampleRate;
        v.frames = channels >= 1 ? static_cast<int64_t>(audio.size() / static_cast<size_t>(channels)) : 0;
        return v;
    }
};

}  // namespace vt6::fmt
