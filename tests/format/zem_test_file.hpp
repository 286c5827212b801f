#pragma once
// Test-only maker of zem 6 files. It lays chunks out the way the writer does
// (superblock, chunks on 16-byte steps, DIRC, signature slot, footer) but
// lets a test change any part on the way, so damaged and hostile files are
// easy to make. Signed files use throw-away key pairs: the program itself
// never signs.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sodium.h>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/certificate.hpp"
#include "format/checksum.hpp"
#include "format/directory.hpp"
#include "format/framing.hpp"
#include "format/lgcy.hpp"
#include "format/mtad.hpp"
#include "format/signature.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace vt6::test {

struct Chunk {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t uid = 0;
    fmt::Bytes payload;
};

struct FileOptions {
    uint32_t superblockFlags = 0;
    // Changes the entries before they are encoded into the DIRC chunk.
    std::function<void(std::vector<fmt::DirEntry>&)> editDirectory;
    // The signature slot after the DIRC chunk (made from the listed entries).
    std::function<fmt::Bytes(const std::vector<fmt::DirEntry>&)> slot;
};

// A laid-out file and where its parts are.
struct BuiltFile {
    fmt::Bytes bytes;
    std::vector<fmt::DirEntry> entries;  // as listed in DIRC, file order
    uint64_t dirOffset = 0;
    uint64_t dirLength = 0;  // DIRC payload + 28, as the superblock states it
    fmt::Superblock superblock;
    fmt::Footer footer;

    const fmt::DirEntry& entry(uint32_t tag, uint64_t uid = 0) const {
        for (const fmt::DirEntry& e : entries) {
            if (e.tag == tag && e.uid == uid) return e;
        }
        ADD_FAILURE() << "no chunk '" << fmt::tagText(tag) << "' uid " << uid;
        return entries.front();
    }
    uint64_t footerStart() const { return bytes.size() - fmt::kFooterBytes; }

    // Re-encodes the superblock (with a correct CRC) or the footer in place.
    void writeSuperblock() {
        const auto sb = fmt::encodeSuperblock(superblock);
        std::copy(sb.begin(), sb.end(), bytes.begin());
    }
    void writeFooter() {
        const auto f = fmt::encodeFooter(footer);
        std::copy(f.begin(), f.end(), bytes.begin() + static_cast<std::ptrdiff_t>(footerStart()));
    }
    // Recomputes the CRC-32C trailer of the chunk at `offset` after its header
    // or payload was changed in place.
    void resealChunk(uint64_t offset) {
        const uint64_t length = fmt::loadLe64(bytes.data() + offset + 8);
        const uint64_t covered = fmt::kChunkHeaderBytes + length;
        fmt::storeLe32(bytes.data() + offset + covered, fmt::crc32cOf(fmt::ByteView(bytes.data() + offset, covered)));
    }
};

inline fmt::DirEntry appendChunk(fmt::Bytes& image, const Chunk& c) {
    fmt::DirEntry e;
    e.tag = c.tag;
    e.uid = c.uid;
    e.flags = c.flags;
    e.offset = image.size();
    e.length = c.payload.size();
    e.crc32c = fmt::writeChunk(image, c.tag, c.flags, c.uid, c.payload);
    e.hash = fmt::blake2b128(fmt::ByteView(image.data() + e.offset, fmt::kChunkHeaderBytes + e.length));
    return e;
}

// Superblock, the chunks in the given order, DIRC listing them, the slot and
// the footer, all consistent unless the options say otherwise.
inline BuiltFile layoutChunks(const std::vector<Chunk>& chunks, const FileOptions& options = {}) {
    BuiltFile f;
    f.bytes.assign(fmt::kSuperblockBytes, 0);
    for (const Chunk& c : chunks) f.entries.push_back(appendChunk(f.bytes, c));

    std::vector<fmt::DirEntry> listed = f.entries;
    if (options.editDirectory) options.editDirectory(listed);
    f.entries = listed;
    const fmt::Bytes dirPayload = fmt::encodeDirectory(listed);
    f.dirOffset = f.bytes.size();
    f.dirLength = dirPayload.size() + fmt::kChunkFramingBytes;
    fmt::writeChunk(f.bytes, fmt::kTagDIRC, fmt::kChunkCritical, 0, dirPayload);
    if (options.slot) {
        const fmt::Bytes slot = options.slot(listed);
        f.bytes.insert(f.bytes.end(), slot.begin(), slot.end());
    }

    f.superblock.flags = options.superblockFlags;
    f.superblock.dir_offset = f.dirOffset;
    f.superblock.dir_length = f.dirLength;
    f.superblock.dir_hash = fmt::blake2b128(
        fmt::ByteView(f.bytes.data() + f.dirOffset, fmt::kChunkHeaderBytes + dirPayload.size()));
    f.superblock.file_bytes = f.bytes.size() + fmt::kFooterBytes;
    f.footer = {f.dirOffset, f.dirLength, f.superblock.file_bytes};
    f.bytes.resize(f.bytes.size() + fmt::kFooterBytes, 0);
    f.writeFooter();
    f.writeSuperblock();
    return f;
}

