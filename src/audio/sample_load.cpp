#include "audio/sample_load.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#include "audio/codec.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "audio/sample_source.hpp"
#include "format/framing.hpp"
#include "format/read_policy.hpp"
#include "platform/file.hpp"

namespace vt6::fmt {

namespace {

const char* const kBudgetText = "complete source audio exceeds the editing budget";
const char* const kIncompleteText = "incomplete source audio";
const char* const kTailMismatchText = "source tail geometry mismatch";
const char* const kNoSampleText = "zem has no such sample";
const char* const kEmptyText = "empty preview decode";

using platform::FileGuard;

bool isDirectRow(const Zem6Model& model, const SmplEntry& row) {
    if (!row.layer || model.metadata.layers.empty()) return true;
    return std::none_of(model.metadata.layers.begin(), model.metadata.layers.end(), [&](const LayerDef& layer) {
        return layer.id == *row.layer && layer.slot && *layer.slot >= 1 && *layer.slot <= 3;
    });
}

std::optional<size_t> chooseRow(const Zem6Model& model, const SampleSelector& selector) {
    const std::vector<SmplEntry>& rows = model.samples;
    if (selector.position >= 1) {
        const auto index = static_cast<size_t>(selector.position - 1);
        if (index < rows.size()) return index;
        return std::nullopt;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const SmplEntry& row = rows[i];
        if (row.muted && *row.muted) continue;
        const bool matches = selector.key >= 0
                                 ? row.articulation.value_or(0) == static_cast<uint64_t>(selector.key)
                                 : isDirectRow(model, row);
        if (matches) return i;
    }
    return std::nullopt;
}

// One payload decoded, with the reason when it cannot be: a memory failure
// must reach the caller as such, not as an unreadable payload.
Result<DecodedPayload> decodeStoredPayload(const Zem6File& file, uint32_t tag, uint64_t uid,
                                           const std::function<bool()>* cancel = nullptr) {
    const ChunkRecord* record = file.findEntry(tag, uid);
    if (record == nullptr) return fail(ErrorCode::ModelInvalid, "no such payload");
    ZEM_TRY_ASSIGN(const Bytes payload, file.readChunk(*record));
    if (payload.size() < kPcmaHeadBytes) return fail(ErrorCode::ChunkTruncated, "payload shorter than its head");
    ZEM_TRY_ASSIGN(const PcmaHead head, parsePcmaHead(payload));
    DecodeParams params;
    params.bits = head.bits;
    params.channels = head.channels;
    params.sample_rate = head.sample_rate;
    params.frames = head.frames;
    params.plain_bytes = head.plain_bytes;
    params.cancel = cancel;
    ZEM_TRY_ASSIGN(std::vector<uint8_t> plain,
                   decodePayloadBody(head.codec, ByteView(payload).subspan(kPcmaHeadBytes), params));
    return DecodedPayload{head, std::move(plain)};
}

// An optional payload that keeps a memory failure apart from the others.
Result<std::optional<DecodedPayload>> fetchOrNothing(const Zem6File& file, uint32_t tag, uint64_t uid,
                                                     const std::function<bool()>* cancel) {
    Result<DecodedPayload> decoded = decodeStoredPayload(file, tag, uid, cancel);
    if (decoded.ok()) return std::optional<DecodedPayload>(std::move(decoded).value());
    if (decoded.code() == ErrorCode::AllocationFailed) return decoded.takeError();
    return std::optional<DecodedPayload>();
}

// The 64-byte head of one payload, read without touching its body.
Result<PcmaHead> readDeclaredHead(const Zem6File& file, const ChunkRecord& record) {
    ZEM_TRY_ASSIGN(const ChunkPayloadView view, file.readChunkHeader(record));
    std::array<uint8_t, kPcmaHeadBytes> head{};
    ZEM_TRY_ASSIGN(const uint32_t got, Zem6File::readPayloadRange(view, 0, head));
    if (got < kPcmaHeadBytes) return fail(ErrorCode::ChunkTruncated, "source audio header truncated");
    return parsePcmaHead(head);
}

// Frames [start, start + budget-limited count) of sample `index`, read in
// blocks through a sample source over the already open file. The source
// checks and decodes this sample alone: its cost does not grow with the
// library, and damage in another sample does not block this one.
Result<SampleAudio> readRegion(Zem6File file, size_t index, std::optional<uint64_t> start,
                               std::optional<uint64_t> end, uint64_t budget) {
    ZEM_TRY_ASSIGN(std::unique_ptr<Zem6SampleSource> source,
                   Zem6SampleSource::openSample(std::move(file), static_cast<uint32_t>(index)));
    const auto sample = static_cast<uint32_t>(index);
    const bool inRange = index < source->rows().size();
    const uint64_t frames = inRange ? source->frameCount(sample) : 0;
    const uint64_t channels = inRange ? source->channelCount(sample) : 0;
    const uint64_t bits = inRange ? source->rows()[index].bits : 0;
    const uint64_t rate = inRange ? source->rows()[index].sampleRate : 0;
    const uint64_t s = start.value_or(0);
    const uint64_t e = end.value_or(frames);
    if (!(s < e) || e > frames || channels == 0) return fail(ErrorCode::ModelInvalid, "invalid sample playback bounds");
    const uint64_t frameBytes = (bits / 8) * channels;
    if (frameBytes == 0) return fail(ErrorCode::ModelInvalid, "invalid sample geometry");
    // Longer regions are cut to whole frames within the budget.
    const uint64_t n = std::min(budget / frameBytes, e - s);
    if (n == 0) return fail(ErrorCode::ChunkReadPolicyBytes, kBudgetText);

    SampleAudio out;
    out.channels = static_cast<int32_t>(channels);
    out.sampleRate = static_cast<int32_t>(rate);
    out.samples.assign(static_cast<size_t>(n * channels), 0.0f);
    std::vector<std::vector<float>> buffers(static_cast<size_t>(channels), std::vector<float>(kRegionReadBlockFrames));
    std::vector<float*> pointers;
    for (std::vector<float>& b : buffers) pointers.push_back(b.data());
    uint64_t done = 0;
    while (done < n) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(n - done, kRegionReadBlockFrames));
        const stream::TailReadResult got = source->read(sample, s + done, want, pointers);
        if (got.status != stream::kTailReadDone || got.frames == 0)
            return fail(ErrorCode::ReadIo, "cannot read sample playback region");
        const uint64_t delivered = std::min<uint64_t>(got.frames, n - done);
        for (uint64_t k = 0; k < delivered; ++k)
            for (uint64_t ch = 0; ch < channels; ++ch)
                out.samples[static_cast<size_t>((done + k) * channels + ch)] = buffers[ch][k];
        done += delivered;
    }
    return out;
}

