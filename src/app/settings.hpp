#pragma once
// The program's only persistent configuration: import trimming and the audio
// output device, in one properties file; and the window that edits them.

#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_audio_utils/juce_audio_utils.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <functional>
#include <string>

#include "widgets/buttons.hpp"

namespace vt6::maker {

inline constexpr std::array<int, 9> kTrimStartChoices{-24, -30, -36, -42, -48, -54, -60, -66, -72};
inline constexpr std::array<int, 11> kTrimEndChoices{-60, -66, -72, -78, -84, -90, -96, -102, -108, -114, -120};

// The nearest allowed threshold; ties keep the earlier (nearer 0 dB) value.
int snapTrimStartDb(int value);
int snapTrimEndDb(int value);
// "−60 dB" with the true minus sign.
std::string formatWholeDb(int value);

// $XDG_CONFIG_HOME (else ~/.config) / Quellmoor/ZemMaker/ZEM Rivir.settings
juce::File settingsFileLocation();

class SettingsStore {
public:
    SettingsStore();
    explicit SettingsStore(const juce::File& file);

    void saveTrim();
    void saveAudioDevice(juce::AudioDeviceManager& manager);
    std::unique_ptr<juce::XmlElement> audioDeviceState();

    bool trimSilence = false;
    int startThresholdDb = -60;
    int endThresholdDb = -90;

    juce::PropertiesFile& file() noexcept { return file_; }

private:
    juce::PropertiesFile file_;
};

void fillStartThresholdBox(juce::ComboBox& box, int storedDb);
void fillEndThresholdBox(juce::ComboBox& box, int storedDb);

class SettingsWindow : public juce::DialogWindow {
public:
    class Content : public juce::Component {
    public:
        Content(SettingsStore& store, juce::AudioDeviceManager& devices, std::function<void()> done);
        void resized() override;

        juce::ToggleButton trimToggle;
        juce::Label startLabel, endLabel;
        juce::ComboBox startBox, endBox;
        juce::AudioDeviceSelectorComponent deviceSelector;
        ui::widgets::V6Button doneButton{"DONE", 0};

    private:
        void updateBoxesEnabled();

        SettingsStore& store_;
        juce::AudioDeviceManager& devices_;
        std::function<void()> done_;
    };

    SettingsWindow(SettingsStore& store, juce::AudioDeviceManager& devices, juce::Component* centreAround);
    void closeButtonPressed() override;
    Content& content();
};

}  // namespace vt6::maker
