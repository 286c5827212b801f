#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "editor/logic/path_helpers.hpp"
#include "support/temp_dir.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::TempDir;

enum class Op { Join, NamePart, Parent, Stem, ExtLower, Normalize };

struct PathCase {
    Op op;
    std::string a;
    std::string b;  // second argument of joinPath
    std::string expected;
};

std::string run(const PathCase& c) {
    switch (c.op) {
        case Op::Join: return joinPath(c.a, c.b);
        case Op::NamePart: return fileNamePart(c.a);
        case Op::Parent: return parentPath(c.a);
        case Op::Stem: return fileStem(c.a);
        case Op::ExtLower: return fileExtensionLower(c.a);
        case Op::Normalize: return normalizePath(c.a);
    }
    return {};
}

TEST(PathHelpers, TakeApartAndPutTogether) {
    const PathCase cases[] = {
        {Op::Join, "", "x.zem", "x.zem"},
        {Op::Join, "dir", "", "dir"},
        {Op::Join, "dir/", "x", "dir/x"},
        {Op::Join, "dir\\", "x", "dir\\x"},
        {Op::Join, "dir", "x", "dir/x"},
        {Op::Join, "", "", ""},
        {Op::NamePart, "a\\b/c\\kick.wav", "", "kick.wav"},
        {Op::NamePart, "abc", "", "abc"},
        {Op::NamePart, "abc/", "", ""},
        {Op::Parent, "a/b/c", "", "a/b"},
        {Op::Parent, "a\\b\\c", "", "a\\b"},
        {Op::Parent, "/x", "", ""},
        {Op::Parent, "x", "", ""},
        {Op::Stem, "a/b.c.wav", "", "b.c"},
        {Op::Stem, "dir/.hidden", "", ".hidden"},
        {Op::Stem, "take.", "", "take"},
        {Op::Stem, "drums.old/noext", "", "noext"},
        {Op::ExtLower, "Kick.WAV", "", ".wav"},
        {Op::ExtLower, "take.", "", "."},
        {Op::ExtLower, "drums.old/noext", "", ""},
        {Op::ExtLower, ".hidden", "", ""},
        {Op::ExtLower, "x.ÄB", "", ".Äb"},
        {Op::Normalize, "C:/Music/../Drums/./kick.wav", "", "C:/Drums/kick.wav"},
        {Op::Normalize, "C:\\Music\\..\\Drums\\.\\kick.wav", "", "C:/Drums/kick.wav"},
        {Op::Normalize, "//server/share/../x", "", "//server/share/x"},
        {Op::Normalize, "\\/server\\share\\..\\..\\x", "", "//server/share/x"},
        {Op::Normalize, "C:", "", "C:"},
        {Op::Normalize, "C:/../../x", "", "C:/x"},
        {Op::Normalize, "/../a", "", "/a"},
        {Op::Normalize, "/", "", "/"},
        {Op::Normalize, "/a//b/./c/", "", "/a/b/c"},
        {Op::Normalize, "/Mixed/CASE", "", "/Mixed/CASE"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(run(c), c.expected) << static_cast<int>(c.op) << " '" << c.a << "' '" << c.b << "'";
    }
}

TEST(PathHelpers, RelativePathsStartAtTheCurrentFolder) {
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(normalizePath("a/./b/../c"), normalizePath(cwd + "/a/c"));
    EXPECT_EQ(normalizePath(""), normalizePath(cwd));
}

// --- File status ----------------------------------------------------------------

void setTimes(const std::string& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileStatus, RegularFileFolderAndNothing) {
    TempDir dir;
    const std::string file = dir.write("kick.zem", std::vector<uint8_t>(1234, 7));
    setTimes(file, 1700000000, 123456789);
    const FileInfo info = queryFileInfo(file);
    EXPECT_TRUE(info.exists);
    EXPECT_FALSE(info.isDirectory);
    EXPECT_EQ(info.size, 1234u);
    EXPECT_EQ(info.modifiedTime, 1700000000);
    EXPECT_EQ(info.lastWriteTime, 1700000000123456789ull);

    const FileInfo folder = queryFileInfo(dir.root().string());
    EXPECT_TRUE(folder.exists);
    EXPECT_TRUE(folder.isDirectory);

    // A file stamped at the epoch still reads as having a write time.
    setTimes(file, 0, 0);
    EXPECT_NE(queryFileInfo(file).lastWriteTime, 0u);

    const std::string invalidUtf8 = dir.path("bad\xff.zem");
    ASSERT_TRUE(TempDir::exists(dir.write("bad\xff.zem", std::vector<uint8_t>(3, 1))));
    for (const std::string& nothing : {dir.path("missing.zem"), invalidUtf8, std::string(), std::string("a\0b", 3)}) {
        EXPECT_EQ(queryFileInfo(nothing), FileInfo{}) << nothing;
    }
}

TEST(FileStatus, ARewriteOfTheSameSizeChangesTheWriteTime) {
    TempDir dir;
    const std::string file = dir.write("a.zem", std::vector<uint8_t>(10, 1));
    setTimes(file, 1600000000, 1);
    const FileInfo before = queryFileInfo(file);
    dir.write("a.zem", std::vector<uint8_t>(10, 2));
    setTimes(file, 1600000000, 2);
    const FileInfo after = queryFileInfo(file);
    EXPECT_EQ(before.size, after.size);
    EXPECT_EQ(before.modifiedTime, after.modifiedTime);
    EXPECT_NE(before.lastWriteTime, after.lastWriteTime);
}

// --- Copying ---------------------------------------------------------------------

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + i / 977);
    return bytes;
}

