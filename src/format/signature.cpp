#include "format/signature.hpp"

#include <algorithm>
#include <utility>

#include <sodium.h>

#include "format/cbor.hpp"
#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

namespace sign_key {
inline constexpr uint64_t kSigVersion = 1;
inline constexpr uint64_t kPublisherId = 2;
inline constexpr uint64_t kRecords = 3;
inline constexpr uint64_t kSignature = 4;
inline constexpr uint64_t kSignedAt = 5;
}  // namespace sign_key

// Domain label of the file-signature message; distinct from the
// certificate's, so neither kind of signature passes for the other.
constexpr uint32_t kSignLabelSalt = 0x5349474Eu;
constexpr auto kMaskedSignLabel = masking::maskText("ZEM6-FILE-SIGNATURE1", kSignLabelSalt);
static_assert(kMaskedSignLabel.size() == kSignDomainLabelBytes);

ErrorInfo slotInvalid(std::string message) {
    return fail(ErrorCode::SignatureSlotInvalid, std::move(message));
}

ErrorInfo payloadInvalid(std::string message) {
    return fail(ErrorCode::SignPayloadInvalid, std::move(message));
}

// A reader failure on a value keeps its message but takes the payload's code.
ErrorInfo asPayloadInvalid(ErrorInfo error) {
    error.code = ErrorCode::SignPayloadInvalid;
    return error;
}

using ChunkKey = std::pair<uint32_t, uint64_t>;

std::vector<ChunkKey> sortedKeys(const std::vector<TranscriptRecord>& records) {
    std::vector<ChunkKey> keys;
    keys.reserve(records.size());
    for (const TranscriptRecord& r : records) keys.emplace_back(r.tag, r.uid);
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool contains(const std::vector<ChunkKey>& sorted, const TranscriptRecord& r) {
    return std::binary_search(sorted.begin(), sorted.end(), ChunkKey(r.tag, r.uid));
}

// The signature is genuine over the stored transcript, so the file changed
// after signing: name the first difference, most specific diagnosis first.
ErrorInfo diagnoseChange(ByteView storedBytes, ByteView liveBytes) {
    const std::vector<TranscriptRecord> stored = decodeTranscript(storedBytes);
    const std::vector<TranscriptRecord> live = decodeTranscript(liveBytes);
    const std::vector<ChunkKey> storedKeys = sortedKeys(stored);
    const std::vector<ChunkKey> liveKeys = sortedKeys(live);

    for (const TranscriptRecord& r : stored) {
        if (!contains(liveKeys, r)) {
            return fail(ErrorCode::SignedChunkMissing, "signed chunk " + chunkLabel(r) + " is missing from the file");
        }
    }
    for (const TranscriptRecord& r : live) {
        if (!contains(storedKeys, r)) {
            return fail(ErrorCode::ChunkAddedAfterSigning,
                        "chunk " + chunkLabel(r) + " was added after signing (unsigned chunk)");
        }
    }
    if (stored.size() != live.size()) {
        return fail(ErrorCode::TranscriptMismatch, "live directory differs from the signed transcript");
    }
    for (size_t i = 0; i < stored.size(); ++i) {
        if (stored[i].tag != live[i].tag || stored[i].uid != live[i].uid) {
            return fail(ErrorCode::ChunkOrderChanged,
                        "chunk order differs from the signed transcript (chunks reordered)");
        }
    }
    for (size_t i = 0; i < stored.size(); ++i) {
        const TranscriptRecord& s = stored[i];
        const TranscriptRecord& l = live[i];
        if (s == l) continue;
        const char* what = s.hash != l.hash ? "content hash" : s.length != l.length ? "length" : "flags";
        return fail(ErrorCode::TranscriptMismatch,
                    "chunk " + chunkLabel(l) + ": " + what + " differs from the signed transcript");
    }
    return fail(ErrorCode::TranscriptMismatch, "live directory differs from the signed transcript");
}

} // namespace

std::string provenanceBadgeText(ProvenanceBadge badge, std::string_view publisherName) {
    switch (badge) {
    case ProvenanceBadge::Factory:
        return "FACTORY";
    case ProvenanceBadge::Publisher:
        return std::string(publisherName) + " \xE2\x9C\x93";  // U+2713 CHECK MARK
    case ProvenanceBadge::User:
        return "USER";
    case ProvenanceBadge::Modified:
        return "\xE2\x9A\xA0 MODIFIED";  // U+26A0 WARNING SIGN
    case ProvenanceBadge::None:
        break;
    }
    return {};
}

