#include "audio/flac_cursor.hpp"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "audio/flac_codec.hpp"

namespace vt6::fmt {

struct FlacCursorState {
    FlacPayloadSource* source = nullptr;
    PcmaHead head;
    FLAC__StreamDecoder* decoder = nullptr;
    uint64_t readPosition = 0;
    std::vector<uint8_t> frameBuffer;
    uint64_t frameFirst = 0;
    uint32_t frameLength = 0;  // 0: no current frame
    bool newFrame = false;
    std::vector<FrameStart> frameStarts;  // sorted by firstSample, unique
    uint64_t pendingStart = 0;
    bool pendingKnown = false;
    uint64_t resyncBase = 0;
    bool streamInfoSeen = false;
    bool failed = false;
    ErrorCode code = ErrorCode::FlacError;
    std::string message;

    FlacCursorState() = default;
    FlacCursorState(const FlacCursorState&) = delete;
    FlacCursorState& operator=(const FlacCursorState&) = delete;
    ~FlacCursorState() {
        if (decoder != nullptr) {
            FLAC__stream_decoder_finish(decoder);
            FLAC__stream_decoder_delete(decoder);
        }
    }

    // The first failure wins and stays.
    void record(ErrorCode c, std::string text) {
        if (failed) return;
        failed = true;
        code = c;
        message = std::move(text);
    }
    ErrorInfo error() const { return ErrorInfo{code, message}; }

    void recordFrameStart(uint64_t firstSample, uint64_t byteOffset) {
        // Starts at or past the head's end are never wanted; skipping them
        // keeps the list bounded by the declared frames.
        if (firstSample >= head.frames) return;
        const auto at = std::lower_bound(frameStarts.begin(), frameStarts.end(), firstSample,
                                         [](const FrameStart& s, uint64_t v) { return s.firstSample < v; });
        if (at != frameStarts.end() && at->firstSample == firstSample) return;
        frameStarts.insert(at, FrameStart{firstSample, byteOffset});
    }

    // The last recorded start at or before `frame`, or null.
    const FrameStart* startAtOrBefore(uint64_t frame) const {
        const auto after = std::upper_bound(frameStarts.begin(), frameStarts.end(), frame,
                                            [](uint64_t v, const FrameStart& s) { return v < s.firstSample; });
        return after == frameStarts.begin() ? nullptr : &*(after - 1);
    }

