#include "format/model_laws.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "format/framing.hpp"

namespace vt6::fmt {
namespace {

SmplEntry row(uint64_t uid, uint64_t audiUid) {
    SmplEntry entry;
    entry.uid = uid;
    entry.audi_uid = audiUid;
    return entry;
}

// Three rows with uids 1 to 3 (payloads 4 to 6), next_uid 10, agreeing
// summary and peaks, one harmless carried chunk.
Zem6Model validModel() {
    Zem6Model model;
    model.metadata.next_uid = 10;
    model.samples = {row(1, 4), row(2, 5), row(3, 6)};
    model.samples[0].frames = 1000;
    model.samples[0].head_frames = 400;
    model.samples[0].audt_uid = 7;
    model.samples[0].playback_start = 10;
    model.samples[0].playback_end = 900;
    model.summary.present = true;
    model.summary.sample_count = 3;
    model.points_per_sample = 4;
    model.peaks.assign(3 * 2 * 4, 0);
    model.extraChunks.push_back(ExtraChunk{makeTag("ABCD"), 0, 2, 0, {1, 2}, true});
    return model;
}

using Change = std::function<void(Zem6Model&)>;

TEST(ModelLaws, AcceptsConsistentModels) {
    const struct {
        const char* what;
        Change change;
    } cases[] = {
        {"the fixture", [](Zem6Model&) {}},
        {"an empty model", [](Zem6Model& m) { m = Zem6Model{}; }},
        {"uid next_uid - 1", [](Zem6Model& m) { m.samples[2].uid = 9; }},
        {"audi_uid 0", [](Zem6Model& m) { m.samples[1].audi_uid = 0; }},
        {"head_frames without frames", [](Zem6Model& m) { m.samples[1].head_frames = 50; }},
        {"head_frames equal to frames", [](Zem6Model& m) { m.samples[0].head_frames = 1000; }},
        {"only playback_start, below frames",
         [](Zem6Model& m) {
             m.samples[1].frames = 100;
             m.samples[1].playback_start = 99;
         }},
        {"only playback_end, equal to frames",
         [](Zem6Model& m) {
             m.samples[1].frames = 100;
             m.samples[1].playback_end = 100;
         }},
        {"absent summary with any count",
         [](Zem6Model& m) {
             m.summary.present = false;
             m.summary.sample_count = 77;
         }},
        {"no peaks whatever points_per_sample",
         [](Zem6Model& m) {
             m.peaks.clear();
             m.points_per_sample = 0;
         }},
        {"peaks with a partial last row", [](Zem6Model& m) { m.peaks.push_back(0); }},
        {"CRITICAL on a known tag", [](Zem6Model& m) { m.extraChunks[0].tag = kTagXTRA, m.extraChunks[0].flags = 1; }},
        {"reserved flag bits on an unknown tag", [](Zem6Model& m) { m.extraChunks[0].flags = 6; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model model = validModel();
        c.change(model);
        const Zem6Model before = model;
        const auto result = checkModelLaws(model);
        EXPECT_TRUE(result.ok()) << result.message();
        EXPECT_EQ(model, before);
    }
}

TEST(ModelLaws, RefusesTheFirstBrokenLaw) {
    const struct {
        const char* what;
        Change change;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"next_uid 0 before a bad scheme",
         [](Zem6Model& m) {
             m.metadata.next_uid = 0;
             m.metadata.hash_scheme = 1;
         },
         ErrorCode::UidLaw, "MTAD next_uid must be >= 1"},
        {"hash scheme", [](Zem6Model& m) { m.metadata.hash_scheme = 2; }, ErrorCode::UnsupportedScheme,
         "MTAD hash_scheme 2 unsupported until M7c (0 = unkeyed BLAKE2b-128)"},
        {"scheme before rows",
         [](Zem6Model& m) {
             m.metadata.hash_scheme = 7;
             m.samples[0].uid = 0;
         },
         ErrorCode::UnsupportedScheme, "MTAD hash_scheme 7 unsupported until M7c (0 = unkeyed BLAKE2b-128)"},
        {"uid 0", [](Zem6Model& m) { m.samples[1].uid = 0; }, ErrorCode::UidLaw,
         "sample uid 0 is reserved for singleton chunks"},
        {"uid next_uid", [](Zem6Model& m) { m.samples[1].uid = 10; }, ErrorCode::UidLaw,
         "sample uid 10 >= MTAD.next_uid 10 (uids are allocated monotonically, never reused)"},
        {"duplicate uid at the second row", [](Zem6Model& m) { m.samples[2].uid = 1; }, ErrorCode::ModelInvalid,
         "duplicate sample uid 1"},
        {"duplicate reported before a later row's fault",
         [](Zem6Model& m) {
             m.samples[1].uid = 1;
             m.samples[2].uid = 0;
         },
         ErrorCode::ModelInvalid, "duplicate sample uid 1"},
        {"uid checks before audi_uid",
         [](Zem6Model& m) {
             m.samples[1].uid = 12;
             m.samples[1].audi_uid = 11;
         },
         ErrorCode::UidLaw, "sample uid 12 >= MTAD.next_uid 10 (uids are allocated monotonically, never reused)"},
        {"audi_uid", [](Zem6Model& m) { m.samples[1].audi_uid = 10; }, ErrorCode::UidLaw,
         "audi_uid 10 >= MTAD.next_uid 10"},
        {"audt_uid", [](Zem6Model& m) { m.samples[0].audt_uid = 18446744073709551615ull; }, ErrorCode::UidLaw,
         "audt_uid 18446744073709551615 >= MTAD.next_uid 10"},
        {"head_frames", [](Zem6Model& m) { m.samples[0].head_frames = 1001; }, ErrorCode::ModelInvalid,
         "sample uid 1: head_frames 1001 > frames 1000"},
        {"playback start without frames", [](Zem6Model& m) { m.samples[2].playback_start = 0; },
         ErrorCode::ModelInvalid, "sample uid 3: invalid playback bounds"},
        {"playback end 0", [](Zem6Model& m) { m.samples[0].playback_start.reset(), m.samples[0].playback_end = 0; },
         ErrorCode::ModelInvalid, "sample uid 1: invalid playback bounds"},
        {"empty playback region", [](Zem6Model& m) { m.samples[0].playback_end = 10; }, ErrorCode::ModelInvalid,
         "sample uid 1: invalid playback bounds"},
        {"playback end past frames", [](Zem6Model& m) { m.samples[0].playback_end = 1001; },
         ErrorCode::ModelInvalid, "sample uid 1: invalid playback bounds"},
        {"playback start at frames with no end", [](Zem6Model& m) { m.samples[0].playback_start = 1000, m.samples[0].playback_end.reset(); },
         ErrorCode::ModelInvalid, "sample uid 1: invalid playback bounds"},
        {"summary count", [](Zem6Model& m) { m.summary.sample_count = 4; }, ErrorCode::ModelInvalid,
         "SUMM sample_count 4 disagrees with the SMPL row count 3"},
        {"peak rows",
         [](Zem6Model& m) {
             m.points_per_sample = 512;
             m.peaks.assign(2048, 0);
         },
         ErrorCode::ModelInvalid, "PEAK holds 2 rows but SMPL holds 3 samples"},
        {"peaks with points_per_sample 0", [](Zem6Model& m) { m.points_per_sample = 0; }, ErrorCode::ModelInvalid,
         "PEAK holds 0 rows but SMPL holds 3 samples"},
        {"peaks without rows", [](Zem6Model& m) { m.samples.clear(), m.summary.sample_count = 0; },
         ErrorCode::ModelInvalid, "PEAK holds 3 rows but SMPL holds 0 samples"},
        {"unknown critical chunk", [](Zem6Model& m) { m.extraChunks[0].flags = kChunkCritical; },
         ErrorCode::UnknownCriticalChunk, "unknown chunk 'ABCD' has CRITICAL set"},
        {"unprintable tag", [](Zem6Model& m) { m.extraChunks[0].tag = 0x01434241u, m.extraChunks[0].flags = 1; },
         ErrorCode::UnknownCriticalChunk, "unknown chunk 'ABC\\x01' has CRITICAL set"},
        {"carried length",
         [](Zem6Model& m) { m.extraChunks[0].length = 3; },
         ErrorCode::ModelInvalid, "preserved chunk 'ABCD' header length disagrees with its payload bytes"},
        {"critical before length",
         [](Zem6Model& m) {
             m.extraChunks[0].flags = kChunkCritical;
             m.extraChunks[0].length = 3;
         },
         ErrorCode::UnknownCriticalChunk, "unknown chunk 'ABCD' has CRITICAL set"},
        {"carried chunks in order",
         [](Zem6Model& m) {
             m.extraChunks.push_back(ExtraChunk{makeTag("WXYZ"), 1, 0, 0, {}, false});
             m.extraChunks[0].length = 0;
         },
         ErrorCode::ModelInvalid, "preserved chunk 'ABCD' header length disagrees with its payload bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model model = validModel();
        c.change(model);
        const auto result = checkModelLaws(model);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message);
    }
}

} // namespace
} // namespace vt6::fmt
