#pragma once
// The audition interface the editor is handed: it plays samples without ever
// touching an audio device itself. The shell implements it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vt6::lib {

// Interleaved audio that is still being produced while it plays: a producer
// writes the frames in order and publishes how many are written in `ready`
// (release order); the player reads only frames below it (acquire order) and
// waits at the first one that is not there yet. The buffer is allocated but
// not touched up front, so a long take costs nothing before its first frames.
struct StreamedAudio {
    StreamedAudio(int64_t frameCount, int32_t channelCount, int32_t rate)
        : samples(new float[static_cast<size_t>(frameCount) * static_cast<size_t>(channelCount)]),
          frames(frameCount), channels(channelCount), sampleRate(rate) {}
    std::unique_ptr<float[]> samples;
    const int64_t frames;
    const int32_t channels;
    const int32_t sampleRate;
    std::atomic<int64_t> ready{0};
};

class PreviewService {
public:
    virtual ~PreviewService() = default;
    // Plays the playback region of the sample with this key in the file.
    virtual bool auditionSample(const std::string& path, int32_t key) = 0;
    virtual void stop() = 0;
    // Interleaved floats; refuses channel counts other than 1 and 2 and input
    // without one whole frame.
    virtual bool play(const float* samples, size_t count, int32_t channels, int32_t sampleRate) = 0;
    // Plays audio as it is produced (see StreamedAudio); false when this
    // service cannot, and the caller then hands over whole buffers with play.
    virtual bool playStreamed(std::shared_ptr<StreamedAudio> audio) {
        (void)audio;
        return false;
    }
    virtual void setGain(float linearGain) = 0;
    virtual float gain() = 0;
};

}  // namespace vt6::lib