struct Payload {
    uint32_t tag = fmt::kTagAUDI;
    uint64_t uid = 0;
    fmt::Bytes bytes;
};

struct ModelLayout {
    fmt::Zem6Model model;  // with head_bytes as written
    std::vector<Chunk> chunks;
};

inline fmt::Bytes ok(fmt::Result<fmt::Bytes> r) {
    if (!r.ok()) ADD_FAILURE() << "encode failed: " << r.message();
    return r.ok() ? std::move(r).value() : fmt::Bytes{};
}

// The model's chunks in the writer's order. With `settleHeadBytes`,
// head_bytes becomes the offset of the first AUDI chunk (or where it would
// begin), found by the same fix point the writer runs.
inline ModelLayout modelChunks(fmt::Zem6Model model, const std::vector<Payload>& payloads,
                               bool settleHeadBytes = true) {
    using namespace fmt;
    const auto align16 = [](uint64_t v) { return (v + 15) & ~uint64_t{15}; };
    std::vector<Chunk> head;
    if (model.summary.present) head.push_back({kTagSUMM, 0, 0, ok(encodeSumm(model.summary))});
    head.push_back({kTagSMPL, kChunkCritical, 0, ok(encodeSmpl(std::span<const SmplEntry>(model.samples)))});
    if (!model.peaks.empty()) {
        head.push_back({kTagPEAK, 0, 0, ok(encodePeak(PeakTable{model.points_per_sample, model.peaks}))});
    }
    for (const ExtraChunk& x : model.extraChunks) {
        if (!x.afterAudio) head.push_back({x.tag, x.flags, x.uid, x.bytes});
    }
    if (settleHeadBytes) {
        uint64_t w = 0;
        for (int i = 0; i < 8; ++i) {
            model.metadata.head_bytes = w;
            uint64_t h = align16(64 + ok(encodeMtad(model.metadata)).size() + 28);
            for (const Chunk& c : head) h = align16(h + c.payload.size() + 28);
            if (h == w) break;
            w = h;
        }
    }
    ModelLayout out;
    out.chunks.push_back({kTagMTAD, kChunkCritical, 0, ok(encodeMtad(model.metadata))});
    out.chunks.insert(out.chunks.end(), head.begin(), head.end());
    for (const uint32_t tag : {kTagAUDI, kTagAUDT}) {
        for (const Payload& p : payloads) {
            if (p.tag == tag) out.chunks.push_back({tag, kChunkCritical, p.uid, p.bytes});
        }
    }
    if (model.lgcy) out.chunks.push_back({kTagLGCY, 0, 0, ok(encodeLgcy(*model.lgcy))});
    for (const ExtraChunk& x : model.extraChunks) {
        if (x.afterAudio) out.chunks.push_back({x.tag, x.flags, x.uid, x.bytes});
    }
    out.model = std::move(model);
    return out;
}

