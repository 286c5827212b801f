// What a failing disk, a rewrite of a file from its own chunks and a model
// the reader would refuse do to the files already there: nothing.

#include "format/writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "format/framing.hpp"
#include "format/reader.hpp"
#include "platform/write_file.hpp"
#include "support/temp_dir.hpp"

namespace vt6::fmt {
namespace {

using platform::ScopedWriteFault;
using platform::WriteFaultCall;

// Payloads that straddle the writer's buffering: small ones gathered with
// the framing, large ones written straight from the caller's memory.
Zem6Model model(const std::string& name) {
    Zem6Model m;
    m.metadata.next_uid = 20;
    m.metadata.name = name;
    for (uint64_t i = 0; i < 4; ++i) {
        SmplEntry row;
        row.uid = 2 * i + 1;
        row.audi_uid = 2 * i + 2;
        m.samples.push_back(row);
    }
    m.extraChunks.push_back(ExtraChunk{makeTag("XTRA"), 0, 3, 0, {1, 2, 3}, true});
    return m;
}

std::vector<StagedPayload> payloads(uint8_t seed) {
    const size_t sizes[] = {1500000, 100, 2500000, 7};
    std::vector<StagedPayload> out;
    for (uint64_t i = 0; i < 4; ++i) {
        StagedPayload p;
        p.tag = kTagAUDI;
        p.uid = 2 * i + 2;
        p.bytes.resize(sizes[i]);
        for (size_t k = 0; k < p.bytes.size(); ++k) p.bytes[k] = static_cast<uint8_t>(seed + k * 13 + i);
        out.push_back(std::move(p));
    }
    return out;
}

std::vector<std::string> names(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

std::string expectedMessage(platform::WriteFaultCall call, bool folderSync, const std::string& p) {
    if (folderSync) return "'" + p + "' was replaced, but its folder could not be synced to storage";
    switch (call) {
    case WriteFaultCall::Write:
        return "short write to '" + p + "'";
    case WriteFaultCall::Sync:
        return "cannot sync '" + p + "' to storage";
    case WriteFaultCall::Rename:
        break;
    }
    return "cannot replace '" + p + "' with the new file; it is left as it was";
}

// Each write, fsync and rename of a save failing in turn, for a save from
// the caller's payloads and for a rewrite of a file from its own chunks:
// until the rename the old file is there byte for byte (and still opens);
// only a failed folder sync, after the rename, finds the new one in place.
TEST(WriterSafety, EveryFailingCallLeavesTheOldFile) {
    test::TempDir dir;
    const std::string p = dir.path("library.zem");
    const struct {
        const char* what;
        std::function<Result<Unit>()> write;
    } saves[] = {
        {"save", [&] { return writeZem6File(p, model("new"), payloads(2)); }},
        {"rewrite from its own chunks", [&] { return writeZem6WithSourcePayloads(p, p, model("new"), ReadPolicy{}); }},
    };
    const struct {
        WriteFaultCall call;
        int error;
    } faults[] = {
        {WriteFaultCall::Write, ENOSPC}, {WriteFaultCall::Write, EIO},     {WriteFaultCall::Sync, EIO},
        {WriteFaultCall::Sync, ENOSPC},  {WriteFaultCall::Rename, ENOSPC},
    };
    ASSERT_TRUE(writeZem6File(p, model("old"), payloads(1)).ok());
    const Bytes oldBytes = test::TempDir::contents(p);
    ASSERT_TRUE(writeZem6WithSourcePayloads(p, p, model("new"), ReadPolicy{}).ok());
    const Bytes rewritten = test::TempDir::contents(p);
    ASSERT_TRUE(writeZem6File(p, model("new"), payloads(2)).ok());
    const Bytes saved = test::TempDir::contents(p);

    for (const auto& save : saves) {
        const Bytes& newBytes = std::string(save.what) == "save" ? saved : rewritten;
        for (const auto& f : faults) {
            for (int nth = 1;; ++nth) {
                SCOPED_TRACE(std::string(save.what) + ", call " + std::to_string(static_cast<int>(f.call)) +
                             ", error " + std::to_string(f.error) + ", nth " + std::to_string(nth));
                ASSERT_TRUE(writeZem6File(p, model("old"), payloads(1)).ok());
                Result<Unit> result = Unit{};
                bool fired = false;
                {
                    const ScopedWriteFault fault(f.call, nth, f.error);
                    result = save.write();
                    fired = fault.fired();
                }
                EXPECT_EQ(names(dir.root()), std::vector<std::string>{"library.zem"});
                if (!fired) {
                    ASSERT_TRUE(result.ok()) << result.message();
                    EXPECT_TRUE(test::TempDir::contents(p) == newBytes);
                    break;
                }
                ASSERT_FALSE(result.ok());
                EXPECT_EQ(result.code(), ErrorCode::WriteIo);
                const bool folderSync = f.call == WriteFaultCall::Sync && nth == 2;
                EXPECT_EQ(result.message(), expectedMessage(f.call, folderSync, p));
                if (folderSync) {
                    EXPECT_TRUE(test::TempDir::contents(p) == newBytes);
                } else {
                    EXPECT_TRUE(test::TempDir::contents(p) == oldBytes);
                    EXPECT_TRUE(openZem6File(p, ReadPolicy{}).ok());
                }
            }
        }
    }
}

// A damaged source chunk found while copying is what the caller hears of,
// even when the disk failed first: it is the fault to mend.
TEST(WriterSafety, DamagedSourceChunkIsReportedOverAFailingDisk) {
    test::TempDir dir;
    const std::string source = dir.path("source.zem");
    const std::string dest = dir.path("dest.zem");
    ASSERT_TRUE(writeZem6File(source, model("source"), payloads(1)).ok());
    Bytes bytes = test::TempDir::contents(source);
    auto file = openZem6File(source, ReadPolicy{});
    ASSERT_TRUE(file.ok());
    const ChunkRecord last = *file->findEntry(kTagAUDI, 8);
    file = Result<Zem6File>(fail(ErrorCode::ReadIo, "closed"));
    bytes[last.offset + kChunkHeaderBytes + 3] ^= 0x01;
    dir.write("source.zem", bytes);
    ASSERT_TRUE(writeZem6File(dest, model("dest"), payloads(3)).ok());
    const Bytes destBefore = test::TempDir::contents(dest);

    const ScopedWriteFault fault(WriteFaultCall::Write, 1, ENOSPC);
    const auto result = writeZem6WithSourcePayloads(source, dest, model("new"), ReadPolicy{});
    EXPECT_TRUE(fault.fired());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.code(), ErrorCode::ChunkCrcMismatch);
    EXPECT_EQ(result.message(), "chunk 'AUDI' uid 8 fails its crc32c trailer");
    EXPECT_TRUE(test::TempDir::contents(dest) == destBefore);
    EXPECT_EQ(names(dir.root()), (std::vector<std::string>{"dest.zem", "source.zem"}));
}

// "Written" means "opens": what the reader's default policy refuses is
// refused before any file is made, with the reader's code and words.
TEST(WriterSafety, RefusesWhatTheReaderWouldRefuse) {
    const ReadPolicy policy;
    const struct {
        const char* what;
        std::function<Zem6Model()> make;
        ErrorCode code;
        std::string message;  // the whole text, or how it starts
    } cases[] = {
        {"metadata over the budget",
         [&] {
             Zem6Model m;
             ExtraChunk big{makeTag("ARTW"), 0, 0, 0, {}, true};
             // With MTAD and SMPL ahead of it, a few bytes over.
             big.bytes.resize(policy.maxMetadataBytes - 28 - 10);
             big.length = big.bytes.size();
             m.extraChunks.push_back(std::move(big));
             return m;
         },
         ErrorCode::MetadataPolicyBytes, "metadata requires at least "},
        {"more directory entries than the limit",
         [&] {
             Zem6Model m;
             m.extraChunks.resize(policy.maxDirEntries - 1);
             for (size_t i = 0; i < m.extraChunks.size(); ++i) {
                 m.extraChunks[i].tag = makeTag("KEYS");
                 m.extraChunks[i].uid = i;
             }
             return m;
         },
         ErrorCode::DirPolicyEntries,
         "this file declares 1000001 directory entries; the current limit is 1000000"},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Zem6Model m = c.make();
        const auto laidOut = layoutZem6File(m, {});
        ASSERT_FALSE(laidOut.ok());
        EXPECT_EQ(laidOut.code(), c.code);
        const std::string p = dir.path("refused.zem");
        const auto written = writeZem6File(p, m, {});
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.code(), c.code);
        EXPECT_EQ(written.message(), laidOut.message());
        EXPECT_EQ(written.message().rfind(c.message, 0), 0u) << written.message();
        EXPECT_TRUE(names(dir.root()).empty());
    }
}

} // namespace
} // namespace vt6::fmt
