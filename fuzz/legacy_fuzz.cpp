// The legacy reader under arbitrary bytes, every version, as the importer
// reads (peaks measured, FLAC payloads decoded on the pool) and then every
// sample's audio as the sample loader reads it. The bytes go through a real
// file, the path the program takes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "probe_file.hpp"

#include "audio/legacy/legacy_reader.hpp"
#include "platform/file.hpp"

using namespace vt6::zem;

namespace {

// A hostile length makes a cut file read as up to 2^26 zeros per sample;
// filling them teaches the fuzzer nothing, so such samples are skipped.
constexpr int32_t kMaxProbedValues = 1 << 16;

const std::string& probePath() { return vt6::fuzz::writeProbe(nullptr, 0); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt6::fuzz::writeProbe(data, size);
    static const Zem4BlobDecoder decoder = vt6::fmt::makeZem4FlacBlobDecoder();
    const LegacyReadResult r = readLegacyFile(probePath(), LegacyReadOptions{true, &decoder, nullptr});
    if (!r.file) {
        if (r.error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    const LegacyFile& lf = *r.file;
    const auto n = static_cast<size_t>(lf.sampleCount);
    if (lf.sampleCount < 1 || lf.nativePeak.size() != n || lf.sampleMeta.size() != n || lf.take.size() != n ||
        lf.payloadOffset.size() != n || !r.error.empty())
        __builtin_trap();
    if (lf.dynamicCount >= 1 && lf.selection.ok &&
        lf.selection.cellStart.size() != static_cast<size_t>(lf.dynamicCount) * 16 + 1)
        __builtin_trap();

    const int fd = vt6::platform::openFileUtf8(probePath());
    if (fd < 0) std::abort();
    for (size_t i = 0; i < n; ++i) {
        if (lf.length[i] > kMaxProbedValues) continue;
        const LegacySampleAudio a = readLegacySampleAudio(fd, lf, i, &decoder);
        if (a.error.empty() == a.channelSamples.empty()) __builtin_trap();
    }
    vt6::platform::closeFile(fd);
    return 0;
}