inline fmt::Bytes pattern(size_t n, uint8_t seed) {
    fmt::Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

// A small model with every kind of chunk: MTAD, SUMM, SMPL, PEAK, LGCY, two
// AUDI and one AUDT payload, an extra chunk before the audio and an unknown
// ancillary one after it.
struct FullModel {
    fmt::Zem6Model model;
    std::vector<Payload> payloads;
};

inline FullModel fullModel() {
    using namespace fmt;
    FullModel f;
    ModelMetadata& md = f.model.metadata;
    md.name = "Test Kit";
    md.drum_type = "Snare";
    md.next_uid = 6;

    SmplEntry a;
    a.uid = 1;
    a.name = "hit 1";
    a.frames = 100;
    a.audi_uid = 2;
    a.audt_uid = 3;
    SmplEntry b;
    b.uid = 4;
    b.name = "hit 2";
    b.frames = 80;
    b.audi_uid = 5;
    f.model.samples = {a, b};

    f.model.summary.present = true;
    f.model.summary.sample_count = 2;
    f.model.summary.total_frames = 180;
    f.model.points_per_sample = 4;
    f.model.peaks = pattern(2 * 2 * 4, 0x10);

    LegacyProvenance lgcy;
    lgcy.version_magic = {'Z', 'e', 'm', '_', 'v', '4', '.', '0'};
    lgcy.header_bytes = {1, 2, 3, 4};
    f.model.lgcy = lgcy;

    f.model.extraChunks.push_back(ExtraChunk{kTagDESC, 0, 5, 0, {'h', 'e', 'l', 'l', 'o'}, false});
    f.model.extraChunks.push_back(ExtraChunk{makeTag("QQQQ"), 0, 3, 7, {9, 8, 7}, true});

    f.payloads = {{kTagAUDI, 2, pattern(120, 1)}, {kTagAUDT, 3, pattern(40, 2)}, {kTagAUDI, 5, pattern(80, 3)}};
    return f;
}

// A signing root and a publisher certified by it, able to sign files.
struct Signer {
    KeyPair root = KeyPair::make();
    KeyPair publisher = KeyPair::make();
    fmt::PublisherCert cert;
    uint64_t signedAt = 1500;

    Signer() { init(); }
    Signer(KeyPair rootKeys, KeyPair publisherKeys) : root(rootKeys), publisher(publisherKeys) { init(); }

    void init() {
        cert.publisher_id = "com.example.drums";
        cert.name = "Example Drums";
        cert.pubkey = publisher.publicKey;
        cert.valid_from = 1000;
        cert.valid_until = 2000;
    }

    const uint8_t* rootKey() const { return root.publicKey.data(); }

    // Stores the certificate, signed by the root, under MTAD key 15.
    void certify(fmt::Zem6Model& model) {
        cert.root_sig = root.sign(fmt::certMessage(cert));
        fmt::CborWriter w;
        w.beginMap(6);
        w.writeUint(1);
        w.writeText(cert.publisher_id);
        w.writeUint(2);
        w.writeText(cert.name);
        w.writeUint(3);
        w.writeBytes(cert.pubkey);
        w.writeUint(4);
        w.writeUint(cert.valid_from);
        w.writeUint(5);
        w.writeUint(cert.valid_until);
        w.writeUint(6);
        w.writeBytes(cert.root_sig);
        fmt::setExtension(model.metadata.extensions, fmt::kPublisherCertMtadKey, w.take());
    }

    // The SIGN chunk (and its padding) over the transcript of `listed`.
    fmt::Bytes slotFor(const std::vector<fmt::DirEntry>& listed) const {
        fmt::Bytes transcript;
        for (const fmt::DirEntry& e : listed) {
            fmt::encodeTranscriptRecord(transcript, e.tag, e.flags, e.length, e.uid, e.hash.data());
        }
        const fmt::Ed25519Signature sig = publisher.sign(fmt::fileSignatureMessage(transcript, signedAt));
        fmt::CborWriter w;
        w.beginMap(5);
        w.writeUint(1);
        w.writeUint(1);
        w.writeUint(2);
        w.writeText(cert.publisher_id);
        w.writeUint(3);
        w.writeBytes(transcript);
        w.writeUint(4);
        w.writeBytes(sig);
        w.writeUint(5);
        w.writeUint(signedAt);
        fmt::Bytes slot;
        fmt::writeChunk(slot, fmt::kTagSIGN, 0, 0, w.take());
        return slot;
    }

    // Options that sign the file as it is laid out.
    FileOptions options() const {
        FileOptions o;
        o.superblockFlags = fmt::kSuperblockSigned;
        o.slot = [this](const std::vector<fmt::DirEntry>& listed) { return slotFor(listed); };
        return o;
    }
};

} // namespace vt6::test