Result<SignPayload> readSignatureSlot(ByteView slot) {
    const size_t size = slot.size();
    if (size < kChunkFramingBytes) {
        return slotInvalid("SIGNED flag set but the signature slot holds only " + std::to_string(size) +
                           " bytes (no SIGN chunk)");
    }
    auto parsed = parseChunkHeader(slot.first(kChunkHeaderBytes));
    if (!parsed) {
        return slotInvalid("SIGNED flag set but the signature slot does not frame a chunk (" + parsed.message() + ")");
    }
    const ChunkHeader& header = *parsed;
    if (header.tag != kTagSIGN) {
        return slotInvalid("SIGNED flag set but the signature slot frames '" + tagText(header.tag) + "', not SIGN");
    }
    if (header.flags != 0 || header.uid != 0) {
        return slotInvalid("SIGN chunk must be ancillary with uid 0 (flags=" + std::to_string(header.flags) +
                           " uid=" + std::to_string(header.uid) + ")");
    }
    const uint64_t room = size - kChunkFramingBytes;
    if (header.length > room) {
        return slotInvalid("SIGN chunk declares " + std::to_string(header.length) +
                           " payload bytes but the slot holds only " + std::to_string(room));
    }
    // From here the declared length fits the slot, so every span below is in bounds.
    const auto payloadLength = static_cast<size_t>(header.length);
    const size_t trailerAt = kChunkHeaderBytes + payloadLength;
    if (crc32cOf(slot.first(trailerAt)) != loadLe32(slot.data() + trailerAt)) {
#if !defined(ZEM_FUZZING)
        return slotInvalid("SIGN chunk fails its crc32c trailer");
#endif
        // Fuzz builds read on past the mismatch so that the fuzzer reaches
        // the payload decoder.
    }
    const ByteView rest = slot.subspan(trailerAt + kChunkTrailerBytes);
    if (std::any_of(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; })) {
        return slotInvalid("signature slot carries non-zero bytes past the SIGN chunk");
    }
    return decodeSignPayload(slot.subspan(kChunkHeaderBytes, payloadLength));
}

Result<SignPayload> decodeSignPayload(ByteView payload) {
    CborReader reader(payload);
    if (auto entered = reader.enterMap(); !entered) {
        return payloadInvalid("SIGN payload: not a CBOR map (" + entered.message() + ")");
    }
    SignPayload sign;
    bool seen[6] = {};
    for (;;) {
        auto next = reader.nextMapKey();
        if (!next) return payloadInvalid("SIGN payload: " + next.message());
        if (!next->has_value()) break;
        const uint64_t key = **next;
        switch (key) {
        case sign_key::kSigVersion:
        case sign_key::kSignedAt: {
            auto value = reader.readUint();
            if (!value) return asPayloadInvalid(value.takeError());
            (key == sign_key::kSigVersion ? sign.sig_version : sign.signed_at) = *value;
            break;
        }
        case sign_key::kPublisherId: {
            auto text = reader.readText();
            if (!text) return asPayloadInvalid(text.takeError());
            sign.publisher_id.assign(*text);
            break;
        }
        case sign_key::kRecords: {
            auto raw = reader.readBytes();
            if (!raw) return asPayloadInvalid(raw.takeError());
            sign.records.assign(raw->begin(), raw->end());
            break;
        }
        case sign_key::kSignature: {
            auto raw = reader.readBytes();
            if (!raw) return asPayloadInvalid(raw.takeError());
            if (raw->size() != sign.signature.size()) {
                return payloadInvalid("SIGN payload: signature must be 64 bytes (got " + std::to_string(raw->size()) +
                                      ")");
            }
            std::copy(raw->begin(), raw->end(), sign.signature.begin());
            break;
        }
        default:
            return payloadInvalid("SIGN payload: unknown key " + std::to_string(key));
        }
        seen[key] = true;
    }
    if (auto finished = reader.finish(); !finished) {
        return payloadInvalid("SIGN payload: trailing bytes (" + finished.message() + ")");
    }
    for (uint64_t key = sign_key::kSigVersion; key <= sign_key::kSignedAt; ++key) {
        if (!seen[key]) return payloadInvalid("SIGN payload: missing key " + std::to_string(key));
    }
    if (sign.sig_version != kSignVersion) {
        return payloadInvalid("SIGN payload: sig_version " + std::to_string(sign.sig_version) +
                              " (this reader supports " + std::to_string(kSignVersion) + ")");
    }
    if (sign.records.empty() || sign.records.size() % kTranscriptRecordBytes != 0) {
        return payloadInvalid("SIGN payload: records length " + std::to_string(sign.records.size()) +
                              " is not a positive multiple of 40");
    }
    if (sign.publisher_id.empty()) return payloadInvalid("SIGN payload: empty publisher_id");
    return sign;
}

