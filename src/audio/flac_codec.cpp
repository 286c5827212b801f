#include "audio/flac_codec.hpp"

#include <FLAC/format.h>
#include <FLAC/metadata.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "audio/pcma_head.hpp"

namespace vt6::fmt {
namespace {

using std::to_string;

// Upper bound on how much smaller than its plain audio a body written here
// can be (silence in eight 24-bit channels compresses about 2300:1). The
// output is reserved to the exact plain size only up to this ratio, so a head
// that declares far more audio than its body can hold reserves nothing huge;
// the output still grows when a stream really decodes to more.
constexpr uint64_t kMaxExpansion = 4096;

// Frames widened per process call of the encoder.
constexpr uint32_t kEncodeChunkFrames = 16384;

constexpr uint64_t kMaxTotalSamplesEstimate = (uint64_t{1} << 36) - 1;

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* d) const noexcept {
        FLAC__stream_decoder_finish(d);
        FLAC__stream_decoder_delete(d);
    }
};
struct EncoderDeleter {
    void operator()(FLAC__StreamEncoder* e) const noexcept { FLAC__stream_encoder_delete(e); }
};
struct MetadataDeleter {
    void operator()(FLAC__StreamMetadata* m) const noexcept { FLAC__metadata_object_delete(m); }
};

// ------------------------------------------------------------------ decoding

struct FlacDecodeState {
    ByteView body;
    uint64_t position = 0;
    int32_t bits = 0;
    int32_t channels = 0;
    int32_t sampleRate = 0;
    uint64_t frames = 0;
    const std::function<bool()>* cancel = nullptr;
    std::vector<uint8_t> output;
    std::vector<uint8_t> scratch;  // one frame, packed
    uint64_t framesDecoded = 0;
    bool streamInfoSeen = false;
    bool failed = false;
    ErrorCode code = ErrorCode::FlacError;
    std::string message;

    // The first failure wins.
    void record(ErrorCode c, std::string text) {
        if (failed) return;
        failed = true;
        code = c;
        message = std::move(text);
    }
};

FlacDecodeState& decodeState(void* client) { return *static_cast<FlacDecodeState*>(client); }

FLAC__StreamDecoderReadStatus decodeRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                         void* client) {
    FlacDecodeState& s = decodeState(client);
    if (s.position >= s.body.size()) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(*bytes, s.body.size() - s.position));
    std::memcpy(buffer, s.body.data() + s.position, n);
    s.position += n;
    *bytes = n;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus decodeSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client) {
    FlacDecodeState& s = decodeState(client);
    if (offset > s.body.size()) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    s.position = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus decodeTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
    *offset = decodeState(client).position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus decodeLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* client) {
    *length = decodeState(client).body.size();
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool decodeEof(const FLAC__StreamDecoder*, void* client) {
    const FlacDecodeState& s = decodeState(client);
    return s.position >= s.body.size();
}

void decodeMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    FlacDecodeState& s = decodeState(client);
    s.streamInfoSeen = true;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    const bool agrees = int64_t{info.channels} == s.channels && int64_t{info.bits_per_sample} == s.bits &&
                        int64_t{info.sample_rate} == s.sampleRate && info.total_samples == s.frames;
    if (agrees) return;
    try {
        s.record(ErrorCode::GeometryMismatch,
                 "FLAC STREAMINFO (" + to_string(info.channels) + "ch/" + to_string(info.bits_per_sample) + "b/" +
                     to_string(info.sample_rate) + "Hz/" + to_string(info.total_samples) +
                     "f) disagrees with the PCMA head (" + to_string(s.channels) + "ch/" + to_string(s.bits) +
                     "b/" + to_string(s.sampleRate) + "Hz/" + to_string(s.frames) + "f)");
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory");  // short enough to need no allocation
    }
}

