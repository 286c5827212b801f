#include "format/signature.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <sodium.h>

#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "support/bytes.hpp"
#include "support/signing.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::KeyPair;
using test::rawMap;
using test::toHex;
using Pairs = std::vector<std::pair<uint64_t, Bytes>>;

Bytes storedCert(const PublisherCert& cert) {
    return rawMap({
        {1, encodeCborText(cert.publisher_id)},
        {2, encodeCborText(cert.name)},
        {3, encodeCborBytes(cert.pubkey)},
        {4, encodeCborUint(cert.valid_from)},
        {5, encodeCborUint(cert.valid_until)},
        {6, encodeCborBytes(cert.root_sig)},
    });
}

Pairs signPairs(const SignPayload& sign) {
    return {
        {1, encodeCborUint(sign.sig_version)},
        {2, encodeCborText(sign.publisher_id)},
        {3, encodeCborBytes(sign.records)},
        {4, encodeCborBytes(sign.signature)},
        {5, encodeCborUint(sign.signed_at)},
    };
}

TranscriptRecord record(const char (&tag)[5], uint64_t uid, uint64_t length, uint32_t flags, uint8_t hashFill) {
    TranscriptRecord r;
    r.tag = makeTag(tag);
    r.uid = uid;
    r.length = length;
    r.flags = flags;
    r.hash.fill(hashFill);
    return r;
}

Bytes encodeTranscript(const std::vector<TranscriptRecord>& records) {
    Bytes out;
    for (const TranscriptRecord& r : records) encodeTranscriptRecord(out, r.tag, r.flags, r.length, r.uid, r.hash.data());
    return out;
}

// A SIGN chunk with its padding, followed by `extraZeros` more zero bytes.
Bytes slotWith(ByteView payload, size_t extraZeros = 0, uint32_t tag = kTagSIGN, uint32_t flags = 0, uint64_t uid = 0) {
    Bytes slot;
    writeChunk(slot, tag, flags, uid, payload);
    slot.resize(slot.size() + extraZeros, 0);
    return slot;
}

// A signed file in miniature: root and publisher keys, the certificate in the
// model's MTAD extensions, a signed transcript and its SIGN payload.
class SignedFileTest : public ::testing::Test {
public:  // the case tables change members through lambdas
    void SetUp() override {
        trustedRoot = root.publicKey;
        cert.publisher_id = "com.example.drums";
        cert.name = "Example Drums";
        cert.pubkey = publisher.publicKey;
        cert.valid_from = 1000;
        cert.valid_until = 2000;
        installCert();
        signedRecords = {
            record("MTAD", 0, 900, 1, 0x11), record("SMPL", 0, 300, 1, 0x22), record("PEAK", 0, 64, 0, 0x33),
            record("AUDI", 1, 5000, 1, 0x44), record("AUDI", 2, 6000, 1, 0x55),
        };
        sign.sig_version = 1;
        sign.publisher_id = cert.publisher_id;
        sign.signed_at = 1500;
        signTranscript(signedRecords);
    }

    // Signs the certificate under the root and stores it under MTAD key 15.
    void installCert() {
        cert.root_sig = root.sign(certMessage(cert));
        model.metadata.extensions = {{kPublisherCertMtadKey, storedCert(cert)}};
    }

    void signTranscript(const std::vector<TranscriptRecord>& records) {
        sign.records = encodeTranscript(records);
        sign.signature = publisher.sign(fileSignatureMessage(sign.records, sign.signed_at));
    }

    Result<Provenance> verify(const Bytes& live) const {
        VerifyChainInputs inputs;
        inputs.model = &model;
        inputs.transcript = live.data();
        inputs.transcriptLength = live.size();
        inputs.sign = &sign;
        inputs.rootKey = trustedRoot;
        return verifyChain(inputs);
    }
    Result<Provenance> verify(const std::vector<TranscriptRecord>& live) const { return verify(encodeTranscript(live)); }

