#include "app/save_job.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/save_model.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::maker {
namespace {

namespace fs = std::filesystem;
using ui::zemedit::logic::test::kitModel;
using ui::zemedit::logic::test::Opened;

fmt::SampleAudio toneFor(uint64_t uid) {
    fmt::SampleAudio a;
    a.channels = 1;
    a.sampleRate = 48000;
    for (size_t f = 0; f < 2000; ++f) {
        a.samples.push_back(static_cast<float>((f * (uid + 3)) % 50) / 50.0f - 0.5f);
    }
    return a;
}

fmt::Export kitExport() {
    const Opened o(kitModel());
    int code = -1;
    auto r = buildExport(o.doc, o.source, "kit", [](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
        return toneFor(uid);
    }, code);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return r.ok() ? std::move(r).value() : fmt::Export{};
}

std::vector<char> bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> folderNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SaveJob : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("save_job_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        target = dir / "kit.zem";
        std::ofstream(target, std::ios::binary) << "old library bytes";
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    fs::path target;
};

TEST_F(SaveJob, SuccessReplacesTheTargetWithTheVerifiedFile) {
    const fmt::Export e = kitExport();
    ASSERT_EQ(writeExportOver(target.string(), e), 0);
    EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    auto opened = fmt::openZem6File(target.string(), fmt::ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(opened.value().model.samples.size(), e.model.samples.size());
    bool hasAnalysis = false;
    for (const fmt::ChunkRecord& r : opened.value().chunks) {
        EXPECT_NE(r.tag, fmt::kTagAUDT);
        hasAnalysis = hasAnalysis || r.tag == fmt::kTagPHDM;
    }
    EXPECT_TRUE(hasAnalysis);
    EXPECT_EQ(verifyWrittenFile(target.string(), e), 0);
}

TEST_F(SaveJob, AFailureAfterAnyStepLeavesTheOldFileAndNoLeftovers) {
    struct Case {
        const char* name;
        SaveStep failAfter;
        bool targetReplaced;
    };
    const Case cases[] = {
        {"after writing", SaveStep::written, false},
        {"after the analysis", SaveStep::analysed, false},
        {"after verifying", SaveStep::verified, false},
        {"after replacing", SaveStep::replaced, true},
    };
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(target, std::ios::binary | std::ios::trunc) << "old library bytes";
        std::vector<SaveStep> seen;
        const int code = writeExportOver(target.string(), e, [&](SaveStep s) {
            seen.push_back(s);
            return s != c.failAfter;
        });
        EXPECT_EQ(code, kSaveCannotWrite);
        EXPECT_EQ(seen.back(), c.failAfter);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
        if (c.targetReplaced) {
            EXPECT_EQ(verifyWrittenFile(target.string(), e), 0);
        } else {
            EXPECT_EQ(bytesOf(target), old);
        }
    }
}

TEST_F(SaveJob, IoFaultsGiveTheWriteCode) {
    struct Case {
        const char* name;
        platform::WriteFaultCall call;
        int nth;
    };
    // The writer's own rename, then the analysis pass's rename of its companion.
    const Case cases[] = {
        {"writer sync", platform::WriteFaultCall::Sync, 1},
        {"writer rename", platform::WriteFaultCall::Rename, 1},
        {"analysis rename", platform::WriteFaultCall::Rename, 2},
    };
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScopedWriteFault fault(c.call, c.nth, ENOSPC);
        EXPECT_EQ(writeExportOver(target.string(), e), kSaveCannotWrite);
        EXPECT_TRUE(fault.fired());
        EXPECT_EQ(bytesOf(target), old);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    }
}

int failingRename(const char*, const char*) {
    errno = EBUSY;
    return -1;
}

TEST_F(SaveJob, AFailedRenameIsAFailedSaveNeverACopy) {
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    platform::setRenameCallForTesting(&failingRename);
    const int code = writeExportOver(target.string(), e);
    platform::setRenameCallForTesting(nullptr);
    EXPECT_EQ(code, kSaveCannotWrite);
    EXPECT_EQ(bytesOf(target), old);
    EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
}

TEST_F(SaveJob, VerificationComparesUidsAndAudio) {
    const fmt::Export e = kitExport();
    ASSERT_EQ(writeExportOver(target.string(), e), 0);
    struct Case {
        const char* name;
        std::function<void(fmt::Export&)> change;
    };
    const Case cases[] = {
        {"one audio byte differs", [](fmt::Export& x) { x.payloads.back().bytes.back() ^= 1; }},
        {"first audio byte differs", [](fmt::Export& x) {
             for (auto& p : x.payloads)
                 if (p.tag == fmt::kTagAUDI) {
                     p.bytes.front() ^= 1;
                     break;
                 }
         }},
        {"a sample missing", [](fmt::Export& x) { x.model.samples.pop_back(); }},
        {"a payload missing", [](fmt::Export& x) { x.payloads.pop_back(); }},
        {"a payload the file lacks", [](fmt::Export& x) {
             auto extra = x.payloads.back();
             extra.uid += 1000;
             x.payloads.push_back(extra);
         }},
        {"one payload twice", [](fmt::Export& x) { x.payloads.push_back(x.payloads.back()); }},
    };
    // The pool size never changes the answer.
    for (const unsigned threads : {1u, 2u, 4u, 9u}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(verifyWrittenFile(target.string(), e, threads), 0);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            fmt::Export other = e;
            c.change(other);
            EXPECT_EQ(verifyWrittenFile(target.string(), other, threads), kSaveCannotWrite);
        }
    }
    // A damaged file does not pass either.
    {
        std::fstream f(target, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(fs::file_size(target) / 2));
        f.put('\x5A');
    }
    for (const unsigned threads : {1u, 4u}) EXPECT_EQ(verifyWrittenFile(target.string(), e, threads), kSaveCannotWrite);
}

TEST(SaveJobNames, TemporarySiblingSplitsOnBothSeparators) {
    struct Case {
        std::string target;
        std::string prefix;
        std::string extension;
    };
    const Case cases[] = {
        {"/a/kit.zem", "/a/kit_temp", ".zem"},
        {"C:\\lib\\kit.zem", "C:\\lib\\kit_temp", ".zem"},
        {"/a.b/kit", "/a.b/kit_temp", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string t = temporarySiblingFor(c.target);
        ASSERT_GT(t.size(), c.prefix.size() + c.extension.size());
        EXPECT_EQ(t.substr(0, c.prefix.size()), c.prefix);
        EXPECT_EQ(t.substr(t.size() - c.extension.size()), c.extension);
        EXPECT_NE(t, temporarySiblingFor(c.target));
    }
}

} // namespace
} // namespace vt6::maker
