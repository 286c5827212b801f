// The import job without a window: listing and ordering, skips, every
// refusal as a report line, the 512 MiB stop, cancel at each stage, and the
// same outcome on the decode pool as on one thread.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/audio_fixtures.hpp"
#include "app/hostile_audio.hpp"
#include "app/import_job.hpp"
#include "editor/ui/user_messages.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace vt6::maker {
namespace {

juce::File at(const std::filesystem::path& p) { return juce::File(juce::String::fromUTF8(p.string().c_str())); }

void writeHit(const juce::File& f, int frames = 4410, int channels = 1, float peak = 0.8f) {
    f.getParentDirectory().createDirectory();
    ASSERT_TRUE(test::writeAudioFile(f, test::hitAudio(frames, channels, peak), 44100, 24)) << f.getFullPathName();
}

std::vector<std::string> namesOf(const ImportResult& r) {
    std::vector<std::string> names;
    for (const auto& s : r.samples) names.push_back(s.name);
    return names;
}

std::vector<std::string> linesOf(const ImportResult& r) {
    std::vector<std::string> lines;
    for (const auto& l : r.reportLines) lines.push_back(l.toStdString());
    return lines;
}

std::shared_ptr<ImportResult> run(ImportJobRequest request, int threads = 1, std::function<bool()> cancel = {}) {
    std::atomic<int> done{0};
    if (request.page.layer < 0) request.page = {0, 0};
    return runImportJob(request, cancel, done, threads);
}

TEST(ImportJob, FolderIsListedInNaturalOrderWithoutHiddenOrForeignFiles) {
    test::TempDir dir;
    const auto folder = dir.root() / "kit";
    writeHit(at(folder / "hit 2.wav"));
    writeHit(at(folder / "Hit 10.wav"));
    writeHit(at(folder / ".h.wav"));
    ASSERT_TRUE(at(folder / "notes.txt").replaceWithText("notes"));
    ImportJobRequest request;
    request.files = {at(folder)};
    for (int threads : {1, 3}) {
        SCOPED_TRACE(threads);
        auto result = run(request, threads);
        EXPECT_FALSE(result->cancelled);
        EXPECT_EQ(namesOf(*result), (std::vector<std::string>{"hit 2", "Hit 10"}));
        EXPECT_TRUE(result->reportLines.isEmpty()) << result->reportLines.joinIntoString("\n");
    }

    // The same text file dropped by itself is reported.
    request.files = {at(folder / "notes.txt")};
    auto alone = run(request);
    EXPECT_TRUE(alone->samples.empty());
    EXPECT_EQ(linesOf(*alone), (std::vector<std::string>{"notes.txt isn't audio and was skipped."}));
}

TEST(ImportJob, ALinkBackToTheParentIsNotFollowed) {
    test::TempDir dir;
    const auto folder = dir.root() / "kit";
    writeHit(at(folder / "a.wav"));
    writeHit(at(folder / "sub" / "b.wav"));
    std::filesystem::create_directory_symlink(folder, folder / "sub" / "up");
    ImportJobRequest request;
    request.files = {at(folder)};
    auto result = run(request);
    auto names = namesOf(*result);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(ImportJob, DuplicatesAreSkippedPerPage) {
    test::TempDir dir;
    const auto a = at(dir.root() / "a.wav");
    writeHit(a);
    ImportJobRequest request;
    request.files = {a, a};
    auto twice = run(request);
    EXPECT_EQ(namesOf(*twice), (std::vector<std::string>{"a"}));
    EXPECT_EQ(linesOf(*twice), (std::vector<std::string>{"a.wav is already on this page."}));

    request.files = {a};
    request.alreadyImported = {importKey(a.getFullPathName().toStdString(), {0, 0})};
    auto again = run(request);
    EXPECT_TRUE(again->samples.empty());
    EXPECT_EQ(linesOf(*again), (std::vector<std::string>{"a.wav is already on this page."}));

    request.page = {0, 1};  // another articulation
    auto elsewhere = run(request);
    EXPECT_EQ(namesOf(*elsewhere), (std::vector<std::string>{"a"}));
    EXPECT_EQ(importKey("/x/a.wav", {1, 2}), "/x/a.wav|1|2");
}

// One file for every way a file can be left out, and the line each gets.
struct RefusalKit {
    test::TempDir dir;
    std::vector<juce::File> files;
    std::vector<std::string> lines;

    RefusalKit() {
        const auto ref = [](const std::string& text, int n) { return withReferenceNumber(text, n); };
        const auto root = dir.root();
        writeHit(at(root / "01 good.wav"));
        EXPECT_TRUE(at(root / "02 text.wav").replaceWithText("not audio"));
        lines.push_back(ref("02 text.wav could not be read as audio and was left out.", 418));
        test::RawWav three{3, 44100, std::vector<int16_t>(300, 9000), -1};
        EXPECT_TRUE(test::writeRawWav(at(root / "03 three.wav"), three));
        lines.push_back(ref("03 three.wav was left out. ZEM Rivir imports mono or stereo audio recorded at 8 kHz to "
                            "384 kHz.",
                            414));
        test::RawWav huge{1, 44100, std::vector<int16_t>(300, 9000), 300000000};
        EXPECT_TRUE(test::writeRawWav(at(root / "04 huge.wav"), huge));
        lines.push_back(ref("04 huge.wav is too long to import. A sample can hold up to 256 MB of audio.", 429));
        test::Channels damaged = test::hitAudio(2000);
        damaged[0][700] = std::numeric_limits<float>::quiet_NaN();
        EXPECT_TRUE(test::writeAudioFile(at(root / "05 damaged.wav"), damaged, 44100, 32));
        lines.push_back(ref("05 damaged.wav contains damaged audio and was left out.", 430));
        EXPECT_TRUE(test::writeAudioFile(at(root / "06 silent.wav"), test::Channels(1, std::vector<float>(2000)), 44100));
        lines.push_back(ref("06 silent.wav is silent and was left out.", 431));
        writeHit(at(root / "07 dup.wav"));
        lines.push_back("07 dup.wav is already on this page.");
        EXPECT_TRUE(at(root / "08 song.wma").replaceWithText("windows media"));
        lines.push_back("08 song.wma isn't audio and was skipped.");
        writeHit(at(root / "09 good.wav"));
        for (const char* name : {"09 good.wav", "08 song.wma", "07 dup.wav", "07 dup.wav", "06 silent.wav",
                                 "05 damaged.wav", "04 huge.wav", "03 three.wav", "02 text.wav", "01 good.wav"})
            files.push_back(at(root / name));
    }
};

TEST(ImportJob, EveryRefusalIsAReportLineInListOrder) {
    RefusalKit kit;
    ImportJobRequest request;
    request.files = kit.files;
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        std::atomic<int> done{0};
        request.page = {0, 0};
        auto result = runImportJob(request, {}, done, threads);
        EXPECT_FALSE(result->cancelled);
        EXPECT_EQ(namesOf(*result), (std::vector<std::string>{"01 good", "07 dup", "09 good"}));
        EXPECT_EQ(linesOf(*result), kit.lines);
        // Decoded files count, refused ones too; skips do not.
        EXPECT_EQ(done.load(), 3 + 5);
    }
}

TEST(ImportJob, StopsPastTheByteCapAsOnOneThread) {
    test::TempDir dir;
    std::vector<juce::File> files;
    for (int i = 0; i < 12; ++i) {
        const auto f = at(dir.root() / ("f" + std::to_string(i) + ".wav"));
        writeHit(f, 1000 + 100 * i);
        files.push_back(f);
    }
    // A cap that ends exactly on a file passes it; one byte less stops there.
    uint64_t firstFive = 0;
    for (int i = 0; i < 5; ++i) firstFive += static_cast<uint64_t>(1000 + 100 * i) * 4;
    for (uint64_t cap : {firstFive, firstFive - 1, uint64_t{4000}, uint64_t{1} << 30}) {
        SCOPED_TRACE(cap);
        ImportJobRequest request;
        request.files = files;
        request.byteCap = cap;
        auto one = run(request, 1);
        auto pool = run(request, 4);
        EXPECT_EQ(namesOf(*pool), namesOf(*one));
        EXPECT_EQ(linesOf(*pool), linesOf(*one));
        EXPECT_FALSE(one->cancelled);
        if (cap == firstFive) {
            EXPECT_EQ(namesOf(*one).size(), 5u);
        }
        if (cap == firstFive - 1) {
            EXPECT_EQ(namesOf(*one).size(), 4u);
        }
        if (cap < (uint64_t{1} << 30)) {
            EXPECT_EQ(linesOf(*one), (std::vector<std::string>{selectionTooLargeText()}));
        } else {
            EXPECT_EQ(namesOf(*one).size(), 12u);
        }
    }
}

// A short loud FLAC whose STREAMINFO declares `declared` frames.
void writeLyingFlac(const juce::File& f, uint64_t declared) {
    ASSERT_TRUE(test::writeAudioFile(f, test::hitAudio(3000, 1), 44100, 16));
    juce::MemoryBlock block;
    ASSERT_TRUE(f.loadFileAsData(block));
    test::ByteVec bytes(static_cast<const uint8_t*>(block.getData()),
                        static_cast<const uint8_t*>(block.getData()) + block.getSize());
    ASSERT_TRUE(test::setFlacTotalFrames(bytes, declared));
    ASSERT_TRUE(f.replaceWithData(bytes.data(), bytes.size()));
}

TEST(ImportJob, AFileWhoseDeclaredSizePassesTheCapStopsTheJobUndecoded) {
    test::TempDir dir;
    const auto first = at(dir.root() / "1 good.wav");
    const auto liar = at(dir.root() / "2 liar.flac");  // 3000 frames that declare 4 MB of floats
    const auto last = at(dir.root() / "3 good.wav");
    writeHit(first);
    writeLyingFlac(liar, 1000000);
    writeHit(last);
    ImportJobRequest request;
    request.files = {last, liar, first};
    request.byteCap = uint64_t{1} << 20;
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        std::atomic<int> done{0};
        request.page = {0, 0};
        auto result = runImportJob(request, {}, done, threads);
        // Decoded, the liar would be damaged audio and the job would go on:
        // the selection line shows it was refused by its header alone.
        EXPECT_FALSE(result->cancelled);
        EXPECT_EQ(namesOf(*result), (std::vector<std::string>{"1 good"}));
        EXPECT_EQ(linesOf(*result), (std::vector<std::string>{selectionTooLargeText()}));
        EXPECT_EQ(done.load(), 1);
    }
    // With room for what it declares, it is decoded and found damaged.
    request.byteCap = uint64_t{8} << 20;
    auto roomy = run(request, 4);
    EXPECT_EQ(namesOf(*roomy), (std::vector<std::string>{"1 good", "3 good"}));
    EXPECT_EQ(linesOf(*roomy),
              (std::vector<std::string>{withReferenceNumber("2 liar.flac contains damaged audio and was left out.", 430)}));
}