    void expectFailure(const Result<Provenance>& result, ErrorCode code, const std::string& message) const {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(errorCodeName(result.code()), std::string(errorCodeName(code)));
        EXPECT_EQ(result.message(), message);
    }

    KeyPair root = KeyPair::make();
    KeyPair publisher = KeyPair::make();
    Ed25519PublicKey trustedRoot{};  // the key verifyChain is given
    PublisherCert cert;
    Zem6Model model;
    std::vector<TranscriptRecord> signedRecords;
    SignPayload sign;
};

// ---------------------------------------------------------------------------
// Badges and labels

TEST(ProvenanceBadgeText, EachBadgeHasItsText) {
    const struct {
        ProvenanceBadge badge;
        const char* name;
        std::string text;
    } cases[] = {
        {ProvenanceBadge::None, "Acme", ""},
        {ProvenanceBadge::Factory, "Acme", "FACTORY"},
        {ProvenanceBadge::Publisher, "Acme", "Acme \xE2\x9C\x93"},
        {ProvenanceBadge::Publisher, "", " \xE2\x9C\x93"},
        {ProvenanceBadge::User, "Acme", "USER"},
        {ProvenanceBadge::Modified, "Acme", "\xE2\x9A\xA0 MODIFIED"},
        {static_cast<ProvenanceBadge>(5), "Acme", ""},
        {static_cast<ProvenanceBadge>(-1), "Acme", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(provenanceBadgeText(c.badge, c.name), c.text) << static_cast<int>(c.badge);
    }
}

TEST(ChunkLabel, QuotesTheTagTextAndNamesTheUid) {
    EXPECT_EQ(chunkLabel(record("AUDI", 7, 0, 0, 0)), "'AUDI' uid 7");
    TranscriptRecord odd;
    odd.tag = 0x0A425A41;  // "AZB\n"
    odd.uid = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(chunkLabel(odd), "'AZB\\x0A' uid 18446744073709551615");
}

// ---------------------------------------------------------------------------
// Transcript and signed message

TEST(Transcript, RecordLayoutIsLittleEndianWithTheHashLast) {
    Bytes out = hex("EE");  // appends, never replaces
    const Digest128 hash = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    encodeTranscriptRecord(out, makeTag("AUDI"), 0x01020304, 0x1122334455667788ull, 0x0102030405060708ull,
                           hash.data());
    EXPECT_EQ(toHex(out), toHex(hex("EE"
                                    "41 55 44 49  04 03 02 01"
                                    "88 77 66 55 44 33 22 11  08 07 06 05 04 03 02 01"
                                    "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")));
}

TEST(Transcript, DecodeReadsWholeRecordsAndIgnoresAPartialTail) {
    const std::vector<TranscriptRecord> records = {record("MTAD", 0, 12, 1, 0xA1),
                                                   record("AUDI", 9, 1ull << 40, 6, 0xB2)};
    Bytes bytes = encodeTranscript(records);
    EXPECT_EQ(decodeTranscript(bytes), records);
    bytes.resize(bytes.size() + 39, 0xFF);
    EXPECT_EQ(decodeTranscript(bytes), records);
    EXPECT_TRUE(decodeTranscript(ByteView(bytes).first(39)).empty());
}

TEST(Transcript, SignedMessageIsLabelTimeAndDigest) {
    const Bytes transcript = encodeTranscript({record("MTAD", 0, 12, 1, 0xA1)});
    const Bytes message = fileSignatureMessage(transcript, 0x0102030405060708ull);
    ASSERT_EQ(message.size(), kFileSignatureMessageBytes);
    // The label is part of every file signature in circulation; changing it
    // breaks them all.
    EXPECT_EQ(std::string(message.begin(), message.begin() + 20), "ZEM6-FILE-SIGNATURE1");
    EXPECT_EQ(toHex(ByteView(message).subspan(20, 8)), "08 07 06 05 04 03 02 01");
    EXPECT_EQ(toHex(ByteView(message).subspan(28)), toHex(blake2b256(transcript)));
}

// ---------------------------------------------------------------------------
// SIGN payload

TEST_F(SignedFileTest, SignPayloadRoundTrips) {
    const auto decoded = decodeSignPayload(rawMap(signPairs(sign)));
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(*decoded, sign);
}

TEST_F(SignedFileTest, SignPayloadRefusals) {
    const struct {
        const char* what;
        std::function<Bytes(Pairs)> build;
        std::string message;  // empty: accepted
    } cases[] = {
        {"empty payload", [](Pairs) { return Bytes{}; }, "SIGN payload: not a CBOR map (truncated CBOR item)"},
        {"an unsigned integer", [](Pairs) { return hex("01"); }, "SIGN payload: not a CBOR map (expected map)"},
        {"keys descending",
         [](Pairs p) {
             std::swap(p[0], p[1]);
             return rawMap(p);
         },
         "SIGN payload: map keys not in ascending order"},
        {"key repeated",
         [](Pairs p) {
             p[2].first = 2;
             return rawMap(p);
         },
         "SIGN payload: duplicate map key"},
        {"text key",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m[1] = 0x60;  // first key becomes ""
             return m;
         },
         "SIGN payload: map keys must be unsigned integers"},
        {"map cut short",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m[0] = 0xA6;
             return m;
         },
         "SIGN payload: truncated CBOR item"},
        {"sig_version as text",
         [](Pairs p) {
             p[0].second = encodeCborText("1");
             return rawMap(p);
         },
         "expected unsigned integer"},
        {"publisher_id as bytes",
         [](Pairs p) {
             p[1].second = encodeCborBytes(hex("61"));
             return rawMap(p);
         },
         "expected text string"},
        {"records as text",
         [](Pairs p) {
             p[2].second = encodeCborText("r");
             return rawMap(p);
         },
         "expected byte string"},
        {"records longer than the payload",
         [](Pairs p) {
             Bytes m = rawMap({p[0], p[1]});
             m[0] = 0xA5;
             m.insert(m.end(), {0x03, 0x59, 0xFF, 0xFF});
             return m;
         },
         "truncated CBOR item"},
        {"signed_at negative",
         [](Pairs p) {
             p[4].second = hex("20");
             return rawMap(p);
         },
         "expected unsigned integer"},
        {"signature of 63 bytes",
         [](Pairs p) {
             p[3].second = encodeCborBytes(Bytes(63, 1));
             return rawMap(p);
         },
         "SIGN payload: signature must be 64 bytes (got 63)"},
        {"signature of 65 bytes",
         [](Pairs p) {
             p[3].second = encodeCborBytes(Bytes(65, 1));
             return rawMap(p);
         },
         "SIGN payload: signature must be 64 bytes (got 65)"},
        {"key 0",
         [](Pairs p) {
             p.insert(p.begin(), {0, encodeCborUint(0)});
             return rawMap(p);
         },
         "SIGN payload: unknown key 0"},
        {"key 6",
         [](Pairs p) {
             p.emplace_back(6, encodeCborUint(0));
             return rawMap(p);
         },
         "SIGN payload: unknown key 6"},
        {"byte after the map",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m.push_back(0xF6);
             return m;
         },
         "SIGN payload: trailing bytes (trailing bytes after CBOR value)"},
        {"keys 1 to 4 only",
         [](Pairs p) {
             p.pop_back();
             return rawMap(p);
         },
         "SIGN payload: missing key 5"},
        {"key 1 missing, sig_version never read",
         [](Pairs p) {
             p.erase(p.begin());
             return rawMap(p);
         },
         "SIGN payload: missing key 1"},
        {"sig_version 2",
         [](Pairs p) {
             p[0].second = encodeCborUint(2);
             return rawMap(p);
         },
         "SIGN payload: sig_version 2 (this reader supports 1)"},
        {"sig_version 0 before a bad records length",
         [](Pairs p) {
             p[0].second = encodeCborUint(0);
             p[2].second = encodeCborBytes(Bytes(79, 0));
             return rawMap(p);
         },
         "SIGN payload: sig_version 0 (this reader supports 1)"},
        {"records empty",
         [](Pairs p) {
             p[2].second = encodeCborBytes(Bytes{});
             return rawMap(p);
         },
         "SIGN payload: records length 0 is not a positive multiple of 40"},
        {"records of 79 bytes",
         [](Pairs p) {
             p[2].second = encodeCborBytes(Bytes(79, 0));
             return rawMap(p);
         },
         "SIGN payload: records length 79 is not a positive multiple of 40"},
        {"records of 80 bytes",
         [](Pairs p) {
             p[2].second = encodeCborBytes(Bytes(80, 0));
             return rawMap(p);
         },
         ""},
        {"records length before an empty publisher_id",
         [](Pairs p) {
             p[1].second = encodeCborText("");
             p[2].second = encodeCborBytes(Bytes(41, 0));
             return rawMap(p);
         },
         "SIGN payload: records length 41 is not a positive multiple of 40"},
        {"empty publisher_id",
         [](Pairs p) {
             p[1].second = encodeCborText("");
             return rawMap(p);
         },
         "SIGN payload: empty publisher_id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeSignPayload(c.build(signPairs(sign)));
        if (c.message.empty()) {
            EXPECT_TRUE(decoded.ok()) << decoded.message();
            continue;
        }
        ASSERT_FALSE(decoded.ok());
        // Whatever the CBOR reader reported, the payload's code wins.
        EXPECT_EQ(decoded.code(), ErrorCode::SignPayloadInvalid);
        EXPECT_EQ(decoded.message(), c.message);
    }
}

