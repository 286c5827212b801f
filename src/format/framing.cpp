#include "format/framing.hpp"

#include <algorithm>
#include <cstring>

namespace vt6::fmt {

namespace {

// Upper-case hexadecimal without leading zeros, as the messages print flags.
std::string hexUpper(uint64_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (value == 0) return "0";
    std::string out;
    while (value != 0) {
        out.push_back(kDigits[value & 0xFu]);
        value >>= 4;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

constexpr uint32_t kKnownTags[] = {
    kTagMTAD, kTagSUMM, kTagSMPL, kTagPEAK, kTagAUDI, kTagAUDT, kTagDIRC,
    kTagSIGN, kTagLGCY, kTagXTRA, kTagDESC, kTagARTW, kTagPRVW, kTagKEYS,
};

} // namespace

std::array<uint8_t, kSuperblockBytes> encodeSuperblock(const Superblock& sb) {
    std::array<uint8_t, kSuperblockBytes> out{};
    uint8_t* p = out.data();
    std::memcpy(p, kSuperblockMagic.data(), kSuperblockMagic.size());
    storeLe16(p + 8, sb.format_major);
    storeLe16(p + 10, sb.format_minor);
    storeLe32(p + 12, sb.flags);
    storeLe64(p + 16, sb.dir_offset);
    storeLe64(p + 24, sb.dir_length);
    std::memcpy(p + 32, sb.dir_hash.data(), sb.dir_hash.size());
    storeLe64(p + 48, sb.file_bytes);
    // Bytes [56, 60) are the reserved word, left 0.
    storeLe32(p + 60, crc32cOf(ByteView(p, 60)));
    return out;
}

Result<Superblock> parseSuperblock(ByteView bytes) {
    if (bytes.size() < kSuperblockBytes)
        return fail(ErrorCode::BadMagic, "file shorter than the 64-byte superblock");
    const uint8_t* p = bytes.data();
    if (std::memcmp(p, kSuperblockMagic.data(), kSuperblockMagic.size()) != 0)
        return fail(ErrorCode::BadMagic, "not a zem 6 file (magic mismatch at offset 0)");

    Superblock sb;
    sb.format_major = loadLe16(p + 8);
    if (sb.format_major != kFormatMajor)
        return fail(ErrorCode::BadMagic, "unsupported format_major " + std::to_string(sb.format_major) +
                                             " (this reader supports 1)");

    if (loadLe32(p + 60) != crc32cOf(ByteView(p, 60))) {
#if !defined(ZEM_FUZZING)
        return fail(ErrorCode::BadSuperblockCrc, "superblock crc32c mismatch over bytes [0,60)");
#endif
        // Fuzz builds read on past the mismatch so that the fuzzer can reach
        // the checks behind it.
    }

    sb.flags = loadLe32(p + 12);
    if ((sb.flags & ~kSuperblockKnownFlags) != 0)
        return fail(ErrorCode::UnknownSuperblockFlag,
                    "superblock carries unknown flag bits 0x" + hexUpper(sb.flags & ~kSuperblockKnownFlags));

    if (loadLe32(p + 56) != 0) return fail(ErrorCode::ModelInvalid, "superblock reserved field must be 0");

    sb.format_minor = loadLe16(p + 10);
    sb.dir_offset = loadLe64(p + 16);
    sb.dir_length = loadLe64(p + 24);
    std::memcpy(sb.dir_hash.data(), p + 32, sb.dir_hash.size());
    sb.file_bytes = loadLe64(p + 48);
    return sb;
}

std::array<uint8_t, kChunkHeaderBytes> encodeChunkHeader(const ChunkHeader& header) {
    std::array<uint8_t, kChunkHeaderBytes> out{};
    storeLe32(out.data(), header.tag);
    storeLe32(out.data() + 4, header.flags);
    storeLe64(out.data() + 8, header.length);
    storeLe64(out.data() + 16, header.uid);
    return out;
}

Result<ChunkHeader> parseChunkHeader(ByteView bytes) {
    if (bytes.size() < kChunkHeaderBytes)
        return fail(ErrorCode::ChunkTruncated, "chunk header shorter than 24 bytes");
    const uint8_t* p = bytes.data();
    ChunkHeader header;
    header.tag = loadLe32(p);
    header.flags = loadLe32(p + 4);
    if ((header.flags & ~kChunkKnownFlags) != 0)
        return fail(ErrorCode::UnknownChunkFlag, "chunk '" + tagText(header.tag) + "' carries unknown flag bits 0x" +
                                                     hexUpper(header.flags & ~kChunkKnownFlags));
    header.length = loadLe64(p + 8);
    header.uid = loadLe64(p + 16);
    return header;
}

uint32_t writeChunk(FileImage& image, uint32_t tag, uint32_t flags, uint64_t uid, ByteView payload) {
    const auto header = encodeChunkHeader(ChunkHeader{tag, flags, payload.size(), uid});
    Crc32cAccumulator acc;
    crc32cUpdate(acc, header);
    crc32cUpdate(acc, payload);
    const uint32_t crc = crc32cFinish(acc);

    const size_t unpadded = image.size() + kChunkFramingBytes + payload.size();
    const size_t padded = (unpadded + (kChunkAlignment - 1)) / kChunkAlignment * kChunkAlignment;
    image.reserve(padded);
    image.insert(image.end(), header.begin(), header.end());
    image.insert(image.end(), payload.begin(), payload.end());
    appendLe32(image, crc);
    image.resize(padded, 0);
    return crc;
}

std::array<uint8_t, kFooterBytes> encodeFooter(const Footer& footer) {
    std::array<uint8_t, kFooterBytes> out{};
    storeLe64(out.data(), footer.dir_offset);
    storeLe64(out.data() + 8, footer.dir_length);
    storeLe64(out.data() + 16, footer.file_bytes);
    std::memcpy(out.data() + 24, kFooterMagic.data(), kFooterMagic.size());
    return out;
}

Result<Footer> parseFooter(ByteView bytes) {
    if (bytes.size() < kFooterBytes) return fail(ErrorCode::BadFooter, "footer shorter than 32 bytes");
    const uint8_t* p = bytes.data();
    if (std::memcmp(p + 24, kFooterMagic.data(), kFooterMagic.size()) != 0)
        return fail(ErrorCode::BadFooter, "footer magic mismatch");
    Footer footer;
    footer.dir_offset = loadLe64(p);
    footer.dir_length = loadLe64(p + 8);
    footer.file_bytes = loadLe64(p + 16);
    return footer;
}

std::string tagText(uint32_t tag) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(16);
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<uint8_t>(tag >> (8 * i));
        if (byte >= 0x20 && byte <= 0x7E) {
            out.push_back(static_cast<char>(byte));
        } else {
            out.push_back('\\');
            out.push_back('x');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0xFu]);
        }
    }
    return out;
}

bool isKnownTag(uint32_t tag) noexcept {
    return std::find(std::begin(kKnownTags), std::end(kKnownTags), tag) != std::end(kKnownTags);
}

bool isCoreCriticalTag(uint32_t tag) noexcept {
    return tag == kTagMTAD || tag == kTagSMPL || tag == kTagAUDI || tag == kTagAUDT || tag == kTagDIRC;
}

} // namespace vt6::fmt
