#include "platform/write_file.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Every name in the test's folder, sorted: a write leaves nothing behind but
// its target.
std::vector<std::string> names(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

unsigned permissions(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

TEST_F(WriteFileTest, ReplacesTheFileWithExactlyTheBytes) {
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
    EXPECT_EQ(names(dir_.root()), std::vector<std::string>{"out.bin"});
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
        {"missing folder", missing, ENOENT, "cannot create a new file beside '" + missing + "': "},
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
    EXPECT_TRUE(names(dir_.root()).empty());
}

// Anything at the target that is not a regular file is refused before it is
// opened: opening a pipe for writing would block until a reader came, and a
// device would take the bytes.
TEST_F(WriteFileTest, NonRegularTargetsAreRefusedUnopened) {
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    std::filesystem::create_directory(path("folder"));
    std::filesystem::create_symlink("/dev/null", path("to-device"));
    std::filesystem::create_symlink("loop-b", path("loop-a"));
    std::filesystem::create_symlink("loop-a", path("loop-b"));
    const struct {
        const char* name;
        int osError;
        std::string message;
    } cases[] = {
        {"pipe", EINVAL, "'" + path("pipe") + "' is a named pipe, not a regular file; it is left alone"},
        {"folder", EINVAL, "'" + path("folder") + "' is a folder, not a regular file; it is left alone"},
        {"to-device", EINVAL, "'" + path("to-device") + "' is a character device, not a regular file; it is left alone"},
        {"loop-a", ELOOP, "cannot follow '" + path("loop-a") + "': Too many levels of symbolic links"},
    };
    const auto before = names(dir_.root());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const WriteStatus status = writeWholeFile(path(c.name), pattern(16));
        EXPECT_EQ(status.failedStep, WriteStep::Target);
        EXPECT_EQ(status.osError, c.osError);
        EXPECT_EQ(status.message, c.message);
        EXPECT_EQ(names(dir_.root()), before);
    }
    EXPECT_TRUE(std::filesystem::is_fifo(path("pipe")));
    EXPECT_TRUE(std::filesystem::is_directory(path("folder")));
    EXPECT_TRUE(std::filesystem::is_empty(path("folder")));
}

// A link at the target stays a link: the file it names, through any number
// of links, relative or absolute, is the one replaced, in its own folder.
TEST_F(WriteFileTest, LinksAreKeptAndTheFileTheyNameIsReplaced) {
    std::filesystem::create_directory(path("real"));
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link name, link text
        std::string replaced;
    } cases[] = {
        {"relative", {{"lib.zem", "real/data.zem"}}, "real/data.zem"},
        {"absolute", {{"lib.zem", path("real/data.zem")}}, "real/data.zem"},
        {"two links", {{"lib.zem", "mid.zem"}, {"mid.zem", "real/data.zem"}}, "real/data.zem"},
        {"relative to the link's folder", {{"lib.zem", "real/hop.zem"}, {"real/hop.zem", "data.zem"}},
         "real/data.zem"},
        {"dangling", {{"lib.zem", "real/new.zem"}}, "real/new.zem"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path("real"));
        std::filesystem::create_directory(path("real"));
        std::filesystem::remove(path("lib.zem"));
        std::filesystem::remove(path("mid.zem"));
        ASSERT_TRUE(writeWholeFile(path("real/data.zem"), pattern(50)).ok());
        for (const auto& [link, text] : c.links) std::filesystem::create_symlink(text, path(link));

        const auto bytes = pattern(77);
        const WriteStatus status = writeWholeFile(path("lib.zem"), bytes);
        ASSERT_TRUE(status.ok()) << status.message;
        for (const auto& [link, text] : c.links) {
            EXPECT_TRUE(std::filesystem::is_symlink(path(link))) << link;
            EXPECT_EQ(std::filesystem::read_symlink(path(link)).string(), text);
        }
        EXPECT_EQ(contents(path(c.replaced)), bytes);
        EXPECT_EQ(contents(path("lib.zem")), bytes);
    }
}

TEST_F(WriteFileTest, ReplacementKeepsThePermissionBits) {
    for (const unsigned mode : {0600u, 0640u, 0755u, 0444u}) {
        SCOPED_TRACE(mode);
        const std::string p = path("kept.bin");
        std::filesystem::remove(p);
        ASSERT_TRUE(writeWholeFile(p, pattern(8)).ok());
        ASSERT_EQ(::chmod(p.c_str(), mode), 0);
        ASSERT_TRUE(writeWholeFile(p, pattern(9)).ok());
        EXPECT_EQ(permissions(p), mode);
        EXPECT_EQ(contents(p), pattern(9));
    }
    // A new file gets what the umask leaves of 0666.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    ASSERT_TRUE(writeWholeFile(path("new.bin"), pattern(3)).ok());
    EXPECT_EQ(permissions(path("new.bin")), 0666u & ~static_cast<unsigned>(mask));
}

