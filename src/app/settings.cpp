#include "app/settings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "widgets/theme.hpp"

namespace vt6::maker {

namespace {

// Differences in 64 bits: the value comes from a user-editable file, and a
// 32-bit subtraction would overflow for values near the integer limits.
template <size_t N>
int snapTo(const std::array<int, N>& choices, int value) {
    int best = choices[0];
    int64_t bestDistance = std::llabs(static_cast<int64_t>(value) - best);
    for (int candidate : choices) {
        const int64_t distance = std::llabs(static_cast<int64_t>(value) - candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

template <size_t N>
void fillThresholdBox(juce::ComboBox& box, const std::array<int, N>& choices, int snapped) {
    for (size_t i = 0; i < N; ++i)
        box.addItem(juce::String::fromUTF8(formatWholeDb(choices[i]).c_str()), static_cast<int>(i) + 1);
    const auto found = std::find(choices.begin(), choices.end(), snapped);
    const int index = found == choices.end() ? 0 : static_cast<int>(found - choices.begin());
    box.setSelectedItemIndex(index, juce::dontSendNotification);
}

const char* const kObsoleteKeys[] = {"pairRoomsByOrder",         "filenameDynamics", "trimTailsOnImport",
                                     "autoTrimOnImport",         "trimThresholdBelowPeakDb",
                                     "trimPreRollMs",            "trimPostRollMs"};

juce::PropertiesFile::Options settingsOptions() {
    juce::PropertiesFile::Options options;
    options.applicationName = "ZEM Rivir";
    options.filenameSuffix = "settings";
    options.folderName = "Quellmoor/ZemMaker";
    options.osxLibrarySubFolder = "Application Support";
    options.commonToAllUsers = false;
    options.ignoreCaseOfKeyNames = false;
    options.doNotSave = false;
    options.millisecondsBeforeSaving = 3000;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.processLock = nullptr;
    return options;
}

void saveNow(juce::PropertiesFile& file) {
    // Written at once, not after the file's own delay: another instance or a
    // crash must not lose a choice the user just made.
    const juce::ScopedLock lock(file.getLock());
    if (file.needsToBeSaved()) file.save();
}

}  // namespace

int snapTrimStartDb(int value) { return snapTo(kTrimStartChoices, value); }
int snapTrimEndDb(int value) { return snapTo(kTrimEndChoices, value); }

std::string formatWholeDb(int value) {
    const int64_t wide = value;
    std::string text = wide < 0 ? "\xE2\x88\x92" + std::to_string(-wide) : std::to_string(wide);
    return text + " dB";
}

juce::File settingsFileLocation() {
    juce::File base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
        base = juce::File(juce::String::fromUTF8(xdg));
    else
        base = juce::File("~/.config");
    return base.getChildFile("Quellmoor").getChildFile("ZemMaker").getChildFile("ZEM Rivir.settings");
}

SettingsStore::SettingsStore() : SettingsStore(settingsFileLocation()) {}

SettingsStore::SettingsStore(const juce::File& location) : file_(location, settingsOptions()) {
    trimSilence = file_.getBoolValue("trimSilenceOnImport", true);
    startThresholdDb = snapTrimStartDb(file_.getIntValue("trimStartDbOnImport", -60));
    endThresholdDb = snapTrimEndDb(file_.getIntValue("trimEndDbOnImport", -90));
    for (const char* key : kObsoleteKeys) file_.removeValue(key);
    saveNow(file_);
}

void SettingsStore::saveTrim() {
    file_.setValue("trimSilenceOnImport", trimSilence);
    file_.setValue("trimStartDbOnImport", startThresholdDb);
    file_.setValue("trimEndDbOnImport", endThresholdDb);
    saveNow(file_);
}

void SettingsStore::saveAudioDevice(juce::AudioDeviceManager& manager) {
    if (auto state = manager.createStateXml()) {
        file_.setValue("audioDevice", state.get());
        saveNow(file_);
    }
}

std::unique_ptr<juce::XmlElement> SettingsStore::audioDeviceState() { return file_.getXmlValue("audioDevice"); }

void fillStartThresholdBox(juce::ComboBox& box, int storedDb) {
    fillThresholdBox(box, kTrimStartChoices, snapTrimStartDb(storedDb));
}

void fillEndThresholdBox(juce::ComboBox& box, int storedDb) {
    fillThresholdBox(box, kTrimEndChoices, snapTrimEndDb(storedDb));
}

SettingsWindow::Content::Content(SettingsStore& store, juce::AudioDeviceManager& devices, std::function<void()> done)
    : deviceSelector(devices, 0, 0, 0, 2, false, false, false, false),
      store_(store),
      devices_(devices),
      done_(std::move(done)) {
    trimToggle.setButtonText("Auto-trim samples on import");
    trimToggle.setToggleState(store_.trimSilence, juce::dontSendNotification);
    trimToggle.onClick = [this] {
        store_.trimSilence = trimToggle.getToggleState();
        store_.saveTrim();
        updateBoxesEnabled();
    };
    addAndMakeVisible(trimToggle);

    startLabel.setText("Start threshold", juce::dontSendNotification);
    endLabel.setText("End threshold", juce::dontSendNotification);

    fillStartThresholdBox(startBox, store_.startThresholdDb);
    fillEndThresholdBox(endBox, store_.endThresholdDb);
    startBox.onChange = [this] {
        const int index = std::clamp(startBox.getSelectedItemIndex(), 0, static_cast<int>(kTrimStartChoices.size()) - 1);
        store_.startThresholdDb = kTrimStartChoices[static_cast<size_t>(index)];
        store_.saveTrim();
    };
    endBox.onChange = [this] {
        const int index = std::clamp(endBox.getSelectedItemIndex(), 0, static_cast<int>(kTrimEndChoices.size()) - 1);
        store_.endThresholdDb = kTrimEndChoices[static_cast<size_t>(index)];
        store_.saveTrim();
    };
    updateBoxesEnabled();

    startLabel.attachToComponent(&startBox, true);
    endLabel.attachToComponent(&endBox, true);

    addAndMakeVisible(startLabel);
    addAndMakeVisible(endLabel);
    addAndMakeVisible(startBox);
    addAndMakeVisible(endBox);
    addAndMakeVisible(deviceSelector);
    addAndMakeVisible(doneButton);
    doneButton.onClick = [this] {
        if (done_) done_();
    };
    setSize(640, 594);
}

void SettingsWindow::Content::updateBoxesEnabled() {
    startBox.setEnabled(store_.trimSilence);
    endBox.setEnabled(store_.trimSilence);
}

void SettingsWindow::Content::resized() {
    auto area = juce::Rectangle<int>(10, 10, std::max(0, getWidth() - 20), std::max(0, getHeight() - 20));
    const int w = area.getWidth();
    auto bottom = area.removeFromBottom(30);
    doneButton.setBounds(bottom.removeFromRight(90));
    area.removeFromBottom(8);

    trimToggle.setBounds(20, area.getY(), std::max(0, w - 10), 28);
    area.removeFromTop(28 + 6);
    startBox.setBounds(164, area.getY(), 120, 28);
    area.removeFromTop(28 + 6);
    endBox.setBounds(164, area.getY(), 120, 28);
    area.removeFromTop(28 + 6);
    deviceSelector.setBounds(10, area.getY(), w, std::max(0, area.getHeight()));
}

SettingsWindow::SettingsWindow(SettingsStore& store, juce::AudioDeviceManager& devices,
                               juce::Component* centreAround)
    : juce::DialogWindow("ZEM Rivir - Settings", ui::themeColour(ui::ThemeColour::panelBackground), true, true,
                         1.0f) {
    setUsingNativeTitleBar(true);
    setResizable(false, false);
    setContentOwned(new Content(store, devices, [this] { setVisible(false); }), true);
    centreAroundComponent(centreAround, getWidth(), getHeight());
}

void SettingsWindow::closeButtonPressed() { setVisible(false); }

SettingsWindow::Content& SettingsWindow::content() { return *static_cast<Content*>(getContentComponent()); }

}  // namespace vt6::maker
