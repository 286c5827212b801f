#include "editor/ui/extract_hits.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "analysis/hit_detector.hpp"
#include "editor/logic/view_model.hpp"
#include "format/hit_level.hpp"

namespace vt6::ui::zemedit {

std::string hitBaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && dot > begin) return path.substr(begin, dot - begin);
    return path.substr(begin);
}

void fadeHitEdges(std::vector<float>& audio, int channels, int sampleRate) {
    if (channels < 1 || sampleRate < 1) return;
    const auto ch = static_cast<size_t>(channels);
    const int64_t n = static_cast<int64_t>(audio.size() / ch);
    const int64_t nIn = std::min<int64_t>(std::lround(sampleRate * 0.0005), n / 2);
    const int64_t nOut = std::min<int64_t>(std::lround(sampleRate * 0.008), n / 2);
    const double pi = std::numbers::pi;
    for (int64_t i = 0; i < nIn; ++i) {
        const auto gain = static_cast<float>(0.5 - 0.5 * std::cos(static_cast<double>(i + 1) * pi /
                                                                  static_cast<double>(nIn + 1)));
        for (size_t c = 0; c < ch; ++c) audio[static_cast<size_t>(i) * ch + c] *= gain;
    }
    for (int64_t m = 1; m <= nOut; ++m) {
        const auto gain =
            static_cast<float>(0.5 + 0.5 * std::cos(static_cast<double>(m) * pi / static_cast<double>(nOut + 1)));
        const auto frame = static_cast<size_t>(n - nOut + m - 1);
        for (size_t c = 0; c < ch; ++c) audio[frame * ch + c] *= gain;
    }
}

int extractHitsInto(logic::ZemEditViewModel& vm, std::span<const float> samples, int channels, int rate,
                    const std::string& baseName, int64_t from, int64_t to, int64_t& consumedEnd) {
    if (channels < 1 || rate < 1) return 0;
    const auto ch = static_cast<size_t>(channels);
    const size_t frames = samples.size() / ch;
    std::vector<float> mono(frames);
    for (size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (size_t c = 0; c < ch; ++c) sum += samples[f * ch + c];
        mono[f] = sum / static_cast<float>(channels);
    }
    fmt::HitDetector detector;
    const std::vector<fmt::DetectedHit> hits = fmt::detectHits(detector, mono, static_cast<double>(rate));

    int added = 0;
    for (const fmt::DetectedHit& hit : hits) {
        if (hit.start < from || (to >= 0 && hit.end > to)) continue;
        if (hit.end <= hit.start) continue;
        const auto length = static_cast<size_t>(hit.end - hit.start);
        std::vector<float> cut(length * ch, 0.0f);
        for (size_t i = 0; i < length; ++i) {
            const int64_t frame = hit.start + static_cast<int64_t>(i);
            if (frame < 0 || static_cast<size_t>(frame) >= frames) continue;
            for (size_t c = 0; c < ch; ++c) cut[i * ch + c] = samples[static_cast<size_t>(frame) * ch + c];
        }
        fadeHitEdges(cut, channels, rate);
        const std::string name = baseName + " " + std::to_string(vm.document.liveSampleCount + 1);
        const uint64_t uid = vm.addSampleFromPcm(name, std::move(cut), channels, rate, hit.rms, 0, 0, -1,
                                                 fmt::HitLevel::unmeasured(), false);
        if (uid == 0) continue;
        ++added;
        consumedEnd = std::max(consumedEnd, hit.end);
    }
    return added;
}

int64_t boundCaptureBuffer(std::vector<float>& buffer, int64_t& consumedEnd, double rate) {
    const auto keep = static_cast<int64_t>(60.0 * rate);
    const int64_t limit = keep + static_cast<int64_t>(5.0 * rate);
    const auto size = static_cast<int64_t>(buffer.size());
    if (size <= limit) return 0;
    const int64_t dropped = size - keep;
    buffer.erase(buffer.begin(), buffer.begin() + dropped);
    consumedEnd = std::max<int64_t>(0, consumedEnd - dropped);
    return dropped;
}

int captureStep(logic::ZemEditViewModel& vm, std::vector<float>& buffer, int64_t& consumedEnd, double rate,
                const std::string& baseName) {
    boundCaptureBuffer(buffer, consumedEnd, rate);
    const auto second = static_cast<int64_t>(rate);
    const auto size = static_cast<int64_t>(buffer.size());
    if (size < second || second < 1) return 0;
    return extractHitsInto(vm, buffer, 1, static_cast<int>(second), baseName, consumedEnd,
                           size - static_cast<int64_t>(0.4 * rate), consumedEnd);
}

}  // namespace vt6::ui::zemedit
