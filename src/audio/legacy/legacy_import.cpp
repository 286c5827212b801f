#include "audio/legacy/legacy_import.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <utility>

#include <sodium.h>

#include "audio/codec.hpp"
#include "audio/flac_codec.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/sample_ext.hpp"
#include "platform/cpu.hpp"
#include "platform/file.hpp"

namespace vt6::zem {

namespace {

using fmt::ErrorCode;
using fmt::fail;
using std::to_string;

const std::string kDash = "\u2014";

using platform::FileGuard;

// Everything below reads the file through positioned reads on one
// descriptor, so the conversion's threads share no file position.

// The file hash and the legacy header bytes, from one pass over the file in
// blocks; the file is never held whole.
constexpr size_t kHashBlockBytes = size_t{1} << 20;

fmt::Result<fmt::Unit> hashWholeFile(int fd, const std::string& path, uint64_t size, uint64_t headerBytes,
                                     fmt::Digest128& hash, fmt::Bytes& header) {
    if (sodium_init() < 0) return fail(ErrorCode::ReadIo, "cannot hash '" + path + "'");
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash.size());
    header.clear();
    header.reserve(static_cast<size_t>(headerBytes));
    const auto block = std::make_unique_for_overwrite<uint8_t[]>(kHashBlockBytes);
    for (uint64_t done = 0; done < size;) {
        const auto want = static_cast<size_t>(std::min<uint64_t>(kHashBlockBytes, size - done));
        const platform::ReadOutcome got = platform::readAt(fd, block.get(), want, done);
        if (got.bytesRead != want) return fail(ErrorCode::ReadIo, "I/O error reading '" + path + "'");
        crypto_generichash_update(&state, block.get(), want);
        if (done < headerBytes) {
            const auto keep = static_cast<size_t>(std::min<uint64_t>(want, headerBytes - done));
            header.insert(header.end(), block.get(), block.get() + keep);
        }
        done += want;
    }
    crypto_generichash_final(&state, hash.data(), hash.size());
    return fmt::Unit{};
}

// Frames, channels, bits and rate of sample i as the record declares them,
// with no audio yet.
LegacyPcm sampleShape(const LegacyFile& legacy, size_t i) {
    LegacyPcm pcm;
    pcm.channels = legacy.stereo[i] != 0 ? 2 : 1;
    pcm.bits = legacy.bits[i];
    pcm.rate = legacy.sampleRate[i] < 1 ? 44100u : static_cast<uint32_t>(legacy.sampleRate[i]);
    pcm.frames = static_cast<uint64_t>(std::max(legacy.length[i], 0)) / pcm.channels;
    return pcm;
}

uint64_t wholeBytes(const LegacyPcm& shape) { return shape.frames * (shape.bits / 8) * shape.channels; }

// The shape of sample i as far as the file holds it: a raw payload cut off by
// the end of the file keeps only its whole frames that are there, so no
// silence is made up at its declared length (a header can declare 2 GiB that
// a file of a few kilobytes never held).
LegacyPcm heldShape(const LegacyFile& legacy, size_t i) {
    LegacyPcm pcm = sampleShape(legacy, i);
    if (legacy.codec[i] != 0) return pcm;
    const uint64_t frameBytes = uint64_t{pcm.channels} * (pcm.bits / 8);
    const uint64_t offset = legacy.payloadOffset[i];
    const uint64_t held = offset < legacy.fileSize ? legacy.fileSize - offset : 0;
    if (frameBytes != 0) pcm.frames = std::min(pcm.frames, held / frameBytes);
    return pcm;
}

// Packed PCM of one legacy sample, whole frames only.
fmt::Result<LegacyPcm> sampleAudio(const LegacyFile& legacy, size_t i, int fd, uint64_t fileBytes,
                                   const std::string& path, const Zem4BlobDecoder& decoder) {
    const uint64_t n = i + 1;
    LegacyPcm pcm = heldShape(legacy, i);
    const uint64_t values = static_cast<uint64_t>(std::max(legacy.length[i], 0));
    const uint64_t whole = wholeBytes(pcm);
    const uint64_t offset = legacy.payloadOffset[i];
    const uint64_t stored = legacy.payloadBytes[i];
    const std::string readError = "I/O error reading '" + path + "'";
    if (legacy.codec[i] == 1) {
        if (offset > fileBytes || stored > fileBytes - offset)
            return fail(ErrorCode::ReadIo, "sample " + to_string(n) + ": v4 payload spans past EOF");
        // Read into storage that is not cleared first: every byte is overwritten.
        const auto bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(std::max<uint64_t>(stored, 1)));
        const platform::ReadOutcome got = platform::readAt(fd, bytes.get(), static_cast<size_t>(stored), offset);
        if (got.bytesRead != stored) return fail(ErrorCode::ReadIo, readError);
        Zem4Blob blob;
        blob.bytes = std::span<const uint8_t>(bytes.get(), static_cast<size_t>(stored));
        blob.bits = static_cast<int32_t>(pcm.bits);
        blob.channels = static_cast<int32_t>(pcm.channels);
        blob.sampleRate = static_cast<int32_t>(pcm.rate);
        blob.length = static_cast<int64_t>(values);
        blob.storedCrc = legacy.payloadCrc[i];
        blob.sampleNumber = static_cast<int32_t>(n);
        Zem4DecodeOut decoded = decoder(blob);
        if (!decoded.error.empty()) return fail(ErrorCode::FlacError, std::move(decoded.error));
        if (decoded.pcm.size() != legacy.decodedBytes[i])
            return fail(ErrorCode::PlainBytesMismatch, "sample " + to_string(n) + ": v4 decode produced " +
                                                           to_string(decoded.pcm.size()) + " bytes, expected " +
                                                           to_string(legacy.decodedBytes[i]));
        decoded.pcm.resize(static_cast<size_t>(whole));
        pcm.pcm = std::move(decoded.pcm);
        return pcm;
    }