TEST(CopyFile, CopiesEveryByteOrLeavesNoTarget) {
    struct Case {
        const char* what;
        size_t sourceBytes;      // of the source "src"; SIZE_MAX: no source
        const char* target;      // name in the folder
        size_t oldTargetBytes;   // an existing target first; 0: none
        bool ok;
    };
    const Case cases[] = {
        {"empty source", 0, "t", 0, true},
        {"several blocks", 3 * 65536 + 17, "t", 0, true},
        {"over a longer file", 100, "t", 5000, true},
        {"missing source", SIZE_MAX, "t", 0, false},
        {"missing folder", 100, "no/such/t", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::vector<uint8_t> bytes = c.sourceBytes == SIZE_MAX ? std::vector<uint8_t>{} : pattern(c.sourceBytes);
        const std::string source = c.sourceBytes == SIZE_MAX ? dir.path("src") : dir.write("src", bytes);
        if (c.oldTargetBytes != 0) dir.write(c.target, std::vector<uint8_t>(c.oldTargetBytes, 9));
        const std::string target = dir.path(c.target);
        EXPECT_EQ(copyFile(source, target), c.ok);
        if (c.ok) {
            EXPECT_EQ(TempDir::contents(target), bytes);
            EXPECT_EQ(TempDir::contents(source), bytes);
        } else {
            EXPECT_FALSE(TempDir::exists(target));
        }
    }
}

TEST(CopyFile, RefusesToCopyOntoItselfOrOntoAFolder) {
    TempDir dir;
    const std::vector<uint8_t> bytes = pattern(4000);
    const std::string source = dir.write("src", bytes);
    EXPECT_FALSE(copyFile(source, source));
    EXPECT_FALSE(copyFile(source, dir.path(".") + "/src"));
    EXPECT_EQ(TempDir::contents(source), bytes);

    ASSERT_EQ(::mkdir(dir.path("folder").c_str(), 0700), 0);
    EXPECT_FALSE(copyFile(source, dir.path("folder")));
    EXPECT_TRUE(queryFileInfo(dir.path("folder")).isDirectory);
    // A folder is no source either.
    EXPECT_FALSE(copyFile(dir.path("folder"), dir.path("t")));
    EXPECT_FALSE(TempDir::exists(dir.path("t")));
}

TEST(CopyFile, AFailedWriteRemovesThePartialTarget) {
    TempDir dir;
    const std::string source = dir.write("src", pattern(200000));
    const std::string target = dir.path("t");
    bool copied = true;
    {
        // The kernel cuts the write at the file-size limit, as a full disk would.
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = 70000;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
        copied = copyFile(source, target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_FALSE(copied);
    EXPECT_FALSE(TempDir::exists(target));
    EXPECT_EQ(TempDir::contents(source), pattern(200000));
}

} // namespace
} // namespace vt6::ui::zemedit::logic
