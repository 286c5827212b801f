#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/logic/save_destination.hpp"
#include "editor/logic/view_model.hpp"
#include "support/temp_dir.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::TempDir;

// Paths in a case start with "@/" for the test's own folder; files lists the
// names made there first.
struct DestinationCase {
    const char* what;
    std::vector<std::string> files;
    std::string current;
    int32_t kind;
    std::string directory;
    std::string name;
    std::string expectedPath;
    bool expectedAsNew;
};

std::string at(const TempDir& dir, const std::string& p) {
    if (p.rfind("@/", 0) == 0) return dir.path(p.substr(2));
    if (p == "@") return dir.path("");
    return p;
}

void makeFiles(const TempDir& dir, const std::vector<std::string>& files) {
    for (const auto& f : files) {
        const uint8_t byte = 1;
        dir.write(f, fmt::ByteView(&byte, 1));
    }
}

TEST(SaveDestination, DerivedFromPathKindDirectoryAndName) {
    const std::vector<DestinationCase> cases = {
        {"user file, no name: the file itself", {}, "/a/b/Kit.zem", 3, "/out", "", "/a/b/Kit.zem", false},
        {"no path, no name: stays empty", {}, "", 3, "/out", "", "", false},
        {"kind 0 behaves as a user file", {}, "/a/b/Kit.zem", 0, "/out", "", "/a/b/Kit.zem", false},
        {"name keeps the current extension", {}, "/a/b/Kit.zemx", 3, "/out", "Mine", "/a/b/Mine.zemx", true},
        {"no extension gives .zem", {}, "/a/b/Kit", 3, "/out", "Mine", "/a/b/Mine.zem", true},
        {"leading dot is no extension", {}, "/a/b/.hidden", 3, "/out", "Mine", "/a/b/Mine.zem", true},
        {"modified source goes to the requested folder", {}, "/src/Kit.zem", 4, "/out", "Mine", "/out/Mine.zem",
         true},
        {"name used unchanged", {}, "/a/Kit.zem", 3, "", "My kit (v2)", "/a/My kit (v2).zem", true},
        {"factory, no name, free: its own name", {}, "/factory/Snare.zem", 1, "@", "", "@/Snare.zem", true},
        {"factory, no name: first free number", {"Snare.zem", "Snare 2.zem"}, "/factory/Snare.zem", 1, "@", "",
         "@/Snare 3.zem", true},
        {"publisher, no name, gap in numbers", {"Snare.zem", "Snare 3.zem"}, "/p/Snare.zem", 2, "@", "",
         "@/Snare 2.zem", true},
        {"factory, no name, in its own folder", {"Snare.zem"}, "@/Snare.zem", 1, "@", "", "@/Snare 2.zem", true},
        // A name that would land on a signed source takes the next free name.
        {"factory, own name in its own folder", {"Snare.zem"}, "@/Snare.zem", 1, "@", "Snare", "@/Snare 2.zem",
         true},
        {"modified, own name via a dotted folder", {"Kit.zem"}, "@/Kit.zem", 4, "@/./", "Kit", "@/./Kit 2.zem", true},
        {"publisher, own name, next also taken", {"Kit.zem", "Kit 2.zem"}, "@/Kit.zem", 2, "@", "Kit",
         "@/Kit 3.zem", true},
        {"signed, other existing file may be replaced", {"Other.zem"}, "/factory/Kit.zem", 1, "@", "Other",
         "@/Other.zem", true},
        {"user file, own name: replaced as asked", {"Kit.zem"}, "@/Kit.zem", 3, "/out", "Kit", "@/Kit.zem", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        makeFiles(dir, c.files);
        const SaveDestination d = deriveDestination(at(dir, c.current), c.kind, at(dir, c.directory), c.name);
        EXPECT_EQ(d.path, at(dir, c.expectedPath)) << c.what;
        EXPECT_EQ(d.asNew, c.expectedAsNew) << c.what;
    }
}

struct AvoidCase {
    const char* what;
    std::vector<std::string> files;
    std::string destination;
    std::string protectedPath;
    std::string expected;
};

TEST(SaveDestination, ConvertedSourceIsNeverTheDestination) {
    const std::vector<AvoidCase> cases = {
        {"the source itself moves to a free name", {"Kit.zem"}, "@/Kit.zem", "@/Kit.zem", "@/Kit 2.zem"},
        {"spelled differently, still the source", {"Kit.zem"}, "@/./Kit.zem", "@/Kit.zem", "@/./Kit 2.zem"},
        {"taken names are skipped", {"Kit.zem", "Kit 2.zem"}, "@/Kit.zem", "@/Kit.zem", "@/Kit 3.zem"},
        {"another file stays the destination", {"Kit.zem", "Mine.zem"}, "@/Mine.zem", "@/Kit.zem", "@/Mine.zem"},
        {"nothing to protect", {"Kit.zem"}, "@/Kit.zem", "", "@/Kit.zem"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        makeFiles(dir, c.files);
        const SaveDestination d = avoidPath({at(dir, c.destination), true}, at(dir, c.protectedPath));
        EXPECT_EQ(d.path, at(dir, c.expected)) << c.what;
        EXPECT_TRUE(d.asNew) << c.what;
    }
}

struct CopyNameCase {
    const char* what;
    std::vector<std::string> files;
    std::string path;  // empty: a document with no data source
    int32_t kind;
    std::string documentName;
    std::string expected;
};

TEST(SaveDestination, ProposedCopyNames) {
    const std::vector<CopyNameCase> cases = {
        {"new document, free name", {}, "", 0, "Brush", "Brush"},
        {"new document, numbered past taken", {"Brush.zem", "Brush_1.zem"}, "", 0, "Brush", "Brush_2"},
        {"new document without name", {"Untitled.zem"}, "", 0, "", "Untitled_1"},
        {"user file beside its source", {"Kit.zem", "Kit_1.zem"}, "@/Kit.zem", 3, "", "Kit_2"},
        {"user file starts at _1", {"Kit.zem"}, "@/Kit.zem", 3, "", "Kit_1"},
        {"extension kept when looking", {"Kit.zemx", "Kit_1.zemx", "Kit_2.zem"}, "@/Kit.zemx", 3, "", "Kit_2"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        makeFiles(dir, c.files);
        ZemEditViewModel vm;
        vm.document.name = c.documentName;
        if (!c.path.empty()) {
            vm.destinationPath = at(dir, c.path);
            vm.destinationKind = c.kind;
        }
        // The requested folder only matters for signed sources.
        EXPECT_EQ(vm.copyDestination(c.path.empty() ? dir.path("") : "/elsewhere"), c.expected) << c.what;
    }
}

TEST(SaveDestination, SignedSourceLooksInTheRequestedFolder) {
    TempDir lib;
    makeFiles(lib, {"Snare_1.zem"});
    EXPECT_EQ(freeCopyName("/factory/Snare.zem", 1, lib.path("")), "Snare_2");
    EXPECT_EQ(freeCopyName("/factory/Snare.zem", 3, lib.path("")), "Snare_1");
}

} // namespace
} // namespace vt6::ui::zemedit::logic
