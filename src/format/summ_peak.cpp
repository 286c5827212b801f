#include "format/summ_peak.hpp"

#include <string>
#include <utility>

namespace vt6::fmt {

namespace {

namespace summ_key {
inline constexpr uint64_t kSampleCount = 1;
inline constexpr uint64_t kBandHistogram = 2;
inline constexpr uint64_t kArticulationHistogram = 3;
inline constexpr uint64_t kLayerHistogram = 4;
inline constexpr uint64_t kSampleRates = 5;
inline constexpr uint64_t kBitDepths = 6;
inline constexpr uint64_t kChannelCounts = 7;
inline constexpr uint64_t kTotalFrames = 8;
inline constexpr uint64_t kThumbnail = 12;
inline constexpr uint64_t kSmplBytes = 13;
inline constexpr uint64_t kPeakBytes = 14;
}  // namespace summ_key

using namespace summ_key;

Bytes encodeHistogram(const std::vector<HistogramEntry>& entries) {
    CborWriter writer;
    writer.beginArray(entries.size());
    for (const HistogramEntry& entry : entries) {
        writer.beginArray(2);
        writer.writeUint(entry.id);
        writer.writeUint(entry.count);
    }
    return writer.take();
}

} // namespace

Result<std::vector<HistogramEntry>> readHistogram(CborReader& reader, const char* name) {
    ZEM_TRY_ASSIGN(uint64_t count, reader.enterArray());
    // No reservation from the declared count; entries are appended as read.
    std::vector<HistogramEntry> out;
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(uint64_t items, reader.enterArray());
        if (items != 2) {
            return fail(ErrorCode::ModelInvalid,
                        std::string("SUMM ") + name + " entries must be [id,count] pairs");
        }
        HistogramEntry entry;
        ZEM_TRY_ASSIGN(entry.id, reader.readUint());
        ZEM_TRY_ASSIGN(entry.count, reader.readUint());
        out.push_back(entry);
    }
    return out;
}

Result<std::vector<uint64_t>> readUintArray(CborReader& reader) {
    ZEM_TRY_ASSIGN(uint64_t count, reader.enterArray());
    std::vector<uint64_t> out;
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(uint64_t v, reader.readUint());
        out.push_back(v);
    }
    return out;
}

Result<Summary> decodeSumm(ByteView payload) {
    CborReader reader(payload);
    ZEM_TRY(reader.enterMap());
    Summary summary;
    for (;;) {
        ZEM_TRY_ASSIGN(std::optional<uint64_t> next, reader.nextMapKey());
        if (!next) break;
        switch (const uint64_t key = *next; key) {
        case kSampleCount: {
            ZEM_TRY_ASSIGN(summary.sample_count, reader.readUint());
            break;
        }
        case kTotalFrames: {
            ZEM_TRY_ASSIGN(summary.total_frames, reader.readUint());
            break;
        }
        case kSmplBytes: {
            ZEM_TRY_ASSIGN(summary.smpl_bytes, reader.readUint());
            break;
        }
        case kPeakBytes: {
            ZEM_TRY_ASSIGN(summary.peak_bytes, reader.readUint());
            break;
        }
        case kBandHistogram: {
            ZEM_TRY_ASSIGN(summary.band_histogram, readHistogram(reader, "band_histogram"));
            break;
        }
        case kArticulationHistogram: {
            ZEM_TRY_ASSIGN(summary.articulation_histogram,
                           readHistogram(reader, "articulation_histogram"));
            break;
        }
        case kLayerHistogram: {
            ZEM_TRY_ASSIGN(summary.layer_histogram, readHistogram(reader, "layer_histogram"));
            break;
        }
        case kSampleRates: {
            ZEM_TRY_ASSIGN(summary.sample_rates, readUintArray(reader));
            break;
        }
        case kBitDepths: {
            ZEM_TRY_ASSIGN(summary.bit_depths, readUintArray(reader));
            break;
        }
        case kChannelCounts: {
            ZEM_TRY_ASSIGN(summary.channel_counts, readUintArray(reader));
            break;
        }
        case kThumbnail: {
            ZEM_TRY_ASSIGN(ByteView thumbnail, reader.readBytes());
            if (thumbnail.size() != kSummThumbnailBytes) {
                return fail(ErrorCode::ModelInvalid,
                            "SUMM thumbnail must be exactly " + std::to_string(kSummThumbnailBytes) +
                                " bytes; got " + std::to_string(thumbnail.size()));
            }
            summary.thumbnail.assign(thumbnail.begin(), thumbnail.end());
            break;
        }
        default: {
            ZEM_TRY_ASSIGN(ExtensionPair pair, readExtensionPair(reader, key));
            summary.extensions.push_back(std::move(pair));
            break;
        }
        }
    }
    ZEM_TRY(reader.finish());
    summary.present = true;
    return summary;
}

Result<Bytes> encodeSumm(const Summary& summary) {
    if (!summary.thumbnail.empty() && summary.thumbnail.size() != kSummThumbnailBytes) {
        return fail(ErrorCode::ModelInvalid,
                    "SUMM thumbnail must be exactly " + std::to_string(kSummThumbnailBytes) +
                        " bytes (128 int8 min/max pairs); got " + std::to_string(summary.thumbnail.size()));
    }
    CborMapBuilder builder;
    builder.addMapPair(kSampleCount, encodeCborUint(summary.sample_count));
    const std::pair<uint64_t, const std::vector<HistogramEntry>*> histograms[] = {
        {kBandHistogram, &summary.band_histogram},
        {kArticulationHistogram, &summary.articulation_histogram},
        {kLayerHistogram, &summary.layer_histogram},
    };
    for (const auto& [key, entries] : histograms) {
        if (!entries->empty()) builder.addMapPair(key, encodeHistogram(*entries));
    }
    const std::pair<uint64_t, const std::vector<uint64_t>*> valueSets[] = {
        {kSampleRates, &summary.sample_rates},
        {kBitDepths, &summary.bit_depths},
        {kChannelCounts, &summary.channel_counts},
    };
    for (const auto& [key, values] : valueSets) {
        if (!values->empty()) builder.addMapPair(key, encodeCborUintArray(*values));
    }
    builder.addMapPair(kTotalFrames, encodeCborUint(summary.total_frames));
    if (!summary.thumbnail.empty()) builder.addMapPair(kThumbnail, encodeCborBytes(summary.thumbnail));
    builder.addMapPair(kSmplBytes, encodeCborUint(summary.smpl_bytes));
    builder.addMapPair(kPeakBytes, encodeCborUint(summary.peak_bytes));
    addExtensionPairs(builder, summary.extensions);
    return builder.writeCanonicalMap();
}

Result<PeakTable> decodePeak(ByteView payload) {
    if (payload.size() < kPeakHeaderBytes) {
        return fail(ErrorCode::ModelInvalid, "PEAK payload shorter than 8 bytes");
    }
    if (loadLe32(payload.data()) != kPeakMagic) {
        return fail(ErrorCode::ModelInvalid, "PEAK magic mismatch (want 'PKV1')");
    }
    const uint16_t points = loadLe16(payload.data() + 4);
    if (points == 0) return fail(ErrorCode::ModelInvalid, "PEAK points_per_sample is 0");
    if (loadLe16(payload.data() + 6) != 0) {
        return fail(ErrorCode::ModelInvalid, "PEAK reserved field must be 0");
    }
    const size_t body = payload.size() - kPeakHeaderBytes;
    const size_t stride = 2 * static_cast<size_t>(points);
    if (body % stride != 0) {
        return fail(ErrorCode::ModelInvalid, "PEAK body " + std::to_string(body) +
                                                 " bytes is not a multiple of the per-sample stride " +
                                                 std::to_string(stride));
    }
    PeakTable table;
    table.points_per_sample = points;
    table.peaks.assign(payload.begin() + kPeakHeaderBytes, payload.end());
    return table;
}

Result<Bytes> encodePeak(const PeakTable& table) {
    if (table.points_per_sample == 0) {
        return fail(ErrorCode::ModelInvalid, "PEAK points_per_sample must be nonzero");
    }
    const size_t stride = 2 * static_cast<size_t>(table.points_per_sample);
    if (table.peaks.size() % stride != 0) {
        return fail(ErrorCode::ModelInvalid, "PEAK data size " + std::to_string(table.peaks.size()) +
                                                 " is not a multiple of the per-sample stride " +
                                                 std::to_string(stride));
    }
    Bytes out(kPeakHeaderBytes);
    storeLe32(out.data(), kPeakMagic);
    storeLe16(out.data() + 4, table.points_per_sample);
    storeLe16(out.data() + 6, 0);
    out.insert(out.end(), table.peaks.begin(), table.peaks.end());
    return out;
}

} // namespace vt6::fmt
