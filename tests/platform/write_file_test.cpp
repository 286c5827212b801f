#include "platform/write_file.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vt6::platform {
namespace {

// A fresh directory under /tmp for each test, removed with its contents.
class WriteFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.path(name); }
    static bool exists(const std::string& p) { return test::TempDir::exists(p); }
    static fmt::Bytes contents(const std::string& p) { return test::TempDir::contents(p); }

    test::TempDir dir_;
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

// Lowers the process's file-size limit for one scope, so the kernel cuts
// writes short (EFBIG) as a full disk would; SIGXFSZ is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
};

TEST_F(WriteFileTest, WritesExactlyTheBytesAndTruncatesALongerFile) {
    const std::string p = path("out.bin");
    const auto big = pattern(100000);
    ASSERT_TRUE(writeWholeFile(p, big).ok());
    EXPECT_EQ(contents(p), big);

    const auto small = pattern(10);
    const WriteStatus status = writeWholeFile(p, small);
    ASSERT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(status.osError, 0);
    EXPECT_EQ(contents(p), small);

    ASSERT_TRUE(writeWholeFile(p, {}).ok());
    EXPECT_TRUE(contents(p).empty());
}

TEST_F(WriteFileTest, OpenFailuresNameThePathAndTheReason) {
    struct Case {
        const char* name;
        std::string path;
        int osError;
        std::string messagePrefix;
    };
    const std::string missing = path("no/such/folder/out.bin");
    const std::string withNul = path("a") + std::string(1, '\0') + "b";
    const Case cases[] = {
        {"missing folder", missing, ENOENT, "cannot create '" + missing + "': "},
        {"a directory", dir_.root().string(), EISDIR, "cannot create '" + dir_.root().string() + "': "},
        {"embedded NUL", withNul, EINVAL, "cannot create '" + withNul + "': invalid path"},
        {"empty path", "", EINVAL, "cannot create '': invalid path"},
        {"not UTF-8", path("\xC3("), EINVAL, "cannot create '" + path("\xC3(") + "': invalid path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WriteStatus status = writeWholeFile(c.path, pattern(16));
        EXPECT_EQ(status.failedStep, WriteStep::Open);
        EXPECT_EQ(status.osError, c.osError);
        EXPECT_EQ(status.message.rfind(c.messagePrefix, 0), 0u) << status.message;
    }
    EXPECT_FALSE(exists(path("a")));
    EXPECT_FALSE(exists(path("no")));
}

TEST_F(WriteFileTest, ShortWriteIsReportedWithProgressAndRemovesThePartialFile) {
    const std::string p = path("partial.bin");
    WriteStatus status;
    {
        const FileSizeLimit limit(1000);
        status = writeWholeFile(p, pattern(5000));
    }
    EXPECT_EQ(status.failedStep, WriteStep::Write);
    EXPECT_EQ(status.osError, EFBIG);
    // The first write stops at the limit; the loop goes on and meets the error.
    EXPECT_NE(status.message.find("(wrote 1000 of 5000 bytes)"), std::string::npos) << status.message;
    EXPECT_FALSE(exists(p));
}

TEST_F(WriteFileTest, FailedSyncIsReportedAndNeverUnlinksANonRegularFile) {
    // fsync on a pipe fails with EINVAL: the sync is really made, and its
    // failure reaches the caller. The FIFO is not a file this call may remove.
    const std::string p = path("fifo");
    ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    const int reader = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const WriteStatus status = writeWholeFile(p, pattern(64));
    ::close(reader);
    EXPECT_EQ(status.failedStep, WriteStep::Sync);
    EXPECT_EQ(status.osError, EINVAL);
    EXPECT_EQ(status.message.rfind("cannot sync '" + p + "': ", 0), 0u) << status.message;
    EXPECT_TRUE(exists(p));
}

TEST_F(WriteFileTest, OutputFileStepsAndMoves) {
    const std::string p = path("steps.bin");
    OutputFile file;
    ASSERT_TRUE(file.create(p).ok());
    EXPECT_TRUE(file.isRegularFile());
    const auto bytes = pattern(300);
    ASSERT_TRUE(file.writeAll(std::span(bytes).first(100)).ok());

    OutputFile moved(std::move(file));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.writeAll(bytes).failedStep, WriteStep::Write);
    ASSERT_TRUE(moved.writeAll(std::span(bytes).subspan(100)).ok());
    ASSERT_TRUE(moved.sync().ok());
    ASSERT_TRUE(moved.close().ok());
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(moved.close().failedStep, WriteStep::Close);
    EXPECT_EQ(contents(p), bytes);

    EXPECT_TRUE(removeFile(p));
    EXPECT_FALSE(exists(p));
    EXPECT_FALSE(removeFile(p));
}

TEST_F(WriteFileTest, DescriptorIsNotInheritedAcrossExec) {
    OutputFile file;
    ASSERT_TRUE(file.create(path("cloexec.bin")).ok());
    // The descriptor is private, so find it through /proc/self/fd.
    bool found = false;
    for (int fd = 3; fd < 1024 && !found; ++fd) {
        char link[64];
        char target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = ::readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (std::string(target) == path("cloexec.bin")) {
            found = true;
            EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    EXPECT_TRUE(found);
}

} // namespace
} // namespace vt6::platform
