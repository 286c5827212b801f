#pragma once
// Byte layout of a zem 6 container: the 64-byte superblock, chunks (24-byte
// header, payload, CRC-32C trailer, zero padding to 16) and the 32-byte
// footer. Every integer is little-endian.

#include <array>
#include <cstdint>
#include <string>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr size_t kSuperblockBytes = 64;
inline constexpr size_t kChunkHeaderBytes = 24;
inline constexpr size_t kChunkTrailerBytes = 4;
inline constexpr size_t kChunkFramingBytes = kChunkHeaderBytes + kChunkTrailerBytes;  // 28
inline constexpr size_t kFooterBytes = 32;
inline constexpr size_t kMinFileBytes = kSuperblockBytes + kFooterBytes;  // 96
inline constexpr uint64_t kChunkAlignment = 16;

inline constexpr std::array<uint8_t, 8> kSuperblockMagic = {'Z', 'E', 'M', '6', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::array<uint8_t, 8> kFooterMagic = {'Z', 'E', 'M', 'E', 'N', 'D', 0x1A, 0x0A};
inline constexpr uint16_t kFormatMajor = 1;

// Superblock flags.
inline constexpr uint32_t kSuperblockSigned = 1u << 0;
inline constexpr uint32_t kSuperblockReserved1 = 1u << 1;
inline constexpr uint32_t kSuperblockHasAudt = 1u << 2;
inline constexpr uint32_t kSuperblockLegacyOrigin = 1u << 3;
inline constexpr uint32_t kSuperblockKnownFlags = 0xFu;

// Chunk flags: bit 0 is CRITICAL, bits 1-2 are reserved but accepted.
inline constexpr uint32_t kChunkCritical = 1u << 0;
inline constexpr uint32_t kChunkKnownFlags = 0x7u;

// A tag is its four bytes in file order read as a little-endian u32.
constexpr uint32_t makeTag(const char (&text)[5]) noexcept {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

inline constexpr uint32_t kTagMTAD = makeTag("MTAD");
inline constexpr uint32_t kTagSUMM = makeTag("SUMM");
inline constexpr uint32_t kTagSMPL = makeTag("SMPL");
inline constexpr uint32_t kTagPEAK = makeTag("PEAK");
inline constexpr uint32_t kTagAUDI = makeTag("AUDI");
inline constexpr uint32_t kTagAUDT = makeTag("AUDT");
inline constexpr uint32_t kTagDIRC = makeTag("DIRC");
inline constexpr uint32_t kTagSIGN = makeTag("SIGN");
inline constexpr uint32_t kTagLGCY = makeTag("LGCY");
inline constexpr uint32_t kTagXTRA = makeTag("XTRA");
inline constexpr uint32_t kTagDESC = makeTag("DESC");
inline constexpr uint32_t kTagARTW = makeTag("ARTW");
inline constexpr uint32_t kTagPRVW = makeTag("PRVW");
inline constexpr uint32_t kTagKEYS = makeTag("KEYS");

struct Superblock {
    uint16_t format_major = kFormatMajor;
    uint16_t format_minor = 0;
    uint32_t flags = 0;
    uint64_t dir_offset = 0;
    uint64_t dir_length = 0;
    Digest128 dir_hash{};
    uint64_t file_bytes = 0;
};

struct ChunkHeader {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t length = 0;
    uint64_t uid = 0;
};

struct Footer {
    uint64_t dir_offset = 0;
    uint64_t dir_length = 0;
    uint64_t file_bytes = 0;
};

// A whole file being built in memory; its index is the file offset.
using FileImage = Bytes;

std::array<uint8_t, kSuperblockBytes> encodeSuperblock(const Superblock& sb);
Result<Superblock> parseSuperblock(ByteView bytes);

std::array<uint8_t, kChunkHeaderBytes> encodeChunkHeader(const ChunkHeader& header);
Result<ChunkHeader> parseChunkHeader(ByteView bytes);

// Appends header, payload, CRC-32C trailer and zero padding up to the next
// multiple of 16; returns the trailer value.
uint32_t writeChunk(FileImage& image, uint32_t tag, uint32_t flags, uint64_t uid, ByteView payload);

std::array<uint8_t, kFooterBytes> encodeFooter(const Footer& footer);
Result<Footer> parseFooter(ByteView bytes);

// Printable text of a tag: bytes 0x20..0x7E as characters, others as \xHH.
std::string tagText(uint32_t tag);
bool isKnownTag(uint32_t tag) noexcept;
// MTAD, SMPL, AUDI, AUDT and DIRC: the tags the writer marks CRITICAL.
bool isCoreCriticalTag(uint32_t tag) noexcept;

} // namespace vt6::fmt