    // Raw: a cut-off 3.x payload keeps the whole frames the file holds.
    pcm.pcm.assign(static_cast<size_t>(whole), 0);
    const uint64_t copy = offset < fileBytes ? std::min(whole, fileBytes - offset) : 0;
    if (copy > 0) {
        const platform::ReadOutcome got = platform::readAt(fd, pcm.pcm.data(), static_cast<size_t>(copy), offset);
        if (got.bytesRead != copy) return fail(ErrorCode::ReadIo, readError);
    }
    if (legacy.version == kLegacyVersionV40) {
        // The 4.0 reader refuses a payload region beyond the file. The stored
        // bytes may run past the whole frames (a dropped trailing value).
        const uint64_t begin = std::min(offset, fileBytes);
        const uint64_t end = std::min(offset + stored, fileBytes);
        const uint64_t inPcm = std::min(end - begin, copy);
        uint32_t state = crc32IeeeUpdate(kCrc32IeeeInit, std::span<const uint8_t>(pcm.pcm.data(), static_cast<size_t>(inPcm)));
        if (end - begin > inPcm) {
            std::vector<uint8_t> rest(static_cast<size_t>(end - begin - inPcm));
            const platform::ReadOutcome got = platform::readAt(fd, rest.data(), rest.size(), begin + inPcm);
            if (got.bytesRead != rest.size()) return fail(ErrorCode::ReadIo, readError);
            state = crc32IeeeUpdate(state, rest);
        }
        const uint32_t computed = state ^ kCrc32IeeeInit;
        if (computed != legacy.payloadCrc[i]) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "sample %d: v4 codec-0 payload CRC-32/IEEE mismatch (stored 0x%08X, computed 0x%08X)",
                          static_cast<int>(n), static_cast<unsigned>(legacy.payloadCrc[i]),
                          static_cast<unsigned>(computed));
            return fail(ErrorCode::ChunkCrcMismatch, text);
        }
    }
    return pcm;
}

bool sameLevel(float a, float b) noexcept { return a == b || (std::isnan(a) && std::isnan(b)); }

