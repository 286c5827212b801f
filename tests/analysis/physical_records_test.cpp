#include "analysis/physical_records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt6::fmt {
namespace {

ExtraChunk chunk(uint32_t tag, uint8_t fill, bool afterAudio) {
    ExtraChunk c;
    c.tag = tag;
    c.bytes = Bytes(3, fill);
    c.length = c.bytes.size();
    c.afterAudio = afterAudio;
    return c;
}

ExtensionPair pair(uint64_t key) { return ExtensionPair{key, encodeCborUint(key)}; }

// A model with some of everything the removal must leave alone.
Zem6Model richModel(std::vector<ExtraChunk> chunks, std::vector<uint64_t> extensionKeys) {
    Zem6Model m;
    m.metadata.name = std::string("Kit");
    m.metadata.next_uid = 9;
    for (uint64_t key : extensionKeys) m.metadata.extensions.push_back(pair(key));
    SmplEntry row;
    row.uid = 3;
    row.extensions.push_back(ExtensionPair{16, encodeCborUint(1)});  // a sample's key 16 is not the marker
    m.samples.push_back(row);
    m.summary.present = true;
    m.summary.sample_count = 1;
    m.extraChunks = std::move(chunks);
    return m;
}

std::vector<uint32_t> tags(const Zem6Model& m) {
    std::vector<uint32_t> out;
    for (const ExtraChunk& c : m.extraChunks) out.push_back(c.tag);
    return out;
}

std::vector<uint64_t> keys(const Zem6Model& m) {
    std::vector<uint64_t> out;
    for (const ExtensionPair& p : m.metadata.extensions) out.push_back(p.key);
    return out;
}

TEST(PhysicalRecords, MarkerKeyAndChunkTag) {
    EXPECT_EQ(kPhysicalModelMtadKey, 16u);
    EXPECT_EQ(tagText(kTagPHDM), "PHDM");
}

struct ClearCase {
    const char* name;
    std::vector<ExtraChunk> chunks;
    std::vector<uint64_t> extensionKeys;
    std::vector<uint32_t> wantTags;
    std::vector<uint64_t> wantKeys;
};

TEST(PhysicalRecords, ClearRemovesOnlyTheAnalysis) {
    const std::vector<ClearCase> cases{
        {"mixed",
         {chunk(kTagXTRA, 1, false), chunk(kTagPHDM, 2, true), chunk(kTagDESC, 3, false), chunk(kTagPHDM, 4, true)},
         {15, 16},
         {kTagXTRA, kTagDESC},
         {15}},
        {"two chunks and one key between others",
         {chunk(kTagKEYS, 1, true), chunk(kTagPHDM, 2, true), chunk(kTagPHDM, 2, true), chunk(kTagARTW, 3, true)},
         {3, 16, 40},
         {kTagKEYS, kTagARTW},
         {3, 40}},
        {"repeated key 16", {chunk(kTagPHDM, 2, false)}, {16, 16}, {}, {}},
        {"only analysis", {chunk(kTagPHDM, 2, true)}, {16}, {}, {}},
        {"nothing to remove", {chunk(kTagXTRA, 1, false), chunk(kTagDESC, 1, true)}, {15, 17}, {kTagXTRA, kTagDESC}, {15, 17}},
        {"empty", {}, {}, {}, {}},
    };
    for (const ClearCase& c : cases) {
        SCOPED_TRACE(c.name);
        Zem6Model m = richModel(c.chunks, c.extensionKeys);
        clearPhysicalAnalysis(m);
        EXPECT_EQ(tags(m), c.wantTags);
        EXPECT_EQ(keys(m), c.wantKeys);

        // Everything apart from the two lists is as it was, chunk contents
        // included.
        Zem6Model expected = richModel(c.chunks, c.extensionKeys);
        std::erase_if(expected.extraChunks, [](const ExtraChunk& x) { return x.tag == kTagPHDM; });
        std::erase_if(expected.metadata.extensions, [](const ExtensionPair& p) { return p.key == 16; });
        EXPECT_EQ(m, expected);
    }
}

TEST(PhysicalRecords, ModelWithoutAnalysisComparesEqual) {
    const Zem6Model before = richModel({chunk(kTagXTRA, 5, false)}, {15});
    Zem6Model after = before;
    clearPhysicalAnalysis(after);
    EXPECT_EQ(after, before);

    Zem6Model empty;
    clearPhysicalAnalysis(empty);
    EXPECT_EQ(empty, Zem6Model{});
}

} // namespace
} // namespace vt6::fmt
