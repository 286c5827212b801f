// Adding decoded audio in two steps (encoded beforehand, adopted later) gives
// the document, the payload list and the kept audio exactly what the one-step
// add gives, refusals included, and adopts the prepared buffers as they are.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "editor/logic/audio_fixture.hpp"
#include "editor/logic/view_model.hpp"
#include "format/framing.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

TEST(PreparedPcm, TwoStepsAddWhatOneStepAdds) {
    struct Case {
        const char* what;
        size_t values;
        int32_t channels;
        int32_t rate;
        uint32_t layer;
        uint32_t articulation;
        int32_t band;
        bool valid;   // preparePcmForAdd
        bool added;
    };
    const Case cases[] = {
        {"stereo, middle band", 200, 2, 44100, 0, 0, -1, true, true},
        {"mono, a given band", 100, 1, 48000, 0, 0, 1, true, true},
        {"band past the last", 200, 2, 44100, 0, 0, 9, true, false},
        {"no such layer", 200, 2, 44100, 1, 0, -1, true, false},
        {"no such articulation", 200, 2, 44100, 0, 1, -1, true, false},
        {"no values", 0, 2, 44100, 0, 0, -1, false, false},
        {"no channels", 200, 0, 44100, 0, 0, -1, false, false},
        {"rate 0", 200, 2, 0, 0, 0, -1, false, false},
        {"rate above the limit", 200, 2, 1000001, 0, 0, -1, false, false},
        {"part of a frame", 201, 2, 44100, 0, 0, -1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> values = test::hitSignal(c.channels > 0 ? c.channels : 1, 100, 0.5f);
        values.resize(c.values, 0.1f);

        ZemEditViewModel oneStep;
        oneStep.newDocument();
        const uint64_t expected = oneStep.addSampleFromPcm("s", values, c.channels, c.rate, 0.4, c.layer,
                                                           c.articulation, c.band, test::measuredLevel(-9.0), true);
        ZemEditViewModel twoSteps;
        twoSteps.newDocument();
        const test::Counters before = test::countersOf(twoSteps.document);
        // Prepared where an import prepares it: on another thread.
        PreparedPcm prepared;
        std::thread([&] { prepared = preparePcmForAdd(std::vector<float>(values), c.channels, c.rate); }).join();
        EXPECT_EQ(prepared.valid(), c.valid);
        const uint8_t* payload = prepared.payload().data();
        const void* pcm = prepared.pcm();
        const uint64_t uid = twoSteps.addPreparedSample("s", std::move(prepared), 0.4, c.layer, c.articulation, c.band,
                                                        test::measuredLevel(-9.0), true);
        EXPECT_EQ(uid, expected);
        EXPECT_EQ(uid != 0, c.added);
        if (!c.added) {
            EXPECT_EQ(test::countersOf(twoSteps.document), before);
            EXPECT_TRUE(twoSteps.addedPayloads.empty());
            EXPECT_TRUE(twoSteps.addedPcm.empty());
            continue;
        }
        const EditSample& a = *oneStep.document.sampleByUid(expected);
        const EditSample& b = *twoSteps.document.sampleByUid(uid);
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.bandId, a.bandId);
        EXPECT_EQ(b.layerIndex, a.layerIndex);
        EXPECT_EQ(b.articulationIndex, a.articulationIndex);
        EXPECT_EQ(b.sampleRate, a.sampleRate);
        EXPECT_EQ(b.bits, a.bits);
        EXPECT_EQ(b.channels, a.channels);
        EXPECT_EQ(b.frames, a.frames);
        EXPECT_EQ(b.regionStart, a.regionStart);
        EXPECT_EQ(b.regionEnd, a.regionEnd);
        EXPECT_DOUBLE_EQ(b.key13Value, a.key13Value);
        EXPECT_EQ(b.hitLevel, a.hitLevel);
        EXPECT_EQ(b.sortLock, a.sortLock);
        EXPECT_EQ(b.plainHash, a.plainHash);
        EXPECT_EQ(b.plainHashPresent, a.plainHashPresent);
        EXPECT_EQ(test::countersOf(twoSteps.document), test::countersOf(oneStep.document));
        ASSERT_EQ(twoSteps.addedPayloads.size(), 1u);
        EXPECT_EQ(twoSteps.addedPayloads[0].uid, uid);
        EXPECT_EQ(twoSteps.addedPayloads[0].tag, fmt::kTagAUDI);
        EXPECT_EQ(twoSteps.addedPayloads[0].bytes, oneStep.addedPayloads[0].bytes);
        EXPECT_EQ(twoSteps.addedPcm.at(uid)->samples, values);
        // Adopted as prepared: the same buffers, nothing encoded again.
        EXPECT_EQ(twoSteps.addedPayloads[0].bytes.data(), payload);
        EXPECT_EQ(static_cast<const void*>(twoSteps.addedPcm.at(uid).get()), pcm);
    }
}

TEST(PreparedPcm, AnEmptyPreparationIsRefused) {
    ZemEditViewModel vm;
    vm.newDocument();
    EXPECT_EQ(vm.addPreparedSample("s", PreparedPcm{}, 0.4, 0, 0, -1, test::measuredLevel(-9.0), false), 0u);
    EXPECT_TRUE(vm.addedPayloads.empty());
    EXPECT_EQ(vm.document.samples.size(), 0u);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