// Ascending, NaN last: a strict weak order over every float.
bool levelBefore(float a, float b) noexcept {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

std::vector<fmt::HistogramEntry> histogram(const std::vector<fmt::SmplEntry>& rows,
                                           std::optional<uint64_t> fmt::SmplEntry::*field) {
    std::map<uint64_t, uint64_t> counts;
    for (const fmt::SmplEntry& row : rows) ++counts[(row.*field).value_or(0)];
    std::vector<fmt::HistogramEntry> out;
    for (const auto& [value, count] : counts) out.push_back({value, count});
    return out;
}

std::vector<uint64_t> distinct(const std::vector<fmt::SmplEntry>& rows, std::optional<uint64_t> fmt::SmplEntry::*field) {
    std::set<uint64_t> values;
    for (const fmt::SmplEntry& row : rows) values.insert((row.*field).value_or(0));
    return {values.begin(), values.end()};
}

struct PointAccumulator {
    float min = 0.0f;
    float max = 0.0f;
    bool set = false;

    void fold(float lo, float hi) noexcept {
        if (!set) {
            min = lo;
            max = hi;
            set = true;
            return;
        }
        min = std::min(min, lo);
        max = std::max(max, hi);
    }
};

std::string signedText(int64_t v) { return to_string(v); }

// The summary outline points that sample frames [before, before + frames)
// of `total` land in, folded per point. Partial outlines are merged in
// sample order, which gives the folds of one pass over every frame.
struct OutlineShare {
    size_t first = 0;
    std::vector<PointAccumulator> points;
};

OutlineShare outlineShare(uint64_t before, uint64_t frames, uint64_t total) {
    OutlineShare share;
    if (frames == 0 || total == 0) return share;
    share.first = static_cast<size_t>(before * kSummaryThumbnailPairs / total);
    const auto last = static_cast<size_t>((before + frames - 1) * kSummaryThumbnailPairs / total);
    share.points.resize(last - share.first + 1);
    return share;
}

// One sample's PEAK row (kImportPeakPoints pairs) and its outline share.
void measureSamplePeaks(const LegacyPcm& a, uint8_t* row, uint64_t before, uint64_t total, OutlineShare& outline) {
    const uint64_t frames = a.frames;
    const uint64_t channels = a.channels;
    const uint64_t width = a.bits / 8;
    std::array<PointAccumulator, kImportPeakPoints> points{};
    constexpr uint64_t kBlockFrames = 4096;
    std::vector<float> block;
    if (frames > 0 && channels > 0) block.resize(static_cast<size_t>(kBlockFrames * channels));
    for (uint64_t first = 0; frames > 0 && channels > 0 && first < frames; first += kBlockFrames) {
        const uint64_t n = std::min(kBlockFrames, frames - first);
        const uint64_t offset = first * channels * width;
        const uint64_t available = offset < a.pcm.size() ? a.pcm.size() - offset : 0;
        fmt::pcmToFloat(a.pcm.data() + std::min<uint64_t>(offset, a.pcm.size()), available,
                        static_cast<int32_t>(a.bits), n * channels, block.data());
        for (uint64_t k = 0; k < n; ++k) {
            // NaN stays out of the folds: a frame of NaNs touches nothing.
            float lo = std::numeric_limits<float>::quiet_NaN();
            float hi = lo;
            for (uint64_t c = 0; c < channels; ++c) {
                const float v = block[static_cast<size_t>(k * channels + c)];
                if (std::isnan(v)) continue;
                if (std::isnan(lo) || v < lo) lo = v;
                if (std::isnan(hi) || v > hi) hi = v;
            }
            if (std::isnan(lo)) continue;
            const uint64_t j = first + k;
            points[static_cast<size_t>(j * kImportPeakPoints / frames)].fold(lo, hi);
            outline.points[static_cast<size_t>((before + j) * kSummaryThumbnailPairs / total) - outline.first].fold(lo, hi);
        }
    }
    for (size_t p = 0; p < kImportPeakPoints; ++p) {
        row[2 * p] = static_cast<uint8_t>(quantizePeakLevel(points[p].min));
        row[2 * p + 1] = static_cast<uint8_t>(quantizePeakLevel(points[p].max));
    }
}

void mergeOutline(std::array<PointAccumulator, kSummaryThumbnailPairs>& thumb, const OutlineShare& share) {
    for (size_t k = 0; k < share.points.size(); ++k)
        if (share.points[k].set) thumb[share.first + k].fold(share.points[k].min, share.points[k].max);
}

// The SUMM record from the converted rows and the merged outline.
void fillSummary(fmt::Zem6Model& model, const std::array<PointAccumulator, kSummaryThumbnailPairs>& thumb,
                 uint64_t total) {
    fmt::Summary& summary = model.summary;
    summary = fmt::Summary{};
    summary.present = true;
    summary.sample_count = model.samples.size();
    summary.band_histogram = histogram(model.samples, &fmt::SmplEntry::band);
    summary.articulation_histogram = histogram(model.samples, &fmt::SmplEntry::articulation);
    summary.layer_histogram = histogram(model.samples, &fmt::SmplEntry::layer);
    summary.sample_rates = distinct(model.samples, &fmt::SmplEntry::sample_rate);
    summary.bit_depths = distinct(model.samples, &fmt::SmplEntry::bits);
    summary.channel_counts = distinct(model.samples, &fmt::SmplEntry::channels);
    summary.total_frames = total;
    summary.thumbnail.resize(kSummaryThumbnailPairs * 2);
    for (size_t p = 0; p < kSummaryThumbnailPairs; ++p) {
        summary.thumbnail[2 * p] = static_cast<uint8_t>(quantizePeakLevel(thumb[p].min));
        summary.thumbnail[2 * p + 1] = static_cast<uint8_t>(quantizePeakLevel(thumb[p].max));
    }
}

} // namespace

