#pragma once
// The files the import benchmarks read: 500 short hits (0.5 s, 24-bit
// stereo WAV at 44.1 kHz, each with its own pitch and level), written once
// into a folder of their own under the temporary folder.

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace vt6::bench {

inline constexpr int kImportFiles = 500;
inline constexpr int kImportFrames = 22050;

// Writes the files into temp/<prefix>_<pid> and lists them in `files`.
inline void writeImportFiles(const std::string& prefix, std::filesystem::path& dir, std::vector<juce::File>& files) {
    if (!files.empty()) return;
    dir = std::filesystem::temp_directory_path() / (prefix + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    juce::WavAudioFormat wav;
    juce::AudioBuffer<float> audio(2, kImportFrames);
    for (int i = 0; i < kImportFiles; ++i) {
        const float peak = 0.05f + 0.9f * static_cast<float>(i % 50) / 50.0f;
        for (int f = 0; f < kImportFrames; ++f) {
            const double t = f / 44100.0;
            const float v = static_cast<float>(peak * std::exp(-t * 20.0) * std::sin(2.0 * 3.14159265 * (150 + i) * t));
            audio.setSample(0, f, v);
            audio.setSample(1, f, -v);
        }
        const juce::File file(juce::String((dir / ("hit " + std::to_string(i) + ".wav")).string()));
        auto stream = std::make_unique<juce::FileOutputStream>(file);
        std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(stream.get(), 44100, 2, 24, {}, 0));
        stream.release();
        writer->writeFromAudioSampleBuffer(audio, 0, kImportFrames);
        files.push_back(file);
    }
}

} // namespace vt6::bench
