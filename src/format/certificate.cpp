#include "format/certificate.hpp"

#include <algorithm>
#include <string_view>

#include <sodium.h>

#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/fields.hpp"

#ifndef ZEM_SIGNING_ROOT_KEY_HEX
#error "ZEM_SIGNING_ROOT_KEY_HEX must be defined by the build (64 hex digits)"
#endif

namespace vt6::fmt {

namespace {

namespace cert_key {
inline constexpr uint64_t kPublisherId = 1;
inline constexpr uint64_t kName = 2;
inline constexpr uint64_t kPubkey = 3;
inline constexpr uint64_t kValidFrom = 4;
inline constexpr uint64_t kValidUntil = 5;
inline constexpr uint64_t kRootSig = 6;
}  // namespace cert_key

// The root signs this label in front of the certificate digest, so that a
// root signature can never be replayed as a signature of another kind.
constexpr uint32_t kCertLabelSalt = 0x43455254u;
constexpr auto kMaskedCertLabel = masking::maskText("ZEM6-PUBLISHER-CERT1", kCertLabelSalt);
static_assert(kMaskedCertLabel.size() == kCertDomainLabelBytes);

// Tail of the PublisherCertUntrusted message, after the quoted id.
constexpr uint32_t kUntrustedSalt = 0x554E5452u;
constexpr auto kMaskedUntrustedText = masking::maskText("' is not signed by the known signing root", kUntrustedSalt);
static_assert(kMaskedUntrustedText.size() == 41);

// The root key: the build's hex digits, parsed and masked at compile time
// into two 16-byte pieces.
constexpr std::string_view kRootKeyHex = ZEM_SIGNING_ROOT_KEY_HEX;
static_assert(kRootKeyHex.size() == 2 * kEd25519PublicKeyBytes, "the signing root key needs 64 hex digits");

constexpr uint8_t hexNibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    throw "the signing root key holds a character that is not a hex digit";  // compile-time error
}

constexpr uint32_t kRootPieceSalt[2] = {0x524F4F54u, 0x4B455931u};

constexpr std::array<uint8_t, 16> maskedRootPiece(size_t piece) {
    std::array<uint8_t, 16> out{};
    for (size_t i = 0; i < 16; ++i) {
        const size_t at = 2 * (16 * piece + i);
        const auto byte = static_cast<uint8_t>(hexNibble(kRootKeyHex[at]) << 4 | hexNibble(kRootKeyHex[at + 1]));
        out[i] = static_cast<uint8_t>(byte ^ masking::keystream(i, kRootPieceSalt[piece]));
    }
    return out;
}

constexpr std::array<uint8_t, 16> kMaskedRootPiece0 = maskedRootPiece(0);
constexpr std::array<uint8_t, 16> kMaskedRootPiece1 = maskedRootPiece(1);

void ensureSodium() noexcept {
    // sodium_init picks implementations; verification is correct whatever it
    // reports, so the result is not acted on.
    static const int initialised = sodium_init();
    (void)initialised;
}

const std::string& untrustedText() {
    static const std::string text = [] {
        std::string out(kMaskedUntrustedText.size(), '\0');
        masking::unmask(kMaskedUntrustedText, kUntrustedSalt, reinterpret_cast<uint8_t*>(out.data()));
        return out;
    }();
    return text;
}

ErrorInfo certInvalid(std::string message) {
    return fail(ErrorCode::PublisherCertInvalid, std::move(message));
}

// A reader failure inside the map keeps its message but takes the
// certificate's code.
ErrorInfo asCertInvalid(ErrorInfo error) {
    error.code = ErrorCode::PublisherCertInvalid;
    return error;
}

} // namespace

Result<std::optional<PublisherCert>> extractPublisherCert(const ModelMetadata& metadata) {
    const ExtensionPair* pair = findExtension(metadata.extensions, kPublisherCertMtadKey);
    if (pair == nullptr) return std::optional<PublisherCert>{};
    ZEM_TRY_ASSIGN(PublisherCert cert, decodePublisherCert(pair->bytes));
    return std::optional<PublisherCert>(std::move(cert));
}

