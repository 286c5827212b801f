// Leftovers of killed instances: the names that are ours, and sweeps that
// remove a gone owner's files and never a living one's or anybody else's.
// Other instances are forked children of the test.

#include "platform/leftovers.hpp"
#include "platform/unique_temp_file.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
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
        // Only the shapes the program writes: a save temporary is a ".zem".
        {"noext_temp00001234ffffffff", std::nullopt, std::nullopt},
        {"notes_temp0000abcd12345678.txt", std::nullopt, std::nullopt},
        {"take_temp0000abcd12345678.wav", std::nullopt, std::nullopt},
        {"take_temp0000abcd12345678.wav.physical", std::nullopt, std::nullopt},
        {".notes_temp0000abcd12345678.txt.a1b2c3d4.tmp", std::nullopt, std::nullopt},
        {"kit_temp0000abcd12345678.ZEM", std::nullopt, std::nullopt},
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

// Reads one byte from `fd`, waiting at most `seconds`; 0 when none came.
char readWithin(int fd, int seconds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) != 1) return 0;
    char c = 0;
    return read(fd, &c, 1) == 1 ? c : 0;
}

// Another instance of the program, as a forked child: it runs `setup` (true
// when all went well), says so, then ends at once (and is then a gone
// owner) or lives until told. What `setup` refers to on the caller's stack
// stays alive in the child, which never returns from here.
struct Child {
    pid_t pid = -1;      // -1 once ended
    int release = -1;    // closing it ends a living child
    pid_t owner = -1;    // its id, also once it has ended

