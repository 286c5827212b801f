#pragma once
// Test-only Ed25519 keys and signing: the program verifies but never signs,
// so certificates, signatures and the CBOR maps that carry them are made here.

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/certificate.hpp"

namespace vt6::test {

struct KeyPair {
    fmt::Ed25519PublicKey publicKey{};
    std::array<uint8_t, crypto_sign_SECRETKEYBYTES> secretKey{};

    static KeyPair make() {
        if (sodium_init() < 0) ADD_FAILURE() << "sodium_init failed";
        KeyPair pair;
        crypto_sign_keypair(pair.publicKey.data(), pair.secretKey.data());
        return pair;
    }
    // A fixed key pair, for files that must verify across runs (fuzz seeds).
    static KeyPair fromSeed(uint8_t seedByte) {
        if (sodium_init() < 0) ADD_FAILURE() << "sodium_init failed";
        KeyPair pair;
        std::array<uint8_t, crypto_sign_SEEDBYTES> seed{};
        seed.fill(seedByte);
        crypto_sign_seed_keypair(pair.publicKey.data(), pair.secretKey.data(), seed.data());
        return pair;
    }
    fmt::Ed25519Signature sign(fmt::ByteView message) const {
        fmt::Ed25519Signature sig{};
        crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(), secretKey.data());
        return sig;
    }
};

// A map written with the pairs in the given order, so tests can break the
// profile's rules on purpose.
inline fmt::Bytes rawMap(const std::vector<std::pair<uint64_t, fmt::Bytes>>& pairs) {
    fmt::CborWriter w;
    w.beginMap(pairs.size());
    for (const auto& [key, value] : pairs) {
        w.writeUint(key);
        w.writeRaw(value);
    }
    return w.take();
}

} // namespace vt6::test