void appendImportWarning(fmt::Export& out, std::string text) { out.warnings.push_back(std::move(text)); }

std::string fileStemOfPath(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0) name.resize(dot);
    return name;
}

void legacyImporterTag(std::optional<std::string>& target) { target = kLegacyImporterTagText; }

void defaultLegacyChannelName(std::optional<std::string>& target) { target = kDefaultLegacyChannelNameText; }

int8_t quantizePeakLevel(float v) noexcept {
    const float x = 127.0f * v;
    if (std::isnan(x)) return 0;
    if (x >= 127.0f) return 127;
    if (x <= -128.0f) return -128;
    return static_cast<int8_t>(std::nearbyint(x));
}

void fillLegacyPeaksAndSummary(fmt::Zem6Model& model, std::span<const LegacyPcm> audio) {
    const size_t count = std::min(model.samples.size(), audio.size());
    model.points_per_sample = static_cast<uint16_t>(kImportPeakPoints);
    model.peaks.assign(model.samples.size() * kImportPeakPoints * 2, 0);

    uint64_t total = 0;
    for (size_t s = 0; s < count; ++s) total += audio[s].frames;

    std::array<PointAccumulator, kSummaryThumbnailPairs> thumb{};
    uint64_t before = 0;
    for (size_t s = 0; s < count; ++s) {
        OutlineShare share = outlineShare(before, audio[s].frames, total);
        measureSamplePeaks(audio[s], model.peaks.data() + s * kImportPeakPoints * 2, before, total, share);
        mergeOutline(thumb, share);
        before += audio[s].frames;
    }
    fillSummary(model, thumb, total);
}

std::vector<fmt::BandDef> legacyDynamicsBands(std::span<const float> levels, int32_t dynamicCount) {
    std::vector<float> ordered(levels.begin(), levels.end());
    std::sort(ordered.begin(), ordered.end(), levelBefore);
    ordered.erase(std::unique(ordered.begin(), ordered.end(), sameLevel), ordered.end());
    // Finite neighbours only: a NaN level bounds nothing.
    const size_t numbers = static_cast<size_t>(
        std::find_if(ordered.begin(), ordered.end(), [](float v) { return std::isnan(v); }) - ordered.begin());

    std::vector<fmt::BandDef> bands;
    const size_t count = std::min(levels.size(), static_cast<size_t>(std::max(dynamicCount, 0)));
    for (size_t l = 0; l < count; ++l) {
        const float e = levels[l];
        fmt::BandDef band;
        band.id = l + 1;
        const auto found = std::find_if(ordered.begin(), ordered.end(), [e](float u) { return sameLevel(u, e); });
        const auto p = static_cast<size_t>(found - ordered.begin());
        if (found != ordered.end() && p < numbers) {
            const double level = e;
            band.low = p == 0 ? -std::numeric_limits<double>::infinity() : (level + ordered[p - 1]) / 2;
            band.high = p + 1 >= numbers ? std::numeric_limits<double>::infinity() : (level + ordered[p + 1]) / 2;
        }
        band.extensions.push_back(fmt::makeCborFloatValue(e));
        bands.push_back(std::move(band));
    }
    return bands;
}

