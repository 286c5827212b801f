#pragma once
// A host for the editor overlay that leaves NEW, RESET, import and SAVE to
// the overlay and supplies the services those fallbacks use with real
// parts: a scripted audio-file chooser, decoding through the framework's
// basic formats into packed PCM, a fake input device resampled to 44100 Hz,
// snapshots kept as "<key>.zem" files written through the save path, and a
// scripted save-location chooser. It records every call.

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/editor_host_services.hpp"
#include "editor/ui/zem_edit_deps.hpp"

namespace vt6::test {

// Decodes a whole audio file into interleaved packed little-endian PCM of
// its own bit depth (16 or 24 bits for integer formats, 32-bit floats for
// floating-point ones).
inline fmt::Result<ui::zemedit::DecodedAudioFile> decodeWithBasicFormats(const juce::File& file) {
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(file));
    if (reader == nullptr) return fmt::fail(fmt::ErrorCode::ReadIo, "not an audio file the formats read");
    const int channels = static_cast<int>(reader->numChannels);
    const auto frames = static_cast<int>(reader->lengthInSamples);
    if (channels < 1 || frames < 0) return fmt::fail(fmt::ErrorCode::ReadIo, "no audio");
    ui::zemedit::DecodedAudioFile out;
    out.channels = channels;
    out.sampleRate = static_cast<int>(reader->sampleRate);
    out.bitsPerSample = reader->usesFloatingPointData ? 32 : (reader->bitsPerSample > 16 ? 24 : 16);
    std::vector<std::vector<int>> planes(static_cast<size_t>(channels), std::vector<int>(static_cast<size_t>(frames)));
    std::vector<int*> dest;
    for (auto& p : planes) dest.push_back(p.data());
    if (!reader->read(dest.data(), channels, 0, frames, false))
        return fmt::fail(fmt::ErrorCode::ReadIo, "read failed");
    const size_t bytes = static_cast<size_t>(out.bitsPerSample / 8);
    out.pcm.reserve(static_cast<size_t>(frames) * static_cast<size_t>(channels) * bytes);
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            // Integer data comes left-justified in 32 bits; float data as its bits.
            const auto v = static_cast<uint32_t>(planes[static_cast<size_t>(c)][static_cast<size_t>(f)]);
            const uint32_t packed = out.bitsPerSample == 32 ? v : v >> (32 - out.bitsPerSample);
            for (size_t b = 0; b < bytes; ++b) out.pcm.push_back(static_cast<uint8_t>(packed >> (8 * b)));
        }
    return out;
}

// A live input playing a scripted mono track at its own rate; what it plays
// while capture is on is handed over resampled to 44100 Hz.
class FakeInputDevice {
public:
    FakeInputDevice(std::vector<float> track, double rate) : track_(std::move(track)), rate_(rate) {}

    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    // The track plays on for `seconds`; heard only while enabled.
    void play(double seconds) {
        const auto n = static_cast<size_t>(seconds * rate_);
        for (size_t i = 0; i < n; ++i, ++position_)
            if (enabled_) heard_.push_back(position_ < track_.size() ? track_[position_] : 0.0f);
    }
    void pull(std::vector<float>& out) {
        const double ratio = rate_ / 44100.0;
        const int available = static_cast<int>(heard_.size());
        const int produce = static_cast<int>(static_cast<double>(available) / ratio);
        if (produce <= 0) return;
        std::vector<float> converted(static_cast<size_t>(produce));
        const int used = interpolator_.process(ratio, heard_.data(), converted.data(), produce, available, 0);
        heard_.erase(heard_.begin(), heard_.begin() + used);
        out.insert(out.end(), converted.begin(), converted.end());
        ++pulls_;
    }
    int pulls() const { return pulls_; }

private:
    std::vector<float> track_;
    double rate_;
    size_t position_ = 0;
    bool enabled_ = false;
    std::vector<float> heard_;
    juce::LagrangeInterpolator interpolator_;
    int pulls_ = 0;
};

struct FallbacksHost {
    std::string snapshotFolder;
    std::string libraryFolder;
    std::vector<juce::File> audioChoices;        // answered in order; none: the chooser is dismissed
    std::vector<std::string> saveChoices;        // answered in order; "" chooses nothing
    std::unique_ptr<FakeInputDevice> input;
    bool completeSnapshots = true;               // false: hold completions in `pendingSnapshots`

    std::vector<std::string> snapshotKeys, discarded, saved, rememberedFolders;
    std::vector<std::pair<std::string, std::string>> savedAs;
    std::vector<std::pair<std::string, std::string>> chooserCalls;  // (start folder, file name)
    std::vector<std::string> snapshotErrors;
    std::vector<std::function<void(const std::string&)>> pendingSnapshots;
    std::vector<bool> captureSwitches;
    int decodes = 0;

    std::string snapshotPath(const std::string& key) const { return snapshotFolder + "/" + key + ".zem"; }

    ui::zemedit::ZemEditDeps deps() {
        ui::zemedit::ZemEditDeps d;
        d.standalone = true;
        d.libraryFolder = libraryFolder;
        d.unsavedWorkFolder = snapshotFolder;
        d.chooseAudioFile = [this](std::function<void(const juce::File&)> done) {
            if (audioChoices.empty()) return;
            const juce::File f = audioChoices.front();
            audioChoices.erase(audioChoices.begin());
            done(f);
        };
        d.decodeAudioFile = [this](const juce::File& f) {
            ++decodes;
            return decodeWithBasicFormats(f);
        };
        d.setCaptureEnabled = [this](bool on) {
            captureSwitches.push_back(on);
            if (input) input->setEnabled(on);
        };
        d.pullCapture = [this](std::vector<float>& out) {
            if (input) input->pull(out);
        };
        d.snapshotSink = [this](const ui::zemedit::EditorSnapshot& s, std::function<void(const std::string&)> done) {
            snapshotKeys.push_back(s.key);
            const auto written = maker::writeSnapshotFile(s, snapshotPath(s.key));
            if (!written.ok()) snapshotErrors.push_back(written.message());
            if (completeSnapshots)
                done(written.ok() ? std::string() : written.message());
            else
                pendingSnapshots.push_back(std::move(done));
        };
        d.discardSnapshot = [this](const std::string& key) {
            discarded.push_back(key);
            juce::File(juce::String::fromUTF8(snapshotPath(key).c_str())).deleteFile();
        };
        d.chooseSaveLocation = [this](const std::string& start, const std::string& name,
                                      std::function<void(const std::string&)> done) {
            chooserCalls.emplace_back(start, name);
            if (saveChoices.empty()) return;
            const std::string path = saveChoices.front();
            saveChoices.erase(saveChoices.begin());
            done(path);
        };
        d.rememberSaveFolder = [this](const std::string& f) { rememberedFolders.push_back(f); };
        d.onSaved = [this](const std::string& p) { saved.push_back(p); };
        d.onSavedAs = [this](const std::string& a, const std::string& b) { savedAs.emplace_back(a, b); };
        return d;
    }
};

}  // namespace vt6::test
