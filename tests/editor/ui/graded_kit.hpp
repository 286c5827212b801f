#pragma once
// A kit the automatic sort has work in: the kit fixture's samples (groups
// dealt out in turn) scaled so that each group's samples sit at one level,
// 10 dB apart from group to group, loudest last, except every sixth sample,
// which is filed in a group two steps away from its level.

#include <cmath>
#include <cstring>
#include <string>

#include "editor/ui/kit_fixture.hpp"

namespace vt6::test {

// True for the samples filed away from their level.
inline bool gradedKitMisfiled(size_t index) { return index % 6 == 5; }

inline std::string writeGradedKit(const std::string& path, int samples = 12, int groups = 4,
                                  const std::string& name = "Graded", uint64_t frames = 2000,
                                  uint16_t codec = fmt::kCodecRawPcm) {
    SampleFileBuilder builder;
    fmt::Zem6Model model = kitModel(builder, samples, groups, name);
    const auto n = static_cast<size_t>(groups);
    for (size_t i = 0; i < builder.samples.size(); ++i) {
        SampleBuild& s = builder.samples[i];
        s.desc.codec = codec;
        if (frames != s.desc.frames) {
            s.desc.frames = frames;
            s.pcm = makeAnyPcm(s.desc.bits, s.desc.channels, frames, s.desc.seed);
            model.samples[i].frames = frames;
        }
        const size_t filed = i % n;
        const size_t levelGroup = gradedKitMisfiled(i) ? (filed + 2) % n : filed;
        const double gain = std::pow(10.0, -10.0 * static_cast<double>(n - 1 - levelGroup) / 20.0);
        for (size_t b = 0; b + 1 < s.pcm.size(); b += 2) {
            int16_t v = 0;
            std::memcpy(&v, &s.pcm[b], 2);
            v = static_cast<int16_t>(std::lround(v * gain * 0.5));
            std::memcpy(&s.pcm[b], &v, 2);
        }
        s.audi = makePart(s.desc, fmt::PayloadRole::whole, 0, s.pcm);
    }
    const auto written = fmt::writeZem6File(path, model, builder.payloads());
    if (!written.ok()) {
        ADD_FAILURE() << "write failed: " << written.message();
        return {};
    }
    return path;
}

}  // namespace vt6::test