// The sample at row `index` of an open file. Only the playback-region mode
// may take the file over (its region is read through a sample source).
// `cancel` (when set) is asked between the steps and between FLAC frames.
Result<SampleAudio> loadRow(Zem6File& file, size_t index, uint64_t budget, SampleLoadMode mode,
                            const std::function<bool()>& cancel = {}) {
    const SmplEntry row = file.model.samples[index];
    const bool complete = mode == SampleLoadMode::CompleteSource;
    const std::function<bool()>* asked = cancel ? &cancel : nullptr;
    const auto cancelled = [&] { return cancel && cancel(); };

    if (!complete && (row.playback_start || row.playback_end))
        return readRegion(std::move(file), index, row.playback_start, row.playback_end, budget);

    // The declared sizes, from the 64-byte heads alone, before any decoding.
    const ChunkRecord* audi = file.findEntry(kTagAUDI, row.audi_uid);
    const ChunkRecord* audt = row.audt_uid ? file.findEntry(kTagAUDT, *row.audt_uid) : nullptr;
    std::optional<PcmaHead> declaredHead;
    std::optional<PcmaHead> declaredTail;
    if (complete) {
        uint64_t declared = 0;
        auto declare = [&](const ChunkRecord* record, std::optional<PcmaHead>& slot) -> Result<Unit> {
            if (record == nullptr) return fail(ErrorCode::ModelInvalid, kIncompleteText);
            ZEM_TRY_ASSIGN(const PcmaHead head, readDeclaredHead(file, *record));
            if (head.plain_bytes > budget - declared) return fail(ErrorCode::ChunkReadPolicyBytes, kBudgetText);
            declared += head.plain_bytes;
            slot = head;
            return Unit{};
        };
        ZEM_TRY(declare(audi, declaredHead));
        if (row.audt_uid) ZEM_TRY(declare(audt, declaredTail));
    } else {
        if (audi == nullptr) return fail(ErrorCode::ModelInvalid, "AUDI payload unreadable");
        Result<PcmaHead> head = readDeclaredHead(file, *audi);
        if (!head.ok()) return fail(ErrorCode::ModelInvalid, "AUDI payload unreadable");
        declaredHead = *head;
        if (audt != nullptr) {
            Result<PcmaHead> tail = readDeclaredHead(file, *audt);
            // A tail of other geometry is ignored here, so it does not count.
            if (tail.ok() && tail->bits == head->bits && tail->channels == head->channels) declaredTail = *tail;
        }
        const uint64_t tailBytes = declaredTail ? declaredTail->plain_bytes : 0;
        if (head->plain_bytes > budget || tailBytes > budget - head->plain_bytes) {
            // Too much to decode whole: read the leading frames that fit, in
            // blocks, through the sample source.
            return readRegion(std::move(file), index, std::nullopt, std::nullopt, budget);
        }
    }

    if (cancelled()) return fail(ErrorCode::ReadIo, kSampleReadCancelledText);
    ZEM_TRY_ASSIGN(std::optional<DecodedPayload> head, fetchOrNothing(file, kTagAUDI, row.audi_uid, asked));
    if (cancelled()) return fail(ErrorCode::ReadIo, kSampleReadCancelledText);
    if (!head || head->head.plain_bytes != declaredHead->plain_bytes)
        return fail(ErrorCode::ModelInvalid, "AUDI payload unreadable");
    const PcmaHead geometry = head->head;
    std::vector<uint8_t> buffer = std::move(head->plain);
    head.reset();
    if (buffer.size() > budget) return fail(ErrorCode::ChunkReadPolicyBytes, kBudgetText);

    if (row.audt_uid && buffer.size() < budget && (complete || declaredTail)) {
        ZEM_TRY_ASSIGN(std::optional<DecodedPayload> tail, fetchOrNothing(file, kTagAUDT, *row.audt_uid, asked));
        if (cancelled()) return fail(ErrorCode::ReadIo, kSampleReadCancelledText);
        if (tail && tail->head.plain_bytes > budget - buffer.size()) tail.reset();  // changed since its head was read
        if (tail && tail->head.bits == geometry.bits && tail->head.channels == geometry.channels) {
            if (complete && (tail->head.sample_rate != geometry.sample_rate || tail->head.first_frame != geometry.frames))
                return fail(ErrorCode::ModelInvalid, kTailMismatchText);
            buffer.insert(buffer.end(), tail->plain.begin(), tail->plain.end());
        } else if (tail) {
            if (complete) return fail(ErrorCode::ModelInvalid, kTailMismatchText);
        } else if (complete) {
            return fail(ErrorCode::ReadIo, "complete source tail is unreadable");
        }
    }

    const uint64_t frameBytes = uint64_t{geometry.bits / 8u} * geometry.channels;
    if (complete) {
        if (buffer.size() > budget) return fail(ErrorCode::ChunkReadPolicyBytes, kBudgetText);
        const uint64_t declared = declaredHead->plain_bytes + (declaredTail ? declaredTail->plain_bytes : 0);
        if (frameBytes == 0 || (row.frames && buffer.size() / frameBytes != *row.frames) || buffer.size() != declared)
            return fail(ErrorCode::ModelInvalid, kIncompleteText);
    } else if (buffer.size() > budget && frameBytes != 0) {
        buffer.resize(static_cast<size_t>(budget / frameBytes * frameBytes));
    }

    SampleAudio out;
    out.samples = pcmBytesToFloats(buffer, geometry.bits);
    out.channels = geometry.channels;
    out.sampleRate = static_cast<int32_t>(geometry.sample_rate);
    // A sample may hold no frames; read whole (to be saved) it is that empty
    // audio, while a preview of nothing has nothing to play.
    if (out.channels <= 0 || (out.samples.empty() && !complete)) return fail(ErrorCode::ModelInvalid, kEmptyText);
    return out;
}

