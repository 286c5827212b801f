// Every truncation and every single-byte change of a small file holding each
// kind of chunk: the open and every read after it must come back with a value
// or an error that says something, never crash or hang.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/reader.hpp"
#include "format/zem_test_file.hpp"

namespace vt6::fmt {
namespace {

class ReaderRobustness : public ::testing::Test {
protected:
    void SetUp() override {
        auto full = test::fullModel();
        signer.certify(full.model);
        const auto layout = test::modelChunks(full.model, full.payloads);
        file = test::layoutChunks(layout.chunks, signer.options()).bytes;
        path = dir.path("probe.zem");
    }

    ReadPolicy policy(size_t variant) const {
        ReadPolicy p;
        p.rootKeyOverride = signer.rootKey();
        p.allowBadSignature = static_cast<uint32_t>(variant % 2);  // both ways through a failed signature
        return p;
    }

    // Opens `bytes` and, when that works, reads every chunk three ways.
    void probe(ByteView bytes, size_t variant, const std::string& what) {
        dir.write("probe.zem", bytes);
        auto opened = openZem6File(path, policy(variant));
        if (!opened.ok()) {
            EXPECT_FALSE(opened.message().empty()) << what;
            return;
        }
        const Zem6File& f = *opened;
        for (const ChunkRecord& c : f.chunks) {
            auto whole = f.readChunk(c);
            if (!whole.ok()) {
                EXPECT_FALSE(whole.message().empty()) << what;
            }
            auto view = f.readChunkHeader(c);
            if (!view.ok()) {
                EXPECT_FALSE(view.message().empty()) << what;
                continue;
            }
            uint8_t piece[32];
            for (uint64_t at = 0; at < view->payloadLength; at += sizeof piece) {
                auto n = Zem6File::readPayloadRange(*view, at, piece);
                if (!n.ok()) {
                    EXPECT_FALSE(n.message().empty()) << what;
                    break;
                }
                ASSERT_GT(*n, 0u) << what;
            }
        }
    }

    test::Signer signer;
    test::TempDir dir;
    Bytes file;
    std::string path;
};

TEST_F(ReaderRobustness, FixtureHoldsEveryChunkKindAndVerifies) {
    ASSERT_LT(file.size(), 4096u);
    dir.write("probe.zem", file);
    auto opened = openZem6File(path, policy(0));
    ASSERT_TRUE(opened.ok()) << opened.message();
    EXPECT_EQ(opened->report.provenance.badge, ProvenanceBadge::Publisher);
    for (const uint32_t tag : {kTagMTAD, kTagSUMM, kTagSMPL, kTagPEAK, kTagLGCY, kTagDESC}) {
        EXPECT_NE(opened->findEntry(tag, 0), nullptr) << tagText(tag);
    }
    EXPECT_NE(opened->findEntry(kTagAUDI, 2), nullptr);
    EXPECT_NE(opened->findEntry(kTagAUDT, 3), nullptr);
    EXPECT_NE(opened->findEntry(makeTag("QQQQ"), 7), nullptr);
}

TEST_F(ReaderRobustness, EveryPrefix) {
    for (size_t n = 0; n < file.size(); ++n) probe(ByteView(file).first(n), n, "prefix " + std::to_string(n));
}

TEST_F(ReaderRobustness, EverySingleByteFlip) {
    for (size_t i = 0; i < file.size(); ++i) {
        Bytes copy = file;
        copy[i] ^= 0xFF;
        probe(copy, i, "flip at " + std::to_string(i));
    }
}

} // namespace
} // namespace vt6::fmt
