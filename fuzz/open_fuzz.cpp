// The whole open of a zem 6 file under arbitrary bytes, then every read an
// open file offers, over every chunk. The bytes go through a real file since
// the reader works on descriptors. Limits are small so that a hostile size
// field costs nothing; signature failures are allowed so the reads behind
// them are reached. Signed seeds are made under the root whose key pair
// comes from the seed bytes below.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sodium.h>
#include <unistd.h>

#include "probe_file.hpp"

#include "format/reader.hpp"

using namespace vt6::fmt;

namespace {

// Seed of the fuzz corpus's signing root (32 bytes of 0x52).
constexpr uint8_t kRootSeedByte = 0x52;

const std::string& probePath() { return vt6::fuzz::writeProbe(nullptr, 0); }

const uint8_t* rootKey() {
    static const Ed25519PublicKey key = [] {
        Ed25519PublicKey pk{};
        uint8_t sk[crypto_sign_SECRETKEYBYTES];
        uint8_t seed[crypto_sign_SEEDBYTES];
        for (uint8_t& b : seed) b = kRootSeedByte;
        if (sodium_init() < 0) std::abort();
        crypto_sign_seed_keypair(pk.data(), sk, seed);
        return pk;
    }();
    return key.data();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt6::fuzz::writeProbe(data, size);
    ReadPolicy policy;
    policy.maxDirEntries = 256;
    policy.maxDirBytes = 1 << 16;
    policy.maxMetadataBytes = 1 << 20;
    policy.maxSignatureSlotBytes = 1 << 16;
    policy.maxRecoveryBytes = 1 << 20;
    policy.maxChunkReadBytes = 1 << 20;
    policy.allowBadSignature = 1;
    policy.rootKeyOverride = rootKey();

    auto opened = openZem6File(probePath(), policy);
    if (!opened.ok()) {
        if (opened.message().empty()) __builtin_trap();
        return 0;
    }
    const Zem6File& file = *opened;
    if (file.index.size() != file.chunks.size()) __builtin_trap();
    uint8_t piece[64];
    for (const ChunkRecord& c : file.chunks) {
        if (file.findEntry(c.tag, c.uid) != &c) __builtin_trap();
        auto whole = file.readChunk(c);
        if (whole.ok() && whole->size() != c.length) __builtin_trap();
        auto view = file.readChunkHeader(c);
        if (!view.ok()) continue;
        for (uint64_t at = 0; at < view->payloadLength; at += sizeof piece) {
            auto n = Zem6File::readPayloadRange(*view, at, piece);
            if (!n.ok()) break;
            if (*n == 0 || *n > sizeof piece) __builtin_trap();
        }
    }
    return 0;
}