Result<SampleAudio> loadCurrent(const std::string& path, const SampleSelector& selector, uint64_t budget,
                                SampleLoadMode mode) {
    registerFlacPayloadCodec();
    ZEM_TRY_ASSIGN(Zem6File file, openZem6File(path, ReadPolicy{}));
    const std::optional<size_t> chosen = chooseRow(file.model, selector);
    if (!chosen) return fail(ErrorCode::ModelInvalid, kNoSampleText);
    return loadRow(file, *chosen, budget, mode);
}

Result<SampleAudio> loadLegacy(const std::string& path, const SampleSelector& selector, uint64_t budget,
                               SampleLoadMode mode) {
    // FLAC samples of 4.0 files need the decoder to be heard or edited at all.
    const zem::Zem4BlobDecoder decoder = makeZem4FlacBlobDecoder();
    zem::LegacyReadOptions options;
    options.measurePeaks = false;
    options.blobDecoder = &decoder;
    zem::LegacyReadResult read = zem::readLegacyFile(path, options);
    if (!read.file) return fail(ErrorCode::ModelInvalid, std::move(read.error));
    const zem::LegacyFile& legacy = *read.file;

    const auto count = static_cast<size_t>(std::max(legacy.sampleCount, 0));
    std::optional<size_t> index;
    if (selector.position >= 1) {
        if (static_cast<size_t>(selector.position) <= count) index = static_cast<size_t>(selector.position - 1);
    } else if (count >= 1) {
        index = 0;
        for (size_t i = 0; i < count; ++i) {
            if (legacy.excluded[i] != 0) continue;
            const bool matches = selector.key >= 0 ? legacy.articulation[i] == selector.key : legacy.room[i] == 0;
            if (matches) {
                index = i;
                break;
            }
        }
    }
    if (!index) return fail(ErrorCode::ModelInvalid, kNoSampleText);

    const uint64_t channels = legacy.stereo[*index] != 0 ? 2 : 1;
    const uint64_t frameBytes = channels * (legacy.bits[*index] / 8u);
    if (mode == SampleLoadMode::CompleteSource && legacy.decodedBytes[*index] > budget)
        return fail(ErrorCode::ChunkReadPolicyBytes, kBudgetText);

    zem::LegacySampleAudio audio;
    {
        const FileGuard file(platform::openFileUtf8(path));
        if (file.fd() < 0) return fail(ErrorCode::ReadIo, "cannot open '" + path + "'");
        // The reader's laws keep one sample within 2^26 values, so reading it
        // whole stays bounded even when the region below is cut.
        audio = zem::readLegacySampleAudio(file.fd(), legacy, *index, &decoder);
    }
    if (!audio.error.empty()) return fail(ErrorCode::ModelInvalid, std::move(audio.error));

    SampleAudio out;
    out.channels = static_cast<int32_t>(audio.channelSamples.size());
    out.sampleRate = legacy.sampleRate[*index] < 1 ? 44100 : legacy.sampleRate[*index];
    if (out.channels > 0) {
        uint64_t frames = audio.channelSamples[0].size();
        if (frameBytes != 0) frames = std::min(frames, budget / frameBytes);
        const auto c = static_cast<size_t>(out.channels);
        out.samples.resize(static_cast<size_t>(frames) * c);
        for (size_t ch = 0; ch < c; ++ch) {
            const std::vector<float>& values = audio.channelSamples[ch];
            const size_t have = std::min<size_t>(values.size(), static_cast<size_t>(frames));
            for (size_t f = 0; f < have; ++f) out.samples[f * c + ch] = values[f];
        }
    }
    if (out.channels <= 0 || (out.samples.empty() && mode != SampleLoadMode::CompleteSource))
        return fail(ErrorCode::ModelInvalid, kEmptyText);
    return out;
}

} // namespace