    std::string decoderStateName() const { return flacDecoderStateName(FLAC__stream_decoder_get_state(decoder)); }
};

namespace {

FlacCursorState& cursorState(void* client) { return *static_cast<FlacCursorState*>(client); }

FLAC__StreamDecoderReadStatus cursorRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                         void* client) {
    FlacCursorState& s = cursorState(client);
    const uint64_t size = s.source->size();
    if (s.readPosition >= size) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    // Never ask the source for bytes past its end.
    const uint64_t want = std::min<uint64_t>({*bytes, size - s.readPosition, std::numeric_limits<uint32_t>::max()});
    try {
        Result<uint32_t> got = s.source->read(s.readPosition, std::span<uint8_t>(buffer, static_cast<size_t>(want)));
        if (!got.ok()) {
            s.record(got.code(), got.message());
            *bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
        const uint64_t n = std::min<uint64_t>(*got, want);
        *bytes = static_cast<size_t>(n);
        if (n == 0) return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
        s.readPosition += n;
        return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory");
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
}

FLAC__StreamDecoderSeekStatus cursorSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client) {
    FlacCursorState& s = cursorState(client);
    if (offset > s.source->size()) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    s.readPosition = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus cursorTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
    *offset = cursorState(client).readPosition;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus cursorLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* client) {
    *length = cursorState(client).source->size();
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool cursorEof(const FLAC__StreamDecoder*, void* client) {
    const FlacCursorState& s = cursorState(client);
    return s.readPosition >= s.source->size();
}

void cursorMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    FlacCursorState& s = cursorState(client);
    s.streamInfoSeen = true;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    if (info.channels != s.head.channels || info.bits_per_sample != s.head.bits ||
        info.sample_rate != s.head.sample_rate || info.total_samples != s.head.frames) {
        try {
            s.record(ErrorCode::GeometryMismatch, "FLAC STREAMINFO disagrees with the PCMA head");
        } catch (const std::bad_alloc&) {
            s.record(ErrorCode::AllocationFailed, "out of memory");
        }
    }
}

FLAC__StreamDecoderWriteStatus cursorWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                           const FLAC__int32* const buffer[], void* client) {
    FlacCursorState& s = cursorState(client);
    if (s.failed) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    try {
        if (frame->header.channels != s.head.channels || frame->header.bits_per_sample != s.head.bits) {
            s.record(ErrorCode::GeometryMismatch, "FLAC frame geometry disagrees with the PCMA head");
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const uint64_t first = frame->header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                                   ? frame->header.number.sample_number
                                   : uint64_t{frame->header.number.frame_number} * kFlacBlockSize;
        const uint32_t n = frame->header.blocksize;
        const size_t channels = s.head.channels;
        const size_t width = s.head.bits / 8u;
        s.frameBuffer.resize(size_t{n} * channels * width);
        uint8_t* out = s.frameBuffer.data();
        for (uint32_t i = 0; i < n; ++i) {
            for (size_t ch = 0; ch < channels; ++ch) {
                const auto v = static_cast<uint32_t>(buffer[ch][i]);
                out[0] = static_cast<uint8_t>(v);
                out[1] = static_cast<uint8_t>(v >> 8);
                if (width == 3) out[2] = static_cast<uint8_t>(v >> 16);
                out += width;
            }
        }
        s.frameFirst = first;
        s.frameLength = n;
        s.newFrame = true;
        if (s.pendingKnown) {
            s.recordFrameStart(first, s.pendingStart);
            s.pendingKnown = false;
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory");
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
}

void cursorError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client) {
    FlacCursorState& s = cursorState(client);
#if defined(ZEM_FUZZING)
    // Let the fuzzer past frame checksums (libFLAC hands such a frame on as silence).
    if (status == FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH) return;
#endif
    try {
        s.record(ErrorCode::FlacError,
                 std::string("libFLAC error callback (streamed read): ") + flacDecoderErrorStatusName(status));
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory");
    }
}

uint64_t blockStart(uint64_t frame) { return frame / kFlacBlockSize * kFlacBlockSize; }

} // namespace

FlacStreamCursor::FlacStreamCursor() noexcept = default;
FlacStreamCursor::~FlacStreamCursor() = default;
FlacStreamCursor::FlacStreamCursor(FlacStreamCursor&& other) noexcept = default;
FlacStreamCursor& FlacStreamCursor::operator=(FlacStreamCursor&& other) noexcept = default;

bool FlacStreamCursor::isOpen() const noexcept {
    return state_ != nullptr && state_->decoder != nullptr && !state_->failed;
}

Result<Unit> FlacStreamCursor::open(FlacPayloadSource* source, const PcmaHead& head) {
    if (head.codec != kCodecFlac) {
        return fail(ErrorCode::CodecUnknown, "FlacStreamCursor over a codec-" + std::to_string(head.codec) + " payload");
    }
    state_.reset();
    state_ = std::make_unique<FlacCursorState>();
    FlacCursorState& s = *state_;
    s.source = source;
    s.head = head;

    const auto failOpen = [&s](ErrorCode code, std::string message) -> Result<Unit> {
        s.record(code, std::move(message));
        return s.error();
    };
    // Callers pass parsed heads; a head that breaks the laws (say 32 bits
    // with codec 1) would size frames wrongly, so it is refused here too.
    if (auto valid = validatePcmaHead(head); !valid.ok()) return failOpen(valid.code(), valid.message());
    if (source == nullptr) return failOpen(ErrorCode::FlacError, "FlacStreamCursor opened without a source");

    s.decoder = FLAC__stream_decoder_new();
    if (s.decoder == nullptr) return failOpen(ErrorCode::FlacError, "FLAC__stream_decoder_new failed");
    if (FLAC__stream_decoder_init_stream(s.decoder, cursorRead, cursorSeek, cursorTell, cursorLength, cursorEof,
                                         cursorWrite, cursorMetadata, cursorError,
                                         &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return failOpen(ErrorCode::FlacError, "FLAC decoder init failed");
    }
    if (!FLAC__stream_decoder_process_until_end_of_metadata(s.decoder) || s.failed) {
        return failOpen(ErrorCode::FlacError, "FLAC metadata read failed");  // keeps an earlier failure
    }
    if (!s.streamInfoSeen) return failOpen(ErrorCode::FlacError, "FLAC stream carries no STREAMINFO");
    return {};
}

Result<uint32_t> FlacStreamCursor::read(uint64_t firstFrame, uint32_t count, std::vector<uint8_t>& out) {
    if (state_ == nullptr || state_->decoder == nullptr) {
        return fail(ErrorCode::FlacError, "FlacStreamCursor used before open");
    }
    FlacCursorState& s = *state_;
    if (s.failed) return s.error();

    FLAC__StreamDecoder* const decoder = s.decoder;
    const uint64_t frameBytes = uint64_t{s.head.channels} * (s.head.bits / 8u);
    // Nothing past the head's frames is ever delivered, so the output never
    // needs to be larger than what remains.
    const uint64_t remaining = firstFrame < s.head.frames ? s.head.frames - firstFrame : 0;
    const uint64_t wanted = std::min<uint64_t>(count, remaining);
    try {
        out.resize(static_cast<size_t>(wanted * frameBytes));
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "out of memory for " + std::to_string(wanted) + " frames");
    }

    const auto failRead = [&s](ErrorCode code, std::string message) -> Result<uint32_t> {
        s.record(code, std::move(message));
        return s.error();
    };
    // A stream this program wrote never needs a second jump or seek for the
    // same frame; hostile streams (gaps, inconsistent frame numbers) could
    // otherwise send the loop round forever.
    constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
    uint64_t jumpedFor = kNone;
    uint64_t soughtFor = kNone;

    uint64_t done = 0;
    while (done < wanted) {
        const uint64_t m = firstFrame + done;  // below head.frames, so no overflow

        if (s.frameLength > 0 && m >= s.frameFirst && m - s.frameFirst < s.frameLength) {
            const uint64_t k = std::min<uint64_t>(s.frameFirst + s.frameLength - m, wanted - done);
            std::memcpy(out.data() + done * frameBytes, s.frameBuffer.data() + (m - s.frameFirst) * frameBytes,
                        static_cast<size_t>(k * frameBytes));
            done += k;
            continue;
        }

        const uint64_t next = s.frameLength > 0 ? s.frameFirst + s.frameLength : s.resyncBase;
        bool forward = next <= m && m - next < kCursorReachFrames;
        if (!forward) {
            const FrameStart* start = s.startAtOrBefore(m);
            if (start != nullptr && m - start->firstSample < kCursorReachFrames && jumpedFor != m) {
                jumpedFor = m;
                if (!FLAC__stream_decoder_flush(decoder)) {
                    return failRead(ErrorCode::FlacError, "FLAC flush failed before resync");
                }
                s.readPosition = start->byteOffset;
                s.frameLength = 0;
                s.resyncBase = start->firstSample;
                forward = true;
            }
        }

        if (!forward) {
            if (soughtFor == m) {
                return failRead(ErrorCode::FlacError, "FLAC stream has no frame holding frame " + std::to_string(m));
            }
            soughtFor = m;
            s.newFrame = false;
            s.pendingKnown = false;
            if (!FLAC__stream_decoder_seek_absolute(decoder, blockStart(m))) {
                return failRead(ErrorCode::FlacError, "FLAC seek_absolute(" + std::to_string(m) + ") failed (state " +
                                                          s.decoderStateName() + ")");
            }
            if (s.failed) return s.error();
            if (!s.newFrame) return failRead(ErrorCode::FlacError, "FLAC seek delivered no frame");
            continue;
        }

        // Decode forward one frame, learning where it starts.
        s.newFrame = false;
        FLAC__uint64 position = 0;
        s.pendingKnown = FLAC__stream_decoder_get_decode_position(decoder, &position) != 0;
        s.pendingStart = position;
        if (!FLAC__stream_decoder_process_single(decoder)) {
            return failRead(ErrorCode::FlacError,
                            "FLAC process_single failed (state " + s.decoderStateName() + ")");
        }
        if (s.failed) return s.error();
        if (!s.newFrame) {
            s.pendingKnown = false;
            const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder);
            if (state == FLAC__STREAM_DECODER_END_OF_STREAM) break;
            // libFLAC answers true without a frame when it has aborted; going
            // round again would never end.
            if (state != FLAC__STREAM_DECODER_SEARCH_FOR_METADATA && state != FLAC__STREAM_DECODER_READ_METADATA &&
                state != FLAC__STREAM_DECODER_SEARCH_FOR_FRAME_SYNC && state != FLAC__STREAM_DECODER_READ_FRAME) {
                return failRead(ErrorCode::FlacError,
                                "FLAC process_single failed (state " + s.decoderStateName() + ")");
            }
            continue;
        }
        if (s.frameFirst > m) {
            // The jump landed past the wanted frame (a stale start): seek instead.
            s.frameLength = 0;
            s.resyncBase = 0;
            s.newFrame = false;
            s.pendingKnown = false;
            if (soughtFor == m) {
                return failRead(ErrorCode::FlacError, "FLAC stream has no frame holding frame " + std::to_string(m));
            }
            soughtFor = m;
            if (!FLAC__stream_decoder_seek_absolute(decoder, blockStart(m)) || !s.newFrame) {
                return failRead(ErrorCode::FlacError, "FLAC seek after a stale resync failed");
            }
            if (s.failed) return s.error();
        }
    }

    out.resize(static_cast<size_t>(done * frameBytes));
    return static_cast<uint32_t>(done);
}

} // namespace vt6::fmt
