#pragma once
// Codec 1: a payload body that is one complete FLAC stream. Decoding insists
// that the stream agrees exactly with the payload's head; encoding uses fixed
// settings (block size 4096, level 5) and a seek table with one point per
// block, so the stream cursor reaches any frame with one seek.
//
// Only 16- and 24-bit integer PCM is ever FLAC-coded; float stays codec 0.
// Every call keeps its state to itself, so calls may run on many threads.

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "audio/codec.hpp"
#include "format/bytes.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// The codec-table entry for codec 1.
Result<std::vector<uint8_t>> decodeFlacBody(ByteView body, const DecodeParams& params);

// Whole body to plain packed PCM (2 or 3 bytes per sample, little-endian,
// interleaved), checked against the head's geometry and frame count.
// `cancel` (when set) is asked before every FLAC frame; true stops the
// decode with ReadIo and kDecodeCancelledText.
Result<std::vector<uint8_t>> decodeFlacPayload(ByteView body, int32_t bits, int32_t channels,
                                               int32_t sampleRate, uint64_t frames,
                                               const std::function<bool()>* cancel = nullptr);

// Plain packed 16- or 24-bit PCM to a FLAC stream ready to be a codec-1 body.
Result<std::vector<uint8_t>> encodeFlacPayload(ByteView pcm, int32_t bits, int32_t channels,
                                               int32_t sampleRate, uint64_t frames);

// The encoder's input laws, first broken law reported.
Result<Unit> checkFlacEncodeInput(ByteView pcm, int32_t bits, int32_t channels, int32_t sampleRate,
                                  uint64_t frames);

// Whether the encoder keeps the streamable subset on for this rate. The subset
// cannot describe some rates (above 65535 Hz and not a multiple of 10, or
// beyond what a frame header can carry); for those alone it is turned off, so
// such samples can still be stored. Decoding reads both kinds.
bool flacStreamableSubsetFor(uint32_t sampleRate) noexcept;

// libFLAC's names for its states and error statuses, as used in messages.
const char* flacDecoderStateName(FLAC__StreamDecoderState state) noexcept;
const char* flacEncoderStateName(FLAC__StreamEncoderState state) noexcept;
const char* flacDecoderErrorStatusName(FLAC__StreamDecoderErrorStatus status) noexcept;

} // namespace vt6::fmt
