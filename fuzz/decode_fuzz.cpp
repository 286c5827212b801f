// One imported audio file under arbitrary bytes: the decode (reader chosen
// by content, header checks, cut-short check, block reads) and then the
// value checks, trim and hit-level measure. A success must hold a whole
// number of mono or stereo frames within the 256 MB limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/decode_audio_core.hpp"

using namespace vt6::maker;

namespace {

// Ends the work on a file after this many cancel polls: a few bytes of
// constant FLAC frames may really decode to 256 MB, which would only spend
// the fuzzer's time; the cancel path itself is then fuzzed too.
constexpr int kMaxPolls = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int polls = 0;
    const auto cancelled = [&] { return ++polls > kMaxPolls; };
    int kind = -1;
    auto decoded = decodeAudioBytes(data, size, cancelled, &kind);
    if (!decoded.ok()) return 0;
    const auto& s = decoded.value();
    const size_t values = s.samples.size();
    if (s.channels < 1 || s.channels > 2 || values == 0 || values % static_cast<size_t>(s.channels) != 0 ||
        values > static_cast<size_t>(kMaxImportValues))
        std::abort();
    polls = 0;
    auto checked = importAudioFile(std::move(decoded).value(), ImportTrimSettings{true, -30, -90}, cancelled, &kind);
    if (checked.ok() && (checked->trimStart < 0 || checked->trimEnd <= checked->trimStart ||
                         checked->trimEnd > static_cast<int64_t>(values / static_cast<size_t>(checked->channels))))
        std::abort();
    return 0;
}
