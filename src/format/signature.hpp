#pragma once
// Verification of a signed file: the signature slot and its SIGN payload,
// the chunk transcript, and the chain root -> publisher certificate -> file.
// When the signature is genuine but the file changed since signing, the
// failure says which chunk changed and how. The program never signs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.hpp"
#include "format/certificate.hpp"
#include "format/checksum.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr uint64_t kSignVersion = 1;
inline constexpr size_t kTranscriptRecordBytes = 40;
inline constexpr size_t kSignDomainLabelBytes = 20;
// Label, signed_at (u64 little-endian), BLAKE2b-256 of the transcript.
inline constexpr size_t kFileSignatureMessageBytes = kSignDomainLabelBytes + 8 + 32;  // 60

// Certificates with exactly this publisher_id earn the FACTORY badge.
inline constexpr std::string_view kFactoryPublisherId = "com.quellmoor.factory";
static_assert(kFactoryPublisherId.size() == 21);

// The decoded SIGN payload (a five-key CBOR map).
struct SignPayload {
    uint64_t sig_version = 0;     // 1: must be 1
    std::string publisher_id;     // 2: not empty
    Bytes records;                // 3: signed transcript, positive multiple of 40 bytes
    Ed25519Signature signature{}; // 4
    uint64_t signed_at = 0;       // 5: signing time, covered by the certificate window

    bool operator==(const SignPayload&) const = default;
};

// One 40-byte transcript record: a directory entry as it was signed.
struct TranscriptRecord {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t length = 0;
    uint64_t uid = 0;
    Digest128 hash{};  // BLAKE2b-128 over the chunk's header and payload

    bool operator==(const TranscriptRecord&) const = default;
};

enum class ProvenanceBadge : int32_t {
    None = 0,       // default-constructed file
    Factory = 1,    // verified, publisher is kFactoryPublisherId
    Publisher = 2,  // verified, any other publisher
    User = 3,       // not signed
    Modified = 4,   // signature failed and the open was allowed to go on
};

// Outcome of a verification; the provenance part of an open report.
struct Provenance {
    ProvenanceBadge badge = ProvenanceBadge::None;
    bool isSigned = false;        // the file carried the SIGNED flag
    std::string publisherId;      // certificate publisher_id, empty unless verified
    std::string publisherName;    // certificate name, empty unless verified
    std::string badgeText;        // provenanceBadgeText(badge, publisherName)
    ErrorCode code = ErrorCode::ReadIo;  // of a recorded failure; ReadIo when none
    std::string message;          // of a recorded failure; empty when none

    bool operator==(const Provenance&) const = default;
};

// "" / "FACTORY" / name + " ✓" / "USER" / "⚠ MODIFIED"; empty for any other value.
std::string provenanceBadgeText(ProvenanceBadge badge, std::string_view publisherName);

// Frames the signature slot (one SIGN chunk, then zero bytes up to the
// footer) and decodes its payload. Failures: SignatureSlotInvalid, or
// decodeSignPayload's.
Result<SignPayload> readSignatureSlot(ByteView slot);
inline Result<SignPayload> readSignatureSlot(const uint8_t* data, size_t size) {
    return readSignatureSlot(ByteView(data, size));
}

// Strict decode of the SIGN map. Every failure is SignPayloadInvalid.
Result<SignPayload> decodeSignPayload(ByteView payload);

// Appends one 40-byte record; `hash` points at 16 bytes.
void encodeTranscriptRecord(Bytes& out, uint32_t tag, uint32_t flags, uint64_t length, uint64_t uid,
                            const uint8_t* hash);
// One record per whole 40 bytes; a trailing partial record is ignored.
std::vector<TranscriptRecord> decodeTranscript(ByteView transcript);

// The 60-byte message a file signature covers.
Bytes fileSignatureMessage(ByteView transcript, uint64_t signedAt);

// True when sign.signature verifies over fileSignatureMessage(transcript,
// sign.signed_at) under the publisher's key.
bool verifyFileSignature(ByteView transcript, const SignPayload& sign, const Ed25519PublicKey& publisherKey);

struct VerifyChainInputs {
    const Zem6Model* model = nullptr;
    const uint8_t* transcript = nullptr;  // live transcript, from the directory
    size_t transcriptLength = 0;
    const SignPayload* sign = nullptr;
    Ed25519PublicKey rootKey{};  // ReadPolicy::rootKeyOverride or builtInRootKey()
};

// Root -> certificate -> file. Success gives badge Factory or Publisher.
Result<Provenance> verifyChain(const VerifyChainInputs& inputs);

// "'" + tagText(tag) + "' uid " + uid.
std::string chunkLabel(const TranscriptRecord& record);

} // namespace vt6::fmt
