#pragma once
// A fake audio output for the shell's tests: a device type with one stereo
// output that either fails to open or records what its callback renders.

#include <juce_audio_devices/juce_audio_devices.h>

#include <vector>

#include "app/audition.hpp"

namespace vt6::test {

class FakeAudioDevice : public juce::AudioIODevice {
public:
    FakeAudioDevice(const juce::String& name, bool failOpen, double rate)
        : juce::AudioIODevice(name, "Fake"), failOpen_(failOpen), rate_(rate) {}
    ~FakeAudioDevice() override { close(); }

    juce::StringArray getOutputChannelNames() override { return {"Left", "Right"}; }
    juce::StringArray getInputChannelNames() override { return {}; }
    juce::Array<double> getAvailableSampleRates() override { return {rate_}; }
    juce::Array<int> getAvailableBufferSizes() override { return {256, 512}; }
    int getDefaultBufferSize() override { return 256; }
    juce::String open(const juce::BigInteger&, const juce::BigInteger&, double, int bufferSize) override {
        if (failOpen_) return "the fake device refuses to open";
        open_ = true;
        bufferSize_ = bufferSize > 0 ? bufferSize : 256;
        return {};
    }
    void close() override {
        stop();
        open_ = false;
    }
    bool isOpen() override { return open_; }
    void start(juce::AudioIODeviceCallback* callback) override {
        if (callback == nullptr) return;
        callback->audioDeviceAboutToStart(this);
        callback_ = callback;
    }
    void stop() override {
        if (auto* c = callback_) {
            callback_ = nullptr;
            c->audioDeviceStopped();
        }
    }
    bool isPlaying() override { return callback_ != nullptr; }
    juce::String getLastError() override { return {}; }
    int getCurrentBufferSizeSamples() override { return bufferSize_; }
    double getCurrentSampleRate() override { return rate_; }
    int getCurrentBitDepth() override { return 32; }
    juce::BigInteger getActiveOutputChannels() const override { return juce::BigInteger(3); }
    juce::BigInteger getActiveInputChannels() const override { return {}; }
    int getOutputLatencyInSamples() override { return 0; }
    int getInputLatencyInSamples() override { return 0; }

    // Pulls frames through the callback as the device thread would, appending
    // them to left and right.
    void render(int frames) {
        std::vector<float> l(static_cast<size_t>(frames)), r(static_cast<size_t>(frames));
        float* outs[2] = {l.data(), r.data()};
        if (callback_ != nullptr)
            callback_->audioDeviceIOCallbackWithContext(nullptr, 0, outs, 2, frames, {});
        left.insert(left.end(), l.begin(), l.end());
        right.insert(right.end(), r.begin(), r.end());
    }

    std::vector<float> left, right;

private:
    bool failOpen_;
    double rate_;
    bool open_ = false;
    int bufferSize_ = 256;
    juce::AudioIODeviceCallback* callback_ = nullptr;
};

class FakeAudioDeviceType : public juce::AudioIODeviceType {
public:
    FakeAudioDeviceType(bool failOpen, double rate) : juce::AudioIODeviceType("Fake"), failOpen_(failOpen), rate_(rate) {}
    void scanForDevices() override {}
    juce::StringArray getDeviceNames(bool wantInputNames) const override {
        return wantInputNames ? juce::StringArray() : juce::StringArray("Fake Out");
    }
    int getDefaultDeviceIndex(bool) const override { return 0; }
    int getIndexOfDevice(juce::AudioIODevice* device, bool asInput) const override {
        return device != nullptr && !asInput ? 0 : -1;
    }
    bool hasSeparateInputsAndOutputs() const override { return true; }
    juce::AudioIODevice* createDevice(const juce::String& outputName, const juce::String&) override {
        if (outputName != "Fake Out") return nullptr;
        return new FakeAudioDevice(outputName, failOpen_, rate_);
    }

private:
    bool failOpen_;
    double rate_;
};

// Installs the fake for every device manager opened while it lives.
struct ScopedFakeAudio {
    explicit ScopedFakeAudio(bool failOpen = false, double rate = 44100.0) {
        maker::setAudioDeviceTypeInstaller([failOpen, rate](juce::AudioDeviceManager& manager) {
            manager.addAudioDeviceType(std::make_unique<FakeAudioDeviceType>(failOpen, rate));
        });
    }
    ~ScopedFakeAudio() { maker::setAudioDeviceTypeInstaller({}); }
};

// What choosing a setting in the device selector does: the manager then
// has a state worth storing.
inline void chooseOtherBufferSize(juce::AudioDeviceManager& manager) {
    auto setup = manager.getAudioDeviceSetup();
    setup.bufferSize = setup.bufferSize == 512 ? 256 : 512;
    manager.setAudioDeviceSetup(setup, true);
}

inline FakeAudioDevice* fakeDevice(juce::AudioDeviceManager& manager) {
    return dynamic_cast<FakeAudioDevice*>(manager.getCurrentAudioDevice());
}

}  // namespace vt6::test
