#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/logic/sample_commands.hpp"
#include "editor/ui/detail_fixture.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {
namespace {

using namespace detailtest;
using Access = ZemEditOverlayDetailAccess;

const std::string kMinus = "\xe2\x88\x92";

// The chip of a uid on the current page, or null.
ZemChip* chipOf(Shown& s, uint64_t uid) {
    Access a(*s);
    for (auto& column : a.columns())
        for (auto& chip : column->chips)
            if (chip->isVisible() && chip->uid == uid) return chip.get();
    return nullptr;
}

// Clicks a chip's name, as the user selects it (Ctrl adds to the selection).
void selectByClick(Shown& s, uint64_t uid, bool add = false) {
    auto* chip = chipOf(s, uid);
    ASSERT_NE(chip, nullptr) << uid;
    s.click(*chip, {12.0f, chip->getHeight() / 2.0f}, add ? juce::ModifierKeys::ctrlModifier : 0);
}

// Paints the strip once, as the window would, so its areas are those drawn.
void paintStrip(Shown& s) {
    Access a(*s);
    test::render(a.strip());
}

TEST(DetailStripTexts, FormatLines) {
    struct Case {
        uint64_t rate, bits, channels;
        const char* text;
    };
    const Case cases[] = {
        {44100, 16, 2, "44.1k \xc2\xb7 16-bit \xc2\xb7 2 mics"},
        {48000, 24, 1, "48k \xc2\xb7 24-bit \xc2\xb7 1 mic"},
        {96000, 32, 2, "96k \xc2\xb7 32-bit \xc2\xb7 2 mics"},
        {22050, 8, 6, "22.1k \xc2\xb7 8-bit \xc2\xb7 6 mics"},
        {0, 16, 0, "0k \xc2\xb7 16-bit \xc2\xb7 0 mics"},
    };
    for (const auto& c : cases) EXPECT_EQ(detailFormatText(c.rate, c.bits, c.channels), c.text) << c.rate;
}

TEST(DetailStripTexts, MeasuresLine) {
    struct Case {
        double power, gain, tune;
        std::string text;
    };
    const Case cases[] = {
        {0.0, -0.04, -0.5, "PWR -120.0 dB   GAIN " + kMinus + "0.0 dB   TUNE " + kMinus + "1 st"},
        {0.000001, 0.0, -0.4, "PWR -120.0 dB   GAIN 0.0 dB   TUNE 0 st"},
        {0.0000001, 2.0, 2.6, "PWR -120.0 dB   GAIN 2.0 dB   TUNE 3 st"},
        {1.0, -3.0, 2.5, "PWR 0.0 dB   GAIN " + kMinus + "3.0 dB   TUNE 3 st"},
        {0.5, 0.0, -2.5, "PWR -6.0 dB   GAIN 0.0 dB   TUNE " + kMinus + "3 st"},
        {-1.0, 0.0, 0.0, "PWR -120.0 dB   GAIN 0.0 dB   TUNE 0 st"},
        {std::nan(""), 0.0, 0.0, "PWR -120.0 dB   GAIN 0.0 dB   TUNE 0 st"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(detailMeasuresText(detailPowerDecibels(c.power), c.gain, c.tune), c.text) << c.power;
}

TEST(DetailStrip, OneSelectedSampleShowsItsDetails) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& doc = s->document();
    EXPECT_EQ(a.strip().getName(), "Sample detail");
    EXPECT_EQ(a.strip().getTitle(), "Sample detail");
    EXPECT_EQ(a.strip().shownUid(), 0u);
    struct Case {
        uint64_t uid;
        const char *label, *room, *articulation, *format;
        std::string measures;
    };
    const Case cases[] = {
        {uidNamed(doc, "Snare 1"), "Snare 1", "Direct", "CENTER", "44.1k \xc2\xb7 16-bit \xc2\xb7 2 mics",
         "PWR -120.0 dB   GAIN " + kMinus + "0.0 dB   TUNE " + kMinus + "1 st"},
        {uidNamed(doc, "Snare 2"), "Snare 2", "Direct", "CENTER", "48k \xc2\xb7 24-bit \xc2\xb7 1 mic",
         "PWR 0.0 dB   GAIN 0.0 dB   TUNE 3 st"},
        // No name: the group's name and the position in it.
        {uidNamed(doc, ""), "G2 1", "Direct", "RIM", "96k \xc2\xb7 16-bit \xc2\xb7 1 mic",
         "PWR -6.0 dB   GAIN " + kMinus + "3.0 dB   TUNE 0 st"},
        {uidNamed(doc, "Snare 1 Room A"), "Snare 1 Room A", "Room channel A", "CENTER",
         "44.1k \xc2\xb7 16-bit \xc2\xb7 2 mics", "PWR -12.0 dB   GAIN 1.5 dB   TUNE 0 st"},
    };
    for (const auto& c : cases) {
        selectByClick(s, c.uid);
        const auto& strip = a.strip();
        EXPECT_EQ(strip.shownUid(), c.uid) << c.label;
        EXPECT_EQ(strip.selectionText(), "") << c.label;
        EXPECT_EQ(strip.label(), c.label);
        EXPECT_EQ(strip.roomChannelName(), c.room) << c.label;
        EXPECT_EQ(strip.articulationName(), c.articulation) << c.label;
        EXPECT_EQ(strip.formatText(), c.format) << c.label;
        EXPECT_EQ(strip.measuresText(), c.measures) << c.label;
    }
}

TEST(DetailStrip, SeveralNoneAndVanishedSelections) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& doc = s->document();
    const uint64_t one = uidNamed(doc, "Snare 1"), two = uidNamed(doc, "Snare 2");
    selectByClick(s, one);
    selectByClick(s, two, true);
    EXPECT_EQ(a.strip().selectionText(), "2 selected");
    EXPECT_EQ(a.strip().shownUid(), 0u);
    // No controls: clicks where they would be do nothing.
    paintStrip(s);
    const auto would = a.strip().layout();
    for (auto area : {would.audition, would.roomChip, would.mute, would.solo})
        s.click(a.strip(), area.getCentre().toFloat());
    EXPECT_EQ(s.steps(), 0);
    EXPECT_EQ(doc.sampleByUid(one)->muted, 0);

    // The whole page selected as one sample: the anchor names it.
    const uint64_t room = uidNamed(doc, "Snare 1 Room A");
    doc.setPage(1, -1);
    doc.selection.clear();
    doc.allSelected = 1;
    doc.anchorUid = room;
    s->refreshAll();
    EXPECT_EQ(a.strip().shownUid(), room);

    // A press on the overlay's background clears the selection.
    doc.allSelected = 0;
    doc.setPage(-1, -1);
    s->refreshAll();
    selectByClick(s, one);
    ASSERT_EQ(a.strip().shownUid(), one);
    s.click(a.title());
    EXPECT_EQ(a.strip().shownUid(), 0u);
    EXPECT_EQ(a.strip().selectionText(), "");

    // A selected sample that is deleted leaves the strip empty.
    selectByClick(s, two);
    const auto* sample = doc.sampleByUid(two);
    doc.execute(std::make_unique<logic::RemoveSamplesCmd>(
        std::vector<logic::SampleRemoval>{{two, sample->bandId, sample->positionKey}}));
    s->refreshAfterCommand();
    EXPECT_EQ(a.strip().shownUid(), 0u);
    EXPECT_EQ(a.strip().selectionText(), "");
}

TEST(DetailStrip, EachAreaActsOnTheShownSample) {
    test::TempDir dir;
    const auto kit = writeDetailKit(dir.path("kit.zem"));
    enum Area { Audition, RoomChip, ArticulationChip, Polarity, Mute, Solo };
    struct Case {
        const char* what;
        Area area;
        int auditions;
        int32_t layer, articulation;
        uint8_t muted, soloed;
        const char* step;  // null: no undo step
    };
    const Case cases[] = {
        {"audition", Audition, 1, 0, 0, 0, 0, nullptr},
        {"room-channel chip", RoomChip, 0, 1, 0, 0, 0, "Reassign sample"},
        {"articulation chip", ArticulationChip, 0, 0, 1, 0, 0, "Reassign sample"},
        {"polarity", Polarity, 0, 0, 0, 0, 0, nullptr},
        {"mute", Mute, 0, 0, 0, 1, 0, "Mute sample"},
        {"solo", Solo, 0, 0, 0, 0, 1, "Solo sample"},
    };
    for (const auto& c : cases) {
        RecordingPreview preview;
        std::vector<std::pair<std::string, int>> played;
        auto deps = depsFor(kit);
        deps.previewService = &preview;
        deps.auditionFile = [&](const std::string& path, int position) { played.emplace_back(path, position); };
        Shown s(std::move(deps));
        Access a(*s);
        auto& doc = s->document();
        const uint64_t uid = uidNamed(doc, "Snare 1");
        selectByClick(s, uid);
        paintStrip(s);
        const auto& areas = a.strip().hitAreas();
        const juce::Rectangle<int> boxes[] = {areas.audition, areas.roomChip, areas.articulationChip,
                                              areas.polarity, areas.mute,     areas.solo};
        s.click(a.strip(), boxes[c.area].getCentre().toFloat());
        const auto* sample = doc.sampleByUid(uid);
        ASSERT_NE(sample, nullptr) << c.what;
        EXPECT_EQ(static_cast<int>(played.size()), c.auditions) << c.what;
        if (!played.empty()) {
            EXPECT_EQ(played[0].second, sample->recordIndex + 1) << c.what;
            EXPECT_EQ(played[0].first, s->viewModel.activeSource()->path()) << c.what;
        }
        EXPECT_EQ(sample->layerIndex, c.layer) << c.what;
        EXPECT_EQ(sample->articulationIndex, c.articulation) << c.what;
        EXPECT_EQ(sample->muted, c.muted) << c.what;
        EXPECT_EQ(sample->soloed, c.soloed) << c.what;
        EXPECT_EQ(s.steps(), c.step != nullptr ? 1 : 0) << c.what;
        if (c.step != nullptr) {
            EXPECT_EQ(s->undoManager().getUndoDescription(), c.step) << c.what;
        }
        // The strip follows the overlay's refresh: still the same sample.
        EXPECT_EQ(a.strip().shownUid(), uid) << c.what;
        EXPECT_EQ(a.strip().muted(), c.muted != 0) << c.what;
        EXPECT_EQ(a.strip().soloed(), c.soloed != 0) << c.what;
    }
}

TEST(DetailStrip, MuteTwiceUnmutesAndTheCellLightsOnlyAfterTheRefresh) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    auto& doc = s->document();
    const uint64_t uid = uidNamed(doc, "Snare 2");
    selectByClick(s, uid);

