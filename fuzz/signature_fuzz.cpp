// The signature slot and publisher certificate decoders under arbitrary
// bytes. The first byte picks the decoder; the rest is the input. Whatever
// decodes must satisfy the laws its decoder promises.

#include <cstddef>
#include <cstdint>

#include "format/certificate.hpp"
#include "format/signature.hpp"

using namespace vt6::fmt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const ByteView input(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: {
        auto sign = readSignatureSlot(input);
        if (sign.ok()) {
            if (sign->records.empty() || sign->records.size() % kTranscriptRecordBytes != 0) __builtin_trap();
            if (decodeTranscript(sign->records).size() != sign->records.size() / kTranscriptRecordBytes) __builtin_trap();
            (void)fileSignatureMessage(sign->records, sign->signed_at);
        }
        break;
    }
    case 1: {
        auto sign = decodeSignPayload(input);
        if (sign.ok() && sign->publisher_id.empty()) __builtin_trap();
        break;
    }
    case 2: {
        auto cert = decodePublisherCert(input);
        if (cert.ok()) {
            if (!checkPublisherCert(*cert).ok()) __builtin_trap();
            if (certMessage(*cert).size() != kCertMessageBytes) __builtin_trap();
        }
        break;
    }
    }
    return 0;
}
