// Writes one zem file of a given size with the library's writer, for the
// kill-during-write script: the payload bytes follow from the seed alone, so
// two runs with one seed give identical files. Prints "writing" once the
// payloads are staged and the write itself begins.
//
//   zem_write_probe <path> <payload MiB> <seed>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/writer.hpp"

int main(int argc, char** argv) {
    using namespace vt6::fmt;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <path> <payload MiB> <seed>\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const uint64_t mib = std::strtoull(argv[2], nullptr, 10);
    uint64_t x = std::strtoull(argv[3], nullptr, 10) * 0x9E3779B97F4A7C15ull + 1;

    constexpr size_t kSamples = 32;
    const size_t each = static_cast<size_t>(mib * 1024 * 1024 / kSamples);
    Zem6Model model;
    model.metadata.name = "probe " + std::string(argv[3]);
    model.metadata.next_uid = 2 * kSamples + 1;
    std::vector<StagedPayload> payloads;
    for (size_t i = 0; i < kSamples; ++i) {
        SmplEntry row;
        row.uid = 2 * i + 1;
        row.audi_uid = 2 * i + 2;
        model.samples.push_back(row);
        StagedPayload p;
        p.tag = kTagAUDI;
        p.uid = row.audi_uid;
        p.bytes.resize(each);
        for (size_t k = 0; k + 8 <= each; k += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(p.bytes.data() + k, &x, 8);
        }
        payloads.push_back(std::move(p));
    }
    std::printf("writing\n");
    std::fflush(stdout);
    const auto result = writeZem6File(path, model, payloads);
    if (!result.ok()) {
        std::fprintf(stderr, "%s\n", result.message().c_str());
        return 1;
    }
    std::printf("done\n");
    return 0;
}
