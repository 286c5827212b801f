#pragma once
// The zem editor: one component that a host mounts over its content area
// while a file is open. It shows the open document and turns every user
// action into an edit of it; the host describes itself through ZemEditDeps.

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "editor/logic/hit_sort.hpp"
#include "editor/logic/juce/juce_history_sink.hpp"
#include "editor/logic/view_model.hpp"
#include "editor/ui/reorder_strip.hpp"
#include "editor/ui/sample_wave_view.hpp"
#include "editor/ui/session_hits_axis.hpp"
#include "editor/ui/band_column.hpp"
#include "editor/ui/boundary_editor.hpp"
#include "editor/ui/detail_strip.hpp"
#include "editor/ui/level_panel.hpp"
#include "editor/ui/editor_snapshot.hpp"
#include "editor/ui/overlay_save_dialog.hpp"
#include "editor/ui/zem_edit_deps.hpp"
#include "widgets/buttons.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/segment_group.hpp"
#include "widgets/viz_service.hpp"

namespace vt6::ui::zemedit {

// "1×", "1.25×", "2.5×", "4×": two decimals without trailing zeros.
std::string formatZoomFactor(double zoom);
// "12 SAMPLES · 4 DYNAMIC GROUPS", "1 SAMPLE · 1 DYNAMIC GROUP".
std::string sampleGroupSummary(uint64_t samples, uint64_t groups);
// A dynamic group's name as the menus, the rename box and the sample editor
// show it: the name the group carries, or "Dynamic N" (the name a new zem
// gives its groups) for one that carries only the default "Band N".
std::string groupDisplayName(const std::string& name, int index);
// A layer name starting with "room" in any letter case shows as "Room channel"
// followed by the rest of the name.
std::string roomChannelDisplayName(const std::string& name);
// The key a host stores unsaved work under: 16 hex digits of a 64-bit FNV-1a
// style hash of "src:" + the path, or "new:" + the name without a path.
std::string makeSnapshotKey(const std::string& pathText, const std::string& documentName);

class ZemEditOverlay : public juce::Component,
                       public widgets::V6VizService::Client,
                       public juce::ScrollBar::Listener,
                       public juce::ChangeListener {
public:
    using ViewModel = logic::ZemEditViewModel;

    explicit ZemEditOverlay(ZemEditDeps deps);
    ~ZemEditOverlay() override;

    void mouseDown(const juce::MouseEvent&) override;
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;
    void paint(juce::Graphics&) override;
    void paintOverChildren(juce::Graphics&) override;
    bool keyPressed(const juce::KeyPress&) override;
    void resized() override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    void tick(double clockSeconds) override;
    bool isActive() override;
    void scrollBarMoved(juce::ScrollBar*, double newRangeStart) override;
    void changeListenerCallback(juce::ChangeBroadcaster*) override;

    void notifyDirtyChanged();
    void reloadFromSource();

    void setZoom(double newZoom, float anchorX);
    void updateZoomLabel();
    void refreshAll();
    // The component that should hold the keyboard: the open sample editor,
    // else the overlay itself.
    juce::Component* keyboardTarget() noexcept;
    // The controls Tab stops at inside the editor, in the order of its
    // layout: the header left to right, the filter strips (a level panel
    // after its button), the drum type, the grid (the overlay itself: Delete
    // and the undo keys act on it), the rows below it, and the quit button
    // last. An open sample editor is the only stop.
    std::vector<juce::Component*> tabStops();
    // The overlay holds the keyboard because Tab brought it there; the grid
    // then shows the focus ring (not when it holds it by default).
    bool showsGridFocus() const noexcept { return gridFocusShown; }
    void focusGained(FocusChangeType) override;
    void focusLost(FocusChangeType) override;
    void refreshHeader();
    void refreshStrips();
    void refreshAfterCommand();

    // Closing: asks first when the document has unsaved changes.
    void doClose();
    // Calls the host's close callback.
    void closeNow();
    // Runs the action now when nothing is unsaved; otherwise asks "Unsaved
    // changes" with the question: Save runs it after a successful save,
    // Discard drops the snapshot and runs it, Cancel does nothing.
    void runAskingToSave(const char* question, void (ZemEditOverlay::*action)());
    // Saves through the host; then runs only after a successful save.
    void doSave(std::function<void()> then);
    std::string snapshotKey() const;

    // The detail strip's actions: next room channel ('l') or articulation
    // ('a') of a sample as one undo step, auditioning, mute and solo.
    void cycleSampleAssignment(uint64_t uid, char field);
    void auditionFromDetail(uint64_t uid);
    void reassignFromDetail(uint64_t uid, char field);
    void setMutedFromDetail(uint64_t uid, bool muted);
    void setSoloedFromDetail(uint64_t uid, bool soloed);

    // The host's file drops and mount use these.
    void rebuildStructure();
    int bandIndexAt(juce::Point<int> point) const;
    void layoutBands();

    // Flash animation of chips and strip segments on the clock's tick.
    void tickChipFlashes();
    void updateFlashes(uint32_t now);
    bool updateStripFlashes(widgets::V6SegmentGroup& strip, const std::vector<int32_t>& list,
                            widgets::ChipFlashTracker& tracker, uint32_t now);

    logic::EditDocument& document() noexcept { return viewModel.document; }
    juce::UndoManager& undoManager() noexcept { return historySink.undoManager; }
    double zoomFactor() const noexcept { return zoom; }
    juce::Rectangle<int> gridFrameBounds() const noexcept { return gridFrame; }
    juce::Rectangle<int> gridAreaBounds() const noexcept { return gridArea; }

    // A combo-box look that only changes the drum-type chip's font.
    class DrumTypeLookAndFeel : public widgets::V6LookAndFeel {
    public:
        juce::Font getComboBoxFont(juce::ComboBox&) override;
    };

    // A timer that runs one function.
    class CaptureTick : public juce::Timer {
    public:
        std::function<void()> function;
        void timerCallback() override {
            if (function) function();
        }
    };

    // The record a hit-analysis run shares with its thread (each holds it by
    // a shared pointer, so a thread let go mid-run keeps it alive). The
    // thread writes the job's rows and `error` and then, last, `done`
    // (release); the message thread reads them only after it has seen `done`
    // (acquire). The thread is never joined on the message thread.
    struct HitSortWork {
        logic::HitSortInput job;            // written before the thread starts
        std::atomic<bool> cancel{false};    // message thread: Cancel, destructor
        std::atomic<bool> done{false};      // analysis thread, its last write
        std::atomic<uint64_t> progress{0};  // samples finished
        std::string error;                  // "analysis threw" when it ended by an exception
        bool applyWhenDone = false;         // message thread only: sort once measured
        bool alternate = false;             // message thread only: Alt held at AUTO-SORT
    };

    ZemEditDeps deps;
    ViewModel viewModel;
    logic::JuceZemHistorySink historySink;

private:
    friend class ZemEditOverlayTestAccess;
    friend class ZemEditOverlayChromeAccess;
    friend class BandGridTestAccess;

    class LevelPanelDismisser : public juce::MouseListener {
    public:
        explicit LevelPanelDismisser(ZemEditOverlay& o) : overlay(o) {}
        void mouseDown(const juce::MouseEvent&) override;
        ZemEditOverlay& overlay;
    };

    void buildChrome();
    void layoutHeader(juce::Rectangle<int> row);
    void layoutStrips(juce::Rectangle<int> row);
    void layoutZoomRow(juce::Rectangle<int> row);
    void layoutGrid();
    void populateColumns();
    void wireColumn(BandColumn& column);
    void wireBoundary(BoundaryEditor& editor);
    void clearSelection();
    // Header and strip actions.
    void drumTypeChanged();
    void stripSelected(bool rooms, int segment);
    void stripReordered(bool rooms, int from, int to);

    // Hit analysis and AUTO-SORT (zem_edit_overlay_hits.cpp).
    friend class HitAnalysisTestAccess;
    void startHitAnalysis(bool apply, bool alternate);
    void pollHitSort();
    // Restarts the hit tick and the animation clock after they went to sleep
    // with nothing to do; called wherever the document may have changed.
    void wakeIdleTicks();
    void showHitSortProgress();
    void closeHitSortProgress();
    void showAutoSortWarning(uint32_t failedSamples);

    // Menus and delete confirmations (zem_edit_overlay_menus.cpp).
    friend class ZemMenusTestAccess;
    // What a chip menu's answer acts on: the targets and the clicked sample's
    // flags as the menu showed them, where each id range begins (the ranges
    // never overlap, whatever the number of definitions), and the definition
    // keys the menu listed, so that an answer after the definitions changed
    // reassigns nothing.
    struct ChipMenuAnswer {
        std::vector<uint64_t> targets;
        bool shownMuted = false, shownSoloed = false, shownLocked = false;
        int groupBase = 100, articulationBase = 1000, roomBase = 2000;
        std::vector<uint64_t> articulationKeys, roomKeys;
    };
    bool canDeleteDef(bool rooms, int index) const;
    void showBandMenu(int group, juce::Point<int> screen);
    void confirmDeleteBand(int group);
    void showChipMenu(uint64_t uid, juce::Point<int> screen);
    void applyChipMenuChoice(int id, const ChipMenuAnswer& answer);
    void showDefMenu(bool rooms, int segment, juce::Point<int> screenPoint);
    void confirmDeleteDef(bool rooms, int index);
    void confirmDelete(const std::vector<uint64_t>& uids);
    void removeConfirmedSamples(const std::vector<uint64_t>& uids);
    // The selected uids in document order, so that dialogs and commands do
    // not depend on the set's hashing.
    std::vector<uint64_t> selectedUidsInOrder() const;
    // The selection when it holds uid and more, else uid alone.
    std::vector<uint64_t> targetsFor(uint64_t uid) const;

    // Chip drag and drop (zem_edit_overlay_drag.cpp).
    void dragChip(uint64_t uid, juce::Point<int> screen);
    void dropChip(uint64_t uid, bool dropped);
    // Back to idle: no dragged uid, no target column, the ghost detached.
    void resetChipDrag();

    // Detail strip and level panel (zem_edit_overlay_detail.cpp).
    friend class ZemEditOverlayDetailAccess;
    using ChannelLevelPanel = zemedit::ChannelLevelPanel;
    void wireDetailStrip();
    void refreshDetailStrip();
    std::vector<LevelRow> buildLevelRows() const;
    void updateLevelButton();
    void toggleLevelPanel();
    void positionLevelPanel();
    // With commitTyped, typed values still open in the panel's sliders are
    // committed first; Escape and refreshes close without them.
    void closeLevelPanel(bool commitTyped = false);
    void levelChanged(uint32_t layerIndex, uint64_t layerKey, double level);

    // The sample editor (zem_edit_overlay_close.cpp).
    void openSampleEditor(uint64_t uid);
    // Posted by the sample editor's close request: removes and deletes it.
    void closeSampleEditor();
    // True from an open request until its audio is loaded (on a worker).
    bool sampleEditorLoading() const noexcept { return sampleLoad.busy; }
    friend class SampleEditorOverlayAccess;

    // Fallbacks for a host without callbacks and snapshots of unsaved work
    // (zem_edit_overlay_fallbacks.cpp).
    void doNew();
    void doReset();
    void showAddFromAudioMenu();
    void snapshotTick();
    friend class ZemEditOverlayFallbacksAccess;
    void startNewDocument();
    void resetDocument();
    void applyAddFromAudioChoice(int menuResult);
    void extractFileHits(const juce::File& file);
    int extractHits(std::span<const float> samples, int channels, int sampleRate, const juce::String& baseName,
                    int64_t firstFrame, int64_t lastFrame);
    void startLiveCapture();
    void captureTick();
    void stopLiveCapture();
    fmt::Result<EditorSnapshot> buildSnapshot() const;
    void showSaveDialog(std::function<void()> then);
    void chooseSaveLocation(std::function<void()> then);
    void finishSaveDialog(int result, const SaveDialogContent& content, std::function<void()> then);
    void saveUnderName(const std::string& name, std::function<void()> then);
    void finishSaveLocation(const std::string& chosenPath, std::function<void()> then);
    void saveAtLocation(const std::string& path, std::function<void()> then);
    // The header and host learn the new state; a failure or the report is
    // shown, and `then` runs only after a success.
    void endOwnSave(const fmt::Result<logic::SaveOutcome>& outcome, std::function<void()> then);
    void showSaveReport(const logic::SaveOutcome& outcome);
    void showSaveFailure(fmt::ErrorCode code);
    void showFallbackMessage(const juce::String& title, const juce::String& text, bool withIcon);

    int drumChipWidth() const;
    bool loaded() const noexcept { return viewModel.openState == 1; }
    bool failed() const noexcept { return viewModel.openState == 2; }

    juce::Label titleLabel, countsLabel, zoomLabel;
    juce::Label roomCaption, articulationCaption, drumTypeCaption;
    DrumTypeLookAndFeel drumTypeLookAndFeel;
    widgets::V6DropChip drumTypeChip{"Drum type"};
    widgets::V6Button autoSortButton{"AUTO-SORT", 0};
    widgets::V6Button newButton{deps.standalone ? "NEW ZEM" : "NEW", 1};
    widgets::V6Button resetButton{"RESET", 0};
    widgets::V6Button importButton{deps.standalone ? "IMPORT SAMPLES" : "ADD FROM AUDIO", 1};
    widgets::V6Button saveButton{"SAVE", 0};
    widgets::V6IconButton addGroupButton{18, "V6IconButton"};
    widgets::V6IconButton closeButton{17, "V6IconButton"};
    widgets::V6IconButton zoomOutButton{19, "V6IconButton"};
    widgets::V6IconButton zoomInButton{18, "V6IconButton"};
    ReorderStrip roomStrip, articulationStrip;
    juce::Viewport articulationViewport;
    widgets::V6IconButton levelButton{23, "Room channel default levels"};
    juce::Component bandClip, bandContent;
    std::vector<std::unique_ptr<BandColumn>> columns;
    std::vector<std::unique_ptr<BoundaryEditor>> boundaryEditors;
    SessionHitsAxis hitsAxis;
    juce::ScrollBar horizontalScrollBar{false};
    juce::ScrollBar verticalScrollBar{true};
    juce::Rectangle<int> gridArea, gridFrame;
    double zoom = 1.0;
    int chipBudget = 0;
    std::vector<int32_t> articulationList, roomList;
    uint64_t builtRevision = 0;
    widgets::ChipFlashTracker chipFlashes;
    int64_t flashRevision = -1;
    bool chipsLit = false;
    widgets::ChipFlashTracker roomFlashes, articulationFlashes;
    bool stripsLit = false;
    bool lastReportedDirty = false;

    // Detail strip and level panel.
    DetailStrip detailStrip;
    std::unique_ptr<ChannelLevelPanel> levelPanel;
    LevelPanelDismisser levelPanelDismisser{*this};

    // Chip drag and drop.
    // The label that follows the pointer while chips are dragged.
    class DragGhost : public juce::Component {
    public:
        DragGhost();
        juce::String name;
        juce::Colour colour;
        int count = 1;
        void paint(juce::Graphics&) override;
    };
    DragGhost dragGhost;
    uint64_t draggedUid = 0;

    // Menus and delete confirmations.

public:
    // Created on demand; the shell's guard and save refusal look at the open
    // sample editor.
    std::unique_ptr<juce::Component> hitSortProgress;
    std::unique_ptr<juce::Component> sampleEditor;

private:
    // The sample editor's audio load: one at a time, joined with the overlay.
    struct SampleLoad {
        std::thread thread;
        bool busy = false;
        ~SampleLoad() {
            if (thread.joinable()) thread.join();
        }
    } sampleLoad;
    void mountSampleEditor(uint64_t uid, fmt::SampleAudio audio, SampleEditorPrebuilt prebuilt);

public:
    // True while an open sample editor holds edits not yet applied to the
    // document; the shell refuses to leave the zem then.
    bool sampleEditorHasUnappliedChanges() const;

private:
    // Hit analysis.
    CaptureTick hitSortTimer;
    std::thread hitThread;
    std::shared_ptr<HitSortWork> hitWork;
    int64_t analysedContentRevision = -1;
    int64_t analysedGeneration = -1;

    // Fallbacks: live capture and snapshots of unsaved work.
    CaptureTick liveCaptureTimer;
    std::unique_ptr<juce::Component> listeningBox;
    std::vector<float> captureBuffer;
    int64_t captureConsumedEnd = 0;
    CaptureTick snapshotTimer;
    uint64_t seenChangeCount = 0, snapshotChangeCount = 0;
    uint32_t changeTimeMs = 0;
    bool snapshotInFlight = false;
    // The millisecond clock of the snapshot pause; tests set their own.
    std::function<uint32_t()> snapshotClock = [] { return juce::Time::getMillisecondCounter(); };
    // The open save dialog, while it is open.
    juce::Component::SafePointer<juce::AlertWindow> saveDialog;
    // Switches the host's capture off when the overlay goes while capture
    // runs, so the host does not go on collecting audio nobody takes.
    struct CaptureSwitch {
        std::function<void(bool)> set;
        ~CaptureSwitch() {
            if (set) set(false);
        }
    } captureSwitch;

    juce::Rectangle<int> headerRow;
    bool gridFocusShown = false;
    void paintGridFocusRing(juce::Graphics&);
};

}  // namespace vt6::ui::zemedit
