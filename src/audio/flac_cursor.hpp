#pragma once
// Random access into a codec-1 payload body without decoding it from the
// start or holding it in memory. One libFLAC decoder stays open between
// reads: it decodes forward when the wanted frame lies shortly ahead, jumps
// to a frame start it has already seen when one lies shortly before, and
// otherwise seeks (cheap, thanks to the dense seek table the encoder writes).
//
// A cursor is used by one thread at a time. Its first failure sticks: every
// later read reports it again without touching the decoder.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/pcma_head.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// The bytes of one payload body, delivered on demand. Offsets count from the
// first body byte (payload byte 64); implementations add the head themselves.
class FlacPayloadSource {
public:
    virtual ~FlacPayloadSource() = default;
    // Fills the start of `dest` from `offset`; returns how many bytes it
    // delivered (0 at the end).
    virtual Result<uint32_t> read(uint64_t offset, std::span<uint8_t> dest) = 0;
    // The body length in bytes.
    virtual uint64_t size() const = 0;
};

// Where one FLAC frame starts within the body.
struct FrameStart {
    uint64_t firstSample = 0;
    uint64_t byteOffset = 0;
};

// How far ahead of the decode point a read is still reached by decoding
// forward, and how far behind a wanted frame a recorded frame start may lie
// and still be jumped to.
inline constexpr uint64_t kCursorReachFrames = 32768;

struct FlacCursorState;

class FlacStreamCursor {
public:
    FlacStreamCursor() noexcept;
    ~FlacStreamCursor();
    FlacStreamCursor(FlacStreamCursor&& other) noexcept;
    FlacStreamCursor& operator=(FlacStreamCursor&& other) noexcept;
    FlacStreamCursor(const FlacStreamCursor&) = delete;
    FlacStreamCursor& operator=(const FlacStreamCursor&) = delete;

    // Reads the stream's metadata and checks STREAMINFO against `head`. The
    // cursor does not own `source`, which must outlive its use. Opening again
    // replaces the earlier state.
    Result<Unit> open(FlacPayloadSource* source, const PcmaHead& head);

    // Frames [firstFrame, firstFrame + count) of this body (relative to the
    // payload's first_frame) as plain packed PCM in `out`, resized to exactly
    // the delivered frames. Fewer than asked only at the end of the stream.
    Result<uint32_t> read(uint64_t firstFrame, uint32_t count, std::vector<uint8_t>& out);

    // Opened, with a decoder, and not failed.
    bool isOpen() const noexcept;

private:
    std::unique_ptr<FlacCursorState> state_;
};

} // namespace vt6::fmt