void encodeTranscriptRecord(Bytes& out, uint32_t tag, uint32_t flags, uint64_t length, uint64_t uid,
                            const uint8_t* hash) {
    appendLe32(out, tag);
    appendLe32(out, flags);
    appendLe64(out, length);
    appendLe64(out, uid);
    out.insert(out.end(), hash, hash + 16);
}

std::vector<TranscriptRecord> decodeTranscript(ByteView transcript) {
    std::vector<TranscriptRecord> records;
    const size_t count = transcript.size() / kTranscriptRecordBytes;
    records.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = transcript.data() + i * kTranscriptRecordBytes;
        TranscriptRecord r;
        r.tag = loadLe32(p);
        r.flags = loadLe32(p + 4);
        r.length = loadLe64(p + 8);
        r.uid = loadLe64(p + 16);
        std::copy(p + 24, p + 40, r.hash.begin());
        records.push_back(r);
    }
    return records;
}

Bytes fileSignatureMessage(ByteView transcript, uint64_t signedAt) {
    const Digest256 digest = blake2b256(transcript);
    Bytes message;
    message.reserve(kFileSignatureMessageBytes);
    uint8_t label[kSignDomainLabelBytes];
    masking::unmask(kMaskedSignLabel, kSignLabelSalt, label);
    message.insert(message.end(), label, label + sizeof label);
    sodium_memzero(label, sizeof label);
    appendLe64(message, signedAt);
    message.insert(message.end(), digest.begin(), digest.end());
    return message;
}

bool verifyFileSignature(ByteView transcript, const SignPayload& sign, const Ed25519PublicKey& publisherKey) {
    return ed25519Verify(fileSignatureMessage(transcript, sign.signed_at), publisherKey, sign.signature);
}

Result<Provenance> verifyChain(const VerifyChainInputs& inputs) {
    if (inputs.model == nullptr || inputs.sign == nullptr ||
        (inputs.transcript == nullptr && inputs.transcriptLength != 0)) {
        return payloadInvalid("verifyChain: missing inputs (internal)");
    }
    const SignPayload& sign = *inputs.sign;
    const ByteView live(inputs.transcript, inputs.transcriptLength);

    ZEM_TRY_ASSIGN(std::optional<PublisherCert> found, extractPublisherCert(inputs.model->metadata));
    if (!found) {
        return fail(ErrorCode::PublisherCertMissing, "SIGNED file carries no publisher certificate (MTAD key 15)");
    }
    const PublisherCert& cert = *found;
    if (sign.publisher_id != cert.publisher_id) {
        return fail(ErrorCode::PublisherCertInvalid, "SIGN publisher_id '" + sign.publisher_id +
                                                         "' does not match the certificate's '" +
                                                         cert.publisher_id + "'");
    }
    ZEM_TRY(verifyPublisherCert(cert, inputs.rootKey, sign.signed_at));

    const bool unchanged = std::equal(live.begin(), live.end(), sign.records.begin(), sign.records.end());
    if (unchanged) {
        if (!verifyFileSignature(live, sign, cert.pubkey)) {
            return fail(ErrorCode::SignatureMismatch, "file signature by '" + cert.publisher_id +
                                                          "' does not verify over the transcript (wrong key or "
                                                          "forged signature)");
        }
        Provenance provenance;
        provenance.badge =
            cert.publisher_id == kFactoryPublisherId ? ProvenanceBadge::Factory : ProvenanceBadge::Publisher;
        provenance.isSigned = true;
        provenance.publisherId = cert.publisher_id;
        provenance.publisherName = cert.name;
        provenance.badgeText = provenanceBadgeText(provenance.badge, cert.name);
        return provenance;
    }

    // Only a genuine signature over the stored transcript earns a diagnosis;
    // otherwise nothing about the stored records can be trusted.
    if (!verifyFileSignature(sign.records, sign, cert.pubkey)) {
        return fail(ErrorCode::SignatureMismatch, "file signature by '" + cert.publisher_id +
                                                      "' verifies neither over the live directory nor over its "
                                                      "own stored transcript");
    }
    return diagnoseChange(sign.records, live);
}

std::string chunkLabel(const TranscriptRecord& record) {
    return "'" + tagText(record.tag) + "' uid " + std::to_string(record.uid);
}

} // namespace vt6::fmt