fmt::Result<fmt::Unit> buildLegacyPayload(fmt::Export& out, const LegacyPcm& pcm, uint64_t sampleNumber,
                                          uint16_t codec, uint32_t tag, fmt::PayloadRole role, uint64_t firstFrame,
                                          uint64_t frames) {
    const std::string prefix = "sample " + to_string(sampleNumber) + ": ";
    const uint64_t frameBytes = uint64_t{pcm.channels} * (pcm.bits / 8);
    const uint64_t begin = firstFrame * frameBytes;
    const uint64_t plainBytes = frames * frameBytes;
    if (begin > pcm.pcm.size() || plainBytes > pcm.pcm.size() - begin)
        return fail(ErrorCode::PlainBytesMismatch, prefix + "payload frames lie outside the sample's audio");
    const fmt::ByteView plain(pcm.pcm.data() + begin, static_cast<size_t>(plainBytes));

    fmt::PcmaHead head;
    head.codec = codec;
    head.bits = static_cast<uint16_t>(pcm.bits);
    head.sample_rate = pcm.rate;
    head.channels = static_cast<uint16_t>(pcm.channels);
    head.role = role;
    head.flags = fmt::kPcmaFlagWritten;
    head.first_frame = firstFrame;
    head.frames = frames;
    head.plain_bytes = plainBytes;
    head.plain_hash = fmt::blake2b128(plain);
    head.reserved = 0;
    head.max_blocksize = codec == fmt::kCodecFlac ? fmt::kFlacBlockSize : 0;

    fmt::Result<fmt::Bytes> payload = fmt::fail(ErrorCode::ReadIo, "");
    if (codec == fmt::kCodecFlac) {
        auto body = fmt::encodeFlacPayload(plain, static_cast<int32_t>(pcm.bits), static_cast<int32_t>(pcm.channels),
                                           static_cast<int32_t>(pcm.rate), frames);
        if (!body.ok()) return fail(body.code(), prefix + body.message());
        payload = fmt::buildPayload(head, *body);
    } else {
        payload = fmt::buildPayload(head, plain);
    }
    if (!payload.ok()) return fail(payload.code(), prefix + payload.message());
    out.payloads.push_back(fmt::StagedPayload{sampleNumber, tag, std::move(payload).value()});
    return fmt::Unit{};
}

namespace {

// What one sample's work leaves behind once its audio is dropped.
struct SampleOutcome {
    std::optional<fmt::ErrorInfo> audioError;
    std::optional<fmt::ErrorInfo> payloadError;
    fmt::Digest128 plainHash{};
    OutlineShare outline;
    std::vector<fmt::StagedPayload> payloads;
};

// One conversion's shared state. Threads take tasks from `next` in order:
// task 0 hashes the file, task i + 1 converts sample i. Results land in
// per-task slots and are read in order after every thread has joined, so
// messages and payloads come out as one thread would produce them.
struct ConversionPool {
    const LegacyFile& legacy;
    const std::string& path;
    const LegacyImportOptions& options;
    int fd = -1;
    uint64_t fileBytes = 0;
    size_t count = 0;
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    std::vector<uint64_t> framesBefore;  // frames of all earlier samples
    uint64_t totalFrames = 0;
    uint8_t* peaks = nullptr;            // one row per sample, rows written by their own task

    uint64_t headerBytes = 0;
    fmt::Digest128 fileHash{};
    fmt::Bytes header;
    std::optional<fmt::ErrorInfo> hashError;
    std::vector<SampleOutcome> outcomes;

    std::atomic<size_t> next{0};
    // An audio failure of sample k outranks everything after it; a payload
    // failure only the payloads after it (audio failures still outrank it).
    std::atomic<size_t> audioLimit;
    std::atomic<size_t> payloadLimit;
    std::atomic<bool> abandoned{false};
    std::mutex mutex;
    std::exception_ptr thrown;

    ConversionPool(const LegacyFile& l, const std::string& p, const LegacyImportOptions& o, size_t n)
        : legacy(l), path(p), options(o), count(n), outcomes(n), audioLimit(n), payloadLimit(n) {}

    static void lower(std::atomic<size_t>& limit, size_t value) noexcept {
        size_t seen = limit.load();
        while (value < seen && !limit.compare_exchange_weak(seen, value)) {
        }
    }

    void convertSample(size_t i) {
        SampleOutcome& result = outcomes[i];
        fmt::Result<LegacyPcm> read = sampleAudio(legacy, i, fd, fileBytes, path, decoder);
        if (!read.ok()) {
            result.audioError = read.error();
            lower(audioLimit, i);
            return;
        }
        const LegacyPcm& a = *read;
        result.plainHash = fmt::blake2b128(a.pcm);
        result.outline = outlineShare(framesBefore[i], a.frames, totalFrames);
        measureSamplePeaks(a, peaks + i * kImportPeakPoints * 2, framesBefore[i], totalFrames, result.outline);
        if (!options.buildPayloads || i > payloadLimit.load()) return;

        const uint64_t n = i + 1;
        const fmt::HeadTailSplit split = fmt::splitHeadTail(a.frames, a.rate, options.headMs);
        const uint16_t codec = a.bits == 32 || a.frames == 0 ? fmt::kCodecRawPcm : fmt::kCodecFlac;
        fmt::Export staged;
        fmt::Result<fmt::Unit> built = fmt::Unit{};
        if (split.hasTail) {
            built = buildLegacyPayload(staged, a, n, codec, fmt::kTagAUDI, fmt::PayloadRole::head, 0, split.headFrames);
            if (built.ok())
                built = buildLegacyPayload(staged, a, n, codec, fmt::kTagAUDT, fmt::PayloadRole::tail,
                                           split.headFrames, split.tailFrames);
        } else {
            built = buildLegacyPayload(staged, a, n, codec, fmt::kTagAUDI, fmt::PayloadRole::whole, 0, a.frames);
        }
        if (!built.ok()) {
            result.payloadError = built.error();
            lower(payloadLimit, i);
            return;
        }
        result.payloads = std::move(staged.payloads);
    }