TEST(ImportJob, FilesDecodingAtOnceNeverHoldMoreThanTheCap) {
    // Six mono 16-bit WAVs of 16 MiB each (32 MiB of floats), sparse on disk
    // and silent, so none is accepted; with a cap of 64 MiB the pool of four
    // may decode only two of them at a time.
    test::TempDir dir;
    std::vector<juce::File> files;
    constexpr int64_t kDataBytes = int64_t{16} << 20;
    for (int i = 0; i < 6; ++i) {
        const auto path = dir.root() / ("s" + std::to_string(i) + ".wav");
        const test::ByteVec head = test::wav16(0, {}, kDataBytes);
        dir.write(path.filename().string(), head);
        std::filesystem::resize_file(path, head.size() + static_cast<uintmax_t>(kDataBytes));
        files.push_back(at(path));
    }
    ImportJobRequest request;
    request.files = files;
    request.page = {0, 0};
    request.byteCap = uint64_t{64} << 20;

    // Measured in a child, whose peak of resident memory can be reset.
    const auto values = test::inChild([&]() -> std::array<long, 2> {
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = test::statusKb("VmRSS:");
        std::atomic<int> done{0};
        auto result = runImportJob(request, {}, done, 4);
        return {test::statusKb("VmHWM:") - before, static_cast<long>(result->reportLines.size())};
    });
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ((*values)[1], 6);  // each file is silent
    EXPECT_LT((*values)[0], 80 * 1024) << "peak growth in KiB";
}

