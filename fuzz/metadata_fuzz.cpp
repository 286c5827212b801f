// The metadata chunk decoders under arbitrary payloads. The first byte picks
// the decoder (MTAD, SMPL, SUMM, PEAK, LGCY); the rest is the payload. A
// payload that decodes must encode, decode again to an equal value, and
// encode to the same bytes the second time.

#include <cstddef>
#include <cstdint>

#include "format/lgcy.hpp"
#include "format/mtad.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"

using namespace vt6::fmt;

namespace {

// Decoded values may hold NaN floats, which never compare equal; such a
// value is checked through its bytes alone.
template <class T>
void checkRoundTrip(const T& first, Result<T> (*decode)(ByteView), Result<Bytes> (*encode)(const T&)) {
    auto bytes1 = encode(first);
    if (!bytes1.ok()) __builtin_trap();  // whatever decodes must encode
    auto second = decode(*bytes1);
    if (!second.ok()) __builtin_trap();
    auto bytes2 = encode(*second);
    if (!bytes2.ok() || *bytes2 != *bytes1) __builtin_trap();
    if (first == first && !(first == *second)) __builtin_trap();
}

Result<std::vector<SmplEntry>> decodeRows(ByteView payload) { return decodeSmpl(payload); }
Result<Bytes> encodeRows(const std::vector<SmplEntry>& rows) { return encodeSmpl(std::span<const SmplEntry>(rows)); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const ByteView payload(data + 1, size - 1);
    switch (data[0] % 5) {
    case 0:
        if (auto v = decodeMtad(payload); v.ok()) checkRoundTrip<ModelMetadata>(*v, decodeMtad, encodeMtad);
        break;
    case 1:
        if (auto v = decodeRows(payload); v.ok()) checkRoundTrip<std::vector<SmplEntry>>(*v, decodeRows, encodeRows);
        break;
    case 2:
        if (auto v = decodeSumm(payload); v.ok()) checkRoundTrip<Summary>(*v, decodeSumm, encodeSumm);
        break;
    case 3:
        if (auto v = decodePeak(payload); v.ok()) checkRoundTrip<PeakTable>(*v, decodePeak, encodePeak);
        break;
    case 4:
        if (auto v = decodeLgcy(payload); v.ok()) checkRoundTrip<LegacyProvenance>(*v, decodeLgcy, encodeLgcy);
        break;
    }
    return 0;
}
