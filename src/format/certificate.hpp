#pragma once
// The publisher certificate carried in MTAD extension key 15: it binds a
// publisher id and name to the publisher's Ed25519 key for a validity window
// and is signed by the signing root. The program only verifies certificates.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "format/bytes.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr size_t kEd25519PublicKeyBytes = 32;
inline constexpr size_t kEd25519SignatureBytes = 64;
using Ed25519PublicKey = std::array<uint8_t, kEd25519PublicKeyBytes>;
using Ed25519Signature = std::array<uint8_t, kEd25519SignatureBytes>;

// Longest publisher_id and name, in bytes.
inline constexpr size_t kMaxCertTextBytes = 160;
// certMessage: the domain label, then BLAKE2b-256 of the canonical encoding.
inline constexpr size_t kCertDomainLabelBytes = 20;
inline constexpr size_t kCertMessageBytes = kCertDomainLabelBytes + 32;  // 52

struct PublisherCert {
    std::string publisher_id;   // 1: 1 to 160 bytes
    std::string name;           // 2: 0 to 160 bytes, shown in the badge
    Ed25519PublicKey pubkey{};  // 3: verifies the file signature
    uint64_t valid_from = 0;    // 4: same unit as the SIGN payload's signed_at
    uint64_t valid_until = 0;   // 5: greater than valid_from
    Ed25519Signature root_sig{};  // 6: root signature over certMessage

    bool operator==(const PublisherCert&) const = default;
};

// The certificate of the first MTAD extension pair with key 15; an empty
// optional when there is none. Decode failures pass through unchanged.
Result<std::optional<PublisherCert>> extractPublisherCert(const ModelMetadata& metadata);

// Decodes the stored six-key map strictly and applies checkPublisherCert.
// Every failure is PublisherCertInvalid.
Result<PublisherCert> decodePublisherCert(ByteView bytes);

// The certificate's own laws: id not empty, id and name at most 160 bytes,
// valid_until after valid_from.
Result<Unit> checkPublisherCert(const PublisherCert& cert);

// The canonical five-key map (without root_sig) that the root signs.
Bytes encodePublisherCert(const PublisherCert& cert);

// The 52-byte message the root signs: domain label, then BLAKE2b-256 of
// encodePublisherCert.
Bytes certMessage(const PublisherCert& cert);

// Laws, then the root signature, then the window (both ends included)
// against the signing time. The clock is never consulted.
Result<Unit> verifyPublisherCert(const PublisherCert& cert, const Ed25519PublicKey& rootKey,
                                 uint64_t signingTime);

// RFC 8032 Ed25519 check of a detached signature.
bool ed25519Verify(ByteView message, const Ed25519PublicKey& publicKey,
                   const Ed25519Signature& signature) noexcept;

// The signing root's public key compiled into the program (a build setting).
Ed25519PublicKey builtInRootKey() noexcept;

// Constants the program keeps out of its readable strings (domain labels,
// root key): stored XOR-ed with a keystream at compile time and unmasked into
// a caller's buffer when needed. This deters casual patching; it hides no
// secret, since all of them are public values.
namespace masking {

constexpr uint8_t keystream(size_t index, uint32_t salt) noexcept {
    uint32_t x = (static_cast<uint32_t>(index) + 1u) * 0x9E3779B9u ^ salt;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    return static_cast<uint8_t>(x ^ (x >> 8));
}

// The bytes of a text literal (without its terminator), masked.
template <size_t N>
constexpr std::array<uint8_t, N - 1> maskText(const char (&text)[N], uint32_t salt) noexcept {
    std::array<uint8_t, N - 1> out{};
    for (size_t i = 0; i + 1 < N; ++i) out[i] = static_cast<uint8_t>(static_cast<uint8_t>(text[i]) ^ keystream(i, salt));
    return out;
}

template <size_t N>
void unmask(const std::array<uint8_t, N>& masked, uint32_t salt, uint8_t* out) noexcept {
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<uint8_t>(masked[i] ^ keystream(i, salt));
}

}  // namespace masking

} // namespace vt6::fmt
