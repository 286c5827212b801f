// Writes the seed corpus of the decode target into DIR: short files of every
// format the import reads (written by libsndfile) and the hostile files of
// the import tests. Kept small, so the fuzzer starts from many headers
// rather than much audio.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/hostile_audio.hpp"

namespace {

bool writeWithSndfile(const std::filesystem::path& path, int format, int channels, int rate, int frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    std::vector<float> audio(static_cast<size_t>(frames * channels));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            audio[static_cast<size_t>(i * channels + c)] =
                static_cast<float>(0.8 * std::exp(-i / 200.0) * std::sin(i * 0.3 + c));
    const bool ok = sf_writef_float(f, audio.data(), frames) == frames;
    sf_close(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    struct Seed {
        const char* name;
        int format;
        int channels;
        int rate;
        int frames;
    };
    const Seed seeds[] = {
        {"pcm16_mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, 300},
        {"pcm24_stereo.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, 200},
        {"float_stereo.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 96000, 200},
        {"u8_mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 8000, 300},
        {"ima_adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 1, 22050, 1100},
        {"extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 2, 44100, 200},
        {"pcm16.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 2, 44100, 200},
        {"pcm24.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_24, 1, 44100, 200},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 44100, 300},
        {"double.aifc", SF_FORMAT_AIFF | SF_FORMAT_DOUBLE, 2, 44100, 100},
        {"mono16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 44100, 1200},
        {"stereo24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, 88200, 1200},
        {"stereo.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 44100, 1200},
        {"mpeg1.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 44100, 2400},
        {"mpeg2.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 22050, 1200},
        {"mpeg25.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 8000, 1200},
    };
    int failed = 0;
    for (const Seed& s : seeds)
        if (!writeWithSndfile(dir / s.name, s.format, s.channels, s.rate, s.frames)) ++failed;
    // A FLAC of 1200 frames whose STREAMINFO declares 2^26: coded audio that
    // must cost only what really decodes.
    const auto liar = dir / "claims_2p26.flac";
    if (writeWithSndfile(liar, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 44100, 1200)) {
        std::ifstream in(liar, std::ios::binary);
        vt6::test::ByteVec bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::ofstream out(liar, std::ios::binary | std::ios::trunc);
        if (!vt6::test::setFlacTotalFrames(bytes, uint64_t{1} << 26)) ++failed;
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) ++failed;
    } else {
        ++failed;
    }
    std::vector<vt6::test::HostileFile> files = vt6::test::hostileAudioFiles();
    files.push_back({"wav12.wav", vt6::test::riffWave({vt6::test::wavFmt(1, 44100, 12, 2),
                                                       {"data", vt6::test::pcm16(200, 1), -1}})});
    files.push_back({"aiff20.aiff", vt6::test::aiff(200, 20)});
    for (const auto& h : files) {
        std::ofstream out(dir / h.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(h.bytes.data()), static_cast<std::streamsize>(h.bytes.size()));
        if (!out) ++failed;
    }
    return failed == 0 ? 0 : 1;
}
