// Leftovers of killed instances: the names that are ours, and sweeps that
// remove a gone owner's files and never a living one's or anybody else's.
// Other instances are forked children of the test.

#include "platform/leftovers.hpp"
#include "platform/unique_temp_file.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <sys/wait.h>
#include <unistd.h>

namespace vt6::platform {
namespace {

TEST(LeftoverNames, OnlyOurPatternsNameAnOwner) {
    struct Case {
        const char* name;
        std::optional<uint32_t> sibling;
        std::optional<uint32_t> temporary;
    };
    const Case cases[] = {
        {"kit_temp0000abcd12345678.zem", 0xabcdu, std::nullopt},
        {"kit_temp0000abcd12345678.zem.physical", 0xabcdu, std::nullopt},
        {".kit_temp0000abcd12345678.zem.a1b2c3d4.tmp", 0xabcdu, std::nullopt},
        {".kit_temp0000abcd12345678.zem.physical.zz99aa00.tmp", 0xabcdu, std::nullopt},
        {"my_temp_kit_temp00001234ffffffff.zem", 0x1234u, std::nullopt},
        {"noext_temp00001234ffffffff", 0x1234u, std::nullopt},
        {"kit.zem", std::nullopt, std::nullopt},
        {"kit_temp.zem", std::nullopt, std::nullopt},
        {"kit_temp0000ABCD12345678.zem", std::nullopt, std::nullopt},   // upper case: not ours
        {"kit_temp0000abcd1234567.zem", std::nullopt, std::nullopt},    // 15 digits
        {"kit_temp0000abcd123456789.zem", std::nullopt, std::nullopt},  // 17 digits
        {"_temp0000abcd12345678.zem", std::nullopt, std::nullopt},      // no stem
        {"kit_temp0000abcd12345678.zem.bak", std::nullopt, std::nullopt},
        {".kit_temp0000abcd12345678.zem.A1B2C3D4.tmp", std::nullopt, std::nullopt},
        {"zem-rivir-0000abcd-0123456789abcdef.zem", std::nullopt, 0xabcdu},
        {"zem-rivir-0000abcd-zemQx81kz", std::nullopt, 0xabcdu},
        {"zem-rivir-0000abcd.lock", std::nullopt, 0xabcdu},
        {"zem-rivir-0000abcd", std::nullopt, std::nullopt},
        {"zem-rivir-0000abcd-", std::nullopt, std::nullopt},
        {"zem-rivir-0000abcd.lock.old", std::nullopt, std::nullopt},
        {"zem-rivir-0000abcx-1.zem", std::nullopt, std::nullopt},
        {"temp_1234abcd.zem", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(siblingOwner(c.name), c.sibling) << c.name;
        EXPECT_EQ(temporaryOwner(c.name), c.temporary) << c.name;
    }
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) out.insert(entry.path().filename().string());
    return out;
}

// Another instance: a child that takes its lock, leaves a working copy, an
// undo copy and a save's temporaries (with their hidden siblings) beside
// `target`, then either lives until told or dies at once.
struct Instance {
    pid_t pid = -1;
    int release = -1;  // closing it ends a living child