// ---------------------------------------------------------------------------
// Signature slot

TEST_F(SignedFileTest, SlotWithPaddingAndTrailingZerosReadsThePayload) {
    const Bytes payload = rawMap(signPairs(sign));
    for (const size_t extra : {size_t{0}, size_t{1}, size_t{48}}) {
        const auto read = readSignatureSlot(slotWith(payload, extra));
        ASSERT_TRUE(read.ok()) << read.message();
        EXPECT_EQ(*read, sign);
    }
    // A chunk that ends exactly at the slot end, without padding.
    Bytes exact = slotWith(payload);
    exact.resize(kChunkFramingBytes + payload.size());
    const auto read = readSignatureSlot(exact.data(), exact.size());
    ASSERT_TRUE(read.ok()) << read.message();
    EXPECT_EQ(*read, sign);
}

TEST_F(SignedFileTest, SlotRefusals) {
    const Bytes payload = rawMap(signPairs(sign));
    const Bytes good = slotWith(payload);
    const size_t room = good.size() - kChunkFramingBytes;
    const auto withLength = [&](uint64_t length) {
        Bytes s = good;
        storeLe64(s.data() + 8, length);
        return s;
    };
    const struct {
        const char* what;
        Bytes slot;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"empty slot", Bytes{}, ErrorCode::SignatureSlotInvalid,
         "SIGNED flag set but the signature slot holds only 0 bytes (no SIGN chunk)"},
        {"27 bytes", Bytes(good.begin(), good.begin() + 27), ErrorCode::SignatureSlotInvalid,
         "SIGNED flag set but the signature slot holds only 27 bytes (no SIGN chunk)"},
        {"unknown chunk flag", slotWith(payload, 0, kTagSIGN, 8), ErrorCode::SignatureSlotInvalid,
         "SIGNED flag set but the signature slot does not frame a chunk (chunk 'SIGN' carries unknown flag bits "
         "0x8)"},
        {"another tag", slotWith(payload, 0, kTagDIRC), ErrorCode::SignatureSlotInvalid,
         "SIGNED flag set but the signature slot frames 'DIRC', not SIGN"},
        {"CRITICAL flag", slotWith(payload, 0, kTagSIGN, kChunkCritical), ErrorCode::SignatureSlotInvalid,
         "SIGN chunk must be ancillary with uid 0 (flags=1 uid=0)"},
        {"uid not 0", slotWith(payload, 0, kTagSIGN, 0, 12), ErrorCode::SignatureSlotInvalid,
         "SIGN chunk must be ancillary with uid 0 (flags=0 uid=12)"},
        {"length one past the slot", withLength(room + 1), ErrorCode::SignatureSlotInvalid,
         "SIGN chunk declares " + std::to_string(room + 1) + " payload bytes but the slot holds only " +
             std::to_string(room)},
        {"length that would wrap", withLength(std::numeric_limits<uint64_t>::max() - 3),
         ErrorCode::SignatureSlotInvalid,
         "SIGN chunk declares 18446744073709551612 payload bytes but the slot holds only " + std::to_string(room)},
        {"damaged payload byte",
         [&] {
             Bytes s = good;
             s[kChunkHeaderBytes + 3] ^= 0x01;
             return s;
         }(),
         ErrorCode::SignatureSlotInvalid, "SIGN chunk fails its crc32c trailer"},
        {"non-zero padding byte",
         [&] {
             Bytes s = slotWith(payload, 16);
             s.back() = 0x01;
             return s;
         }(),
         ErrorCode::SignatureSlotInvalid, "signature slot carries non-zero bytes past the SIGN chunk"},
        {"empty payload", slotWith(Bytes{}), ErrorCode::SignPayloadInvalid,
         "SIGN payload: not a CBOR map (truncated CBOR item)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto read = readSignatureSlot(c.slot);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.code(), c.code);
        EXPECT_EQ(read.message(), c.message);
    }
}