Result<PublisherCert> decodePublisherCert(ByteView bytes) {
    CborReader reader(bytes);
    if (auto entered = reader.enterMap(); !entered) {
        return certInvalid("publisher cert: not a CBOR map (" + entered.message() + ")");
    }
    PublisherCert cert;
    bool seen[7] = {};
    for (;;) {
        auto next = reader.nextMapKey();
        if (!next) return certInvalid("publisher cert: " + next.message());
        if (!next->has_value()) break;
        const uint64_t key = **next;
        switch (key) {
        case cert_key::kPublisherId:
        case cert_key::kName: {
            auto text = reader.readText();
            if (!text) return asCertInvalid(text.takeError());
            (key == cert_key::kPublisherId ? cert.publisher_id : cert.name).assign(*text);
            break;
        }
        case cert_key::kPubkey: {
            auto raw = reader.readBytes();
            if (!raw) return asCertInvalid(raw.takeError());
            if (raw->size() != cert.pubkey.size()) {
                return certInvalid("publisher cert: pubkey must be 32 bytes (got " + std::to_string(raw->size()) + ")");
            }
            std::copy(raw->begin(), raw->end(), cert.pubkey.begin());
            break;
        }
        case cert_key::kValidFrom:
        case cert_key::kValidUntil: {
            auto value = reader.readUint();
            if (!value) return asCertInvalid(value.takeError());
            (key == cert_key::kValidFrom ? cert.valid_from : cert.valid_until) = *value;
            break;
        }
        case cert_key::kRootSig: {
            auto raw = reader.readBytes();
            if (!raw) return asCertInvalid(raw.takeError());
            if (raw->size() != cert.root_sig.size()) {
                return certInvalid("publisher cert: root_sig must be 64 bytes (got " + std::to_string(raw->size()) +
                                   ")");
            }
            std::copy(raw->begin(), raw->end(), cert.root_sig.begin());
            break;
        }
        default:
            return certInvalid("publisher cert: unknown key " + std::to_string(key));
        }
        seen[key] = true;
    }
    if (auto finished = reader.finish(); !finished) {
        return certInvalid("publisher cert: trailing bytes (" + finished.message() + ")");
    }
    for (uint64_t key = cert_key::kPublisherId; key <= cert_key::kRootSig; ++key) {
        if (!seen[key]) return certInvalid("publisher cert: missing key " + std::to_string(key));
    }
    ZEM_TRY(checkPublisherCert(cert));
    return cert;
}

Result<Unit> checkPublisherCert(const PublisherCert& cert) {
    if (cert.publisher_id.empty()) return certInvalid("publisher cert: empty publisher_id");
    if (cert.publisher_id.size() > kMaxCertTextBytes || cert.name.size() > kMaxCertTextBytes) {
        return certInvalid("publisher cert: id/name exceed 160 bytes");
    }
    if (cert.valid_until <= cert.valid_from) {
        return certInvalid("publisher cert: valid_until " + std::to_string(cert.valid_until) +
                           " is not after valid_from " + std::to_string(cert.valid_from));
    }
    return Unit{};
}

Bytes encodePublisherCert(const PublisherCert& cert) {
    CborWriter writer;
    writer.beginMap(5);
    writer.writeUint(cert_key::kPublisherId);
    writer.writeText(cert.publisher_id);
    writer.writeUint(cert_key::kName);
    writer.writeText(cert.name);
    writer.writeUint(cert_key::kPubkey);
    writer.writeBytes(cert.pubkey);
    writer.writeUint(cert_key::kValidFrom);
    writer.writeUint(cert.valid_from);
    writer.writeUint(cert_key::kValidUntil);
    writer.writeUint(cert.valid_until);
    return writer.take();
}

Bytes certMessage(const PublisherCert& cert) {
    const Digest256 digest = blake2b256(encodePublisherCert(cert));
    Bytes message;
    message.reserve(kCertMessageBytes);
    uint8_t label[kCertDomainLabelBytes];
    masking::unmask(kMaskedCertLabel, kCertLabelSalt, label);
    message.insert(message.end(), label, label + sizeof label);
    sodium_memzero(label, sizeof label);
    message.insert(message.end(), digest.begin(), digest.end());
    return message;
}

Result<Unit> verifyPublisherCert(const PublisherCert& cert, const Ed25519PublicKey& rootKey, uint64_t signingTime) {
    ZEM_TRY(checkPublisherCert(cert));
    if (!ed25519Verify(certMessage(cert), rootKey, cert.root_sig)) {
        return fail(ErrorCode::PublisherCertUntrusted, "publisher cert '" + cert.publisher_id + untrustedText());
    }
    // Checked against the signing time, never the clock: a file signed while
    // its certificate was valid stays valid after the certificate ends.
    if (signingTime < cert.valid_from || signingTime > cert.valid_until) {
        return fail(ErrorCode::PublisherCertExpired,
                    "publisher cert '" + cert.publisher_id + "' validity [" + std::to_string(cert.valid_from) + "," +
                        std::to_string(cert.valid_until) + "] does not cover the verification time " +
                        std::to_string(signingTime));
    }
    return Unit{};
}

bool ed25519Verify(ByteView message, const Ed25519PublicKey& publicKey, const Ed25519Signature& signature) noexcept {
    ensureSodium();
    // An empty span may carry a null pointer; libsodium wants a valid one.
    static const uint8_t kEmpty = 0;
    const uint8_t* data = message.empty() ? &kEmpty : message.data();
    return crypto_sign_verify_detached(signature.data(), data, message.size(), publicKey.data()) == 0;
}

Ed25519PublicKey builtInRootKey() noexcept {
    Ed25519PublicKey key{};
    masking::unmask(kMaskedRootPiece0, kRootPieceSalt[0], key.data());
    masking::unmask(kMaskedRootPiece1, kRootPieceSalt[1], key.data() + 16);
    return key;
}

} // namespace vt6::fmt