    static Instance start(const std::string& target, bool staysAlive) {
        int ready[2];
        int stop[2];
        if (pipe(ready) != 0 || pipe(stop) != 0) std::abort();
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(stop[1]);
            bool ok = holdInstanceLock();
            noteSaveFolder(target);
            const auto make = [&](const std::string& path) {
                FILE* f = std::fopen(path.c_str(), "wb");
                ok = ok && f != nullptr && std::fputs("leftover", f) >= 0;
                if (f != nullptr) std::fclose(f);
            };
            make(newOwnedTemporaryPath(".zem"));
            ok = ok && makeUniqueTempFile("zem").has_value();
            const std::string folder = target.substr(0, target.rfind('/') + 1);
            const std::string name = "lib_temp" + ownedHexTag() + ".zem";
            make(folder + name);
            make(folder + name + ".physical");
            make(folder + "." + name + ".ab12cd34.tmp");
            make(folder + "." + name + ".physical.ab12cd34.tmp");
            const char answer = ok ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1) _exit(2);
            if (staysAlive) {
                char ignored;
                (void)read(stop[0], &ignored, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(stop[0]);
        char answer = 0;
        EXPECT_EQ(read(ready[0], &answer, 1), 1);
        EXPECT_EQ(answer, 'y');
        close(ready[0]);
        Instance out{pid, stop[1]};
        if (!staysAlive) out.end();
        return out;
    }
    void end() {
        if (release >= 0) close(release);
        release = -1;
        if (pid > 0) waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

size_t countOwnedBy(const std::set<std::string>& names, pid_t owner) {
    return static_cast<size_t>(std::count_if(names.begin(), names.end(), [owner](const std::string& n) {
        const auto o = siblingOwner(n) ? siblingOwner(n) : temporaryOwner(n);
        return o && *o == static_cast<uint32_t>(owner);
    }));
}

TEST(LeftoverSweep, GoneOwnersOnlyAndNothingElse) {
    test::TempDir temporary;
    test::TempDir targets;
    std::string previous;
    if (const char* tmp = std::getenv("TMPDIR")) previous = tmp;
    setenv("TMPDIR", temporary.root().c_str(), 1);
    const std::string target = targets.path("lib.zem");
    targets.write("lib.zem", fmt::Bytes{1, 2, 3});

    Instance living = Instance::start(target, true);
    Instance::start(target, false);  // killed: ends at once
    const pid_t livingPid = living.pid;

    // The killed child is reaped already: its id is the other owner here.
    std::set<pid_t> owners;
    for (const auto& n : namesIn(targets.root().string()))
        if (auto o = siblingOwner(n)) owners.insert(static_cast<pid_t>(*o));
    ASSERT_EQ(owners.size(), 2u);
    owners.erase(livingPid);
    const pid_t killedPid = *owners.begin();
    // Look-alikes that are not ours to remove: a folder and a link with a
    // gone owner's names, and an owner that never held a lock here.
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(killedPid));
    std::filesystem::create_directory(targets.path(std::string("dir_temp") + tag + "00000000.zem"));
    std::filesystem::create_symlink(target, targets.path(std::string("link_temp") + tag + "00000000.zem"));
    targets.write("kit_temp7ffffffe00000000.zem", fmt::Bytes{1});
    temporary.write("zem-rivir-7ffffffe-0123456789abcdef.zem", fmt::Bytes{1});
    // And this process's own save temporary, in use.
    const std::string own = "lib_temp" + ownedHexTag() + ".zem";
    targets.write(own, fmt::Bytes{1});

    // After a save: the killed instance's temporaries beside the target go.
    EXPECT_EQ(sweepLeftoversBeside(target), 4u);
    auto beside = namesIn(targets.root().string());
    EXPECT_EQ(countOwnedBy(beside, killedPid), 2u);  // the folder and the link
    EXPECT_EQ(countOwnedBy(beside, livingPid), 4u);
    EXPECT_TRUE(beside.count(own));
    EXPECT_TRUE(beside.count("kit_temp7ffffffe00000000.zem"));
    // Its working and undo copies and its lock wait for a start.
    EXPECT_EQ(countOwnedBy(namesIn(temporary.root().string()), killedPid), 3u);

    // A start: the rest of the killed instance goes, the living one's stays.
    EXPECT_EQ(sweepLeftoversAtStart(), 3u);
    auto inTemporary = namesIn(temporary.root().string());
    EXPECT_EQ(countOwnedBy(inTemporary, killedPid), 0u);
    EXPECT_EQ(countOwnedBy(inTemporary, livingPid), 3u);
    EXPECT_TRUE(inTemporary.count("zem-rivir-7ffffffe-0123456789abcdef.zem"));

    // Once the other instance is killed too, a start removes all of its
    // files, beside the target as well (its lock file named that folder).
    kill(livingPid, SIGKILL);
    living.end();
    EXPECT_EQ(sweepLeftoversAtStart(), 7u);
    EXPECT_EQ(countOwnedBy(namesIn(temporary.root().string()), livingPid), 0u);
    beside = namesIn(targets.root().string());
    EXPECT_EQ(countOwnedBy(beside, livingPid), 0u);
    EXPECT_EQ(beside.size(), 5u);  // the target, the look-alikes and our own
    EXPECT_TRUE(beside.count("lib.zem"));
    EXPECT_TRUE(beside.count(own));

    if (previous.empty()) unsetenv("TMPDIR");
    else setenv("TMPDIR", previous.c_str(), 1);
}

} // namespace
} // namespace vt6::platform
