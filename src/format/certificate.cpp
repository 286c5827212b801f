#include "format/certificate.hpp"

namespace vt6::fmt {

// Interim definitions so that callers link; the checks follow.
Result<std::optional<PublisherCert>> extractPublisherCert(const ModelMetadata&) {
    return std::optional<PublisherCert>{};
}
Result<PublisherCert> decodePublisherCert(ByteView) {
    return fail(ErrorCode::PublisherCertInvalid, "publisher cert: not implemented");
}
Result<Unit> checkPublisherCert(const PublisherCert&) { return Unit{}; }
Bytes encodePublisherCert(const PublisherCert&) { return {}; }
Bytes certMessage(const PublisherCert&) { return Bytes(kCertMessageBytes, 0); }
Result<Unit> verifyPublisherCert(const PublisherCert&, const Ed25519PublicKey&, uint64_t) {
    return fail(ErrorCode::PublisherCertUntrusted, "publisher cert: not implemented");
}
bool ed25519Verify(ByteView, const Ed25519PublicKey&, const Ed25519Signature&) noexcept { return false; }
Ed25519PublicKey builtInRootKey() noexcept { return {}; }

} // namespace vt6::fmt