    void runTask(size_t task) {
        if (task == 0) {
            fmt::Result<fmt::Unit> hashed = hashWholeFile(fd, path, fileBytes, headerBytes, fileHash, header);
            if (!hashed.ok()) {
                hashError = hashed.error();
                abandoned = true;
            }
            return;
        }
        const size_t i = task - 1;
        if (i > audioLimit.load()) return;
        convertSample(i);
    }

    void work() noexcept {
        try {
            for (;;) {
                if (abandoned.load()) return;
                const size_t task = next.fetch_add(1);
                if (task > count) return;
                runTask(task);
            }
        } catch (...) {
            abandoned = true;
            const std::lock_guard<std::mutex> lock(mutex);
            if (!thrown) thrown = std::current_exception();
        }
    }

    // Runs every task on `threads` threads, this one included, and joins them.
    void run(unsigned threads) {
        std::vector<std::thread> helpers;
        try {
            helpers.reserve(threads - 1);
            for (unsigned k = 1; k < threads; ++k) helpers.emplace_back([this] { work(); });
        } catch (...) {
            // Threads that could not start leave their share to those that did,
            // at the least this one.
        }
        work();
        for (std::thread& t : helpers) t.join();
        if (thrown) std::rethrow_exception(thrown);
    }
};

} // namespace