// ---------------------------------------------------------------------------
// Chain: root -> certificate -> file

TEST_F(SignedFileTest, UnchangedFileOfAPublisherVerifies) {
    const auto result = verify(signedRecords);
    ASSERT_TRUE(result.ok()) << result.message();
    Provenance expected;
    expected.badge = ProvenanceBadge::Publisher;
    expected.isSigned = true;
    expected.publisherId = "com.example.drums";
    expected.publisherName = "Example Drums";
    expected.badgeText = "Example Drums \xE2\x9C\x93";
    EXPECT_EQ(*result, expected);
}

TEST_F(SignedFileTest, OnlyTheExactFactoryIdEarnsTheFactoryBadge) {
    const struct {
        std::string id;
        ProvenanceBadge badge;
        std::string text;
    } cases[] = {
        {std::string(kFactoryPublisherId), ProvenanceBadge::Factory, "FACTORY"},
        {std::string(kFactoryPublisherId.substr(0, 20)), ProvenanceBadge::Publisher, "Example Drums \xE2\x9C\x93"},
        {std::string(kFactoryPublisherId) + ".x", ProvenanceBadge::Publisher, "Example Drums \xE2\x9C\x93"},
        {"COM.QUELLMOOR.FACTORY", ProvenanceBadge::Publisher, "Example Drums \xE2\x9C\x93"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        cert.publisher_id = c.id;
        installCert();
        sign.publisher_id = c.id;
        const auto result = verify(signedRecords);
        ASSERT_TRUE(result.ok()) << result.message();
        EXPECT_EQ(result->badge, c.badge);
        EXPECT_EQ(result->badgeText, c.text);
        EXPECT_EQ(result->publisherId, c.id);
        EXPECT_EQ(result->publisherName, "Example Drums");
    }
}

TEST_F(SignedFileTest, MissingInputsAreAnInternalFailure) {
    const Bytes live = encodeTranscript(signedRecords);
    VerifyChainInputs inputs;
    inputs.model = &model;
    inputs.sign = &sign;
    inputs.transcript = live.data();
    inputs.transcriptLength = live.size();
    inputs.rootKey = root.publicKey;

    VerifyChainInputs noModel = inputs;
    noModel.model = nullptr;
    VerifyChainInputs noSign = inputs;
    noSign.sign = nullptr;
    VerifyChainInputs noTranscriptBytes = inputs;
    noTranscriptBytes.transcript = nullptr;
    for (const VerifyChainInputs* in : {&noModel, &noSign, &noTranscriptBytes}) {
        expectFailure(verifyChain(*in), ErrorCode::SignPayloadInvalid, "verifyChain: missing inputs (internal)");
    }
}

TEST_F(SignedFileTest, CertificateFailuresComeBeforeTheFileSignature) {
    const KeyPair stranger = KeyPair::make();
    const struct {
        const char* what;
        std::function<void(SignedFileTest&)> change;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"no certificate", [](SignedFileTest& t) { t.model.metadata.extensions.clear(); },
         ErrorCode::PublisherCertMissing, "SIGNED file carries no publisher certificate (MTAD key 15)"},
        {"undecodable certificate",
         [](SignedFileTest& t) { t.model.metadata.extensions[0].bytes = encodeCborUint(1); },
         ErrorCode::PublisherCertInvalid, "publisher cert: not a CBOR map (expected map)"},
        {"publisher ids differ",
         [](SignedFileTest& t) {
             t.sign.publisher_id = "com.example.drum";
             t.sign.signature = {};  // the ids are compared before any signature work
         },
         ErrorCode::PublisherCertInvalid,
         "SIGN publisher_id 'com.example.drum' does not match the certificate's 'com.example.drums'"},
        {"another root", [&](SignedFileTest& t) { t.trustedRoot = stranger.publicKey; }, ErrorCode::PublisherCertUntrusted,
         "publisher cert 'com.example.drums' is not signed by the known signing root"},
        {"signed after the window",
         [](SignedFileTest& t) {
             t.sign.signed_at = 2001;
             t.signTranscript(t.signedRecords);
         },
         ErrorCode::PublisherCertExpired,
         "publisher cert 'com.example.drums' validity [1000,2000] does not cover the verification time 2001"},
        {"signed before the window",
         [](SignedFileTest& t) {
             t.sign.signed_at = 999;
             t.signTranscript(t.signedRecords);
         },
         ErrorCode::PublisherCertExpired,
         "publisher cert 'com.example.drums' validity [1000,2000] does not cover the verification time 999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.change(*this);
        expectFailure(verify(signedRecords), c.code, c.message);
    }
}

TEST_F(SignedFileTest, SigningTimesAtTheWindowEndsVerify) {
    for (const uint64_t at : {uint64_t{1000}, uint64_t{2000}}) {
        sign.signed_at = at;
        signTranscript(signedRecords);
        const auto result = verify(signedRecords);
        EXPECT_TRUE(result.ok()) << at << ": " << result.message();
    }
}

TEST_F(SignedFileTest, FileSignatureMustVerifyUnderTheCertifiedKey) {
    const std::string notOverTranscript =
        "file signature by 'com.example.drums' does not verify over the transcript (wrong key or forged signature)";
    const KeyPair stranger = KeyPair::make();
    const struct {
        const char* what;
        std::function<void(SignedFileTest&)> change;
    } cases[] = {
        {"signed by another key",
         [&](SignedFileTest& t) {
             t.sign.signature = stranger.sign(fileSignatureMessage(t.sign.records, t.sign.signed_at));
         }},
        {"signing time changed after signing", [](SignedFileTest& t) { t.sign.signed_at += 1; }},
        {"signature bit flipped", [](SignedFileTest& t) { t.sign.signature[10] ^= 0x04; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.change(*this);
        expectFailure(verify(signedRecords), ErrorCode::SignatureMismatch, notOverTranscript);
    }
}

TEST_F(SignedFileTest, ChangedFileWithoutAGenuineSignatureIsNotDiagnosed) {
    sign.signature[0] ^= 0x01;
    std::vector<TranscriptRecord> live = signedRecords;
    live.push_back(record("KEYS", 0, 10, 0, 0x66));
    expectFailure(verify(live), ErrorCode::SignatureMismatch,
                  "file signature by 'com.example.drums' verifies neither over the live directory nor over its own "
                  "stored transcript");
}

TEST_F(SignedFileTest, ChangesAfterSigningAreDiagnosed) {
    using Records = std::vector<TranscriptRecord>;
    // Signed: MTAD 0, SMPL 0, PEAK 0, AUDI 1, AUDI 2.
    const struct {
        const char* what;
        std::function<void(Records&)> change;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"ancillary chunk appended", [](Records& r) { r.push_back(record("KEYS", 0, 10, 0, 0x66)); },
         ErrorCode::ChunkAddedAfterSigning, "chunk 'KEYS' uid 0 was added after signing (unsigned chunk)"},
        {"chunk inserted in the middle", [](Records& r) { r.insert(r.begin() + 3, record("AUDI", 3, 10, 1, 0x77)); },
         ErrorCode::ChunkAddedAfterSigning, "chunk 'AUDI' uid 3 was added after signing (unsigned chunk)"},
        {"chunk removed", [](Records& r) { r.erase(r.begin() + 4); }, ErrorCode::SignedChunkMissing,
         "signed chunk 'AUDI' uid 2 is missing from the file"},
        {"missing is told before added", [](Records& r) { r[2] = record("KEYS", 0, 64, 0, 0x33); },
         ErrorCode::SignedChunkMissing, "signed chunk 'PEAK' uid 0 is missing from the file"},
        {"same tag under another uid", [](Records& r) { r[4].uid = 3; }, ErrorCode::SignedChunkMissing,
         "signed chunk 'AUDI' uid 2 is missing from the file"},
        {"nothing left", [](Records& r) { r.clear(); }, ErrorCode::SignedChunkMissing,
         "signed chunk 'MTAD' uid 0 is missing from the file"},
        {"two chunks swapped", [](Records& r) { std::swap(r[3], r[4]); }, ErrorCode::ChunkOrderChanged,
         "chunk order differs from the signed transcript (chunks reordered)"},
        {"audio replaced: new hash and length",
         [](Records& r) {
             r[3].hash[5] ^= 1;
             r[3].length += 100;
         },
         ErrorCode::TranscriptMismatch, "chunk 'AUDI' uid 1: content hash differs from the signed transcript"},
        {"length and flags changed",
         [](Records& r) {
             r[2].length -= 1;
             r[2].flags = 1;
         },
         ErrorCode::TranscriptMismatch, "chunk 'PEAK' uid 0: length differs from the signed transcript"},
        {"flags changed", [](Records& r) { r[2].flags = 1; }, ErrorCode::TranscriptMismatch,
         "chunk 'PEAK' uid 0: flags differs from the signed transcript"},
        {"the first changed position is named",
         [](Records& r) {
             r[4].hash[0] ^= 1;
             r[1].flags = 0;
         },
         ErrorCode::TranscriptMismatch, "chunk 'SMPL' uid 0: flags differs from the signed transcript"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Records live = signedRecords;
        c.change(live);
        expectFailure(verify(live), c.code, c.message);
    }
}

TEST_F(SignedFileTest, DifferencesWithoutAChunkToNameAreAGeneralMismatch) {
    // A stored transcript that lists one chunk twice: every chunk is in both,
    // only the counts differ.
    std::vector<TranscriptRecord> stored = signedRecords;
    stored.push_back(signedRecords[3]);
    signTranscript(stored);
    expectFailure(verify(signedRecords), ErrorCode::TranscriptMismatch,
                  "live directory differs from the signed transcript");

    // Live bytes that differ only in a partial tail hold the same records.
    SetUp();
    Bytes live = encodeTranscript(signedRecords);
    live.push_back(0);
    expectFailure(verify(live), ErrorCode::TranscriptMismatch, "live directory differs from the signed transcript");
}

} // namespace
} // namespace vt6::fmt
