#include "audio/legacy/legacy_import.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <utility>

#include "audio/codec.hpp"
#include "audio/flac_codec.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/sample_ext.hpp"
#include "platform/file.hpp"

namespace vt6::zem {

namespace {

using fmt::ErrorCode;
using fmt::fail;
using std::to_string;

const std::string kDash = "\u2014";

using platform::FileGuard;

// The whole file again, checked against the size the read saw: the hash
// and the audio must come from the bytes that were parsed.
fmt::Result<fmt::Bytes> rereadWholeFile(const std::string& path, uint64_t parsedSize) {
    const FileGuard file(platform::openFileUtf8(path));
    if (file.fd() < 0) return fail(ErrorCode::ReadIo, "cannot open '" + path + "'");
    // Legacy files were addressed with signed 32-bit offsets; a size beyond
    // that counts as a failed size query (0), never as a wrapped one.
    const std::optional<uint64_t> queried = platform::fileSize(file.fd());
    const uint64_t size = queried && *queried <= kLegacyMaxFileBytes ? *queried : 0;
    if (size != parsedSize)
        return fail(ErrorCode::ReadIo, "'" + path + "' changed size since it was parsed (" + to_string(size) +
                                           " vs " + to_string(parsedSize) + ")");
    fmt::Bytes bytes(static_cast<size_t>(size));
    const platform::ReadOutcome got = platform::readAt(file.fd(), bytes.data(), bytes.size(), 0);
    if (got.bytesRead != bytes.size()) return fail(ErrorCode::ReadIo, "I/O error reading '" + path + "'");
    return bytes;
}

// Packed PCM of one legacy sample, whole frames only.
fmt::Result<LegacyPcm> sampleAudio(const LegacyFile& legacy, size_t i, const fmt::Bytes& file,
                                   const Zem4BlobDecoder* decoder, fmt::Export& out) {
    const uint64_t n = i + 1;
    LegacyPcm pcm;
    pcm.channels = legacy.stereo[i] != 0 ? 2 : 1;
    pcm.bits = legacy.bits[i];
    pcm.rate = legacy.sampleRate[i] < 1 ? 44100u : static_cast<uint32_t>(legacy.sampleRate[i]);
    const uint64_t values = static_cast<uint64_t>(std::max(legacy.length[i], 0));
    pcm.frames = values / pcm.channels;
    const uint64_t whole = pcm.frames * (pcm.bits / 8) * pcm.channels;
    if (legacy.decodedBytes[i] != whole)
        appendImportWarning(out, "sample " + to_string(n) + ": odd interleaved length " + to_string(values) +
                                     " for " + to_string(pcm.channels) + " channels " + kDash +
                                     " trailing value dropped (no loader ever played it)");

    const uint64_t offset = legacy.payloadOffset[i];
    const uint64_t stored = legacy.payloadBytes[i];
    const uint64_t fileBytes = file.size();
    if (legacy.codec[i] == 1) {
        if (offset > fileBytes || stored > fileBytes - offset)
            return fail(ErrorCode::ReadIo, "sample " + to_string(n) + ": v4 payload spans past EOF");
        Zem4Blob blob;
        blob.bytes = std::span<const uint8_t>(file.data() + offset, static_cast<size_t>(stored));
        blob.bits = static_cast<int32_t>(pcm.bits);
        blob.channels = static_cast<int32_t>(pcm.channels);
        blob.sampleRate = static_cast<int32_t>(pcm.rate);
        blob.length = static_cast<int64_t>(values);
        blob.storedCrc = legacy.payloadCrc[i];
        blob.sampleNumber = static_cast<int32_t>(n);
        Zem4DecodeOut decoded = (*decoder)(blob);
        if (!decoded.error.empty()) return fail(ErrorCode::FlacError, std::move(decoded.error));
        if (decoded.pcm.size() != legacy.decodedBytes[i])
            return fail(ErrorCode::PlainBytesMismatch, "sample " + to_string(n) + ": v4 decode produced " +
                                                           to_string(decoded.pcm.size()) + " bytes, expected " +
                                                           to_string(legacy.decodedBytes[i]));
        decoded.pcm.resize(static_cast<size_t>(whole));
        pcm.pcm = std::move(decoded.pcm);
        return pcm;
    }

    // Raw: a cut-off 3.x payload keeps zeros at its end.
    pcm.pcm.assign(static_cast<size_t>(whole), 0);
    if (offset < fileBytes && whole > 0) {
        const uint64_t copy = std::min(whole, fileBytes - offset);
        std::memcpy(pcm.pcm.data(), file.data() + offset, static_cast<size_t>(copy));
    }
    if (legacy.version == kLegacyVersionV40) {
        // The 4.0 reader refuses a payload region beyond the file.
        const size_t begin = static_cast<size_t>(std::min(offset, fileBytes));
        const size_t end = static_cast<size_t>(std::min(offset + stored, fileBytes));
        const uint32_t computed = crc32Ieee(std::span<const uint8_t>(file.data() + begin, end - begin));
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
    std::vector<PointAccumulator> points(kImportPeakPoints);
    constexpr uint64_t kBlockFrames = 4096;
    std::vector<float> block;
    uint64_t before = 0;
    for (size_t s = 0; s < count; ++s) {
        const LegacyPcm& a = audio[s];
        const uint64_t frames = a.frames;
        const uint64_t channels = a.channels;
        const uint64_t width = a.bits / 8;
        std::fill(points.begin(), points.end(), PointAccumulator{});
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
                thumb[static_cast<size_t>((before + j) * kSummaryThumbnailPairs / total)].fold(lo, hi);
            }
        }
        uint8_t* row = model.peaks.data() + s * kImportPeakPoints * 2;
        for (size_t p = 0; p < kImportPeakPoints; ++p) {
            row[2 * p] = static_cast<uint8_t>(quantizePeakLevel(points[p].min));
            row[2 * p + 1] = static_cast<uint8_t>(quantizePeakLevel(points[p].max));
        }
        before += frames;
    }

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

