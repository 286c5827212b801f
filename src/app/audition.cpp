#include "app/audition.hpp"

#include "audio/sample_load.hpp"

#include <limits>

namespace vt6::maker {

namespace {

DeviceTypeInstaller& deviceTypeInstaller() {
    static DeviceTypeInstaller installer;
    return installer;
}

}  // namespace

fmt::Result<AuditionAudio> loadPlaybackRegion(const std::string& path, int32_t key, int32_t position) {
    fmt::SampleSelector selector;
    selector.key = key;
    selector.position = position;
    auto loaded = fmt::loadSampleForEdit(path, selector, fmt::kEditingBudgetBytes, fmt::SampleLoadMode::PlaybackRegion);
    if (!loaded.ok()) return loaded.takeError();
    AuditionAudio audio;
    audio.samples = std::move(loaded->samples);
    audio.channels = loaded->channels;
    audio.sampleRate = loaded->sampleRate;
    return audio;
}

void setAudioDeviceTypeInstaller(DeviceTypeInstaller installer) { deviceTypeInstaller() = std::move(installer); }

Audition::Audition() = default;

Audition::~Audition() {
    deviceManager_.removeAudioCallback(&player_);
    player_.setSource(nullptr);
    transport_.setSource(nullptr);
    current_.reset();
}

juce::String Audition::initialise(const juce::XmlElement* savedState) {
    if (const auto& install = deviceTypeInstaller()) install(deviceManager_);
    auto error = deviceManager_.initialise(0, 2, savedState, true, {}, nullptr);
    player_.setSource(&transport_);
    deviceManager_.addAudioCallback(&player_);
    // With no device at all the framework reports success and opens nothing;
    // that is no output just the same.
    if (error.isEmpty() && deviceManager_.getCurrentAudioDevice() == nullptr)
        error = "No audio output device could be opened.";
    return error;
}

bool Audition::play(const float* samples, size_t count, int32_t channels, int32_t sampleRate) {
    if (channels != 1 && channels != 2) return false;
    const size_t frames = count / static_cast<size_t>(channels);
    // A trailing partial frame is dropped; with no whole frame there is
    // nothing to play, and a transport started on an empty source would
    // report a play that never sounds.
    if (samples == nullptr || frames == 0) return false;
    if (frames > static_cast<size_t>(std::numeric_limits<int>::max())) return false;

    // A mono sample goes to both outputs: the in-memory source fills only the
    // channels it has, which would leave a mono sample in the left ear alone.
    juce::AudioBuffer<float> buffer(2, static_cast<int>(frames));
    for (int ch = 0; ch < channels; ++ch) {
        float* out = buffer.getWritePointer(ch);
        for (size_t f = 0; f < frames; ++f) out[f] = samples[f * static_cast<size_t>(channels) + static_cast<size_t>(ch)];
    }
    if (channels == 1) buffer.copyFrom(1, 0, buffer, 0, 0, static_cast<int>(frames));

    transport_.stop();
    // Detached first: the audio thread no longer reads the old buffer.
    transport_.setSource(nullptr);
    current_.reset();
    currentAudio_ = std::move(buffer);
    current_ = std::make_unique<juce::MemoryAudioSource>(currentAudio_, false, false);
    transport_.setSource(current_.get(), 0, nullptr, static_cast<double>(sampleRate));
    transport_.start();
    return true;
}

bool Audition::playLoaded(const fmt::Result<AuditionAudio>& loaded) {
    if (!loaded.ok()) return false;
    return play(loaded->samples.data(), loaded->samples.size(), loaded->channels, loaded->sampleRate);
}

bool Audition::auditionSample(const std::string& path, int32_t key) { return playLoaded(loader_(path, key, 0)); }

bool Audition::auditionPosition(const std::string& path, int32_t position) {
    return playLoaded(loader_(path, -1, position));
}

void Audition::stop() { transport_.stop(); }

void Audition::setGain(float linearGain) { transport_.setGain(linearGain); }

float Audition::gain() { return transport_.getGain(); }

}  // namespace vt6::maker
