// The sample source over arbitrary files: the open of every sample at once
// and of single samples, then windowed reads across each sample's head, its
// head-tail seam and its end. A read that succeeds delivers exactly
// min(count, frames - start) frames into buffers of exactly `count` floats
// (the sanitizers catch a write past them); an out-of-range read delivers
// none.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/sample_source.hpp"
#include "format/reader.hpp"
#include "fuzz_file.hpp"

using namespace vt6::fmt;

namespace {

constexpr uint32_t kMaxWindow = 4096;
constexpr uint32_t kSingleOpens = 4;

void readWindows(Zem6SampleSource& source, uint32_t sample) {
    const uint64_t frames = source.frameCount(sample);
    const uint16_t channels = source.channelCount(sample);
    if (frames == 0) return;
    if (channels == 0 || channels > 2) __builtin_trap();
    const uint64_t head = source.rows()[sample].headFrames;
    struct Window {
        uint64_t start;
        uint32_t count;
    };
    const Window windows[] = {
        {0, 1},
        {0, kMaxWindow},
        {head > 3 ? head - 3 : 0, 7},
        {head, 64},
        {frames / 2, 300},
        {frames > 5 ? frames - 5 : 0, 64},
        {frames - 1, kMaxWindow},
        {0, 0},
    };
    for (const Window& w : windows) {
        std::vector<std::vector<float>> buffers(channels, std::vector<float>(w.count));
        std::vector<float*> pointers;
        for (auto& b : buffers) pointers.push_back(b.data());
        const vt6::stream::TailReadResult r = source.read(sample, w.start, w.count, pointers);
        if (w.start >= frames) {
            // A whole sample's head frames are all its frames.
            if (r.status != vt6::stream::kTailReadOutOfRange || r.frames != 0) __builtin_trap();
        } else if (r.status == vt6::stream::kTailReadDone) {
            if (r.frames != std::min<uint64_t>(w.count, frames - w.start)) __builtin_trap();
            for (const auto& b : buffers) {
                for (uint32_t f = 0; f < r.frames; ++f) {
                    if (!std::isfinite(b[f]) && source.rows()[sample].bits != 32) __builtin_trap();
                }
            }
        } else if (r.status == vt6::stream::kTailReadError) {
            if (r.frames != 0 || source.lastError().message.empty()) __builtin_trap();
        } else {
            __builtin_trap();
        }
    }
    std::vector<float> one(1);
    float* p = one.data();
    const vt6::stream::TailReadResult past = source.read(sample, frames, 1, std::span<float* const>(&p, 1));
    if (past.status != vt6::stream::kTailReadOutOfRange || past.frames != 0) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = vt6::fuzz::writeProbe(data, size);
    const ReadPolicy policy = vt6::fuzz::fuzzPolicy();

    auto all = Zem6SampleSource::open(path, policy);
    if (!all.ok()) {
        if (all.message().empty()) __builtin_trap();
    } else {
        Zem6SampleSource& source = **all;
        const auto count = static_cast<uint32_t>(source.rows().size());
        for (uint32_t i = 0; i < count; ++i) readWindows(source, i);
        if (source.frameCount(count) != 0 || source.channelCount(count) != 0) __builtin_trap();
    }

    auto file = openZem6File(path, policy);
    if (!file.ok()) return 0;
    const auto rows = static_cast<uint32_t>(file->model.samples.size());
    for (uint32_t i = 0; i < std::min(rows, kSingleOpens); ++i) {
        auto again = i == 0 ? std::move(file) : openZem6File(path, policy);
        if (!again.ok()) return 0;
        auto one = Zem6SampleSource::openSample(std::move(again).value(), i);
        if (!one.ok()) {
            if (one.message().empty()) __builtin_trap();
            continue;
        }
        readWindows(**one, i);
        for (uint32_t other = 0; other < rows; ++other) {
            if (other != i && (*one)->frameCount(other) != 0) __builtin_trap();
        }
    }
    return 0;
}