FLAC__StreamDecoderWriteStatus decodeWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                           const FLAC__int32* const buffer[], void* client) {
    FlacDecodeState& s = decodeState(client);
    if (s.failed) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    try {
        if (s.cancel != nullptr && *s.cancel && (*s.cancel)()) {
            s.record(ErrorCode::ReadIo, kDecodeCancelledText);
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        if (int64_t{frame->header.channels} != s.channels || int64_t{frame->header.bits_per_sample} != s.bits) {
            s.record(ErrorCode::GeometryMismatch, "FLAC frame geometry disagrees with the PCMA head");
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const uint32_t n = frame->header.blocksize;
        if (n > s.frames - s.framesDecoded) {
            s.record(ErrorCode::PlainBytesMismatch,
                     "FLAC stream decodes past the declared " + to_string(s.frames) + " frames");
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const size_t channels = static_cast<size_t>(s.channels);
        const size_t width = static_cast<size_t>(s.bits) / 8;
        // Packed into a scratch block, then appended: the output is never
        // cleared ahead of the bytes that overwrite it.
        const size_t bytes = size_t{n} * channels * width;
        if (s.scratch.size() < bytes) s.scratch.resize(bytes);
        uint8_t* out = s.scratch.data();
        for (uint32_t i = 0; i < n; ++i) {
            for (size_t ch = 0; ch < channels; ++ch) {
                const auto v = static_cast<uint32_t>(buffer[ch][i]);
                out[0] = static_cast<uint8_t>(v);
                out[1] = static_cast<uint8_t>(v >> 8);
                if (width == 3) out[2] = static_cast<uint8_t>(v >> 16);
                out += width;
            }
        }
        s.output.insert(s.output.end(), s.scratch.data(), s.scratch.data() + bytes);
        s.framesDecoded += n;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory while decoding a FLAC payload");
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
}

void decodeError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client) {
    FlacDecodeState& s = decodeState(client);
#if defined(ZEM_FUZZING)
    // Let the fuzzer past frame checksums (libFLAC hands such a frame on as silence).
    if (status == FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH) return;
#endif
    try {
        s.record(ErrorCode::FlacError, std::string("libFLAC error callback: ") + flacDecoderErrorStatusName(status));
    } catch (const std::bad_alloc&) {
        s.record(ErrorCode::AllocationFailed, "out of memory");  // short enough to need no allocation
    }
}

// ------------------------------------------------------------------ encoding

// The most a stream written here can take: libFLAC falls back to verbatim
// subframes, so no frame holds more than its plain audio plus its framing,
// and the stream head holds the marker, STREAMINFO, the seek table and the
// encoder's own comment block. Reserving this up front means the output
// never grows, and never copies itself, in the middle of noisy audio.
uint64_t encodedSizeBound(uint64_t plainBytes, uint64_t frames, int32_t channels) {
    const uint64_t blocks = (frames + kFlacBlockSize - 1) / kFlacBlockSize;
    constexpr uint64_t kFrameFraming = 32;      // header (at most 16), footer CRC, byte alignment
    constexpr uint64_t kSubframeFraming = 2;    // header byte and wasted-bits code
    constexpr uint64_t kStreamHead = 4 + 38 + 4 + 1024;  // marker, STREAMINFO, comment block
    constexpr uint64_t kSeekPoint = 18;
    return plainBytes + blocks * (kFrameFraming + kSubframeFraming * static_cast<uint64_t>(channels) + kSeekPoint) +
           kStreamHead;
}

struct FlacEncodeSink {
    std::vector<uint8_t> output;
    uint64_t position = 0;
};

FLAC__StreamEncoderWriteStatus encodeWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                           uint32_t, uint32_t, void* client) {
    FlacEncodeSink& sink = *static_cast<FlacEncodeSink*>(client);
    // Rewrites (STREAMINFO, the seek table) land inside what is written;
    // everything else appends, copied once and never cleared first.
    const size_t size = sink.output.size();
    const size_t inside = sink.position < size ? std::min<size_t>(bytes, size - static_cast<size_t>(sink.position)) : 0;
    if (inside > 0) std::memcpy(sink.output.data() + sink.position, buffer, inside);
    try {
        if (sink.position > size) sink.output.resize(static_cast<size_t>(sink.position));
        if (inside < bytes) sink.output.insert(sink.output.end(), buffer + inside, buffer + bytes);
    } catch (const std::bad_alloc&) {
        return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    sink.position += bytes;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus encodeSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* client) {
    static_cast<FlacEncodeSink*>(client)->position = offset;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus encodeTell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* client) {
    *offset = static_cast<FlacEncodeSink*>(client)->position;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

std::string encoderStateText(const FLAC__StreamEncoder* encoder) {
    return flacEncoderStateName(FLAC__stream_encoder_get_state(encoder));
}

} // namespace

const char* flacDecoderStateName(FLAC__StreamDecoderState state) noexcept {
    if (state < FLAC__STREAM_DECODER_SEARCH_FOR_METADATA || state > FLAC__STREAM_DECODER_UNINITIALIZED) {
        return "FLAC__STREAM_DECODER_UNKNOWN_STATE";
    }
    return FLAC__StreamDecoderStateString[state];
}

const char* flacEncoderStateName(FLAC__StreamEncoderState state) noexcept {
    if (state < FLAC__STREAM_ENCODER_OK || state > FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR) {
        return "FLAC__STREAM_ENCODER_UNKNOWN_STATE";
    }
    return FLAC__StreamEncoderStateString[state];
}

const char* flacDecoderErrorStatusName(FLAC__StreamDecoderErrorStatus status) noexcept {
    if (status < FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC || status > FLAC__STREAM_DECODER_ERROR_STATUS_BAD_METADATA) {
        return "FLAC__STREAM_DECODER_ERROR_STATUS_UNKNOWN";
    }
    return FLAC__StreamDecoderErrorStatusString[status];
}

bool flacStreamableSubsetFor(uint32_t sampleRate) noexcept {
    return FLAC__format_sample_rate_is_subset(sampleRate) != 0;
}

Result<std::vector<uint8_t>> decodeFlacBody(ByteView body, const DecodeParams& params) {
    return decodeFlacPayload(body, params.bits, params.channels, static_cast<int32_t>(params.sample_rate),
                             params.frames, params.cancel);
}

Result<std::vector<uint8_t>> decodeFlacPayload(ByteView body, int32_t bits, int32_t channels, int32_t sampleRate,
                                               uint64_t frames, const std::function<bool()>* cancel) {
    if (bits != 16 && bits != 24) {
        return fail(ErrorCode::FlacError,
                    "codec-1 decode supports 16/24-bit (head declares " + to_string(bits) + ")");
    }
    if (channels < 1 || channels > kMaxPayloadChannels || frames > kMaxPayloadFrames) {
        return fail(ErrorCode::FlacError, "codec-1 decode geometry out of range");
    }
    std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder(FLAC__stream_decoder_new());
    if (!decoder) return fail(ErrorCode::FlacError, "FLAC__stream_decoder_new failed");

    FlacDecodeState state;
    state.body = body;
    state.bits = bits;
    state.channels = channels;
    state.sampleRate = sampleRate;
    state.frames = frames;
    state.cancel = cancel;
    const uint64_t plain = frames * static_cast<uint64_t>(channels) * static_cast<uint64_t>(bits / 8);
    state.output.reserve(static_cast<size_t>(std::min(plain, uint64_t{body.size()} * kMaxExpansion)));

    const FLAC__StreamDecoderInitStatus init =
        FLAC__stream_decoder_init_stream(decoder.get(), decodeRead, decodeSeek, decodeTell, decodeLength, decodeEof,
                                         decodeWrite, decodeMetadata, decodeError, &state);
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return fail(ErrorCode::FlacError, std::string("FLAC decoder init failed (state ") +
                                              flacDecoderStateName(FLAC__stream_decoder_get_state(decoder.get())) +
                                              ")");
    }
    const bool processed = FLAC__stream_decoder_process_until_end_of_stream(decoder.get()) != 0;
    const std::string stateName = flacDecoderStateName(FLAC__stream_decoder_get_state(decoder.get()));
    decoder.reset();

    if (state.failed) return fail(state.code, std::move(state.message));
    if (!state.streamInfoSeen) return fail(ErrorCode::FlacError, "FLAC stream carries no STREAMINFO");
    if (!processed) return fail(ErrorCode::FlacError, "FLAC decode failed (state " + stateName + ")");
    if (state.framesDecoded != frames) {
        return fail(ErrorCode::PlainBytesMismatch, "FLAC stream decoded " + to_string(state.framesDecoded) +
                                                       " frames; the PCMA head declares " + to_string(frames));
    }
    return std::move(state.output);
}

Result<Unit> checkFlacEncodeInput(ByteView pcm, int32_t bits, int32_t channels, int32_t sampleRate,
                                  uint64_t frames) {
    if (bits == 32) {
        return fail(ErrorCode::FlacError, "32-bit float is ALWAYS codec 0 (raw packed PCM) \u2014 the FLAC encoder "
                                          "refuses it (plan \u00a76.4 container law 1)");
    }
    if (bits != 16 && bits != 24) {
        return fail(ErrorCode::FlacError,
                    "FLAC encode supports 16/24-bit packed PCM (asked for " + to_string(bits) + ")");
    }
    if (channels < 1 || channels > kMaxPayloadChannels) {
        return fail(ErrorCode::FlacError, "FLAC encode channels=" + to_string(channels) + "; the limit is " +
                                              to_string(kMaxPayloadChannels));
    }
    if (sampleRate < 1 || static_cast<uint32_t>(sampleRate) > kMaxPayloadSampleRate) {
        return fail(ErrorCode::FlacError, "FLAC encode sample_rate=" + to_string(sampleRate) + "; the limit is " +
                                              to_string(kMaxPayloadSampleRate));
    }
    if (frames > kMaxPayloadFrames) {
        return fail(ErrorCode::FlacError, "FLAC encode frames=" + to_string(frames) + "; the per-payload limit is " +
                                              to_string(kMaxPayloadFrames));
    }
    const uint64_t product = frames * static_cast<uint64_t>(channels) * static_cast<uint64_t>(bits / 8);
    if (pcm.size() != product) {
        return fail(ErrorCode::FlacError, "FLAC encode packed byte count " + to_string(pcm.size()) +
                                              " != frames*channels*bits/8 = " + to_string(product));
    }
    return {};
}

Result<std::vector<uint8_t>> encodeFlacPayload(ByteView pcm, int32_t bits, int32_t channels, int32_t sampleRate,
                                               uint64_t frames) {
    ZEM_TRY(checkFlacEncodeInput(pcm, bits, channels, sampleRate, frames));

    // Declared before the encoder, so the encoder (which points at it) goes first.
    std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter> seekTable;
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder(FLAC__stream_encoder_new());
    if (!encoder) return fail(ErrorCode::FlacError, "FLAC__stream_encoder_new failed");

    if (frames > 0) {
        // One point per block, so a reader reaches any frame with one seek;
        // libFLAC fills in offsets and sizes while encoding.
        const uint64_t points = (frames + kFlacBlockSize - 1) / kFlacBlockSize;
        seekTable.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
        if (!seekTable ||
            !FLAC__metadata_object_seektable_resize_points(seekTable.get(), static_cast<uint32_t>(points))) {
            return fail(ErrorCode::FlacError, "FLAC seektable allocation failed");
        }
        FLAC__StreamMetadata_SeekPoint* p = seekTable->data.seek_table.points;
        for (uint64_t i = 0; i < points; ++i) {
            p[i].sample_number = i * kFlacBlockSize;
            p[i].stream_offset = 0;
            p[i].frame_samples = 0;
        }
        if (!FLAC__metadata_object_seektable_template_sort(seekTable.get(), /*compact=*/false) ||
            !FLAC__format_seektable_is_legal(&seekTable->data.seek_table)) {
            return fail(ErrorCode::SeektableInvalid, "seektable template failed FLAC__format_seektable_is_legal");
        }
    }

    FLAC__StreamEncoder* e = encoder.get();
    FLAC__StreamMetadata* metadata[1] = {seekTable.get()};
    const bool configured =
        FLAC__stream_encoder_set_streamable_subset(e, flacStreamableSubsetFor(static_cast<uint32_t>(sampleRate))) &&
        FLAC__stream_encoder_set_channels(e, static_cast<uint32_t>(channels)) &&
        FLAC__stream_encoder_set_bits_per_sample(e, static_cast<uint32_t>(bits)) &&
        FLAC__stream_encoder_set_sample_rate(e, static_cast<uint32_t>(sampleRate)) &&
        FLAC__stream_encoder_set_blocksize(e, kFlacBlockSize) && FLAC__stream_encoder_set_compression_level(e, 5) &&
        FLAC__stream_encoder_set_total_samples_estimate(e, std::min(frames, kMaxTotalSamplesEstimate)) &&
        (!seekTable || FLAC__stream_encoder_set_metadata(e, metadata, 1));
    if (!configured) {
        return fail(ErrorCode::FlacError, "FLAC encoder configuration refused (state " + encoderStateText(e) + ")");
    }

    FlacEncodeSink sink;
    sink.output.reserve(static_cast<size_t>(encodedSizeBound(pcm.size(), frames, channels)));
    if (FLAC__stream_encoder_init_stream(e, encodeWrite, encodeSeek, encodeTell, nullptr, &sink) !=
        FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        return fail(ErrorCode::FlacError, "FLAC encoder init failed (state " + encoderStateText(e) + ")");
    }

    const size_t width = static_cast<size_t>(bits) / 8;
    const size_t frameBytes = width * static_cast<size_t>(channels);
    std::vector<FLAC__int32> chunk(size_t{kEncodeChunkFrames} * static_cast<size_t>(channels));
    bool ok = true;
    for (uint64_t done = 0; ok && done < frames;) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(kEncodeChunkFrames, frames - done));
        const uint8_t* src = pcm.data() + done * frameBytes;
        const size_t samples = size_t{count} * static_cast<size_t>(channels);
        for (size_t i = 0; i < samples; ++i, src += width) {
            if (width == 2) {
                chunk[i] = static_cast<int16_t>(loadLe16(src));
            } else {
                // Three bytes into the top of 32 bits, then an arithmetic shift sign-extends.
                const auto top = static_cast<int32_t>((uint32_t{src[0]} << 8) | (uint32_t{src[1]} << 16) |
                                                      (uint32_t{src[2]} << 24));
                chunk[i] = top >> 8;
            }
        }
        ok = FLAC__stream_encoder_process_interleaved(e, chunk.data(), count) != 0;
        done += count;
    }
    // Finishing rewrites STREAMINFO and the filled-in seek table through the
    // seek callback.
    const bool finished = FLAC__stream_encoder_finish(e) != 0;
    const std::string stateName = encoderStateText(e);
    encoder.reset();
    if (!ok || !finished) return fail(ErrorCode::FlacError, "FLAC encode failed (state " + stateName + ")");
    return std::move(sink.output);
}

} // namespace vt6::fmt