TEST(ImportJob, CancelAtEachStageImportsNothing) {
    test::TempDir dir;
    const auto folder = dir.root() / "kit";
    writeHit(at(folder / "long.wav"), 441000);  // 10 s: the measure asks many times
    ImportJobRequest request;
    request.files = {at(folder)};

    // Count every question of an uncancelled run: one for the path, one per
    // folder entry, one before the file, the measure's, one after it.
    std::atomic<int> asked{0};
    auto full = run(request, 1, [&] {
        asked.fetch_add(1);
        return false;
    });
    ASSERT_EQ(full->samples.size(), 1u);
    const int total = asked.load();
    ASSERT_GT(total, 10);

    struct Case {
        const char* stage;
        int cancelAt;  // the question that first answers yes
    };
    const Case cases[] = {{"top-level path", 1}, {"folder entry", 2},      {"before the file", 3},
                          {"inside the measure", 5}, {"last measure poll", total - 1}, {"after the file", total}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        std::atomic<int> n{0};
        std::atomic<int> done{0};
        request.page = {0, 0};
        auto result = runImportJob(request, [&] { return n.fetch_add(1) + 1 >= c.cancelAt; }, done, 1);
        EXPECT_TRUE(result->cancelled);
        EXPECT_TRUE(result->samples.empty());
        EXPECT_EQ(done.load(), 0);
    }
}