// Every write, fsync and rename of a replacement failing in turn: until the
// rename the target holds its old bytes; a failed folder sync comes after it,
// so the target holds the new ones. Nothing else is ever left behind.
TEST_F(WriteFileTest, InjectedFailuresLeaveTheTargetAsItWas) {
    const struct {
        WriteFaultCall call;
        int error;
    } faults[] = {
        {WriteFaultCall::Write, ENOSPC},  {WriteFaultCall::Write, EIO},  {WriteFaultCall::Sync, EIO},
        {WriteFaultCall::Sync, ENOSPC},   {WriteFaultCall::Rename, EXDEV}, {WriteFaultCall::Rename, EACCES},
    };
    const std::string p = path("target.bin");
    const auto oldBytes = pattern(300);
    std::vector<uint8_t> newBytes = pattern(500);
    newBytes[0] ^= 0xFF;
    for (const auto& f : faults) {
        for (int nth = 1;; ++nth) {
            SCOPED_TRACE("call " + std::to_string(static_cast<int>(f.call)) + ", error " + std::to_string(f.error) +
                         ", nth " + std::to_string(nth));
            ASSERT_TRUE(writeWholeFile(p, oldBytes).ok());
            WriteStatus status;
            bool fired = false;
            {
                const ScopedWriteFault fault(f.call, nth, f.error);
                status = writeWholeFile(p, newBytes);
                fired = fault.fired();
            }
            EXPECT_EQ(names(dir_.root()), std::vector<std::string>{"target.bin"});
            if (!fired) {
                ASSERT_TRUE(status.ok()) << status.message;
                EXPECT_GT(nth, 1);
                break;
            }
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.osError, f.error);
            EXPECT_FALSE(status.message.empty());
            // The file's own sync comes first, the folder's second.
            if (f.call == WriteFaultCall::Sync && nth == 2) {
                EXPECT_EQ(status.failedStep, WriteStep::SyncFolder);
                EXPECT_EQ(contents(p), newBytes);
            } else {
                const WriteStep expected = f.call == WriteFaultCall::Write  ? WriteStep::Write
                                           : f.call == WriteFaultCall::Sync ? WriteStep::Sync
                                                                            : WriteStep::Replace;
                EXPECT_EQ(status.failedStep, expected);
                EXPECT_EQ(contents(p), oldBytes);
            }
        }
    }
}

TEST_F(WriteFileTest, ShortWriteIsReportedWithProgressAndLeavesTheTarget) {
    const std::string p = path("partial.bin");
    ASSERT_TRUE(writeWholeFile(p, pattern(20)).ok());
    WriteStatus status;
    {
        const FileSizeLimit limit(1000);
        status = writeWholeFile(p, pattern(5000));
    }
    EXPECT_EQ(status.failedStep, WriteStep::Write);
    EXPECT_EQ(status.osError, EFBIG);
    // The first write stops at the limit; the loop goes on and meets the error.
    EXPECT_NE(status.message.find("(wrote 1000 of 5000 bytes)"), std::string::npos) << status.message;
    EXPECT_EQ(contents(p), pattern(20));
    EXPECT_EQ(names(dir_.root()), std::vector<std::string>{"partial.bin"});
}

TEST_F(WriteFileTest, UncommittedReplacementRemovesOnlyItsTemporary) {
    const std::string p = path("kept.bin");
    ASSERT_TRUE(writeWholeFile(p, pattern(40)).ok());
    std::string temporary;
    {
        FileReplacement replacement;
        ASSERT_TRUE(replacement.begin(p).ok());
        temporary = replacement.temporaryPath();
        EXPECT_EQ(std::filesystem::path(temporary).parent_path(), dir_.root());
        ASSERT_TRUE(replacement.write(pattern(10)).ok());
        EXPECT_TRUE(exists(temporary));
    }
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(contents(p), pattern(40));
    EXPECT_EQ(names(dir_.root()), std::vector<std::string>{"kept.bin"});
}

TEST_F(WriteFileTest, OutputFileStepsAndMoves) {
    const std::string p = path("steps.bin");
    OutputFile file;
    ASSERT_TRUE(file.createNew(p).ok());
    const auto bytes = pattern(300);
    ASSERT_TRUE(file.writeAll(std::span(bytes).first(100)).ok());

    OutputFile moved(std::move(file));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.writeAll(bytes).failedStep, WriteStep::Write);
    ASSERT_TRUE(moved.writeAll(std::span(bytes).subspan(100)).ok());
    const std::vector<uint8_t> patch = {1, 2, 3};
    ASSERT_TRUE(moved.writeAllAt(5, patch).ok());
    ASSERT_TRUE(moved.sync().ok());
    ASSERT_TRUE(moved.close().ok());
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(moved.close().failedStep, WriteStep::Close);
    auto expected = bytes;
    std::copy(patch.begin(), patch.end(), expected.begin() + 5);
    EXPECT_EQ(contents(p), expected);

    EXPECT_TRUE(removeFile(p));
    EXPECT_FALSE(exists(p));
    EXPECT_FALSE(removeFile(p));
}

// A new file is new: an existing file, or a link even to nowhere, is never
// opened through.
TEST_F(WriteFileTest, CreateNewNeverOpensWhatIsThere) {
    const std::string existing = path("existing.bin");
    ASSERT_TRUE(writeWholeFile(existing, pattern(12)).ok());
    std::filesystem::create_symlink("existing.bin", path("link"));
    std::filesystem::create_symlink("nowhere.bin", path("dangling"));
    for (const std::string& p : {existing, path("link"), path("dangling")}) {
        SCOPED_TRACE(p);
        OutputFile file;
        const WriteStatus status = file.createNew(p);
        EXPECT_EQ(status.failedStep, WriteStep::Open);
        EXPECT_EQ(status.osError, EEXIST);
    }
    EXPECT_EQ(contents(existing), pattern(12));
    EXPECT_FALSE(exists(path("nowhere.bin")));
}

TEST_F(WriteFileTest, DescriptorIsNotInheritedAcrossExec) {
    OutputFile file;
    ASSERT_TRUE(file.createNew(path("cloexec.bin")).ok());
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
