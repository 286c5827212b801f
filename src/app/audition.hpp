#pragma once
// Plays one in-memory buffer at a time through the audio output device.
// Everything here runs on the message thread; only the device's callback
// thread reads the audio, through the player and the transport.

#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_audio_utils/juce_audio_utils.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/result.hpp"
#include "widgets/preview_service.hpp"

namespace vt6::maker {

// One sample's audio as loaded for auditioning.
struct AuditionAudio {
    std::vector<float> samples;  // interleaved
    int32_t channels = 0;
    int32_t sampleRate = 0;
};

// Loads the playback region of a sample of a file: by key (negative: the
// first eligible sample) unless position (1-based) is 1 or more.
using SampleLoader =
    std::function<fmt::Result<AuditionAudio>(const std::string& path, int32_t key, int32_t position)>;

// The program's loader: the sample's playback region under the editing budget.
fmt::Result<AuditionAudio> loadPlaybackRegion(const std::string& path, int32_t key, int32_t position);

// Which device types the device manager offers. Unset, the framework's own
// (ALSA here); tests install fakes before the device is opened.
using DeviceTypeInstaller = std::function<void(juce::AudioDeviceManager&)>;
void setAudioDeviceTypeInstaller(DeviceTypeInstaller installer);

class Audition : public lib::PreviewService {
public:
    Audition();
    ~Audition() override;

    // Opens the output (no inputs, two outputs) from the saved state, falling
    // back to the default device. Empty on success, else why there is no output.
    juce::String initialise(const juce::XmlElement* savedState);

    bool auditionSample(const std::string& path, int32_t key) override;
    void stop() override;
    bool play(const float* samples, size_t count, int32_t channels, int32_t sampleRate) override;
    // Starts at once; the device reads the frames as they are produced.
    bool playStreamed(std::shared_ptr<lib::StreamedAudio> audio) override;
    void setGain(float linearGain) override;
    float gain() override;

    // Plays a sample picked by its 1-based position in the file.
    bool auditionPosition(const std::string& path, int32_t position);

    void setSampleLoader(SampleLoader loader) { loader_ = std::move(loader); }

    juce::AudioDeviceManager& deviceManager() noexcept { return deviceManager_; }
    juce::AudioTransportSource& transport() noexcept { return transport_; }

private:
    bool playLoaded(const fmt::Result<AuditionAudio>& loaded);
    // Detaches whatever plays, so the audio thread reads it no more.
    void detach();

    juce::AudioDeviceManager deviceManager_;
    juce::AudioSourcePlayer player_;
    juce::AudioTransportSource transport_;
    // The audio the source plays; the source reads it in place rather than
    // holding a second copy of a long sample.
    juce::AudioBuffer<float> currentAudio_;
    std::unique_ptr<juce::PositionableAudioSource> current_;
    SampleLoader loader_ = loadPlaybackRegion;
};

}  // namespace vt6::maker
