#pragma once
// Audio files for the import tests, made at test time: through the
// framework's own writers, as hand-built WAV bytes whose header says what a
// test needs, and as MP3 through the system's lame encoder when installed.

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace vt6::test {

// Channel-major audio: channels[c][frame].
using Channels = std::vector<std::vector<float>>;

// A decaying 1 kHz hit starting at `onset` with the given peak.
inline Channels hitAudio(int frames, int channels = 1, float peak = 0.9f, int onset = 0, double rate = 44100.0) {
    Channels audio(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames), 0.0f));
    for (int f = onset; f < frames; ++f) {
        const double t = (f - onset) / rate;
        const float v = static_cast<float>(peak * std::exp(-t * 30.0) * std::sin(2.0 * 3.14159265358979 * 1000.0 * t + 1.0));
        for (auto& ch : audio) ch[static_cast<size_t>(f)] = v;
    }
    return audio;
}

// Writes through the framework's writer for the file's extension (wav, aif,
// aiff, flac, ogg); false when it cannot.
inline bool writeAudioFile(const juce::File& file, const Channels& audio, double rate, int bits = 24) {
    std::unique_ptr<juce::AudioFormat> format;
    const auto ext = file.getFileExtension().toLowerCase();
    if (ext == ".wav") format = std::make_unique<juce::WavAudioFormat>();
    else if (ext == ".aif" || ext == ".aiff") format = std::make_unique<juce::AiffAudioFormat>();
    else if (ext == ".flac") format = std::make_unique<juce::FlacAudioFormat>();
    else if (ext == ".ogg") format = std::make_unique<juce::OggVorbisAudioFormat>();
    else return false;
    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream>(file);
    if (!stream->openedOk()) return false;
    const int quality = ext == ".ogg" ? 8 : 0;
    std::unique_ptr<juce::AudioFormatWriter> writer(format->createWriterFor(
        stream.get(), rate, static_cast<unsigned int>(audio.size()), bits, {}, quality));
    if (writer == nullptr) return false;
    stream.release();  // the writer owns it now
    std::vector<const float*> pointers;
    for (const auto& ch : audio) pointers.push_back(ch.data());
    return writer->writeFromFloatArrays(pointers.data(), static_cast<int>(pointers.size()),
                                        static_cast<int>(audio.empty() ? 0 : audio[0].size()));
}

// A 16-bit PCM WAV built byte by byte. `declaredDataBytes` (when not
// negative) is what the data chunk's header claims, whatever follows.
struct RawWav {
    uint16_t channels = 1;
    uint32_t rate = 44100;
    std::vector<int16_t> values;  // interleaved
    int64_t declaredDataBytes = -1;
};

inline bool writeRawWav(const juce::File& file, const RawWav& w) {
    juce::MemoryOutputStream out;
    const auto dataBytes = static_cast<uint32_t>(w.values.size() * 2);
    const uint32_t declared = w.declaredDataBytes >= 0 ? static_cast<uint32_t>(w.declaredDataBytes) : dataBytes;
    out.write("RIFF", 4);
    out.writeInt(static_cast<int>(36 + dataBytes));
    out.write("WAVEfmt ", 8);
    out.writeInt(16);
    out.writeShort(1);
    out.writeShort(static_cast<short>(w.channels));
    out.writeInt(static_cast<int>(w.rate));
    out.writeInt(static_cast<int>(w.rate * w.channels * 2u));
    out.writeShort(static_cast<short>(w.channels * 2));
    out.writeShort(16);
    out.write("data", 4);
    out.writeInt(static_cast<int>(declared));
    for (const int16_t v : w.values) out.writeShort(v);
    file.deleteFile();
    return file.replaceWithData(out.getData(), out.getDataSize());
}

inline bool haveLame() { return juce::File("/usr/bin/lame").existsAsFile(); }

// Encodes a WAV written by the framework to MP3 with lame; false when lame
// is missing or fails.
inline bool writeMp3(const juce::File& file, const Channels& audio, double rate) {
    if (!haveLame()) return false;
    const auto wav = file.withFileExtension("lame-input.wav");
    if (!writeAudioFile(wav, audio, rate, 16)) return false;
    juce::ChildProcess lame;
    juce::StringArray args{"/usr/bin/lame", "--quiet", "-b", "192", wav.getFullPathName(), file.getFullPathName()};
    const bool ok = lame.start(args) && lame.waitForProcessToFinish(20000) && lame.getExitCode() == 0;
    wav.deleteFile();
    return ok && file.existsAsFile();
}

}  // namespace vt6::test
