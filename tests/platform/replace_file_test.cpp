#include "platform/replace_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

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

} // namespace
} // namespace vt6::platform
