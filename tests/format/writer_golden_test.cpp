// Byte identity of written files: each model here was written once and the
// file committed beside this test. Laying out and writing the same model must
// give those bytes exactly, whichever way the writer gets there.

#include "format/writer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "format/framing.hpp"
#include "format/lgcy.hpp"
#include "support/temp_dir.hpp"

namespace vt6::fmt {
namespace {

SmplEntry row(uint64_t uid, uint64_t audi, std::optional<uint64_t> audt = std::nullopt) {
    SmplEntry e;
    e.uid = uid;
    e.audi_uid = audi;
    e.audt_uid = audt;
    e.name = "hit " + std::to_string(uid);
    return e;
}

StagedPayload payload(uint32_t tag, uint64_t uid, size_t size) {
    StagedPayload p;
    p.tag = tag;
    p.uid = uid;
    p.bytes.resize(size);
    for (size_t i = 0; i < size; ++i) p.bytes[i] = static_cast<uint8_t>(uid * 31 + tag + i * 7);
    return p;
}

ExtraChunk extra(const char (&tag)[5], uint64_t uid, bool afterAudio, uint32_t flags, size_t size) {
    ExtraChunk c;
    c.tag = makeTag(tag);
    c.flags = flags;
    c.uid = uid;
    c.bytes.assign(size, static_cast<uint8_t>(0xA0 + uid));
    c.length = size;
    c.afterAudio = afterAudio;
    return c;
}

struct Golden {
    const char* file;
    Zem6Model model;
    std::vector<StagedPayload> payloads;
    WriteOptions options;
};

std::vector<Golden> goldens() {
    std::vector<Golden> out;
    out.push_back({"empty.zem", Zem6Model{}, {}, {}});

    // Every chunk kind; payload sizes leave every padding length; AUDT staged
    // first and an empty AUDI payload.
    Zem6Model full;
    full.metadata.next_uid = 20;
    full.metadata.name = "Snare";
    full.samples = {row(1, 2), row(3, 4, 5), row(6, 7), row(8, 9)};
    full.summary.present = true;
    full.summary.sample_count = 4;
    full.summary.total_frames = 12345;
    full.points_per_sample = 4;
    full.peaks.assign(4 * 2 * 4, 0x11);
    full.lgcy = LegacyProvenance{{'Z', 'e', 'm', '_', 'v', '4', '.', '0'}, {1, 2, 3}, std::nullopt, {"note"}, {}};
    full.extraChunks = {extra("XTRA", 0, false, 0, 5), extra("DESC", 0, false, 6, 19),
                        extra("ABCD", 9, true, 0, 17)};
    out.push_back({"full.zem", full,
                   {payload(kTagAUDT, 5, 40), payload(kTagAUDI, 7, 100), payload(kTagAUDI, 2, 1),
                    payload(kTagAUDI, 4, 333), payload(kTagAUDI, 9, 0)},
                   {}});

    Zem6Model legacy = full;
    legacy.lgcy.reset();
    out.push_back({"legacy_option.zem", legacy,
                   {payload(kTagAUDI, 2, 64), payload(kTagAUDI, 4, 80), payload(kTagAUDT, 5, 15),
                    payload(kTagAUDI, 7, 16), payload(kTagAUDI, 9, 17)},
                   WriteOptions{true}});

    // A head that ends past 65536, so head_bytes needs the longer CBOR form
    // and the fix point iterates.
    Zem6Model wide;
    wide.metadata.next_uid = 3;
    wide.metadata.name = "wide";
    wide.samples = {row(1, 2)};
    wide.extraChunks = {extra("PRVW", 0, false, 0, 65536 - 200)};
    out.push_back({"wide_head.zem", wide, {payload(kTagAUDI, 2, 48)}, {}});
    return out;
}

std::string goldenPath(const char* file) { return std::string(ZEM_GOLDEN_DIR) + "/" + file; }

Bytes readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WriterGolden, LayoutAndWriteGiveTheCommittedBytes) {
    test::TempDir dir;
    for (const Golden& g : goldens()) {
        SCOPED_TRACE(g.file);
        const Bytes expected = readFile(goldenPath(g.file));
        ASSERT_FALSE(expected.empty()) << "missing " << goldenPath(g.file);

        const auto image = layoutZem6File(g.model, g.payloads, g.options);
        ASSERT_TRUE(image.ok()) << image.message();
        EXPECT_TRUE(*image == expected);

        const std::string p = dir.path(g.file);
        const auto written = writeZem6File(p, g.model, g.payloads, g.options);
        ASSERT_TRUE(written.ok()) << written.message();
        EXPECT_TRUE(test::TempDir::contents(p) == expected);
    }
}

} // namespace
} // namespace vt6::fmt