TEST(ImportJob, CancelBetweenFilesStopsBeforeTheNext) {
    test::TempDir dir;
    std::vector<juce::File> files;
    for (int i = 0; i < 5; ++i) {
        files.push_back(at(dir.root() / ("f" + std::to_string(i) + ".wav")));
        writeHit(files.back());
    }
    for (int threads : {1, 3}) {
        SCOPED_TRACE(threads);
        std::atomic<int> done{0};
        ImportJobRequest request;
        request.files = files;
        request.page = {0, 0};
        auto result = runImportJob(request, [&] { return done.load() >= 2; }, done, threads);
        EXPECT_TRUE(result->cancelled);
        EXPECT_EQ(done.load(), 2);
        EXPECT_EQ(namesOf(*result).size(), 2u);  // the posted end drops them all
    }
}

TEST(ImportJob, EveryFormatImports) {
    test::TempDir dir;
    std::vector<juce::File> files;
    for (const char* name : {"a.wav", "b.aiff", "c.flac", "d.ogg"}) {
        files.push_back(at(dir.root() / name));
        ASSERT_TRUE(test::writeAudioFile(files.back(), test::hitAudio(8000, 2), 44100, 16));
    }
    std::vector<std::string> want{"a", "b", "c", "d"};
    if (test::writeMp3(at(dir.root() / "e.mp3"), test::hitAudio(8000, 2), 44100)) {
        files.push_back(at(dir.root() / "e.mp3"));
        want.push_back("e");
    }
    ImportJobRequest request;
    request.files = files;
    request.trim = {true, -24, -90};
    auto result = run(request, 2);
    EXPECT_EQ(namesOf(*result), want);
    EXPECT_TRUE(result->reportLines.isEmpty()) << result->reportLines.joinIntoString("\n");
    for (const auto& s : result->samples) {
        EXPECT_TRUE(s.hitLevel.measured) << s.name;
        EXPECT_LT(s.trimStart, s.trimEnd) << s.name;
    }
}

TEST(ImportJob, AcceptedAudioComesBackEncodedAndTheTotalIsKnown) {
    test::TempDir dir;
    const auto a = at(dir.root() / "a.wav");
    const auto b = at(dir.root() / "b.wav");
    const auto notes = at(dir.root() / "notes.txt");
    writeHit(a, 4410, 1, 0.3f);
    writeHit(b, 2205, 2, 0.9f);
    ASSERT_TRUE(notes.replaceWithText("notes"));
    ImportJobRequest request;
    request.files = {b, notes, a, b};
    request.page = {0, 0};
    for (int threads : {1, 3}) {
        SCOPED_TRACE(threads);
        std::atomic<int> done{0};
        std::atomic<int> total{-1};
        auto result = runImportJob(request, {}, done, threads, &total);
        // Counted are the files decoded: not the text file, not the repeat.
        EXPECT_EQ(total.load(), 2);
        EXPECT_EQ(done.load(), 2);
        ASSERT_EQ(namesOf(*result), (std::vector<std::string>{"a", "b"}));
        ASSERT_EQ(result->audio.size(), 2u);
        const int channels[] = {1, 2};
        const size_t values[] = {4410, 4410};
        for (size_t i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            const auto& prepared = result->audio[i];
            ASSERT_TRUE(prepared.valid());
            // The values moved on into the prepared audio, encoded with it.
            EXPECT_TRUE(result->samples[i].samples.empty());
            ASSERT_EQ(prepared.valueCount(), values[i]);
            EXPECT_EQ(prepared.pcm()->channels, channels[i]);
            EXPECT_EQ(prepared.pcm()->sampleRate, 44100);
            EXPECT_EQ(prepared.payload(), ui::zemedit::logic::encodePcmPayload(prepared.pcm()->samples, channels[i],
                                                                              44100));
        }
    }
}

TEST(ImportJob, ProgressTextSaysNOfNOnceTheTotalIsKnown) {
    const struct {
        int done, total;
        const char* text;
    } cases[] = {
        {0, 0, "Importing 0 files..."},
        {38, 0, "Importing 38 files..."},
        {0, 500, "Importing 0 of 500 files..."},
        {38, 500, "Importing 38 of 500 files..."},
        {1, 1, "Importing 1 of 1 file..."},
        {1, 0, "Importing 1 file..."},
        {0, 1, "Importing 0 of 1 file..."},
    };
    for (const auto& c : cases) EXPECT_EQ(importProgressText(c.done, c.total), juce::String(c.text));
}

TEST(ImportJob, PoolSizeFollowsTheFileCount) {
    EXPECT_EQ(importPoolSize(0), 1);
    EXPECT_EQ(importPoolSize(1), 1);
    EXPECT_LE(importPoolSize(100), 4);
    EXPECT_GE(importPoolSize(100), 1);
}

}  // namespace
}  // namespace vt6::maker
