#pragma once
// The audition interface the editor is handed: it plays samples without ever
// touching an audio device itself. The shell implements it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt6::lib {

class PreviewService {
public:
    virtual ~PreviewService() = default;
    // Plays the playback region of the sample with this key in the file.
    virtual bool auditionSample(const std::string& path, int32_t key) = 0;
    virtual void stop() = 0;
    // Interleaved floats; refuses channel counts other than 1 and 2 and input
    // without one whole frame.
    virtual bool play(const float* samples, size_t count, int32_t channels, int32_t sampleRate) = 0;
    virtual void setGain(float linearGain) = 0;
    virtual float gain() = 0;
};

}  // namespace vt6::lib
