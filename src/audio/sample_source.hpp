#pragma once
// Random access to the audio of any sample of an open file, as per-channel
// floats, whether the frames lie in the sample's head payload (AUDI) or its
// tail payload (AUDT).
//
// Opening checks every SMPL row against its payload heads and decodes and
// hash-verifies every head once, so later reads fail only on I/O errors, on a
// file changed since the open, or on a damaged tail (tails are not hashed:
// they are never decoded whole). Decoded heads and open FLAC tail decoders
// are cached least-recently-used.

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "audio/flac_cursor.hpp"
#include "audio/pcma_head.hpp"
#include "format/reader.hpp"
#include "format/result.hpp"

namespace vt6::stream {

inline constexpr int32_t kTailReadDone = 0;
inline constexpr int32_t kTailReadOutOfRange = 1;  // sample index or start frame
inline constexpr int32_t kTailReadError = 2;

struct TailReadResult {
    int32_t status = kTailReadDone;
    uint32_t frames = 0;  // frames delivered
};

// A random-access reader of the samples of one source.
class TailReader {
public:
    virtual ~TailReader() = default;

    // Frames [startFrame, startFrame + count) of a sample, counted from its
    // first frame across head and tail, into one buffer per channel (each
    // holding at least `count` floats). Channels without a buffer are
    // dropped; extra buffers are left untouched. A read that reaches the end
    // of the sample delivers fewer frames and still succeeds.
    virtual TailReadResult read(uint32_t sample, uint64_t startFrame, uint32_t count,
                                std::span<float* const> channels) = 0;
    // 0 for an index out of range.
    virtual uint64_t frameCount(uint32_t sample) const = 0;
    virtual uint16_t channelCount(uint32_t sample) const = 0;
};

} // namespace vt6::stream

namespace vt6::fmt {

// The geometry of one sample, fixed at open.
struct SampleGeometryRow {
    uint64_t uid = 0;
    uint64_t totalFrames = 0;
    uint64_t headFrames = 0;  // frames of the AUDI payload
    uint16_t channels = 0;
    uint16_t bits = 16;
    uint32_t sampleRate = 0;
    uint16_t codec = 0;
    bool hasTail = false;
    ChunkRecord audi;
    ChunkRecord audt;
    PcmaHead audiHead;
    PcmaHead audtHead;
    ChunkPayloadView audtView;  // for range reads of codec-0 tails
};

inline constexpr size_t kMaxDecodedHeads = 4;
inline constexpr size_t kMaxTailCursors = 8;

class Zem6SampleSource final : public stream::TailReader {
public:
    // Opens the file at `path` and checks every sample (see the class note).
    static Result<std::unique_ptr<Zem6SampleSource>> open(const std::string& path, const ReadPolicy& policy);
    // The same checks over a file that is already open; the source takes it.
    static Result<std::unique_ptr<Zem6SampleSource>> open(Zem6File file);
    // Checks, decodes and verifies one sample only, so that one sample loads
    // at the same cost whatever else the file holds and damage in another
    // sample never blocks it. The other samples are neither read nor
    // checked: they count as out of range (no frames, no channels).
    static Result<std::unique_ptr<Zem6SampleSource>> openSample(Zem6File file, uint32_t sample);

    ~Zem6SampleSource() override;
    Zem6SampleSource(const Zem6SampleSource&) = delete;
    Zem6SampleSource& operator=(const Zem6SampleSource&) = delete;

    // Reads serialise on one mutex, decoding included.
    stream::TailReadResult read(uint32_t sample, uint64_t startFrame, uint32_t count,
                                std::span<float* const> channels) override;
    uint64_t frameCount(uint32_t sample) const override;
    uint16_t channelCount(uint32_t sample) const override;

    // The failure of the last read that returned kTailReadError (code ReadIo
    // and an empty message before any).
    ErrorInfo lastError() const;

    // One row per SMPL row, in the model's order (after openSample, rows
    // other than its sample stay default: no frames, no channels).
    const std::vector<SampleGeometryRow>& rows() const noexcept { return rows_; }

    // Sample indices of the cached decoded heads and open tail cursors, in
    // cache order; for inspecting the memory a source holds.
    std::vector<uint32_t> cachedHeads() const;
    std::vector<uint32_t> cachedTailCursors() const;

    // The body of one payload (bytes behind its 64-byte head), read from the
    // file on demand for a FLAC cursor.
    class PayloadByteSource final : public FlacPayloadSource {
    public:
        explicit PayloadByteSource(const ChunkPayloadView& view) : view_(view) {}
        Result<uint32_t> read(uint64_t offset, std::span<uint8_t> dest) override;
        uint64_t size() const override;

    private:
        ChunkPayloadView view_;
    };

private:
    struct DecodedHeadEntry {
        uint32_t sample = 0;
        uint8_t part = 0;
        std::vector<uint8_t> bytes;
        uint64_t lastUse = 0;
    };
    struct TailCursorEntry {
        uint32_t sample = 0;
        uint8_t part = 1;
        // Declared before the cursor so that the cursor goes first.
        std::unique_ptr<FlacPayloadSource> source;
        std::unique_ptr<FlacStreamCursor> cursor;
        uint64_t lastUse = 0;
    };

    explicit Zem6SampleSource(Zem6File file);

    Result<Unit> validateSamples();
    Result<SampleGeometryRow> validateRow(const SmplEntry& entry) const;
    Result<uint32_t> readPart(uint32_t sample, uint8_t part, uint64_t partStart, uint32_t count,
                              std::vector<uint8_t>& out);
    Result<TailCursorEntry*> openTailCursor(uint32_t sample, uint8_t part);
    Result<size_t> decodedHead(uint32_t sample);
    Result<size_t> decodeAndVerify(uint32_t sample);
    void evictDecoded(size_t position);

    Zem6File file_;
    bool validating_ = false;
    std::vector<SampleGeometryRow> rows_;
    std::vector<DecodedHeadEntry> decoded_;
    std::vector<TailCursorEntry> cursors_;
    std::vector<uint8_t> scratchBytes_;
    std::vector<float> scratchFloats_;
    uint64_t useCounter_ = 0;
    ErrorInfo lastError_;
    mutable std::mutex mutex_;
};

} // namespace vt6::fmt
