#include "format/signature.hpp"

namespace vt6::fmt {

// Interim definitions so that callers link; the checks follow.
std::string provenanceBadgeText(ProvenanceBadge, std::string_view) { return {}; }
Result<SignPayload> readSignatureSlot(ByteView) {
    return fail(ErrorCode::SignatureSlotInvalid, "signature slot: not implemented");
}
Result<SignPayload> decodeSignPayload(ByteView) {
    return fail(ErrorCode::SignPayloadInvalid, "SIGN payload: not implemented");
}
void encodeTranscriptRecord(Bytes&, uint32_t, uint32_t, uint64_t, uint64_t, const uint8_t*) {}
std::vector<TranscriptRecord> decodeTranscript(ByteView) { return {}; }
Bytes fileSignatureMessage(ByteView, uint64_t) { return Bytes(kFileSignatureMessageBytes, 0); }
bool verifyFileSignature(ByteView, const SignPayload&, const Ed25519PublicKey&) { return false; }
Result<Provenance> verifyChain(const VerifyChainInputs&) {
    return fail(ErrorCode::SignPayloadInvalid, "verifyChain: not implemented");
}
std::string chunkLabel(const TranscriptRecord&) { return {}; }

} // namespace vt6::fmt
