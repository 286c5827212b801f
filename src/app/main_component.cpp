#include "app/main_component.hpp"

#include <cmath>

#include "app/message_boxes.hpp"
#include "widgets/theme.hpp"

namespace vt6::maker {

namespace {

using ui::ThemeColour;
using ui::themeColour;

constexpr const char* kAudioUnavailable = "Audio output unavailable - open SETTINGS > Audio";

}  // namespace

MainComponent::MainComponent() {
    setLookAndFeel(&lookAndFeel_);
    setWantsKeyboardFocus(true);

    for (juce::Button* button : std::initializer_list<juce::Button*>{
             &openButton_, &importFolderButton_, &saveAsButton_, &undoButton_, &redoButton_, &settingsButton_,
             &importReportButton_, &newButton_, &cancelButton_})
        addAndMakeVisible(button);
    openButton_.onClick = [this] { protectChanges([this] { chooseOpen(); }); };
    importFolderButton_.onClick = [this] { chooseImport(true); };
    saveAsButton_.onClick = [this] { save(true, {}); };
    undoButton_.onClick = [this] {
        if (undoManager_ != nullptr) undoManager_->undo();
    };
    redoButton_.onClick = [this] {
        if (undoManager_ != nullptr) undoManager_->redo();
    };
    settingsButton_.onClick = [this] { showSettings(); };
    importReportButton_.onClick = [this] { showImportReport(); };
    newButton_.onClick = [this] { newDialog(); };
    cancelButton_.onClick = [this] { cancelFlag_ = true; };
    cancelButton_.setVisible(false);

    audioFormats_.registerBasicFormats();

    statusLine_.setJustificationType(juce::Justification::centredLeft);
    addAndMakeVisible(statusLine_);

    animationClock_.setGate([this] { return isShowing(); });
    animationClock_.start(33);

    const auto savedDevice = settings_.audioDeviceState();
    const auto audioError = audition_.initialise(savedDevice.get());
    audition_.deviceManager().addChangeListener(this);
    setStatus(audioError.isNotEmpty() ? juce::String(kAudioUnavailable) : juce::String());

    startTimer(100);
    setSize(1280, 780);
    updateButtons();
}

MainComponent::~MainComponent() {
    settingsWindow_.reset();
    audition_.deviceManager().removeChangeListener(this);
    settings_.saveAudioDevice(audition_.deviceManager());
    stopTimer();
    cancelFlag_ = true;
    if (worker_.joinable()) worker_.join();
    overlay_.reset();
    setLookAndFeel(nullptr);
}

void MainComponent::paint(juce::Graphics& g) {
    g.fillAll(themeColour(ThemeColour::windowBackground));
    g.setColour(themeColour(ThemeColour::accent));
    g.setFont(juce::Font(20.0f, juce::Font::bold));
    g.drawText("ZEM MAKER", 18, 8, 165, 28, juce::Justification::centredLeft, true);
    if (overlay_ != nullptr) return;
    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(juce::Font(30.0f, juce::Font::plain));
    g.drawText("ZEM Rivir", 0, getHeight() / 2 - 88, getWidth(), 56, juce::Justification::centred, true);
}

void MainComponent::resized() {
    const int W = getWidth(), H = getHeight();

    juce::Rectangle<int> row(14, 8, std::max(0, W - 28), std::min(30, std::max(0, H - 16)));
    const int R = row.getHeight();
    row.removeFromLeft(175);  // the painted title
    const auto place = [&](juce::Component& c, int wanted) {
        const auto slice = row.removeFromLeft(std::min(row.getWidth(), wanted));
        c.setBounds(slice.getX() + 3, 8, std::max(0, slice.getWidth() - 6), R);
    };
    const auto textSlice = [](const ui::widgets::V6Button& b) {
        return static_cast<int>(std::ceil(b.getFont().getStringWidthFloat(b.getButtonText()))) + 34;
    };
    place(openButton_, textSlice(openButton_));
    place(importFolderButton_, textSlice(importFolderButton_));
    place(saveAsButton_, textSlice(saveAsButton_));
    place(undoButton_, R + 6);
    place(redoButton_, R + 6);
    place(settingsButton_, textSlice(settingsButton_));
    place(importReportButton_, textSlice(importReportButton_));

    juce::Rectangle<int> bottomArea(14, 6, std::max(0, W - 28), std::max(0, H - 12));
    auto bottomRow = bottomArea.removeFromBottom(std::min(30, bottomArea.getHeight()));
    cancelButton_.setBounds(bottomRow.removeFromRight(std::min(92, bottomRow.getWidth())));
    statusLine_.setBounds(bottomRow);

    if (overlay_ != nullptr) overlay_->setBounds(0, 49, W, H - 91);
    newButton_.setBounds(W / 2 - 80, H / 2, 160, 38);
}

bool MainComponent::keyPressed(const juce::KeyPress& key) {
    const auto mods = key.getModifiers();
    if (busy_ || !mods.isCtrlDown()) return false;
    const auto code = key.getKeyCode();
    if (code == ',') {
        showSettings();
        return true;
    }
    switch (juce::CharacterFunctions::toUpperCase(static_cast<juce::juce_wchar>(code))) {
        case 'N':
            protectChanges([this] { newDialog(); });
            return true;
        case 'O':
            protectChanges([this] { chooseOpen(); });
            return true;
        case 'S':
            save(mods.isShiftDown(), {});
            return true;
        default:
            return false;
    }
}

void MainComponent::timerCallback() {
    updateButtons();
    if (busy_ && importing_) setStatus("Importing " + juce::String(filesDone_.load()) + " files...");
}

void MainComponent::changeListenerCallback(juce::ChangeBroadcaster*) {
    settings_.saveAudioDevice(audition_.deviceManager());
}

bool MainComponent::isInterestedInFileDrag(const juce::StringArray&) { return !busy_ && overlay_ != nullptr; }

void MainComponent::filesDropped(const juce::StringArray&, int, int) {}

void MainComponent::showMessage(const juce::String& title, const juce::String& text) {
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::InfoIcon)
                             .withTitle(title)
                             .withMessage(text)
                             .withButton("OK")
                             .withAssociatedComponent(this);
    showMessageBoxAsync(options);
}

