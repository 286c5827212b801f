// The physical-model set blob of a PHDM chunk under arbitrary bytes. A blob
// the decoder accepts must be rebuilt byte for byte by the encoder from what
// the decoder reported, and each payload it holds must survive being written
// and read again with the same values.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/physical_model_set.hpp"
#include "analysis/physical_payload.hpp"

using namespace vt6::fmt;

namespace {

template <size_t N>
bool sameValues(const std::array<float, N>& a, const std::array<float, N>& b) {
    for (size_t i = 0; i < N; ++i) {
        if (std::isnan(a[i]) != std::isnan(b[i])) return false;
        if (!std::isnan(a[i]) && a[i] != b[i]) return false;
    }
    return true;
}

bool sameModel(const PhysicalModel& a, const PhysicalModel& b) {
    if (a.classCode != b.classCode || a.features != b.features || a.inputs.size() != b.inputs.size()) return false;
    if (!sameValues(a.combined.meanDb, b.combined.meanDb) || !sameValues(a.combined.spreadDb, b.combined.spreadDb) ||
        !sameValues(a.combined.envelopeDb, b.combined.envelopeDb) ||
        a.combined.segmentPresent != b.combined.segmentPresent || a.combined.envelopePresent != b.combined.envelopePresent) {
        return false;
    }
    for (size_t i = 0; i < a.inputs.size(); ++i) {
        if (!sameValues(a.inputs[i].erbDb, b.inputs[i].erbDb) || !sameValues(a.inputs[i].levelDb, b.inputs[i].levelDb)) {
            return false;
        }
        for (size_t w = 0; w < 3; ++w) {
            const WindowDescriptors& x = a.inputs[i].windows[w];
            const WindowDescriptors& y = b.inputs[i].windows[w];
            if (!sameValues(x.bandMeanDb, y.bandMeanDb) || !sameValues(x.bandSpreadDb, y.bandSpreadDb) ||
                !sameValues(x.autocorrelation, y.autocorrelation) || !sameValues(x.lpcDb, y.lpcDb)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> blob(data, size);
    const Result<std::vector<PhysicalModelInfo>> infos = decodePhysicalModelSet(blob);
    if (!infos.ok()) {
        if (infos.message().empty() || infos.message()[0] != 'E') __builtin_trap();
        return 0;
    }
    std::vector<PhysicalModelEntry> entries;
    for (const PhysicalModelInfo& info : *infos) {
        PhysicalModelEntry e;
        e.articulationId = info.articulationId;
        e.kind = info.kind;
        e.sampleUids = info.sampleUids;
        if (info.payloadLength > 0) {
            if (info.payloadOffset + uint64_t{info.payloadLength} > size) __builtin_trap();
            e.payload.assign(data + info.payloadOffset, data + info.payloadOffset + info.payloadLength);
            const PhysicalModel parsed = parsePhysicalModel(e.payload);
            if (parsed.inputs.size() != e.sampleUids.size()) __builtin_trap();
            if (parsed.features != info.features) __builtin_trap();
            const PhysicalModel again = parsePhysicalModel(serializePhysicalModel(parsed));
            if (!sameModel(parsed, again)) __builtin_trap();
        }
        entries.push_back(std::move(e));
    }
    const Result<std::vector<uint8_t>> rebuilt = encodePhysicalModelSet(entries);
    if (!rebuilt.ok() || rebuilt->size() != size || std::memcmp(rebuilt->data(), data, size) != 0) __builtin_trap();
    return 0;
}
