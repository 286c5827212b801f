#pragma once
// What the fuzz targets over whole zem 6 files share: the bytes go through a
// real file (the reader works on descriptors), limits are small so that a
// hostile size field costs nothing, and signature failures are allowed so
// that the reads behind them are reached. Signed seeds are made under the
// root whose key pair comes from kFuzzRootSeedByte.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sodium.h>
#include <unistd.h>

#include "format/read_policy.hpp"
#include "format/signature.hpp"
#include "probe_file.hpp"

namespace vt6::fuzz {

// Seed of the fuzz corpus's signing root (32 bytes of 0x52).
inline constexpr uint8_t kFuzzRootSeedByte = 0x52;

inline const uint8_t* fuzzRootKey() {
    static const fmt::Ed25519PublicKey key = [] {
        fmt::Ed25519PublicKey pk{};
        uint8_t sk[crypto_sign_SECRETKEYBYTES];
        uint8_t seed[crypto_sign_SEEDBYTES];
        for (uint8_t& b : seed) b = kFuzzRootSeedByte;
        if (sodium_init() < 0) std::abort();
        crypto_sign_seed_keypair(pk.data(), sk, seed);
        return pk;
    }();
    return key.data();
}

inline fmt::ReadPolicy fuzzPolicy() {
    fmt::ReadPolicy policy;
    policy.maxDirEntries = 256;
    policy.maxDirBytes = 1 << 16;
    policy.maxMetadataBytes = 1 << 20;
    policy.maxSignatureSlotBytes = 1 << 16;
    policy.maxRecoveryBytes = 1 << 20;
    policy.maxChunkReadBytes = 1 << 20;
    policy.allowBadSignature = 1;
    policy.rootKeyOverride = fuzzRootKey();
    return policy;
}

} // namespace vt6::fuzz
