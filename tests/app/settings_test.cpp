#include <gtest/gtest.h>

#include <climits>

#include "app/fake_audio.hpp"
#include "app/settings.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::maker {
namespace {

TEST(Settings, SnapsToTheNearestAllowedThreshold) {
    const std::pair<int, int> start[] = {{-27, -24}, {-60, -60}, {-61, -60}, {-64, -66}, {-200, -72},
                                         {0, -24},   {INT_MAX, -24}, {INT_MIN, -72}, {INT_MIN + 1, -72}};
    for (const auto& [in, out] : start) EXPECT_EQ(snapTrimStartDb(in), out) << in;
    const std::pair<int, int> end[] = {{-63, -60}, {-100, -102}, {-200, -120}, {-90, -90},
                                       {INT_MAX, -60}, {INT_MIN, -120}};
    for (const auto& [in, out] : end) EXPECT_EQ(snapTrimEndDb(in), out) << in;
}

TEST(Settings, WholeDbUsesTheTrueMinusSign) {
    EXPECT_EQ(formatWholeDb(-24), "\xE2\x88\x92" "24 dB");
    EXPECT_EQ(formatWholeDb(0), "0 dB");
    EXPECT_EQ(formatWholeDb(6), "6 dB");
    EXPECT_EQ(formatWholeDb(INT_MIN), "\xE2\x88\x92" "2147483648 dB");
}

TEST(Settings, FileLivesUnderTheConfigFolder) {
    const juce::File expected = juce::File(juce::String::fromUTF8(getenv("XDG_CONFIG_HOME")))
                                    .getChildFile("Quellmoor/ZemMaker/ZEM Rivir.settings");
    EXPECT_EQ(settingsFileLocation(), expected);
}

struct SettingsFileTest : ::testing::Test {
    juce::TemporaryFile temp{".settings"};
    juce::File file = temp.getFile();

    void write(const juce::String& xml) { ASSERT_TRUE(file.replaceWithText(xml)); }
    std::unique_ptr<juce::XmlElement> onDisk() { return juce::parseXML(file); }
    static juce::String entry(const char* key, const char* value) {
        return juce::String("<VALUE name=\"") + key + "\" val=\"" + value + "\"/>";
    }
};

TEST_F(SettingsFileTest, FirstStartUsesDefaults) {
    SettingsStore store(file);
    EXPECT_TRUE(store.trimSilence);
    EXPECT_EQ(store.startThresholdDb, -60);
    EXPECT_EQ(store.endThresholdDb, -90);
    EXPECT_EQ(store.audioDeviceState(), nullptr);
}

TEST_F(SettingsFileTest, ReadsSnapsAndDropsObsoleteKeys) {
    write("<PROPERTIES>" + entry("trimSilenceOnImport", "0") + entry("trimStartDbOnImport", "-27") +
          entry("trimEndDbOnImport", "-200") + entry("autoTrimOnImport", "1") + entry("trimPreRollMs", "5") +
          entry("otherKey", "kept") + "</PROPERTIES>");
    SettingsStore store(file);
    EXPECT_FALSE(store.trimSilence);
    EXPECT_EQ(store.startThresholdDb, -24);
    EXPECT_EQ(store.endThresholdDb, -120);
    // The removal is on disk at once.
    const auto xml = onDisk();
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->getChildByAttribute("name", "autoTrimOnImport"), nullptr);
    EXPECT_EQ(xml->getChildByAttribute("name", "trimPreRollMs"), nullptr);
    EXPECT_NE(xml->getChildByAttribute("name", "otherKey"), nullptr);
    EXPECT_NE(xml->getChildByAttribute("name", "trimStartDbOnImport"), nullptr);
}

TEST_F(SettingsFileTest, ExtremeStoredValuesSnap) {
    write("<PROPERTIES>" + entry("trimStartDbOnImport", "2147483647") + entry("trimEndDbOnImport", "-2147483648") +
          "</PROPERTIES>");
    SettingsStore store(file);
    EXPECT_EQ(store.startThresholdDb, -24);
    EXPECT_EQ(store.endThresholdDb, -120);
}

TEST_F(SettingsFileTest, SaveTrimWritesImmediately) {
    SettingsStore store(file);
    store.trimSilence = false;
    store.startThresholdDb = -42;
    store.endThresholdDb = -114;
    store.saveTrim();
    const auto xml = onDisk();
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->getChildByAttribute("name", "trimSilenceOnImport")->getStringAttribute("val"), "0");
    EXPECT_EQ(xml->getChildByAttribute("name", "trimStartDbOnImport")->getStringAttribute("val"), "-42");
    EXPECT_EQ(xml->getChildByAttribute("name", "trimEndDbOnImport")->getStringAttribute("val"), "-114");
    SettingsStore again(file);
    EXPECT_FALSE(again.trimSilence);
    EXPECT_EQ(again.startThresholdDb, -42);
}