fmt::Result<fmt::Export> convertLegacyModel(const LegacyFile& legacy, const std::string& path,
                                            const LegacyImportOptions& options) {
    if (legacy.sampleCount < 1) return fail(ErrorCode::ModelInvalid, "legacy zem has no samples (importer requires >= 1)");
    const auto count = static_cast<size_t>(legacy.sampleCount);
    // A record that did not come from the reader may be short; never index past it.
    for (const size_t size :
         {legacy.length.size(), legacy.bits.size(), legacy.stereo.size(), legacy.sampleRate.size(),
          legacy.codec.size(), legacy.payloadOffset.size(), legacy.payloadBytes.size(), legacy.decodedBytes.size(),
          legacy.payloadCrc.size(), legacy.roomBytes.size(), legacy.roomLookup.size(), legacy.sampleNames.size(),
          legacy.room.size(), legacy.articulation.size(), legacy.dynamicPart.size(), legacy.take.size(),
          legacy.nativePeak.size(), legacy.excluded.size(), legacy.carriedFlag.size(), legacy.sampleMeta.size()})
        if (size < count) return fail(ErrorCode::ModelInvalid, "legacy record holds fewer entries than its samples");

    try {
        fmt::Export out;
        out.warnings = legacy.warnings;

        // The hash and the audio must come from the bytes that were parsed.
        const FileGuard file(platform::openFileUtf8(path));
        if (file.fd() < 0) return fail(ErrorCode::ReadIo, "cannot open '" + path + "'");
        // Legacy files were addressed with signed 32-bit offsets: a file that
        // has grown beyond that is refused as the reader refuses it, as too
        // large (never wrapped, never taken for empty).
        const std::optional<uint64_t> queried = platform::fileSize(file.fd());
        if (queried && *queried > kLegacyMaxFileBytes)
            return fail(ErrorCode::ModelInvalid, "file is " + to_string(*queried) + " bytes; a legacy zem file is at most " +
                                                     to_string(kLegacyMaxFileBytes) + " bytes (2 GiB - 1)");
        const uint64_t fileBytes = queried ? *queried : 0;
        if (fileBytes != legacy.fileSize)
            return fail(ErrorCode::ReadIo, "'" + path + "' changed size since it was parsed (" + to_string(fileBytes) +
                                               " vs " + to_string(legacy.fileSize) + ")");

        std::vector<LegacyPcm> shapes;
        shapes.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const LegacyPcm shape = sampleShape(legacy, i);
            if (legacy.decodedBytes[i] != wholeBytes(shape))
                appendImportWarning(out, "sample " + to_string(i + 1) + ": odd interleaved length " +
                                             to_string(std::max(legacy.length[i], 0)) + " for " +
                                             to_string(shape.channels) + " channels " + kDash +
                                             " trailing value dropped (no loader ever played it)");
            shapes.push_back(heldShape(legacy, i));
            if (shapes.back().frames != shape.frames)
                appendImportWarning(out, "sample " + to_string(i + 1) + ": the file holds " +
                                             to_string(shapes.back().frames) + " of its " + to_string(shape.frames) +
                                             " frames " + kDash + " the missing frames are left out");
        }

        fmt::Zem6Model& model = out.model;
        model.points_per_sample = static_cast<uint16_t>(kImportPeakPoints);
        model.peaks.assign(count * kImportPeakPoints * 2, 0);

        ConversionPool pool(legacy, path, options, count);
        pool.fd = file.fd();
        pool.fileBytes = fileBytes;
        pool.headerBytes = std::min<uint64_t>(fileBytes, legacy.payloadOffset[0]);
        pool.peaks = model.peaks.data();
        pool.framesBefore.resize(count);
        for (size_t i = 0; i < count; ++i) {
            pool.framesBefore[i] = pool.totalFrames;
            pool.totalFrames += shapes[i].frames;
        }
        const unsigned threads =
            options.threads != 0 ? static_cast<unsigned>(std::min<size_t>(options.threads, count))
                                 : legacyDecodePoolSize(platform::hardwareThreads(), legacy.sampleCount);
        pool.run(threads);

        if (pool.hashError) return *pool.hashError;
        for (const SampleOutcome& outcome : pool.outcomes)
            if (outcome.audioError) return *outcome.audioError;
        for (const SampleOutcome& outcome : pool.outcomes)
            if (outcome.payloadError) return *outcome.payloadError;
        const fmt::Digest128 fileHash = pool.fileHash;

        // Room links by sample number; the first direct sample naming a room
        // sample becomes its owner.
        std::vector<std::array<uint64_t, 3>> roomLinks(count, std::array<uint64_t, 3>{});
        for (size_t k = 0; k < count; ++k) {
            for (size_t s = 0; s < 3; ++s) {
                if (legacy.roomBytes[k][s] == 0) continue;
                const int32_t u = legacy.roomLookup[k][s];
                if (u < 1 || u > legacy.sampleCount) {
                    appendImportWarning(out, "sample " + to_string(k + 1) + " room " + to_string(s + 1) + " lookup " +
                                                 signedText(u) + " out of range: dropped");
                    continue;
                }
                roomLinks[k][s] = static_cast<uint64_t>(u);
            }
        }
        std::vector<uint64_t> directLink(count, 0);
        for (size_t j = 0; j < count; ++j)
            for (const uint64_t h : roomLinks[j])
                if (h != 0 && directLink[h - 1] == 0) directLink[h - 1] = j + 1;

        fmt::ModelMetadata& meta = model.metadata;
        meta.format_version = 1;
        legacyImporterTag(meta.creator_tool);
        meta.name = fileStemOfPath(path);
        if (!legacy.instrumentName.empty()) meta.instrument_name = legacy.instrumentName;
        meta.next_uid = count + 1;

        fmt::LayerDef direct;
        direct.id = 1;
        defaultLegacyChannelName(direct.name);
        direct.slot = 0;
        direct.level = legacy.roomFlag[1] != 0   ? double{legacy.roomLevel[1]}
                       : legacy.roomFlag[2] != 0 ? double{legacy.roomLevel[2]}
                                                 : 1.0;
        meta.layers.push_back(std::move(direct));
        for (size_t k = 1; k <= 3; ++k) {
            fmt::LayerDef room;
            room.id = k + 1;
            if (!legacy.roomNames[k - 1].empty()) room.name = legacy.roomNames[k - 1];
            room.slot = k;
            room.level = legacy.roomLevel[k - 1];
            meta.layers.push_back(std::move(room));
        }

        for (size_t a = 1; a <= legacy.articulationNames.size(); ++a) {
            const std::string& name = legacy.articulationNames[a - 1];
            const bool used = std::any_of(legacy.sampleMeta.begin(), legacy.sampleMeta.begin() + static_cast<std::ptrdiff_t>(count),
                                          [a](const SampleMeta& m) { return m.articulation == a; });
            if (!used && name.empty()) continue;
            fmt::ArticulationDef def;
            def.id = a;
            if (!name.empty()) def.name = name;
            meta.articulations.push_back(std::move(def));
        }

        meta.dynamics = legacyDynamicsBands(legacy.dynamics, legacy.dynamicCount);

        const char* magic = legacyVersionName(legacy.version);
        const fmt::Bytes versionMagic(magic, magic + std::min<size_t>(std::strlen(magic), kLegacyMagicBytes));
        meta.legacy = fmt::LegacyOrigin{};
        meta.legacy->version_magic = versionMagic;
        meta.legacy->orig_file_hash = fileHash;
        meta.split = fmt::SplitInfo{};
        meta.split->head_ms = options.headMs;

        bool anyTail = false;
        model.samples.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint64_t n = i + 1;
            const LegacyPcm& a = shapes[i];
            fmt::SmplEntry row;
            row.uid = n;
            if (!legacy.sampleNames[i].empty()) row.name = legacy.sampleNames[i];
            row.layer = legacy.room[i] == 0 ? 1 : uint64_t{legacy.room[i]} + 1;
            const int32_t articulation = legacy.articulation[i];
            if (articulation < 0)
                appendImportWarning(out, "sample " + to_string(n) + ": articulation " + signedText(articulation) +
                                             " negative " + kDash + " stored as 0 (raw byte survives in LGCY)");
            row.articulation = static_cast<uint64_t>(std::max(articulation, 0));
            const int32_t dynamicPart = legacy.dynamicPart[i];
            if (dynamicPart < 0)
                appendImportWarning(out, "sample " + to_string(n) + ": dynamic_part " + signedText(dynamicPart) +
                                             " negative " + kDash + " stored as 0");
            row.band = static_cast<uint64_t>(std::max(dynamicPart, 0));
            row.take = legacy.take[i] < 1 ? 0 : static_cast<uint64_t>(legacy.take[i]);
            row.sample_rate = a.rate;
            row.bits = a.bits;
            row.channels = a.channels;
            row.frames = a.frames;
            row.peak = legacy.nativePeak[i];
            if (legacy.excluded[i] != 0) row.muted = true;
            if (legacy.carriedFlag[i] != 0) row.soloed = true;
            row.audi_uid = n;
            row.plain_hash = pool.outcomes[i].plainHash;
            if (directLink[i] != 0) row.room_owner_uid = directLink[i];
            const fmt::HeadTailSplit split = fmt::splitHeadTail(a.frames, a.rate, options.headMs);
            const uint16_t codec = a.bits == 32 || a.frames == 0 ? fmt::kCodecRawPcm : fmt::kCodecFlac;
            row.codec = codec;
            row.legacy_sample_number = n;
            if (split.hasTail) row.audt_uid = n;
            row.head_frames = split.headFrames;
            const std::array<uint64_t, 3>& links = roomLinks[i];
            if (links[0] != 0 || links[1] != 0 || links[2] != 0)
                row.extensions.push_back(
                    {fmt::kRoomLinkExtKey, fmt::encodeCborUintTriple(links[0], links[1], links[2])});
            model.samples.push_back(std::move(row));
            anyTail = anyTail || split.hasTail;

            for (fmt::StagedPayload& payload : pool.outcomes[i].payloads) out.payloads.push_back(std::move(payload));
        }
        meta.split_payloads = anyTail;

        std::array<PointAccumulator, kSummaryThumbnailPairs> thumb{};
        for (const SampleOutcome& outcome : pool.outcomes) mergeOutline(thumb, outcome.outline);
        fillSummary(model, thumb, pool.totalFrames);

        fmt::LegacyProvenance lgcy;
        lgcy.version_magic = versionMagic;
        lgcy.header_bytes = std::move(pool.header);
        lgcy.source_file_blake2b128 = fileHash;
        lgcy.warnings = out.warnings;
        model.lgcy = std::move(lgcy);
        return out;
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to convert '" + path + "'");
    }
}

fmt::Result<fmt::Export> importLegacyFile(const std::string& path, const LegacyImportOptions& options) {
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    LegacyReadOptions read;
    read.measurePeaks = true;
    read.blobDecoder = &decoder;
    read.peakOverride = nullptr;
    LegacyReadResult result = readLegacyFile(path, read);
    if (!result.file) return fail(ErrorCode::ModelInvalid, "legacy read refused: " + result.error);
    return convertLegacyModel(*result.file, path, options);
}

} // namespace vt6::zem
