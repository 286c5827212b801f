#include "format/result.hpp"

#include <array>

namespace vt6::fmt {

namespace {

constexpr std::array<const char*, 64> kNames = {
    "BadMagic",
    "BadSuperblockCrc",
    "UnknownSuperblockFlag",
    "UnknownChunkFlag",
    "BadFooter",
    "FileBytesMismatch",
    "DirectoryUnrecoverable",
    "DirHashMismatch",
    "DirEntryUnsorted",
    "DirEntryOverlap",
    "DirEntryOutOfBounds",
    "DirUidDuplicate",
    "DirPolicyEntries",
    "DirPolicyBytes",
    "LengthOverflow",
    "ChunkCrcMismatch",
    "ChunkTruncated",
    "ChunkHeaderDirMismatch",
    "ChunkHashMismatch",
    "UnknownCriticalChunk",
    "UnsupportedScheme",
    "CborNonCanonical",
    "CborDepth",
    "CborType",
    "CborTag",
    "CborDuplicateKey",
    "ModelInvalid",
    "MtadTooLarge",
    "SummTooLarge",
    "PayloadHeadInvalid",
    "CodecUnknown",
    "FlacError",
    "GeometryMismatch",
    "PlainHashMismatch",
    "PlainBytesMismatch",
    "SeektableInvalid",
    "UidLaw",
    "WriteIo",
    "ReadIo",
    "SignatureSlotInvalid",
    "SignPayloadInvalid",
    "SignatureMismatch",
    "ChunkAddedAfterSigning",
    "SignedChunkMissing",
    "TranscriptMismatch",
    "ChunkOrderChanged",
    "PublisherCertMissing",
    "PublisherCertInvalid",
    "PublisherCertExpired",
    "PublisherCertUntrusted",
    // Codes 50 to 58 are reserved: nothing raises them.
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "ReservedErrorCode",
    "MetadataPolicyBytes",
    "SignaturePolicyBytes",
    "RecoveryPolicyBytes",
    "AllocationFailed",
    "ChunkReadPolicyBytes",
};

} // namespace

const char* errorCodeName(ErrorCode code) noexcept {
    const auto index = static_cast<uint16_t>(code);
    if (index >= kNames.size()) return "UnknownErrorCode";
    return kNames[index];
}

std::string makeErrorRef(int number) {
    return "E" + std::to_string(number);
}

} // namespace vt6::fmt
