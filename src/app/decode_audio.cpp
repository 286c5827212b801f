#include "app/decode_audio.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "analysis/hit_level_measure.hpp"
#include "editor/ui/user_messages.hpp"

namespace vt6::maker {

namespace {

using fmt::ErrorCode;

void setKind(int* kind, int value) {
    if (kind != nullptr) *kind = value;
}

fmt::ErrorInfo refuse(int* kind, int value, ErrorCode code, const char* message) {
    setKind(kind, value);
    return fmt::fail(code, message);
}

constexpr const char* kUnsupportedLayout = "Use a nonempty mono or stereo audio sample at 8\xE2\x80\x93" "384 kHz.";

// Frames read per call: stereo is interleaved from a block this size, so a
// decode holds little more than the finished values. Small enough (64 KiB)
// to come from the heap and be reused, not mapped and faulted in per file.
constexpr int kReadBlockFrames = 1 << 13;

}  // namespace

fmt::Result<ImportedSample> decodeAudioFile(juce::AudioFormatManager& formats, const juce::File& file, int* kind) {
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(file));
    if (reader == nullptr) {
        auto stream = std::make_unique<juce::FileInputStream>(file);
        if (stream->openedOk()) reader.reset(formats.createReaderFor(std::move(stream)));
    }
    if (reader == nullptr)
        return refuse(kind, kImportUndecodable, ErrorCode::ModelInvalid, "Unsupported or unreadable audio format");
    return decodeAudioReader(*reader, file, kind);
}

fmt::Result<ImportedSample> decodeAudioReader(juce::AudioFormatReader& reader, const juce::File& file, int* kind) {
    const int64_t channels = static_cast<int64_t>(reader.numChannels);
    const int64_t frames = reader.lengthInSamples;
    if (channels < 1 || channels > 2 || frames < 1)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, "Use mono or stereo samples");
    if (frames > kMaxImportValues / channels)
        return refuse(kind, kImportTooLong, ErrorCode::ModelInvalid, "Sample exceeds the 256 MB decoded-audio limit");
    // Checked as a double: converting first would wrap a huge rate into range
    // and make a not-a-number rate undefined.
    const double rate = reader.sampleRate;
    if (!std::isfinite(rate) || rate < kMinImportRate || rate > kMaxImportRate)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, kUnsupportedLayout);

    ImportedSample sample;
    const int c = static_cast<int>(channels);
    try {
        sample.samples.resize(static_cast<size_t>(frames * channels));
        juce::AudioBuffer<float> block(c, c == 2 ? kReadBlockFrames : 0);
        for (int64_t start = 0; start < frames; start += kReadBlockFrames) {
            const int count = static_cast<int>(std::min<int64_t>(kReadBlockFrames, frames - start));
            if (c == 1) {
                float* dest[1] = {sample.samples.data() + start};
                if (!reader.read(dest, 1, start, count))
                    return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");
                continue;
            }
            float* dest[2] = {block.getWritePointer(0), block.getWritePointer(1)};
            if (!reader.read(dest, 2, start, count))
                return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");
            float* out = sample.samples.data() + start * 2;
            for (int j = 0; j < count; ++j) {
                out[2 * j] = dest[0][j];
                out[2 * j + 1] = dest[1][j];
            }
        }
    } catch (const std::bad_alloc&) {
        return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");
    }

    sample.name = file.getFileNameWithoutExtension().toStdString();
    sample.path = file.getFullPathName().toStdString();
    sample.channels = c;
    sample.sampleRate = static_cast<int>(std::lround(rate));  // halves away from zero
    return sample;
}

fmt::Result<ImportedSample> importAudioFile(ImportedSample sample, const ImportTrimSettings& trim,
                                            const std::function<bool()>& cancelled, int* kind) {
    const size_t values = sample.samples.size();
    if (sample.channels < 1 || sample.channels > 2 || sample.sampleRate < 8000 || sample.sampleRate > 384000 ||
        values == 0 || values % static_cast<size_t>(sample.channels) != 0)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, kUnsupportedLayout);

    double peak = 0.0;
    double sumSquares = 0.0;
    for (const float v : sample.samples) {
        if (!std::isfinite(v))
            return refuse(kind, kImportDamaged, ErrorCode::ModelInvalid, "The sample contains invalid audio values.");
        const double d = v;
        peak = std::max(peak, std::abs(d));
        sumSquares += d * d;
    }
    if (peak < 1e-9) return refuse(kind, kImportSilent, ErrorCode::ModelInvalid, "The file is silent.");

    const int64_t frames = static_cast<int64_t>(values / static_cast<size_t>(sample.channels));
    sample.trimStart = 0;
    sample.trimEnd = frames;
    if (trim.trimSilence) {
        const fmt::InterleavedAudioView view{sample.samples.data(), frames, sample.channels, sample.sampleRate};
        const auto region = findImportTrimRegion(view, static_cast<double>(trim.startThresholdDb),
                                                 static_cast<double>(trim.endThresholdDb), 10.0);
        sample.trimStart = region.first;
        sample.trimEnd = region.second;
    }
    sample.rms = std::sqrt(sumSquares / static_cast<double>(values));
    sample.peak = peak;
    sample.hitLevel = fmt::measureHitLevel(sample.samples, static_cast<uint32_t>(sample.channels),
                                           static_cast<double>(sample.sampleRate),
                                           static_cast<uint64_t>(sample.trimStart),
                                           static_cast<uint64_t>(sample.trimEnd), cancelled);
    if (sample.hitLevel.cancelled) return fmt::fail(ErrorCode::ModelInvalid, "Import canceled.");
    return sample;
}

std::pair<int64_t, int64_t> findImportTrimRegion(fmt::InterleavedAudioView audio, double startDb, double endDb,
                                                 double tailMs) {
    const int64_t frames = std::max<int64_t>(audio.frames, 0);
    if (audio.samples == nullptr || audio.channels < 1 || frames == 0) return {0, frames};
    const auto channels = static_cast<int64_t>(audio.channels);
    const float startThreshold = static_cast<float>(std::pow(10.0, startDb / 20.0));
    const float endThreshold = static_cast<float>(std::pow(10.0, endDb / 20.0));
    const auto reaches = [&](int64_t frame, float threshold) {
        const float* f = audio.samples + frame * channels;
        for (int64_t k = 0; k < channels; ++k)
            if (std::abs(f[k]) >= threshold) return true;
        return false;
    };

    int64_t start = 0;
    while (start < frames && !reaches(start, startThreshold)) ++start;
    if (start == frames) return {0, frames};

    int64_t d = frames;
    while (d > start + 1 && !reaches(d - 1, endThreshold)) --d;
    const auto tail = static_cast<int64_t>(std::llround(static_cast<double>(audio.sampleRate) * (tailMs * 0.001)));
    int64_t end = std::min(d + tail, frames);
    if (end <= start) end = std::min(start + 1, frames);
    return {start, end};
}

int importReferenceNumber(int kind) {
    switch (kind) {
        case kImportUndecodable: return kRefImportUndecodable;
        case kImportUnsupported: return kRefImportUnsupportedFormat;
        case kImportTooLong: return kRefImportTooLong;
        case kImportDamaged: return kRefImportDamaged;
        case kImportSilent: return kRefImportSilent;
        default: return 0;
    }
}

std::string importErrorText(const std::string& fileName, int kind) { return importRefusalText(kind, fileName); }

}  // namespace vt6::maker