void MainComponent::setStatus(const juce::String& text) {
    statusLine_.setColour(juce::Label::textColourId, themeColour(ThemeColour::textSecondary));
    statusLine_.setText(text, juce::dontSendNotification);
}

void MainComponent::updateButtons() {
    const bool idle = !busy_;
    const bool mounted = overlay_ != nullptr;
    openButton_.setEnabled(idle);
    settingsButton_.setEnabled(idle);
    importReportButton_.setEnabled(idle);
    newButton_.setEnabled(idle);
    importFolderButton_.setEnabled(idle && mounted);
    saveAsButton_.setEnabled(idle && mounted);
    undoButton_.setEnabled(idle && undoManager_ != nullptr && undoManager_->canUndo());
    redoButton_.setEnabled(idle && undoManager_ != nullptr && undoManager_->canRedo());
    if (overlay_ != nullptr) overlay_->setEnabled(idle);
    newButton_.setVisible(!mounted);
    cancelButton_.setVisible(busy_ && importing_);
}

void MainComponent::protectChanges(std::function<void()> action) {
    if (busy_) return;
    // With no editor mounted there are no unsaved changes to protect.
    if (action) action();
}

void MainComponent::requestQuit() {
    if (busy_) return;
    protectChanges([] { juce::JUCEApplicationBase::quit(); });
}

void MainComponent::showSettings() {
    if (busy_) return;
    started(ShellAction::settings);
    if (settingsWindow_ == nullptr) {
        settingsWindow_ = std::make_unique<SettingsWindow>(settings_, audition_.deviceManager(), this);
        settingsWindow_->setLookAndFeel(&lookAndFeel_);
    }
    settingsWindow_->setVisible(true);
    settingsWindow_->toFront(true);
}

void MainComponent::save(bool saveAs, std::function<void()>) {
    if (busy_) return;
    started(saveAs ? ShellAction::saveAs : ShellAction::save);
    // Nothing to save until an editor is mounted; the save job arrives with it.
    if (overlay_ == nullptr) return;
}

void MainComponent::setUndoManager(juce::UndoManager* manager) {
    undoManager_ = manager;
    updateButtons();
}

// Opening, importing and the new-file dialog arrive with their jobs and
// dialogs; until then their buttons and keys end here.
void MainComponent::chooseOpen() {
    if (busy_) return;
    started(ShellAction::open);
}

void MainComponent::chooseImport(bool) {}

void MainComponent::newDialog() {
    if (busy_) return;
    started(ShellAction::newFile);
}

void MainComponent::started(ShellAction action) {
    if (actionObserver_) actionObserver_(action);
}

void MainComponent::showImportReport() {
    showMessage("Import report", importReport_.isEmpty() ? juce::String("No files imported yet.") : importReport_);
}

}  // namespace vt6::maker