bool probeHeader(const std::string& path) {
    const FileGuard file(platform::openFileUtf8(path));
    if (file.fd() < 0) return false;
    std::array<uint8_t, 64> head{};
    const platform::ReadOutcome got = platform::readAt(file.fd(), head.data(), head.size(), 0);
    if (got.bytesRead != head.size()) return false;
    return std::memcmp(head.data(), kSuperblockMagic.data(), kSuperblockMagic.size()) == 0;
}

std::optional<DecodedPayload> fetchDecodedPayload(const Zem6File& file, uint32_t tag, uint64_t uid) {
    Result<DecodedPayload> decoded = decodeStoredPayload(file, tag, uid, nullptr);
    if (!decoded.ok()) return std::nullopt;
    return std::move(decoded).value();
}

Result<SampleAudio> loadSampleForEdit(const std::string& path, const SampleSelector& selector, uint64_t byteBudget,
                                      SampleLoadMode mode) {
    const uint64_t budget = std::min(byteBudget, kEditingBudgetBytes);
    try {
        if (probeHeader(path)) return loadCurrent(path, selector, budget, mode);
        return loadLegacy(path, selector, budget, mode);
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to load the sample's audio");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "the sample's audio exceeds this machine's limits");
    }
}

Result<SampleAudio> loadCompleteSourceRow(Zem6File& file, size_t row, uint64_t byteBudget,
                                          const std::function<bool()>& cancel) {
    try {
        registerFlacPayloadCodec();
        if (row >= file.model.samples.size()) return fail(ErrorCode::ModelInvalid, kNoSampleText);
        return loadRow(file, row, std::min(byteBudget, kEditingBudgetBytes), SampleLoadMode::CompleteSource, cancel);
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to load the sample's audio");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "the sample's audio exceeds this machine's limits");
    }
}

} // namespace vt6::fmt
