// The checked copy: whole and synced or no file, by the kernel's copy and by
// blocks, under a full file system (simulated, and a real size limit).

#include "platform/copy_file.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>

namespace vt6::platform {
namespace {

fmt::Bytes pattern(size_t size) {
    fmt::Bytes out(size);
    uint32_t state = 7;
    for (auto& b : out) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

struct SeamReset {
    ~SeamReset() {
        setCopyRoomForTesting(std::nullopt);
        setKernelCopyDisabledForTesting(false);
    }
};

TEST(CopyToNewFile, WholeOrNothingOnEitherPath) {
    test::TempDir dir;
    SeamReset reset;
    const size_t size = (size_t{8} << 20) + 12345;  // more than one block
    const auto source = dir.write("source.zem", pattern(size));
    struct Case {
        const char* name;
        bool kernel;
        std::optional<uint64_t> room;
        bool ok;
    };
    const Case cases[] = {
        {"kernel, room enough", true, std::nullopt, true},
        {"blocks, room enough", false, std::nullopt, true},
        {"kernel, exactly the room", true, size, true},
        {"blocks, exactly the room", false, size, true},
        {"kernel, one byte short", true, size - 1, false},
        {"blocks, one byte short", false, size - 1, false},
        {"kernel, a third of it", true, size / 3, false},
        {"blocks, no room at all", false, 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        setKernelCopyDisabledForTesting(!c.kernel);
        setCopyRoomForTesting(c.room);
        const auto target = dir.path("copy" + std::to_string(n++) + ".zem");
        const CopyStatus status = copyToNewFile(source, target);
        EXPECT_EQ(status.ok(), c.ok) << c.name << ": " << status.message;
        if (c.ok) {
            EXPECT_EQ(test::TempDir::contents(target), test::TempDir::contents(source)) << c.name;
        } else {
            EXPECT_EQ(status.failedStep, CopyStep::Write) << c.name;
            EXPECT_TRUE(status.noSpace()) << c.name << ": " << status.message;
            EXPECT_FALSE(test::TempDir::exists(target)) << c.name << ": the partial copy stays";
        }
    }
}

TEST(CopyToNewFile, RefusalsTouchNothing) {
    test::TempDir dir;
    const auto source = dir.write("source.zem", pattern(1000));
    const auto existing = dir.write("existing.zem", pattern(10));
    std::filesystem::create_directory(dir.path("folder"));
    std::filesystem::create_symlink(dir.path("elsewhere.zem"), dir.path("link.zem"));

    EXPECT_EQ(copyToNewFile(dir.path("missing.zem"), dir.path("a.zem")).failedStep, CopyStep::Source);
    EXPECT_FALSE(test::TempDir::exists(dir.path("a.zem")));
    EXPECT_EQ(copyToNewFile(dir.path("folder"), dir.path("b.zem")).failedStep, CopyStep::Source);
    // Something at the target, a link included, is never written through.
    EXPECT_EQ(copyToNewFile(source, existing).failedStep, CopyStep::Open);
    EXPECT_EQ(test::TempDir::contents(existing), pattern(10));
    EXPECT_EQ(copyToNewFile(source, dir.path("link.zem")).failedStep, CopyStep::Open);
    EXPECT_FALSE(test::TempDir::exists(dir.path("elsewhere.zem")));
    EXPECT_EQ(copyToNewFile(source, dir.path("no-folder/c.zem")).failedStep, CopyStep::Open);
    // An empty file copies to an empty file.
    const auto empty = dir.write("empty.zem", fmt::Bytes{});
    EXPECT_TRUE(copyToNewFile(empty, dir.path("d.zem")).ok());
    EXPECT_TRUE(test::TempDir::contents(dir.path("d.zem")).empty());
}

// A real limit from the system, not the seam: the file-size limit makes the
// kernel refuse the bytes past it, as a full disk does.
TEST(CopyToNewFile, TheSystemsRefusalIsSeenOnBothPaths) {
    test::TempDir dir;
    SeamReset reset;
    const auto source = dir.write("source.zem", pattern(3 << 20));
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 1 << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    CopyStatus viaKernel = copyToNewFile(source, dir.path("kernel.zem"));
    setKernelCopyDisabledForTesting(true);
    CopyStatus viaBlocks = copyToNewFile(source, dir.path("blocks.zem"));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    for (const auto& [status, name] : {std::pair{viaKernel, "kernel.zem"}, std::pair{viaBlocks, "blocks.zem"}}) {
        EXPECT_FALSE(status.ok()) << name;
        EXPECT_TRUE(status.noSpace()) << name << ": " << status.message;
        EXPECT_FALSE(test::TempDir::exists(dir.path(name))) << name;
    }
}

TEST(OwnedFile, RemovesOnlyWhatItAdopted) {
    test::TempDir dir;
    const auto theirs = dir.write("theirs.zem", pattern(10));
    { OwnedFile notYet(theirs); }
    EXPECT_TRUE(test::TempDir::exists(theirs));
    {
        OwnedFile ours(theirs);
        ours.adopt();
    }
    EXPECT_FALSE(test::TempDir::exists(theirs));
}

} // namespace
} // namespace vt6::platform
