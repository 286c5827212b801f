#include "platform/replace_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/write_file.hpp"
#include "support/temp_dir.hpp"

namespace vt6::platform {
namespace {

int refusingRename(const char*, const char*) {
    errno = EACCES;
    return -1;
}

TEST(ReplaceFile, RenamesOverTheTargetOrLeavesBothAlone) {
    struct Case {
        const char* what;
        bool sourceExists;
        bool targetExists;
        bool refuse;
        bool ok;
    };
    for (const Case c : {Case{"over an existing file", true, true, false, true},
                         Case{"to a new name", true, false, false, true},
                         Case{"missing source", false, true, false, false},
                         Case{"rename refused", true, true, true, false}}) {
        test::TempDir dir;
        const std::string from = dir.path("kit.zem.physical");
        const std::string to = dir.path("kit.zem");
        if (c.sourceExists) dir.write("kit.zem.physical", fmt::Bytes{1, 2, 3});
        if (c.targetExists) dir.write("kit.zem", fmt::Bytes{9});
        if (c.refuse) setRenameCallForTesting(refusingRename);
        const ReplaceStatus status = replaceFile(from, to);
        setRenameCallForTesting(nullptr);
        EXPECT_EQ(status.ok(), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(status.osError, 0) << c.what;
            EXPECT_EQ(test::TempDir::contents(to), (fmt::Bytes{1, 2, 3})) << c.what;
            EXPECT_FALSE(test::TempDir::exists(from)) << c.what;
            continue;
        }
        EXPECT_NE(status.osError, 0) << c.what;
        EXPECT_NE(status.message.find(to), std::string::npos) << c.what << ": " << status.message;
        EXPECT_EQ(test::TempDir::exists(from), c.sourceExists) << c.what;
        EXPECT_EQ(test::TempDir::contents(to), fmt::Bytes{9}) << c.what;
    }
}

// What the user chose stays what it was: a link keeps pointing at the file it
// names, which gets the new content; a pipe or a folder is never replaced.
TEST(ReplaceFile, KeepsALinkAndRefusesWhatIsNotAFile) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const test::TempDir&)> make;  // puts something at "kit.zem"
        bool ok;
        const char* replaced;  // name whose content becomes {1, 2, 3}
        const char* reason;    // part of the refusal's message
    };
    const std::vector<Case> cases{
        {"link to a file in another folder",
         [](const test::TempDir& d) {
             fs::create_directory(d.path("lib"));
             d.write("lib/real.zem", fmt::Bytes{9});
             fs::create_symlink("lib/real.zem", d.path("kit.zem"));
         },
         true, "lib/real.zem", ""},
        {"link to a link to a file",
         [](const test::TempDir& d) {
             d.write("real.zem", fmt::Bytes{9});
             fs::create_symlink(d.path("real.zem"), d.path("mid.zem"));
             fs::create_symlink("mid.zem", d.path("kit.zem"));
         },
         true, "real.zem", ""},
        {"dangling link", [](const test::TempDir& d) { fs::create_symlink("new.zem", d.path("kit.zem")); }, true,
         "new.zem", ""},
        {"named pipe", [](const test::TempDir& d) { ASSERT_EQ(::mkfifo(d.path("kit.zem").c_str(), 0600), 0); },
         false, nullptr, "a named pipe, not a regular file"},
        {"folder", [](const test::TempDir& d) { fs::create_directory(d.path("kit.zem")); }, false, nullptr,
         "a folder, not a regular file"},
        {"link to a pipe",
         [](const test::TempDir& d) {
             ASSERT_EQ(::mkfifo(d.path("pipe").c_str(), 0600), 0);
             fs::create_symlink("pipe", d.path("kit.zem"));
         },
         false, nullptr, "a named pipe, not a regular file"},
        {"link loop", [](const test::TempDir& d) { fs::create_symlink("kit.zem", d.path("kit.zem")); }, false,
         nullptr, "evels of symbolic links"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        c.make(dir);
        const std::string from = dir.write("kit.zem.physical", fmt::Bytes{1, 2, 3});
        const std::string to = dir.path("kit.zem");
        const fs::file_type before = fs::symlink_status(to).type();
        std::string resolved;
        EXPECT_EQ(resolveReplaceTarget(to, resolved).ok(), c.ok);
        const ReplaceStatus status = replaceFile(from, to);
        EXPECT_EQ(status.ok(), c.ok) << status.message;
        // Whatever was at the chosen name is still there, of the same kind.
        EXPECT_EQ(fs::symlink_status(to).type(), before);
        if (c.ok) {
            EXPECT_EQ(resolved, dir.path(c.replaced));
            EXPECT_EQ(test::TempDir::contents(dir.path(c.replaced)), (fmt::Bytes{1, 2, 3}));
            EXPECT_FALSE(test::TempDir::exists(from));
        } else {
            EXPECT_NE(status.message.find(c.reason), std::string::npos) << status.message;
            EXPECT_EQ(test::TempDir::contents(from), (fmt::Bytes{1, 2, 3}));
        }
    }
}

} // namespace
} // namespace vt6::platform
