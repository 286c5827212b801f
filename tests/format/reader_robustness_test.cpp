// Every truncation and every single-byte change of a small signed file
// holding each kind of chunk. The open and every read after it must come back
// with a value or an error that says something, never crash or hang; and the
// change must be seen: the open fails, warns or recovers, a chunk's read
// fails, or the signature reports the file modified. The bytes the format
// leaves unchecked are listed below with the reason.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
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
        built = test::layoutChunks(layout.chunks, signer.options());
        file = built.bytes;
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

    // Whether the open of `bytes` (a failed signature allowed) shows the
    // change in any of the ways above.
    bool detected(ByteView bytes) {
        dir.write("probe.zem", bytes);
        auto opened = openZem6File(path, policy(1));
        if (!opened.ok()) return true;
        const Zem6File& f = *opened;
        if (!f.report.warnings.empty() || f.directorySource != DirectorySource::SuperblockPointer ||
            f.report.provenance.badge != ProvenanceBadge::Publisher) {
            return true;
        }
        for (const ChunkRecord& c : f.chunks) {
            if (!f.readChunk(c).ok()) return true;
        }
        return false;
    }

    test::Signer signer;
    test::TempDir dir;
    test::BuiltFile built;
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
    for (size_t n = 0; n < file.size(); ++n) {
        probe(ByteView(file).first(n), n, "prefix " + std::to_string(n));
        // The superblock states the file's length: no prefix opens.
        EXPECT_TRUE(detected(ByteView(file).first(n))) << "prefix " << n;
    }
}

struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Bytes no check of the format covers, by kind.
struct UncheckedBytes {
    const char* what;
    const char* reason;
    std::function<std::vector<ByteRange>(const test::BuiltFile&)> ranges;
};

uint64_t align16(uint64_t v) { return (v + 15) & ~uint64_t{15}; }

const std::vector<UncheckedBytes>& uncheckedBytes() {
    static const std::vector<UncheckedBytes> table{
        {"padding to the 16-byte step after each chunk",
         "outside every chunk's CRC-32C and content hash and outside the signed transcript; only a directory "
         "rebuild by linear scan reads it, and an intact directory needs none",
         [](const test::BuiltFile& f) {
             std::vector<ByteRange> out;
             std::vector<std::pair<uint64_t, uint64_t>> spans;  // chunk offset, payload length
             for (const DirEntry& e : f.entries) spans.emplace_back(e.offset, e.length);
             // The signature slot is read whole, its padding included.
             spans.emplace_back(f.dirOffset, f.dirLength - kChunkFramingBytes);
             for (const auto& [offset, length] : spans) {
                 const uint64_t end = offset + length + kChunkFramingBytes;
                 if (align16(end) != end) out.push_back({end, align16(end)});
             }
             return out;
         }},
    };
    return table;
}

TEST_F(ReaderRobustness, EverySingleByteFlip) {
    std::vector<const UncheckedBytes*> exempt(file.size(), nullptr);
    for (const UncheckedBytes& kind : uncheckedBytes()) {
        for (const ByteRange& r : kind.ranges(built)) {
            for (uint64_t i = r.begin; i < r.end; ++i) exempt[i] = &kind;
        }
    }
    for (size_t i = 0; i < file.size(); ++i) {
        Bytes copy = file;
        copy[i] ^= 0xFF;
        probe(copy, i, "flip at " + std::to_string(i));
        // Every byte a check covers is seen; an unchecked one is not (so the
        // table claims no byte that is in fact checked).
        if (exempt[i] == nullptr) {
            EXPECT_TRUE(detected(copy)) << "flip at " << i << " goes unseen";
        } else {
            EXPECT_FALSE(detected(copy)) << "flip at " << i << " is seen, yet listed as " << exempt[i]->what;
        }
    }
}

} // namespace
} // namespace vt6::fmt