    // A strip of its own: the callback hears the new state, nothing changes
    // until the owner refreshes.
    DetailStrip lone;
    lone.setBounds(a.strip().getBounds());
    lone.refresh(doc);
    std::vector<std::pair<uint64_t, bool>> heard;
    lone.onMute = [&](uint64_t u, bool m) { heard.emplace_back(u, m); };
    test::render(lone);
    juce::Point<float> at = lone.hitAreas().mute.getCentre().toFloat();
    lone.mouseUp(juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), at, {}, 1.0f, 0.0f, 0.0f,
                                  0.0f, 0.0f, &lone, &lone, juce::Time(), at, juce::Time(), 1, false));
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(uid, true));
    EXPECT_FALSE(lone.muted());

    const auto fillAt = [&](juce::Rectangle<int> box) {
        const auto image = test::render(a.strip());
        return image.getPixelAt(box.getX() + 4, box.getCentreY());
    };
    // Cell faces over the strip's panel, over the black the test paints first.
    const auto face = [](ThemeColour fill) {
        return juce::Colours::black.overlaidWith(themeColour(ThemeColour::panelBackground))
            .overlaidWith(themeColour(fill));
    };
    paintStrip(s);
    const auto mute = a.strip().hitAreas().mute;
    EXPECT_TRUE(test::nearColour(fillAt(mute), face(ThemeColour::surfaceRaised), 4));
    s.click(a.strip(), mute.getCentre().toFloat());
    EXPECT_EQ(doc.sampleByUid(uid)->muted, 1);
    EXPECT_TRUE(test::nearColour(fillAt(mute), face(ThemeColour::accentWash), 4));
    s.click(a.strip(), mute.getCentre().toFloat());
    EXPECT_EQ(doc.sampleByUid(uid)->muted, 0);
    EXPECT_EQ(s.steps(), 2);
}

