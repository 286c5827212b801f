#include "platform/file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt6::platform {
namespace {

class PlatformFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (std::filesystem::temp_directory_path() / "zem_file_XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string make(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string p = (dir / name).string();
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

    std::filesystem::path dir;
};

std::vector<uint8_t> counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
    return v;
}

TEST_F(PlatformFile, OpensByUtf8PathReadOnlyAndCloseOnExec) {
    const std::string path = make("Kick \xC3\xA9t\xC3\xA9 \xF0\x9F\xA5\x81.zem", counting(300));
    const int fd = openFileUtf8(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_TRUE(fileSize(fd).has_value());
    EXPECT_EQ(*fileSize(fd), 300u);
    closeFile(fd);
}

TEST_F(PlatformFile, RefusesWhatItCannotOpenWithoutBlocking) {
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string good = make("good.zem", {1});
    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"missing", (dir / "missing.zem").string()},
        {"empty", ""},
        {"directory", dir.string()},
        {"fifo, which would block a plain open", fifo},
        {"truncated UTF-8", (dir / "a\xC3").string()},
        {"overlong UTF-8", (dir / "a\xC0\xAF").string()},
        {"UTF-16 surrogate", (dir / "a\xED\xA0\x80").string()},
        {"above U+10FFFF", (dir / "a\xF4\x90\x80\x80").string()},
        {"embedded NUL", good + std::string(1, '\0') + "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(openFileUtf8(c.path), -1) << c.what;
}

TEST_F(PlatformFile, ReadAtFillsOrSaysWhereTheFileEnded) {
    const std::vector<uint8_t> content = counting(1000);
    const int fd = openFileUtf8(make("data", content));
    ASSERT_GE(fd, 0);

    std::vector<uint8_t> buf(100, 0xEE);
    ReadOutcome r = readAt(fd, buf.data(), buf.size(), 900);
    EXPECT_EQ(r.status, ReadStatus::Filled);
    EXPECT_EQ(r.bytesRead, 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), content.begin() + 900));

    r = readAt(fd, buf.data(), buf.size(), 950);
    EXPECT_EQ(r.status, ReadStatus::EndOfFile);
    EXPECT_EQ(r.bytesRead, 50u);

    for (const uint64_t offset : {uint64_t{1000}, uint64_t{1} << 62, ~uint64_t{0} >> 1}) {
        r = readAt(fd, buf.data(), buf.size(), offset);
        EXPECT_EQ(r.status, ReadStatus::EndOfFile) << offset;
        EXPECT_EQ(r.bytesRead, 0u) << offset;
    }
    r = readAt(fd, buf.data(), buf.size(), ~uint64_t{0});
    EXPECT_EQ(r.status, ReadStatus::Error);

    r = readAt(fd, buf.data(), 0, 5000);
    EXPECT_EQ(r.status, ReadStatus::Filled);
    closeFile(fd);

    r = readAt(-1, buf.data(), buf.size(), 0);
    EXPECT_EQ(r.status, ReadStatus::Error);
    EXPECT_FALSE(fileSize(-1).has_value());
    closeFile(-1);  // harmless
}

TEST_F(PlatformFile, OpenFileLocksNobodyOut) {
    const std::string path = make("shared", counting(64));
    const int fd = openFileUtf8(path);
    ASSERT_GE(fd, 0);
    {
        std::ofstream writer(path, std::ios::binary | std::ios::app);
        writer.put(static_cast<char>(0x7F));
        ASSERT_TRUE(writer.good());
    }
    EXPECT_EQ(*fileSize(fd), 65u);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    uint8_t last = 0;
    EXPECT_EQ(readAt(fd, &last, 1, 64).status, ReadStatus::Filled);
    EXPECT_EQ(last, 0x7F);
    closeFile(fd);
}

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(isValidUtf8("\x80"));
    EXPECT_FALSE(isValidUtf8("\xE0\x80\x80"));
    EXPECT_FALSE(isValidUtf8("\xF8\x88\x80\x80\x80"));
}

} // namespace
} // namespace vt6::platform