        ZEM_TRY_ASSIGN(const fmt::Bytes file, rereadWholeFile(path, legacy.fileSize));
        const fmt::Digest128 fileHash = fmt::blake2b128(file);
        const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();

        std::vector<LegacyPcm> audio;
        audio.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            ZEM_TRY_ASSIGN(LegacyPcm pcm, sampleAudio(legacy, i, file, &decoder, out));
            audio.push_back(std::move(pcm));
        }

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

        fmt::Zem6Model& model = out.model;
        fmt::ModelMetadata& meta = model.metadata;
        meta.spec_version = 1;
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
            const LegacyPcm& a = audio[i];
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
            row.plain_hash = fmt::blake2b128(a.pcm);
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

            if (options.buildPayloads) {
                if (split.hasTail) {
                    ZEM_TRY(buildLegacyPayload(out, a, n, codec, fmt::kTagAUDI, fmt::PayloadRole::head, 0,
                                               split.headFrames));
                    ZEM_TRY(buildLegacyPayload(out, a, n, codec, fmt::kTagAUDT, fmt::PayloadRole::tail,
                                               split.headFrames, split.tailFrames));
                } else {
                    ZEM_TRY(buildLegacyPayload(out, a, n, codec, fmt::kTagAUDI, fmt::PayloadRole::whole, 0, a.frames));
                }
            }
        }
        meta.split_payloads = anyTail;

        fillLegacyPeaksAndSummary(model, audio);

        fmt::LegacyProvenance lgcy;
        lgcy.version_magic = versionMagic;
        const uint64_t headerBytes = std::min<uint64_t>(file.size(), legacy.payloadOffset[0]);
        lgcy.header_bytes.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headerBytes));
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