TEST_F(SettingsFileTest, AudioDeviceStateIsStoredOnlyWhenThereIsOne) {
    test::ScopedFakeAudio fake;
    SettingsStore store(file);
    juce::AudioDeviceManager fresh;
    store.saveAudioDevice(fresh);  // no state: nothing changes
    EXPECT_EQ(store.audioDeviceState(), nullptr);

    Audition audition;
    ASSERT_TRUE(audition.initialise(nullptr).isEmpty());
    test::chooseOtherBufferSize(audition.deviceManager());  // a user choice makes a state
    store.saveAudioDevice(audition.deviceManager());
    const auto stored = SettingsStore(file).audioDeviceState();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->getStringAttribute("audioOutputDeviceName"), "Fake Out");
}

TEST(Settings, ThresholdBoxes) {
    juce::ComboBox start, end;
    fillStartThresholdBox(start, -27);
    fillEndThresholdBox(end, -100);
    EXPECT_EQ(start.getNumItems(), 9);
    EXPECT_EQ(end.getNumItems(), 11);
    EXPECT_EQ(start.getItemId(8), 9);
    EXPECT_EQ(start.getText(), juce::String::fromUTF8("\xE2\x88\x92" "24 dB"));
    EXPECT_EQ(end.getText(), juce::String::fromUTF8("\xE2\x88\x92" "102 dB"));
    EXPECT_EQ(end.getItemText(0), juce::String::fromUTF8("\xE2\x88\x92" "60 dB"));
}

struct SettingsWindowTest : SettingsFileTest {
    test::ScopedFakeAudio fake;
    Audition audition;
    void SetUp() override { ASSERT_TRUE(audition.initialise(nullptr).isEmpty()); }
};

TEST_F(SettingsWindowTest, ControlsEditTheStoreAndWriteAtOnce) {
    SettingsStore store(file);
    bool done = false;
    SettingsWindow::Content content(store, audition.deviceManager(), [&] { done = true; });
    EXPECT_EQ(content.getWidth(), 640);
    EXPECT_EQ(content.getHeight(), 594);
    EXPECT_TRUE(content.trimToggle.getToggleState());
    EXPECT_TRUE(content.startBox.isEnabled());

    content.endBox.setSelectedItemIndex(10, juce::sendNotificationSync);
    EXPECT_EQ(store.endThresholdDb, -120);
    EXPECT_EQ(SettingsStore(file).endThresholdDb, -120);

    content.trimToggle.triggerClick();
    test::pumpUntil([&] { return !content.trimToggle.getToggleState(); });
    EXPECT_FALSE(store.trimSilence);
    EXPECT_FALSE(content.startBox.isEnabled());
    EXPECT_FALSE(content.endBox.isEnabled());
    EXPECT_FALSE(SettingsStore(file).trimSilence);
    EXPECT_EQ(content.endBox.getSelectedItemIndex(), 10);  // values stay while greyed out

    content.doneButton.triggerClick();
    test::pumpUntil([&] { return done; });
    EXPECT_TRUE(done);
}

TEST_F(SettingsWindowTest, Layout) {
    SettingsStore store(file);
    SettingsWindow::Content content(store, audition.deviceManager(), {});
    content.setSize(640, 594);
    content.resized();
    EXPECT_EQ(content.doneButton.getBounds(), juce::Rectangle<int>(540, 554, 90, 30));
    EXPECT_EQ(content.trimToggle.getBounds(), juce::Rectangle<int>(20, 10, 610, 28));
    EXPECT_EQ(content.startBox.getBounds(), juce::Rectangle<int>(164, 44, 120, 28));
    EXPECT_EQ(content.endBox.getBounds(), juce::Rectangle<int>(164, 78, 120, 28));
    // The selector sizes its own height to its controls.
    EXPECT_EQ(content.deviceSelector.getPosition(), juce::Point<int>(10, 112));
    EXPECT_EQ(content.deviceSelector.getWidth(), 620);
    EXPECT_EQ(content.startLabel.getText(), "Start threshold");
    EXPECT_LE(content.startLabel.getRight(), 164);  // attached to the left of its box
}

}  // namespace
}  // namespace vt6::maker