    static Child start(const std::function<bool()>& setup, bool staysAlive) {
        int ready[2];
        int stop[2];
        if (pipe(ready) != 0 || pipe(stop) != 0) std::abort();
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(stop[1]);
            const char answer = setup() ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1) _exit(2);
            if (staysAlive) {
                char ignored;
                (void)!read(stop[0], &ignored, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(stop[0]);
        EXPECT_EQ(readWithin(ready[0], 10), 'y');
        close(ready[0]);
        Child out{pid, stop[1], pid};
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

// An instance that takes its lock, leaves a working copy, an undo copy and
// a save's temporaries (with their hidden siblings) beside `target`.
Child startInstance(const std::string& target, bool staysAlive) {
    return Child::start(
        [&] {
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
            return ok;
        },
        staysAlive);
}

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

    Child living = startInstance(target, true);
    startInstance(target, false);  // killed: ends at once
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

// Points TMPDIR at a folder for the life of the object.
class ScopedTemporaryFolder {
public:
    explicit ScopedTemporaryFolder(const std::string& folder) {
        if (const char* tmp = std::getenv("TMPDIR")) previous_ = tmp;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTemporaryFolder() {
        if (previous_.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", previous_.c_str(), 1);
    }

private:
    std::string previous_;
};

std::string tagOf(pid_t owner) {
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(owner));
    return tag;
}

// An instance that takes its lock, notes `folders` and, when `openPath` is
// set, has that file open in a window.
Child startWindow(const std::vector<std::string>& folders, const std::string& openPath, bool staysAlive) {
    OpenFileMark mark;  // held by the child only
    return Child::start(
        [&] {
            bool ok = holdInstanceLock();
            for (const std::string& folder : folders) noteSaveFolder(folder + "/lib.zem");
            if (!openPath.empty()) {
                mark = OpenFileMark(openPath);
                ok = ok && mark.held();
            }
            return ok;
        },
        staysAlive);
}

// What the sweeps after a save and at a start may remove: a gone owner's own
// shapes, and nothing that is in use, not ours, or reached through a link.
TEST(LeftoverSweep, RemovesOnlyAGoneOwnersOwnFiles) {
    test::TempDir temporary;
    test::TempDir targets;
    test::TempDir elsewhere;
    const ScopedTemporaryFolder scoped(temporary.root().string());
    const std::string beside = targets.path("kits");
    const std::string linked = targets.path("linked");
    std::filesystem::create_directory(beside);
    std::filesystem::create_directory(linked);

    // A killed instance that saved into both folders.
    const std::string gone = tagOf(startWindow({beside, linked}, "", false).owner) + "12345678";
    // The folder it noted is a link now, to files that look like its own.
    std::filesystem::rename(linked, targets.path("linked.moved"));
    std::filesystem::create_symlink(elsewhere.root(), linked);

    enum class Place { beside, throughLink, temporaryFolder };
    enum class Use { none, savedTarget, openHere, openInOtherInstance };
    struct Case {
        Place place;
        std::string name;
        Use use;
        bool kept;
    };
    std::vector<Case> cases = {
        // A gone owner's real leftovers.
        {Place::beside, "lib_temp" + gone + ".zem", Use::none, false},
        {Place::beside, "lib_temp" + gone + ".zem.physical", Use::none, false},
        {Place::beside, ".lib_temp" + gone + ".zem.ab12cd34.tmp", Use::none, false},
        {Place::beside, ".lib_temp" + gone + ".zem.physical.ab12cd34.tmp", Use::none, false},
        {Place::temporaryFolder, "zem-rivir-" + gone.substr(0, 8) + "-0123456789abcdef.zem", Use::none, false},
        // A killed save's whole temporary, saved by the user in a window
        // that was already running, then open there.
        {Place::beside, "done_temp" + gone + ".zem", Use::savedTarget, true},
        // Open in a window of this instance, and of another one.
        {Place::beside, "open_temp" + gone + ".zem", Use::openHere, true},
        {Place::beside, "held_temp" + gone + ".zem", Use::openInOtherInstance, true},
        // Names the program never writes.
        {Place::beside, "notes_temp" + gone + ".txt", Use::none, true},
        {Place::beside, "take_temp" + gone + ".wav", Use::none, true},
        {Place::beside, "lib_temp" + gone + ".zem.bak", Use::none, true},
        {Place::beside, "lib_temp" + gone, Use::none, true},
        // Reached only through the folder that became a link.
        {Place::throughLink, "lib_temp" + gone + ".zem", Use::none, true},
        {Place::throughLink, "lib_temp" + gone + ".zem.physical", Use::none, true},
    };
    const auto pathOf = [&](const Case& c) {
        switch (c.place) {
        case Place::beside: return beside + "/" + c.name;
        case Place::throughLink: return elsewhere.path(c.name);
        case Place::temporaryFolder: break;
        }
        return temporary.path(c.name);
    };
    for (const Case& c : cases) {
        FILE* f = std::fopen(pathOf(c).c_str(), "wb");
        ASSERT_NE(f, nullptr) << c.name;
        std::fputs("edits", f);
        std::fclose(f);
    }
    std::vector<OpenFileMark> marks;
    std::string heldElsewhere;
    std::string target;
    for (const Case& c : cases) {
        if (c.use == Use::openHere) marks.emplace_back(pathOf(c));
        if (c.use == Use::openInOtherInstance) heldElsewhere = pathOf(c);
        if (c.use == Use::savedTarget) target = pathOf(c);
    }
    ASSERT_TRUE(marks.front().held());
    // A living instance with a file of its own beside the target.
    Child living = startWindow({beside}, heldElsewhere, true);
    const std::string alive = tagOf(living.pid) + "12345678";
    cases.push_back({Place::beside, "lib_temp" + alive + ".zem", Use::none, true});
    cases.push_back({Place::temporaryFolder, "zem-rivir-" + alive.substr(0, 8) + "-0123456789abcdef.zem", Use::none, true});
    for (size_t i = cases.size() - 2; i < cases.size(); ++i) {
        FILE* f = std::fopen(pathOf(cases[i]).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }

    // The sweep after the save of `target`: only the folder of the target.
    EXPECT_EQ(sweepLeftoversBeside(target), 4u);
    for (const Case& c : cases)
        EXPECT_EQ(test::TempDir::exists(pathOf(c)), c.kept || c.place != Place::beside) << "after the save: " << c.name;
    // The window that saved it has it open from now on.
    marks.emplace_back(target);

    // A start: the rest of the gone owner's, and nothing else.
    EXPECT_EQ(sweepLeftoversAtStart(), 2u);  // its working copy and its lock
    for (const Case& c : cases) EXPECT_EQ(test::TempDir::exists(pathOf(c)), c.kept) << "after a start: " << c.name;
    living.end();
}

// Whoever holds this instance's lock name, the start neither waits for it
// nor, once it is free, takes the lock and with it this instance's own files
// for a dead predecessor's.
TEST(InstanceLock, AForeignHolderNeverBlocksTheStart) {
    test::TempDir temporary;
    const ScopedTemporaryFolder scoped(temporary.root().string());
    int go[2];
    int answers[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(answers), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(go[1]);
        close(answers[0]);
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        const bool first = holdInstanceLock();
        const bool copied = makeUniqueTempFile("zem").has_value();
        const char reply[2] = {first ? 'L' : 'u', copied ? 'y' : 'n'};
        if (write(answers[1], reply, 2) != 2) _exit(2);
        if (read(go[0], &c, 1) != 1) _exit(2);
        const char later = holdInstanceLock() ? 'L' : 'u';
        if (write(answers[1], &later, 1) != 1) _exit(2);
        _exit(0);
    }
    close(go[0]);
    close(answers[1]);
    const std::string lockName = "zem-rivir-" + tagOf(child) + ".lock";
    const int foreign = open(temporary.path(lockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(flock(foreign, LOCK_EX), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);

    const char first = readWithin(answers[0], 10);
    if (first == 0) kill(child, SIGKILL);
    EXPECT_EQ(first, 'u') << "the start waited for a lock somebody else holds";
    EXPECT_EQ(readWithin(answers[0], 10), 'y');  // it works without the lock
    const auto workingCopies = [&] {
        return std::count_if(std::filesystem::directory_iterator(temporary.root()), {}, [&](const auto& e) {
            const std::string name = e.path().filename().string();
            return name != lockName && temporaryOwner(name) == static_cast<uint32_t>(child);
        });
    };
    EXPECT_EQ(workingCopies(), 1);

    close(foreign);
    if (first != 0) {
        ASSERT_EQ(write(go[1], "g", 1), 1);
        EXPECT_EQ(readWithin(answers[0], 10), 'u');
        EXPECT_EQ(workingCopies(), 1);  // not swept as a predecessor's
    }
    close(go[1]);
    close(answers[0]);
    waitpid(child, nullptr, 0);
}

// A termination signal removes the instance's own files, a save's
// half-written temporary included, and ends it by that signal, while other
// threads go on saving; the target, a file open in a window and other
// programs' files stay.
TEST(TerminationSignals, RemoveTheInstancesOwnFilesAndEnd) {
    for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        test::TempDir temporary;
        test::TempDir targets;
        const ScopedTemporaryFolder scoped(temporary.root().string());
        const std::string target = targets.write("lib.zem", fmt::Bytes{1, 2, 3});
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            cleanUpOnTerminationSignals();
            noteSaveFolder(target);
            bool ok = makeUniqueTempFile("zem").has_value();
            OutputFile working;
            ok = ok && working.createNew(newOwnedTemporaryPath(".zem")).ok();
            // A save under way: its temporary half written and still open.
            const std::string tag = ownedHexTag();
            OutputFile saving;
            ok = ok && saving.createNew(targets.path("lib_temp" + tag + ".zem")).ok();
            ok = ok && saving.writeAll(fmt::Bytes(4096, 7)).ok();
            OutputFile hidden;
            ok = ok && hidden.createNew(targets.path(".lib_temp" + tag + ".zem.ab12cd34.tmp")).ok();
            // Not the program's to remove: a file of its shape open in a
            // window, and another program's look-alike.
            OutputFile opened;
            ok = ok && opened.createNew(targets.path("open_temp" + tag + ".zem")).ok();
            const OpenFileMark mark(targets.path("open_temp" + tag + ".zem"));
            ok = ok && mark.held();
            OutputFile notes;
            ok = ok && notes.createNew(targets.path("notes_temp" + tag + ".txt")).ok();
            // A save that goes on: its temporary rewritten through a
            // ".physical" file and renamed over the target, again and
            // again. Once the cleanup has looked, nothing of it may appear
            // or move.
            const std::string again = targets.path("lib_temp" + ownedHexTag() + ".zem");
            std::thread([again, target] {
                for (;;) {
                    OutputFile physical;
                    if (physical.createNew(again + ".physical").ok() && physical.writeAll(fmt::Bytes{4, 5, 6}).ok() &&
                        physical.close().ok() && replaceFile(again + ".physical", again).ok())
                        (void)replaceFile(again, target);
                }
            }).detach();
            const char answer = ok ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1) _exit(2);
            for (;;) pause();
        }
        close(ready[1]);
        ASSERT_EQ(readWithin(ready[0], 10), 'y');
        close(ready[0]);
        ASSERT_EQ(kill(child, sig), 0);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 1000 && ended == 0; ++i) {
            ended = waitpid(child, &status, WNOHANG);
            if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the signal did not end the instance";
            continue;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_EQ(countOwnedBy(namesIn(temporary.root().string()), child), 0u);  // its lock too
        const std::string tag = tagOf(child);
        std::set<std::string> left;
        for (const std::string& name : namesIn(targets.root().string()))
            left.insert(name.find(tag) == std::string::npos ? name : name.substr(0, name.find(tag)));
        EXPECT_EQ(left, (std::set<std::string>{"lib.zem", "notes_temp", "open_temp"}));
        // The old file or a whole new one, never anything else.
        const fmt::Bytes bytes = test::TempDir::contents(target);
        EXPECT_TRUE(bytes == (fmt::Bytes{1, 2, 3}) || bytes == (fmt::Bytes{4, 5, 6}));
    }
}

} // namespace
} // namespace vt6::platform
