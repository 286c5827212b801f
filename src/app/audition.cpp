#include "app/audition.hpp"

#include "audio/sample_load.hpp"

#include <algorithm>
#include <limits>

namespace vt6::maker {

namespace {

// Reads a StreamedAudio from the audio thread: only published frames, and at
// the first one not yet there it plays silence without moving on, so nothing
// is skipped when the producer is late. A mono stream goes to both outputs.
class StreamedSource : public juce::PositionableAudioSource {
public:
    explicit StreamedSource(std::shared_ptr<lib::StreamedAudio> audio) : audio_(std::move(audio)) {}
    void prepareToPlay(int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock(const juce::AudioSourceChannelInfo& info) override {
        auto* buffer = info.buffer;
        const int outputs = buffer->getNumChannels();
        const int64_t ready = audio_->ready.load(std::memory_order_acquire);
        const int64_t start = position_;
        const int available = static_cast<int>(std::clamp<int64_t>(ready - start, 0, info.numSamples));
        const int32_t n = audio_->channels;
        const float* in = audio_->samples.get() + start * n;
        for (int ch = 0; ch < outputs; ++ch) {
            float* out = buffer->getWritePointer(ch, info.startSample);
            const int k = std::min(ch, n - 1);
            for (int i = 0; i < available; ++i) out[i] = in[static_cast<int64_t>(i) * n + k];
            for (int i = available; i < info.numSamples; ++i) out[i] = 0.0f;
        }
        position_ = start + available;
    }
    void setNextReadPosition(juce::int64 position) override { position_ = std::clamp<int64_t>(position, 0, audio_->frames); }
    juce::int64 getNextReadPosition() const override { return position_; }
    juce::int64 getTotalLength() const override { return audio_->frames; }
    bool isLooping() const override { return false; }
    void setLooping(bool) override {}

private:
    std::shared_ptr<lib::StreamedAudio> audio_;
    int64_t position_ = 0;
};

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

    detach();
    currentAudio_ = std::move(buffer);
    current_ = std::make_unique<juce::MemoryAudioSource>(currentAudio_, false, false);
    transport_.setSource(current_.get(), 0, nullptr, static_cast<double>(sampleRate));
    transport_.start();
    return true;
}

void Audition::detach() {
    transport_.stop();
    // Detached first: the audio thread no longer reads the old audio.
    transport_.setSource(nullptr);
    current_.reset();
}

bool Audition::playStreamed(std::shared_ptr<lib::StreamedAudio> audio) {
    if (audio == nullptr || (audio->channels != 1 && audio->channels != 2) || audio->frames < 1) return false;
    if (audio->sampleRate < 1) return false;
    const int32_t rate = audio->sampleRate;
    detach();
    currentAudio_ = {};
    current_ = std::make_unique<StreamedSource>(std::move(audio));
    transport_.setSource(current_.get(), 0, nullptr, static_cast<double>(rate));
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
