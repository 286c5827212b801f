// Writes the seed files of the fuzz targets that read whole zem 6 files:
// fuzz_seed_maker DIR writes DIR/open, DIR/sample_source and DIR/browse.
// Files come from the program's own writer (every chunk kind, both codecs,
// whole and split samples, playback regions) and, for the signature states,
// from the test layout with a root made from the fuzz corpus's seed byte.
// Samples are a few hundred frames, so every file stays a few kilobytes.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/sample_file_builder.hpp"
#include "audio/sample_source.hpp"
#include "format/writer.hpp"
#include "format/zem_test_file.hpp"
#include "fuzz_file.hpp"

using namespace vt6;
using test::SampleFileBuilder;
using test::SampleRecipe;

namespace {

std::filesystem::path gOut;

// Opens what was written as the fuzz targets do, so a seed that stops early
// shows at once.
void report(const std::string& name, const std::filesystem::path& path, bool audio) {
    fmt::ReadPolicy strict = fuzz::fuzzPolicy();
    strict.allowBadSignature = 0;
    auto opened = fmt::openZem6File(path.string(), strict);
    std::string state = opened.ok() ? std::string("opens, ") + opened->report.provenance.badgeText
                                    : std::string("refused: ") + opened.message();
    if (audio) {
        auto source = fmt::Zem6SampleSource::open(path.string(), fuzz::fuzzPolicy());
        state += source.ok() ? "; every sample reads" : "; sample source refused: " + source.message();
    }
    std::printf("%-20s %s\n", name.c_str(), state.c_str());
}

void save(const std::string& name, const fmt::Bytes& bytes, bool audio) {
    for (const char* target : {"open", "sample_source", "browse"}) {
        if (!audio && std::string(target) != "open") continue;
        const auto dir = gOut / target;
        std::filesystem::create_directories(dir);
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
            std::exit(1);
        }
    }
    report(name, gOut / "open" / name, audio);
}

fmt::Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return fmt::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

fmt::Bytes written(const fmt::Zem6Model& model, const std::vector<fmt::StagedPayload>& payloads) {
    const std::string path = (gOut / "scratch.zem").string();
    const auto r = fmt::writeZem6File(path, model, payloads);
    if (!r.ok()) {
        std::fprintf(stderr, "write failed: %s\n", r.message().c_str());
        std::exit(1);
    }
    fmt::Bytes bytes = readAll(path);
    std::filesystem::remove(path);
    return bytes;
}

// Every geometry once: both codecs, 16/24/32 bits, mono and stereo, whole
// and split, with and without a playback region.
SampleFileBuilder geometries() {
    SampleFileBuilder b;
    b.add({fmt::kCodecRawPcm, 16, 1, 44100, 300, 0, 1});
    b.add({fmt::kCodecRawPcm, 24, 2, 48000, 200, 50, 2});
    b.add({fmt::kCodecRawPcm, 32, 1, 96000, 120, 40, 3});
    b.add({fmt::kCodecFlac, 16, 2, 48000, 400, 100, 4});
    b.add({fmt::kCodecFlac, 24, 1, 22050, 250, 0, 5});
    return b;
}

fmt::Zem6Model withRegions(const SampleFileBuilder& b) {
    fmt::Zem6Model m = b.model();
    m.samples[0].playback_start = 20;
    m.samples[1].playback_start = 30;  // across the seam, to the end
    m.samples[3].playback_start = 90;
    m.samples[3].playback_end = 350;
    return m;
}

// Summary, peaks, provenance, an extra chunk before the audio and an unknown
// one after it, and instrument tables.
fmt::Zem6Model everyChunk(const SampleFileBuilder& b) {
    fmt::Zem6Model m = withRegions(b);
    m.metadata.name = "Seed Kit";
    m.metadata.drum_type = "Snare";
    fmt::LayerDef direct;
    direct.id = 1;
    direct.slot = 0;
    fmt::LayerDef room;
    room.id = 2;
    room.slot = 1;
    m.metadata.layers = {direct, room};
    m.samples[1].layer = 2;
    m.samples[2].muted = true;
    m.summary.present = true;
    m.summary.sample_count = m.samples.size();
    uint64_t frames = 0;
    for (const fmt::SmplEntry& s : m.samples) frames += *s.frames;
    m.summary.total_frames = frames;
    m.points_per_sample = 4;
    m.peaks = test::pattern(m.samples.size() * 2 * 4, 0x10);
    fmt::LegacyProvenance lgcy;
    lgcy.version_magic = {'Z', 'e', 'm', '_', 'v', '4', '.', '0'};
    lgcy.header_bytes = {1, 2, 3, 4};
    lgcy.warnings = {"seed warning"};
    m.lgcy = lgcy;
    m.extraChunks.push_back(fmt::ExtraChunk{fmt::kTagDESC, 0, 5, 0, {'h', 'e', 'l', 'l', 'o'}, false});
    m.extraChunks.push_back(fmt::ExtraChunk{fmt::makeTag("QQQQ"), 0, 3, 7, {9, 8, 7}, true});
    return m;
}

std::vector<test::Payload> layoutPayloads(const std::vector<fmt::StagedPayload>& staged) {
    std::vector<test::Payload> out;
    for (const fmt::StagedPayload& p : staged) out.push_back({p.tag, p.uid, p.bytes});
    return out;
}

// Signed under the fuzz root; with `breakSignature` one byte of the
// signature itself is changed and the SIGN chunk's trailer made right again,
// so the file fails only the signature check.
fmt::Bytes signedFile(fmt::Zem6Model model, const std::vector<fmt::StagedPayload>& staged, bool breakSignature) {
    test::Signer signer(test::KeyPair::fromSeed(fuzz::kFuzzRootSeedByte), test::KeyPair::fromSeed(0x53));
    signer.certify(model);
    const auto layout = test::modelChunks(model, layoutPayloads(staged));
    test::BuiltFile f = test::layoutChunks(layout.chunks, signer.options());
    if (breakSignature) {
        const uint64_t sign = (f.dirOffset + f.dirLength + 15) / 16 * 16;
        const uint64_t length = fmt::loadLe64(f.bytes.data() + sign + 8);
        // The payload ends with the signature (64 bytes) and key 5's time.
        f.bytes[sign + fmt::kChunkHeaderBytes + length - 10] ^= 0x01;
        f.resealChunk(sign);
    }
    return f.bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seed_maker DIR\n");
        return 2;
    }
    gOut = argv[1];
    std::filesystem::create_directories(gOut);

    SampleFileBuilder one;
    one.add({fmt::kCodecFlac, 16, 1, 48000, 300, 100, 9});
    save("w_one_flac_split", written(one.model(), one.payloads()), true);

    SampleFileBuilder raw;
    raw.add({fmt::kCodecRawPcm, 16, 2, 44100, 200, 0, 8});
    save("w_one_raw_whole", written(raw.model(), raw.payloads()), true);

    const SampleFileBuilder all = geometries();
    save("w_geometries", written(all.model(), all.payloads()), true);
    save("w_regions", written(withRegions(all), all.payloads()), true);
    save("w_every_chunk", written(everyChunk(all), all.payloads()), true);

    fmt::Zem6Model empty;
    save("w_no_samples", written(empty, {}), false);

    save("s_every_chunk", signedFile(everyChunk(all), all.payloads(), false), true);
    save("s_broken_signature", signedFile(everyChunk(all), all.payloads(), true), true);
    std::printf("seeds written to %s\n", gOut.c_str());
    return 0;
}