TEST(DetailStrip, TooltipsNameThePolarityAndTheAudition) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    selectByClick(s, uidNamed(s->document(), "Snare 1"));
    paintStrip(s);
    const auto& areas = a.strip().hitAreas();
    const std::pair<juce::Point<int>, const char*> cases[] = {
        {areas.polarity.getCentre(), "No polarity anywhere in Vantorel 6 (DIV-002)"},
        {areas.audition.getCentre(), "Audition \xe2\x80\x94 loudness-matched"},
        {areas.mute.getCentre(), ""},
        {{areas.audition.getRight() + 40, 10}, ""},
    };
    for (const auto& [point, tip] : cases) {
        s.mouse.send(s.at(a.strip(), point.toFloat()), {});
        EXPECT_EQ(a.strip().getTooltip(), juce::String::fromUTF8(tip)) << tip;
    }
}

TEST(DetailStrip, LayoutOnWideAndNarrowStrips) {
    test::TempDir dir;
    Shown s(depsFor(writeDetailKit(dir.path("kit.zem"))));
    Access a(*s);
    selectByClick(s, uidNamed(s->document(), "Snare 1"));
    auto& strip = a.strip();
    // At the shell's size: the button at (10, 11), the name column at 54.
    auto areas = strip.layout();
    EXPECT_EQ(areas.audition, juce::Rectangle<int>(10, 11, 34, 34));
    EXPECT_EQ(areas.roomChip.getX(), 54);
    EXPECT_EQ(areas.solo.getRight(), strip.getWidth() - 10);
    EXPECT_EQ(areas.mute.getRight() + 8, areas.solo.getX());
    EXPECT_EQ(areas.polarity.getRight() + 8, areas.mute.getX());
    EXPECT_EQ(areas.articulationChip.getX(), areas.roomChip.getRight() + 6);
    for (const auto& box : {areas.polarity, areas.mute, areas.solo}) EXPECT_EQ(box.getHeight(), 34);
    for (const auto& box : {areas.roomChip, areas.articulationChip}) EXPECT_EQ(box.getHeight(), 20);
    // Too small for its content: nothing negative, cells overhang, no crash.
    for (int w : {0, 12, 60, 140}) {
        strip.setSize(w, 20);
        areas = strip.layout();
        for (const auto& box : {areas.audition, areas.roomChip, areas.articulationChip, areas.polarity, areas.mute,
                                areas.solo}) {
            EXPECT_GE(box.getWidth(), 0) << w;
            EXPECT_GE(box.getHeight(), 0) << w;
        }
        test::render(strip);
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit
