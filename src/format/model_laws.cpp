#include "format/model_laws.hpp"

#include <string>
#include <unordered_set>

#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

Result<Unit> checkSampleRow(const SmplEntry& row, uint64_t nextUid, std::unordered_set<uint64_t>& seen) {
    if (row.uid == 0) return fail(ErrorCode::UidLaw, "sample uid 0 is reserved for singleton chunks");
    if (row.uid >= nextUid) {
        return fail(ErrorCode::UidLaw, "sample uid " + num(row.uid) + " >= MTAD.next_uid " + num(nextUid) +
                                           " (uids are allocated monotonically, never reused)");
    }
    if (!seen.insert(row.uid).second) return fail(ErrorCode::ModelInvalid, "duplicate sample uid " + num(row.uid));
    if (row.audi_uid >= nextUid) {
        return fail(ErrorCode::UidLaw, "audi_uid " + num(row.audi_uid) + " >= MTAD.next_uid " + num(nextUid));
    }
    if (row.audt_uid && *row.audt_uid >= nextUid) {
        return fail(ErrorCode::UidLaw, "audt_uid " + num(*row.audt_uid) + " >= MTAD.next_uid " + num(nextUid));
    }
    if (row.head_frames && row.frames && *row.head_frames > *row.frames) {
        return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + ": head_frames " + num(*row.head_frames) +
                                                 " > frames " + num(*row.frames));
    }
    if (row.playback_start || row.playback_end) {
        const uint64_t start = row.playback_start.value_or(0);
        const bool ok = row.frames && start < row.playback_end.value_or(*row.frames) &&
                        row.playback_end.value_or(*row.frames) <= *row.frames;
        if (!ok) return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + ": invalid playback bounds");
    }
    return Unit{};
}

} // namespace

Result<Unit> checkModelLaws(const Zem6Model& model) {
    const ModelMetadata& md = model.metadata;
    if (md.next_uid < 1) return fail(ErrorCode::UidLaw, "MTAD next_uid must be >= 1");
    if (md.hash_scheme != 0) {
        return fail(ErrorCode::UnsupportedScheme,
                    "MTAD hash_scheme " + num(md.hash_scheme) + " unsupported until M7c (0 = unkeyed BLAKE2b-128)");
    }

    const uint64_t rows = model.samples.size();
    std::unordered_set<uint64_t> seen;
    seen.reserve(model.samples.size());
    for (const SmplEntry& row : model.samples) ZEM_TRY(checkSampleRow(row, md.next_uid, seen));

    if (model.summary.present && model.summary.sample_count != rows) {
        return fail(ErrorCode::ModelInvalid, "SUMM sample_count " + num(model.summary.sample_count) +
                                                 " disagrees with the SMPL row count " + num(rows));
    }

    if (!model.peaks.empty()) {
        const uint64_t stride = 2 * static_cast<uint64_t>(model.points_per_sample);
        const uint64_t peakRows = stride == 0 ? 0 : model.peaks.size() / stride;
        if (peakRows != rows) {
            return fail(ErrorCode::ModelInvalid,
                        "PEAK holds " + num(peakRows) + " rows but SMPL holds " + num(rows) + " samples");
        }
    }

    for (const ExtraChunk& chunk : model.extraChunks) {
        if ((chunk.flags & kChunkCritical) != 0 && !isKnownTag(chunk.tag)) {
            return fail(ErrorCode::UnknownCriticalChunk, "unknown chunk '" + tagText(chunk.tag) + "' has CRITICAL set");
        }
        if (chunk.length != chunk.bytes.size()) {
            return fail(ErrorCode::ModelInvalid,
                        "preserved chunk '" + tagText(chunk.tag) + "' header length disagrees with its payload bytes");
        }
    }
    return Unit{};
}

} // namespace vt6::fmt
