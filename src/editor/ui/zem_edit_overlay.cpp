#include "editor/ui/zem_edit_overlay.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "editor/logic/path_helpers.hpp"
#include "editor/logic/band_commands.hpp"
#include "editor/logic/sample_commands.hpp"
#include "editor/ui/hit_sort_progress.hpp"
#include "widgets/message_boxes.hpp"
#include "editor/ui/user_messages.hpp"
#include "format/read_policy.hpp"
#include "widgets/paint.hpp"
#include "widgets/theme.hpp"
#include "widgets/wide_plus.hpp"

namespace vt6::ui::zemedit {

namespace {

constexpr const char* kPlusLabel = widgets::kWidePlusLabel;
constexpr const char* kTimesSign = "\xc3\x97";      // U+00D7

int textWidth(const juce::Font& font, const juce::String& text) {
    return static_cast<int>(std::ceil(font.getStringWidthFloat(text)));
}

juce::Rectangle<int> iconSquare(juce::Rectangle<int> slice, juce::Rectangle<int> row) {
    return {slice.getX(), row.getY() + (row.getHeight() - 34) / 2, std::min(34, slice.getWidth()), 34};
}

void placeTextButton(widgets::V6Button& button, juce::Rectangle<int> slice, juce::Rectangle<int> row) {
    button.setBounds(slice.getX(), row.getY() + 3, slice.getWidth(), std::max(0, row.getHeight() - 6));
}

}  // namespace

std::string formatZoomFactor(double zoom) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.2f", zoom);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') text.pop_back();
        if (!text.empty() && text.back() == '.') text.pop_back();
    }
    return text + kTimesSign;
}

std::string sampleGroupSummary(uint64_t samples, uint64_t groups) {
    return std::to_string(samples) + (samples == 1 ? " SAMPLE \xc2\xb7 " : " SAMPLES \xc2\xb7 ") +
           std::to_string(groups) +
           (groups == 1 ? " DYNAMIC GROUP" : " DYNAMIC GROUPS");
}

std::string groupDisplayName(const std::string& name, int index) {
    const std::string number = std::to_string(index + 1);
    if (name.empty() || name == "Band " + number) return "Dynamic " + number;
    return name;
}

std::string roomChannelDisplayName(const std::string& name) {
    if (name.size() >= 4) {
        std::string head = name.substr(0, 4);
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (head == "room") return "Room channel" + name.substr(4);
    }
    return name;
}

std::string makeSnapshotKey(const std::string& pathText, const std::string& documentName) {
    const std::string text = pathText.empty() ? "new:" + documentName : "src:" + pathText;
    uint64_t h = 1469598103934665603ull;
    for (const unsigned char b : text) h = (h ^ b) * 1099511628211ull;
    static const char digits[] = "0123456789abcdef";
    std::string key(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) key[static_cast<size_t>(i)] = digits[h & 0xF];
    return key;
}

juce::Font ZemEditOverlay::DrumTypeLookAndFeel::getComboBoxFont(juce::ComboBox&) {
    auto font = makeFont(kTypeChip);
    font.setHeight(16.058825f);
    return font;
}

ZemEditOverlay::ZemEditOverlay(ZemEditDeps d) : deps(std::move(d)) {
    setName("Zem editor");
    setTitle("Zem editor");

    document().historySink = &historySink;

    if (deps.filePath.empty())
        viewModel.newDocument();
    else if (deps.model == nullptr || deps.restoredSnapshot)
        viewModel.openFile(deps.filePath, fmt::ReadPolicy{});
    else
        viewModel.openLegacy(deps.model, deps.filePath);

    if (deps.restoredSnapshot && loaded()) {
        if (!deps.originalPath.empty()) {
            viewModel.destinationPath = deps.originalPath;
            viewModel.destinationKind = deps.originalDestinationKind;
        } else {
            viewModel.destinationPath = logic::joinPath(deps.libraryFolder, document().name + ".zem");
            viewModel.destinationKind = 3;
        }
        if (document().changeCounter == document().savedChangeCounter) ++document().changeCounter;
    }

    viewModel.setSessionHits(deps.sessionHitLevels);

    viewModel.playPcm = [this](std::span<const float> samples, int32_t channels, int32_t rate) {
        if (deps.previewService != nullptr) deps.previewService->play(samples.data(), samples.size(), channels, rate);
    };
    viewModel.auditionStored = [this](const std::string& path, uint64_t uid) {
        if (deps.previewService == nullptr) return;
        const auto* sample = document().sampleByUid(uid);
        if (deps.auditionFile && sample != nullptr) {
            deps.auditionFile(path, sample->recordIndex + 1);
            return;
        }
        int32_t key = -1;
        if (sample != nullptr && sample->articulationIndex >= 0 &&
            static_cast<size_t>(sample->articulationIndex) < document().articulations.size())
            key = static_cast<int32_t>(
                document().articulations[static_cast<size_t>(sample->articulationIndex)].key & 0xffffffffu);
        deps.previewService->auditionSample(path, key);
    };

    buildChrome();
    rebuildStructure();
    notifyDirtyChanged();

    if (deps.snapshotSink || deps.onDirtyChanged) {
        seenChangeCount = snapshotChangeCount = document().changeCounter;
        snapshotTimer.function = [this] { snapshotTick(); };
        snapshotTimer.startTimer(500);
    }
    if (deps.onActiveChanged) deps.onActiveChanged(true);
    if (deps.vizService != nullptr) deps.vizService->addClient(this);

    hitSortTimer.function = [this] { pollHitSort(); };
    hitSortTimer.startTimer(100);
}

ZemEditOverlay::~ZemEditOverlay() {
    closeLevelPanel();
    hitSortTimer.stopTimer();
    // The run owns its job, its open file and its hold on the undo copy:
    // told to stop, it ends by itself, joined off the message thread.
    if (hitWork != nullptr) hitWork->cancel.exchange(true);
    retireHitThread(std::move(hitThread));
    drumTypeChip.setLookAndFeel(nullptr);
    if (deps.vizService != nullptr) deps.vizService->removeClient(this);
    if (deps.onActiveChanged) deps.onActiveChanged(false);
    if (sampleEditor != nullptr) {
        if (deps.onUndoManager) deps.onUndoManager(&undoManager());
        removeChildComponent(sampleEditor.get());
        sampleEditor.reset();
    }
    if (lastReportedDirty && deps.onDirtyChanged) deps.onDirtyChanged(false);
    undoManager().removeChangeListener(this);
    document().historySink = nullptr;
}

void ZemEditOverlay::buildChrome() {
    for (auto* label : {&titleLabel, &countsLabel}) {
        label->setInterceptsMouseClicks(false, false);
        addAndMakeVisible(*label);
    }
    titleLabel.setFont(makeFont(kTypeHeading));
    countsLabel.setFont(makeFont(kTypeText));

    autoSortButton.setTooltip(
        "Sort by recorded attack strength within each articulation; preserve manual placements");
    addGroupButton.setButtonText(juce::String::fromUTF8(kPlusLabel));
    addGroupButton.setTooltip(juce::String::fromUTF8("Add a dynamic \xe2\x80\x94 splits the widest band"));
    newButton.setTooltip("Start an empty zem");
    resetButton.setTooltip("Discard every edit and reload the zem as it was opened");
    importButton.setTooltip(deps.standalone ? "Import audio into the selected room channel and articulation"
                                            : "Extract hits live from the track, or from an audio file");
    saveButton.setTooltip(
        deps.standalone ? "Write and verify a Vantorel 6 zem, preserving native sample rate and stereo audio"
                        : "Write this zem - Zem 6, FLAC inside");
    if (deps.standalone) {
        for (auto* b : {&newButton, &importButton}) {
            b->setName(b->getButtonText());
            b->setTitle(b->getButtonText());
        }
    }
    addGroupButton.onClick = [this] {
        document().addBand();
        refreshAfterCommand();
    };
    autoSortButton.onClick = [this] {
        startHitAnalysis(true, juce::ModifierKeys::currentModifiers.isAltDown());
    };
    newButton.onClick = [this] {
        if (deps.onNew)
            deps.onNew();
        else
            doNew();
    };
    resetButton.onClick = [this] {
        if (deps.onReset)
            deps.onReset();
        else
            doReset();
    };
    importButton.onClick = [this] {
        if (deps.onImport)
            deps.onImport();
        else
            showAddFromAudioMenu();
    };
    saveButton.onClick = [this] { doSave({}); };
    for (juce::Component* c : std::initializer_list<juce::Component*>{&autoSortButton, &addGroupButton, &newButton,
                                                                      &resetButton, &importButton, &saveButton})
        addAndMakeVisible(c);

    closeButton.setVariant(0);
    closeButton.onClick = [this] { doClose(); };
    addAndMakeVisible(closeButton);

    const std::pair<juce::Label*, const char*> captions[] = {
        {&roomCaption, "ROOM CHANNELS"}, {&articulationCaption, "ARTICULATION"}, {&drumTypeCaption, "DRUM TYPE"}};
    for (const auto& [label, text] : captions) {
        label->setText(text, juce::dontSendNotification);
        label->setInterceptsMouseClicks(false, false);
        if (label->getBorderSize() != juce::BorderSize<int>(0)) label->setBorderSize(juce::BorderSize<int>(0));
        if (label->getJustificationType() != juce::Justification::bottomLeft)
            label->setJustificationType(juce::Justification::bottomLeft);
        label->setFont(makeFont(kTypeEyebrow));
        addAndMakeVisible(*label);
    }

    const char* drumTypes[] = {"KICK", "SNARE", "HI-HAT", "TOM", "CYMBAL", "UNKNOWN"};
    for (int id = 1; id <= 6; ++id) drumTypeChip.addItem(drumTypes[id - 1], id);
    drumTypeChip.setTooltip("The kind of drum this zem is");
    drumTypeChip.onChange = [this] { drumTypeChanged(); };
    if (&drumTypeChip.getLookAndFeel() != &drumTypeLookAndFeel) drumTypeChip.setLookAndFeel(&drumTypeLookAndFeel);
    addAndMakeVisible(drumTypeChip);

    roomStrip.setStyle(2);
    roomStrip.onChange = [this](int segment) { stripSelected(true, segment); };
    addAndMakeVisible(roomStrip);
    levelButton.setVariant(0);
    levelButton.setTooltip("Room channel default levels");
    levelButton.onClick = [this] { toggleLevelPanel(); };
    addAndMakeVisible(levelButton);

    articulationStrip.setStyle(2);
    articulationStrip.onChange = [this](int segment) { stripSelected(false, segment); };
    if (deps.standalone) {
        articulationViewport.setViewedComponent(&articulationStrip, false);
        articulationViewport.setScrollBarsShown(false, true);
        articulationViewport.setScrollBarThickness(10);
        articulationViewport.setScrollOnDragMode(juce::Viewport::ScrollOnDragMode::never);
        // Only a frame around the strip: no Tab stop of its own.
        articulationViewport.setWantsKeyboardFocus(false);
        addAndMakeVisible(articulationViewport);
    } else {
        addAndMakeVisible(articulationStrip);
    }
    for (auto [strip, rooms] : {std::pair{&roomStrip, true}, std::pair{&articulationStrip, false}}) {
        strip->onContextMenu = [this, rooms = rooms](int segment, juce::Point<int> at) {
            showDefMenu(rooms, segment, at);
        };
        const juce::String name = rooms ? "Room channel filters" : "Articulation filters";
        strip->setName(name);
        strip->setTitle(name);
        strip->onReorder = [this, rooms = rooms](int from, int to) { stripReordered(rooms, from, to); };
    }
    roomStrip.setTooltip("Click to filter; drag to reorder; right-click to delete a room channel");
    articulationStrip.setTooltip("Click to filter; drag to reorder; right-click to delete an articulation");

    zoomOutButton.setVariant(0);
    zoomInButton.setVariant(0);
    zoomOutButton.setTooltip("Zoom out");
    zoomInButton.setTooltip("Zoom in");
    zoomOutButton.onClick = [this] { setZoom(zoom - 0.5, -1.0f); };
    zoomInButton.onClick = [this] { setZoom(zoom + 0.5, -1.0f); };
    addAndMakeVisible(zoomOutButton);
    addAndMakeVisible(zoomInButton);

    zoomLabel.setInterceptsMouseClicks(false, false);
    zoomLabel.setFont(makeFont(kTypeLabelBold));
    addAndMakeVisible(zoomLabel);

    verticalScrollBar.setAutoHide(true);
    verticalScrollBar.addListener(this);
    addAndMakeVisible(verticalScrollBar);
    undoManager().addChangeListener(this);
    setWantsKeyboardFocus(true);

    hitsAxis.setColourCategory(deps.colourCategory);
    hitsAxis.setHistogram(&viewModel.hitHistogram, &viewModel.hitHistogramMax);
    addAndMakeVisible(hitsAxis);

    horizontalScrollBar.setAutoHide(false);
    horizontalScrollBar.addListener(this);
    addAndMakeVisible(horizontalScrollBar);

    bandClip.setInterceptsMouseClicks(false, true);
    bandClip.addAndMakeVisible(bandContent);
    addAndMakeVisible(bandClip);

    wireDetailStrip();

    updateZoomLabel();
}

void ZemEditOverlay::resized() {
    const int W = getWidth(), H = getHeight();
    juce::Rectangle<int> area(10, 10, std::max(0, W - 20), std::max(0, H - 20));
    headerRow = area.removeFromTop(36);
    layoutHeader(headerRow);
    area.removeFromTop(16);
    layoutStrips(area.removeFromTop(deps.standalone ? 58 : 48));
    area.removeFromTop(6);
    detailStrip.setBounds(area.removeFromBottom(56));
    area.removeFromBottom(6);
    layoutZoomRow(area.removeFromBottom(34));
    area.removeFromBottom(6);
    gridFrame = area;

    auto inner = gridFrame.reduced(5);
    const auto scrollColumn = inner.removeFromRight(12);
    verticalScrollBar.setBounds(scrollColumn.getX(), inner.getY(), std::min(10, scrollColumn.getWidth()),
                                std::max(0, inner.getHeight() - 42));
    hitsAxis.setBounds(inner.removeFromBottom(32));
    horizontalScrollBar.setBounds(inner.removeFromBottom(10));
    gridArea = inner;

    for (auto* box : {hitSortProgress.get(), listeningBox.get()})
        if (box != nullptr) box->setCentrePosition(W / 2, H / 2);
    positionLevelPanel();
    if (sampleEditor != nullptr) sampleEditor->setBounds(0, 0, W, H);

    layoutGrid();
    refreshAll();
}

void ZemEditOverlay::layoutHeader(juce::Rectangle<int> row) {
    auto r = row;
    closeButton.setBounds(iconSquare(r.removeFromRight(34), row));
    r.removeFromRight(10);
    const auto fromRight = [&](widgets::V6Button& button, int gapAfter) {
        placeTextButton(button, r.removeFromRight(std::min(button.getIdealWidth(), r.getWidth())), row);
        r.removeFromRight(gapAfter);
    };
    fromRight(saveButton, 6);
    fromRight(importButton, 6);
    fromRight(resetButton, 6);
    fromRight(newButton, 0);

    // AUTO-SORT keeps its whole width and a gap before the right-hand
    // buttons; the name, then the counts, give way when the row is short.
    const int autoSortSlot = 34 + 16 + autoSortButton.getIdealWidth() + 8;
    const int countsWidth = std::clamp(textWidth(countsLabel.getFont(), countsLabel.getText()) + 12, 0,
                                       std::max(0, r.getWidth() - autoSortSlot));
    const int titleWidth = std::clamp(textWidth(titleLabel.getFont(), titleLabel.getText()) + 12, 120, 360);
    titleLabel.setBounds(
        r.removeFromLeft(std::min(titleWidth, std::max(0, r.getWidth() - autoSortSlot - countsWidth))));
    countsLabel.setBounds(r.removeFromLeft(countsWidth));
    addGroupButton.setBounds(iconSquare(r.removeFromLeft(34), row));
    r.removeFromLeft(16);
    placeTextButton(autoSortButton, r.removeFromLeft(std::min(autoSortButton.getIdealWidth(), r.getWidth())), row);
}

int ZemEditOverlay::drumChipWidth() const {
    auto font = const_cast<DrumTypeLookAndFeel&>(drumTypeLookAndFeel)
                    .getComboBoxFont(const_cast<widgets::V6DropChip&>(drumTypeChip));
    int widest = 0;
    for (int i = 0; i < drumTypeChip.getNumItems(); ++i)
        widest = std::max(widest, textWidth(font, drumTypeChip.getItemText(i)));
    const juce::Label defaultLabel;
    const auto border = defaultLabel.getBorderSize();
    return widest + border.getLeft() + border.getRight() + 30;
}

void ZemEditOverlay::layoutStrips(juce::Rectangle<int> row) {
    auto r = row;
    auto captions = r.removeFromTop(16);
    const int drumWidth = std::max({textWidth(drumTypeCaption.getFont(), drumTypeCaption.getText()) + 4,
                                    drumChipWidth(), std::min(r.getWidth() / 3, 104)});
    const auto chipSlice = r.removeFromRight(drumWidth);
    drumTypeChip.setBounds(chipSlice.getX(), r.getY() + (r.getHeight() - 28) / 2, chipSlice.getWidth(), 28);
    drumTypeCaption.setBounds(captions.removeFromRight(drumWidth));
    r.removeFromRight(28);
    captions.removeFromRight(28);

    roomStrip.setNaturalLayout(true);
    const int w = std::min(roomStrip.getIdealWidth(), std::max(0, r.getWidth() - 34));
    const auto stripSlice = r.removeFromLeft(w);
    roomStrip.setBounds(stripSlice.getX(), r.getY() + 2, stripSlice.getWidth(), std::max(0, r.getHeight() - 4));
    r.removeFromLeft(6);
    const auto levelSlice = r.removeFromLeft(28);
    levelButton.setBounds(levelSlice.getX(), r.getY() + (r.getHeight() - 28) / 2, levelSlice.getWidth(), 28);
    const auto roomCaptionSlice = captions.removeFromLeft(std::min(captions.getWidth(), w + 34 + 44));
    roomCaption.setBounds(roomCaptionSlice.withWidth(std::max(0, roomCaptionSlice.getWidth() - 6)));
    r.removeFromLeft(44);

    articulationStrip.setNaturalLayout(true);
    const int ideal = articulationStrip.getIdealWidth();
    if (deps.standalone) {
        articulationCaption.setBounds(captions);
        articulationViewport.setBounds(r.getX(), r.getY() + 2, r.getWidth(), std::max(0, r.getHeight() - 4));
        const int vh = articulationViewport.getHeight();
        articulationStrip.setSize(ideal, ideal > articulationViewport.getWidth() ? std::max(1, vh - 10)
                                                                                 : std::max(1, vh));
    } else {
        articulationStrip.setBounds(r.getX(), r.getY() + 2, std::min(ideal, r.getWidth()),
                                    std::max(0, r.getHeight() - 4));
        articulationCaption.setBounds(captions);
    }
}

void ZemEditOverlay::layoutZoomRow(juce::Rectangle<int> row) {
    // Wide enough for the widest factor a wheel step can show ("1.25×").
    int widest = 0;
    for (int quarter = 4; quarter <= 16; ++quarter)
        widest = std::max(widest, textWidth(zoomLabel.getFont(),
                                            juce::String::fromUTF8(formatZoomFactor(quarter / 4.0).c_str())));
    const int t = widest + 16;
    auto group = row.removeFromRight(std::min(row.getWidth(), t + 68));
    zoomInButton.setBounds(iconSquare(group.removeFromRight(34), row));
    zoomLabel.setBounds(group.removeFromRight(t));
    zoomOutButton.setBounds(iconSquare(group.removeFromRight(34), row));
}

void ZemEditOverlay::layoutGrid() {
    bandClip.setBounds(gridArea);
    const int W = static_cast<int>(std::round(gridArea.getWidth() * zoom));
    horizontalScrollBar.setRangeLimits(0.0, W, juce::dontSendNotification);
    horizontalScrollBar.setCurrentRange(horizontalScrollBar.getCurrentRangeStart(), gridArea.getWidth(),
                                        juce::dontSendNotification);
    int H = gridArea.getHeight();
    for (const auto& column : columns)
        H = std::max(H, column->rows * BandColumn::kRowPitch + 18);
    verticalScrollBar.setRangeLimits(0.0, H, juce::dontSendNotification);
    verticalScrollBar.setCurrentRange(verticalScrollBar.getCurrentRangeStart(), gridArea.getHeight(),
                                      juce::dontSendNotification);
    const int sx = static_cast<int>(horizontalScrollBar.getCurrentRangeStart());
    const int sy = static_cast<int>(verticalScrollBar.getCurrentRangeStart());
    bandContent.setBounds(-sx, -sy, W, H);
    const auto& doc = document();
    const auto& splits = doc.dragBoundary >= 0 && !doc.dragSplits.empty() ? doc.dragSplits : doc.velocitySplits;
    std::vector<double> fractions;
    fractions.reserve(splits.size());
    for (const int32_t split : splits) fractions.push_back(static_cast<double>(split) / 127.0);
    hitsAxis.setScale(W, sx);
    hitsAxis.setBoundaries(std::move(fractions));
    layoutBands();
}

namespace {

// The integer nearest to v, halves away from zero.
int nearest(double v) { return static_cast<int>(std::round(v)); }

}  // namespace

void ZemEditOverlay::layoutBands() {
    const auto& doc = document();
    // A drag in progress lays out its working values instead of the boundaries.
    const bool dragging = doc.dragBoundary >= 0 && doc.dragSplits.size() == doc.velocitySplits.size();
    const auto& levels = dragging ? doc.dragSplits : doc.velocitySplits;
    const int W = bandContent.getWidth(), H = bandContent.getHeight();
    const auto edgeOf = [&](size_t i) {
        const double level = i < levels.size() ? levels[i] : 127.0;
        return nearest(level / 127.0 * W);
    };
    int previous = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        auto& column = *columns[i];
        const int x = edgeOf(i);
        column.setBounds(previous, 0, std::max(x - previous, 1), H);
        previous = x;
        column.name = i < doc.bands.size() ? doc.bands[i].name : std::string();
        column.shownName = groupDisplayName(column.name, static_cast<int>(i));
        column.dropTarget = static_cast<int>(i) == doc.dropBand;
        const auto title = juce::String::fromUTF8(column.shownName.c_str());
        if (column.getTitle() != title) column.setTitle(title);
        column.repaint();
    }
    for (size_t i = 0; i < boundaryEditors.size() && i < levels.size(); ++i) {
        auto& editor = *boundaryEditors[i];
        const int x = edgeOf(i);
        editor.setTitle("Dynamics boundary " + juce::String(levels[i]));
        editor.repaint();
        editor.setBounds(x - 7, 0, 14, H);
        editor.toFront(false);
    }
}

void ZemEditOverlay::populateColumns() {
    const int sy = static_cast<int>(verticalScrollBar.getCurrentRangeStart());
    const int n = static_cast<int>(columns.size());
    // Enough chips for every row in view of every column (two sub-columns
    // each), so that no column hides samples while it has room; the ceiling
    // bounds a pass only with very many narrow groups.
    const int rowsInView = gridArea.getHeight() / BandColumn::kRowPitch + 2;
    chipBudget = std::clamp(n * 2 * rowsInView, 256, 4096);
    // Every column gets an even share of what is left of the chips, so what
    // one leaves unused goes on to the next and no group is left without any.
    for (int i = 0; i < n; ++i) {
        const int share = chipBudget / (n - i);
        int left = share;
        columns[static_cast<size_t>(i)]->populate(document(), i, sy, sy + gridArea.getHeight(),
                                                  gridArea.getHeight(), left);
        chipBudget -= share - left;
    }
}

void ZemEditOverlay::clearSelection() {
    auto& doc = document();
    if (doc.selection.empty()) return;
    doc.allSelected = 0;
    doc.selection.clear();
    doc.anchorUid = 0;
    refreshAll();
}

void ZemEditOverlay::mouseDown(const juce::MouseEvent&) {
    clearSelection();
    // The pointer took over from Tab.
    focusLost(focusChangedByMouseClick);
}

void ZemEditOverlay::wireColumn(BandColumn& column) {
    BandColumn::Callbacks c;
    c.onBandMenu = [this](int group, juce::Point<int> screen) { showBandMenu(group, screen); };
    c.onBandDelete = [this](int group) { confirmDeleteBand(group); };
    c.onScrollTo = [this](int, int top) { verticalScrollBar.setCurrentRangeStart(top); };
    c.onBandRename = [this](int group, const std::string& name) {
        document().renameBand(group, name);
        refreshAfterCommand();
    };
    c.onChipClick = [this](uint64_t uid, const juce::ModifierKeys& mods) {
        document().selectSample(uid, mods.isShiftDown(), mods.isCtrlDown());
        refreshAll();
    };
    c.onChipAudition = [this](uint64_t uid) { viewModel.audition(uid); };
    c.onChipMute = [this](uint64_t uid, bool muted) {
        document().setMuted(uid, muted);
        refreshAfterCommand();
    };
    c.onChipDrag = [this](uint64_t uid, juce::Point<int> screen) { dragChip(uid, screen); };
    c.onChipDrop = [this](uint64_t uid, bool dropped) { dropChip(uid, dropped); };
    c.onChipMenu = [this](uint64_t uid, juce::Point<int> screen) { showChipMenu(uid, screen); };
    c.onChipEdit = [this](uint64_t uid) { openSampleEditor(uid); };
    c.onBackgroundClick = [this] { clearSelection(); };
    column.callbacks = std::move(c);
}

void ZemEditOverlay::wireBoundary(BoundaryEditor& editor) {
    editor.positionToLevel = [this](float x) {
        const float w = static_cast<float>(std::max(bandContent.getWidth(), 1));
        return static_cast<int>(std::round(std::clamp(x / w, 0.0f, 1.0f) * 127.0f));
    };
    editor.onDragStart = [this](int boundary) {
        auto& doc = document();
        if (boundary < 0 || static_cast<size_t>(boundary) >= doc.velocitySplits.size()) return;
        doc.dragBoundary = boundary;
        doc.dragSplits = doc.velocitySplits;
    };
    editor.onDragMove = [this](int, int level) {
        auto& doc = document();
        const int d = doc.dragBoundary;
        if (d >= 0 && static_cast<size_t>(d) < doc.dragSplits.size()) {
            auto& values = doc.dragSplits;
            const size_t i = static_cast<size_t>(d);
            const bool lastOne = i + 1 == values.size();
            const int left = i == 0 ? 0 : values[i - 1];
            const int right = lastOne ? 127 : values[i + 1];
            const int lo = left + 6;
            const int hi = right - 6;
            // Neighbours closer than 12 leave no room for the six-level gap:
            // stay strictly between them so the boundaries keep their order.
            values[i] = lo <= hi ? std::max(lo, std::min(level, hi))
                                 : std::clamp(level, left + 1, std::max(left + 1, right - 1));
            // The axis pills follow the edge being dragged.
            std::vector<double> fractions;
            fractions.reserve(values.size());
            for (const int32_t split : values) fractions.push_back(static_cast<double>(split) / 127.0);
            hitsAxis.setBoundaries(std::move(fractions));
        }
        layoutBands();
        populateColumns();
    };
    editor.onDragEnd = [this](int) {
        document().commitBounds();
        refreshAfterCommand();
    };
}

void ZemEditOverlay::drumTypeChanged() {
    const int id = drumTypeChip.getSelectedId();
    if (id <= 0) return;
    if (id - 1 != document().drumType) {
        auto command = std::make_unique<logic::SetDrumTypeCmd>();
        command->fromType = document().drumType;
        command->toType = static_cast<uint8_t>(id - 1);
        document().execute(std::move(command));
    }
    refreshAfterCommand();
}

void ZemEditOverlay::stripSelected(bool rooms, int segment) {
    const auto& list = rooms ? roomList : articulationList;
    const int n = static_cast<int>(list.size());
    if (segment == n + 1) {
        if (!rooms)
            document().addArticulation();
        else if (deps.standalone)
            document().addLayer("Room " + std::string(1, static_cast<char>(64 + document().layers.size())));
        else
            document().addRoomChannel();
        refreshAfterCommand();
        return;
    }
    if (segment < 0 || segment > n + 1) return;
    const int32_t definition = segment < 1 ? -1 : list[static_cast<size_t>(segment - 1)];
    if (rooms)
        document().setPage(definition, document().pageArticulation);
    else
        document().setPage(document().pageLayer, definition);
    refreshAll();
}

void ZemEditOverlay::stripReordered(bool rooms, int from, int to) {
    const auto& list = rooms ? roomList : articulationList;
    const int n = static_cast<int>(list.size());
    if (from < 0 || to < 0 || from >= n || to >= n || from == to) return;
    document().reorderDefs(rooms, static_cast<uint32_t>(list[static_cast<size_t>(from)]),
                           static_cast<uint32_t>(list[static_cast<size_t>(to)]), from < to);
    refreshAfterCommand();
}

int ZemEditOverlay::bandIndexAt(juce::Point<int> point) const {
    if (!gridArea.contains(point)) return -1;
    const auto local = bandContent.getLocalPoint(this, point);
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i]->getBounds().contains(local)) return static_cast<int>(i);
    return -1;
}

void ZemEditOverlay::paint(juce::Graphics& g) {
    const auto clip = g.getClipBounds();
    if (!gridFrame.isEmpty() && clip.intersects(gridFrame.expanded(6))) {
        if (gridFrame.reduced(16).contains(clip)) {
            g.setColour(themeColour(ThemeColour::panelBackground));
            g.fillRect(clip);
        } else {
            const float radius = static_cast<float>(Theme::instance().spacing);
            widgets::paintAccentGlow(g, gridFrame.toFloat(), radius);
            widgets::paintThemedBox(g, gridFrame.toFloat(), radius, ThemeColour::panelBackground);
        }
    }
    const auto strip = detailStrip.getBounds();
    if (detailStrip.isVisible() && !strip.isEmpty() && clip.intersects(strip.expanded(6)) &&
        !strip.reduced(16).contains(clip))
        widgets::paintAccentGlow(g, strip.toFloat(), static_cast<float>(Theme::instance().spacing));
    if (failed()) {
        g.setColour(themeColour(ThemeColour::warning));
        g.setFont(makeFont(kTypeHeading));
        g.drawText(juce::String::fromUTF8(maker::openErrorText().c_str()), 40, 40, std::max(0, getWidth() - 80),
                   std::max(0, getHeight() - 80), juce::Justification::centred, true);
    }
}

void ZemEditOverlay::paintOverChildren(juce::Graphics& g) {
    paintGridFocusRing(g);
    if (hitSortProgress == nullptr || !hitSortProgress->isVisible()) return;
    const auto clip = g.getClipBounds();
    const auto box = hitSortProgress->getBounds();
    if (clip.intersects(box.expanded(6)) && !box.reduced(16).contains(clip))
        widgets::paintAccentGlow(g, box.toFloat(), static_cast<float>(Theme::instance().spacing));
}

void ZemEditOverlay::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) {
    const auto p = e.getEventRelativeTo(this).getPosition();
    if (!gridArea.contains(p)) return;
    setZoom(wheel.deltaY > 0 ? zoom + 0.25 : zoom - 0.25, static_cast<float>(p.x - gridArea.getX()));
}

void ZemEditOverlay::setZoom(double z, float anchor) {
    z = std::clamp(std::round(z * 4.0) / 4.0, 1.0, 4.0);
    if (z == zoom) return;
    const double old = zoom;
    zoom = z;
    const double g = gridArea.getWidth();
    const double a = anchor >= 0.0f ? static_cast<double>(anchor) : g / 2.0;
    double s = horizontalScrollBar.getCurrentRangeStart();
    if (g > 0.0 && old > 0.0) s = (s + a) / (old * g) * g * z - a;
    layoutGrid();
    s = std::max(s, 0.0);
    const auto wanted = horizontalScrollBar.getRangeLimit().constrainRange(juce::Range<double>(s, s + g));
    if (wanted != horizontalScrollBar.getCurrentRange())
        horizontalScrollBar.setCurrentRange(wanted, juce::dontSendNotification);
    layoutGrid();
    updateZoomLabel();
    refreshAll();
}

void ZemEditOverlay::updateZoomLabel() {
    zoomLabel.setColour(juce::Label::textColourId, themeColour(ThemeColour::textSecondary));
    zoomLabel.setText(juce::String::fromUTF8(formatZoomFactor(zoom).c_str()), juce::dontSendNotification);
    if (zoomLabel.getJustificationType() != juce::Justification::centred)
        zoomLabel.setJustificationType(juce::Justification::centred);
    zoomOutButton.setEnabled(zoom > 1.0);
    zoomInButton.setEnabled(zoom < 4.0);
}

void ZemEditOverlay::scrollBarMoved(juce::ScrollBar*, double) {
    layoutGrid();
    refreshAll();
}

bool ZemEditOverlay::keyPressed(const juce::KeyPress& key) {
    // An open sample editor covers the overlay and handles its own keys; a key
    // it passes on must not act on the document behind it.
    if (sampleEditor != nullptr) return false;
    const auto mods = key.getModifiers();
    if (key.getKeyCode() == juce::KeyPress::escapeKey && !mods.isShiftDown() && !mods.isCtrlDown() &&
        !mods.isAltDown() && levelPanel != nullptr) {
        closeLevelPanel();
        return true;
    }
    const auto code = juce::CharacterFunctions::toUpperCase(static_cast<juce::juce_wchar>(key.getKeyCode()));
    if (mods.isCtrlDown() && code == 'Z') {
        if (mods.isShiftDown())
            undoManager().redo();
        else
            undoManager().undo();
        return true;
    }
    if (key.getKeyCode() == juce::KeyPress::deleteKey || key.getKeyCode() == juce::KeyPress::backspaceKey) {
        if (!document().selection.empty()) confirmDelete(selectedUidsInOrder());
        return true;
    }
    return false;
}

std::unique_ptr<juce::AccessibilityHandler> ZemEditOverlay::createAccessibilityHandler() {
    return widgets::makeAccessibilityHandler(*this, juce::AccessibilityRole::group);
}

void ZemEditOverlay::tick(double) { tickChipFlashes(); }

void ZemEditOverlay::tickChipFlashes() {
    auto& doc = document();
    if (!doc.touchedUids.empty()) {
        std::vector<uint64_t> touched;
        touched.swap(doc.touchedUids);
        for (uint64_t uid : touched)
            for (auto& column : columns)
                for (auto& chip : column->chips)
                    if (chip->isVisible() && chip->uid == uid) chip->repaint();
    }
    updateFlashes(juce::Time::getMillisecondCounter());
}

void ZemEditOverlay::updateFlashes(uint32_t now) {
    auto& doc = document();
    if (flashRevision != static_cast<int64_t>(doc.structureRevision)) {
        flashRevision = static_cast<int64_t>(doc.structureRevision);
        chipFlashes.resize(doc.samples.size());
        roomFlashes.resize(doc.layers.size());
        articulationFlashes.resize(doc.articulations.size());
    }
    if (deps.pullTriggeredSamples) {
        std::array<int32_t, 64> buffer{};
        const int reported = deps.pullTriggeredSamples(buffer.data(), static_cast<int>(buffer.size()));
        // The host's count is untrusted: never read past the buffer.
        const int count = std::min(std::max(reported, 0), static_cast<int>(buffer.size()));
        for (int k = 0; k < count; ++k) {
            const int32_t n = buffer[static_cast<size_t>(k)];
            if (n <= 0) continue;
            const auto slot = static_cast<size_t>(n - 1);
            chipFlashes.trigger(slot, now);
            if (slot >= doc.samples.size()) continue;
            const auto& sample = doc.samples[slot];
            if (doc.uidIndex.count(sample.uid) == 0) continue;
            if (doc.pageLayer >= 0 && sample.layerIndex != doc.pageLayer && sample.layerIndex >= 0)
                roomFlashes.trigger(static_cast<size_t>(sample.layerIndex), now);
            if (doc.pageArticulation >= 0 && sample.articulationIndex != doc.pageArticulation &&
                sample.articulationIndex >= 0)
                articulationFlashes.trigger(static_cast<size_t>(sample.articulationIndex), now);
        }
    }
    if (!chipFlashes.litList().empty() || chipsLit) {
        bool anyLit = false;
        for (auto& column : columns)
            for (auto& chip : column->chips) {
                if (!chip->isVisible()) continue;
                const float level = std::clamp(chipFlashes.level(chip->flashSlot, now), 0.0f, 1.0f);
                if (level != chip->flashLevel) {
                    chip->flashLevel = level;
                    chip->repaint();
                }
                anyLit = anyLit || level > 0.0f;
            }
        chipsLit = anyLit;
        chipFlashes.expire(now);
    }
    if (!roomFlashes.litList().empty() || !articulationFlashes.litList().empty() || stripsLit) {
        const bool a = updateStripFlashes(roomStrip, roomList, roomFlashes, now);
        const bool b = updateStripFlashes(articulationStrip, articulationList, articulationFlashes, now);
        stripsLit = a || b;
        roomFlashes.expire(now);
        articulationFlashes.expire(now);
    }
}

bool ZemEditOverlay::updateStripFlashes(widgets::V6SegmentGroup& strip, const std::vector<int32_t>& list,
                                        widgets::ChipFlashTracker& tracker, uint32_t now) {
    const int n = static_cast<int>(list.size());
    bool any = false;
    for (int i = 0; i <= n + 1; ++i) {
        float level = 0.0f;
        if (i >= 1 && i <= n && list[static_cast<size_t>(i - 1)] >= 0)
            level = tracker.level(static_cast<size_t>(list[static_cast<size_t>(i - 1)]), now);
        level = std::clamp(level, 0.0f, 1.0f);
        if (i < strip.getNumSegments() && level != strip.flashLevel(i)) strip.setFlashLevel(i, level);
        any = any || level > 0.0f;
    }
    return any;
}

bool ZemEditOverlay::isActive() {
    if (!isShowing()) return false;
    // A host that reports triggered samples is asked on every tick; without
    // one the clock is needed only while something flashes or waits for its
    // repaint.
    if (deps.pullTriggeredSamples) return true;
    return chipsLit || stripsLit || !chipFlashes.litList().empty() || !roomFlashes.litList().empty() ||
           !articulationFlashes.litList().empty() || (loaded() && !document().touchedUids.empty());
}

void ZemEditOverlay::wakeIdleTicks() {
    if (!hitSortTimer.isTimerRunning()) hitSortTimer.startTimer(100);
    if (deps.vizService != nullptr) deps.vizService->wake();
}

void ZemEditOverlay::notifyDirtyChanged() {
    const bool dirty = loaded() && document().dirty();
    if (!deps.onDirtyChanged || dirty == lastReportedDirty) return;
    lastReportedDirty = dirty;
    deps.onDirtyChanged(dirty);
}

void ZemEditOverlay::changeListenerCallback(juce::ChangeBroadcaster*) {
    wakeIdleTicks();
    if (loaded()) refreshAfterCommand();
    notifyDirtyChanged();
}

void ZemEditOverlay::refreshAfterCommand() {
    document().rebuildIndexes();
    // Columns are recreated only when groups or definitions came or went;
    // everything else re-lays the existing ones, so no handle is deleted
    // inside its own mouse callback.
    if (document().layoutRevision != builtRevision)
        rebuildStructure();
    else
        refreshAll();
}

void ZemEditOverlay::reloadFromSource() {
    viewModel.levelCache.clear();
    if (deps.restoredSnapshot) {
        deps.restoredSnapshot = false;
        deps.filePath = deps.originalPath;
        viewModel.destinationPath.clear();
        viewModel.destinationKind = 0;
    }
    if (deps.filePath.empty())
        viewModel.newDocument();
    else if (deps.model != nullptr)
        viewModel.openLegacy(deps.model, deps.filePath);
    else
        viewModel.openFile(deps.filePath, fmt::ReadPolicy{});
    viewModel.setSessionHits(deps.sessionHitLevels);
    rebuildStructure();
    notifyDirtyChanged();
}

void ZemEditOverlay::rebuildStructure() {
    wakeIdleTicks();
    // A chip being dragged is deleted with its column and never reports its
    // release: end its drag here, or the ghost and the mark would stay.
    resetChipDrag();
    document().rebuildIndexes();
    builtRevision = document().layoutRevision;
    columns.clear();
    boundaryEditors.clear();
    if (!loaded()) {
        refreshHeader();
        resized();
        repaint();
        return;
    }
    const auto& doc = document();
    for (size_t i = 0; i < doc.bands.size(); ++i) {
        auto column = std::make_unique<BandColumn>();
        column->colourCategory = deps.colourCategory;
        column->flashTracker = &chipFlashes;
        wireColumn(*column);
        bandContent.addAndMakeVisible(*column);
        columns.push_back(std::move(column));
    }
    for (size_t i = 0; i < doc.velocitySplits.size(); ++i) {
        auto editor = std::make_unique<BoundaryEditor>(static_cast<int>(i));
        wireBoundary(*editor);
        bandContent.addAndMakeVisible(*editor);
        boundaryEditors.push_back(std::move(editor));
    }
    refreshHeader();
    refreshStrips();
    // resized() ends with the same refresh sequence as refreshAll.
    resized();
}

void ZemEditOverlay::refreshAll() {
    if (!loaded()) return;
    wakeIdleTicks();
    layoutBands();
    populateColumns();
    layoutGrid();
    refreshHeader();
    refreshStrips();
    refreshDetailStrip();
}

void ZemEditOverlay::refreshHeader() {
    titleLabel.setColour(juce::Label::textColourId, themeColour(ThemeColour::textPrimary));
    const auto& name = document().name;
    titleLabel.setText(name.empty() ? juce::String("No zem loaded") : juce::String::fromUTF8(name.c_str()),
                       juce::dontSendNotification);
    countsLabel.setColour(juce::Label::textColourId, themeColour(ThemeColour::textMuted));
    countsLabel.setText(
        juce::String::fromUTF8(sampleGroupSummary(document().liveSampleCount, document().bandCount()).c_str()),
        juce::dontSendNotification);
    layoutHeader(headerRow);
}

void ZemEditOverlay::refreshStrips() {
    for (auto* caption : {&roomCaption, &articulationCaption, &drumTypeCaption})
        caption->setColour(juce::Label::textColourId, themeColour(ThemeColour::textMuted));
    drumTypeChip.setSelectedId(document().drumType + 1, juce::dontSendNotification);

    const auto& doc = document();
    const auto listFor = [&](bool layers) {
        std::vector<int32_t> list;
        const auto& defs = layers ? doc.layers : doc.articulations;
        for (int32_t index : doc.defOrder(layers)) {
            bool show = deps.standalone || (layers && defs[static_cast<size_t>(index)].shown != 0);
            for (const auto& s : doc.samples) {
                if (show) break;
                if (doc.uidIndex.count(s.uid) != 0 && (layers ? s.layerIndex : s.articulationIndex) == index)
                    show = true;
            }
            if (show) list.push_back(index);
        }
        return list;
    };
    const auto fill = [&](ReorderStrip& strip, const std::vector<int32_t>& list, bool layers,
                          int32_t page) {
        juce::StringArray labels{"ALL"};
        const auto& defs = layers ? doc.layers : doc.articulations;
        for (int32_t index : list) {
            const auto& name = defs[static_cast<size_t>(index)].name;
            labels.add(juce::String::fromUTF8((layers ? roomChannelDisplayName(name) : name).c_str()));
        }
        labels.add(juce::String::fromUTF8(kPlusLabel));
        int selected = 0;
        if (page >= 0)
            if (auto it = std::find(list.begin(), list.end(), page); it != list.end())
                selected = static_cast<int>(it - list.begin()) + 1;
        strip.setLabels(labels, selected);
        strip.resetDrag();
    };
    roomList = listFor(true);
    articulationList = listFor(false);
    fill(roomStrip, roomList, true, doc.pageLayer);
    fill(articulationStrip, articulationList, false, doc.pageArticulation);
    const int roomPlus = static_cast<int>(roomList.size()) + 1;
    roomStrip.setSegmentEnabled(roomPlus, deps.standalone ? doc.layers.size() < 4 : doc.nextRoomChannel().has_value());
    articulationStrip.setSegmentEnabled(static_cast<int>(articulationList.size()) + 1,
                                        !(deps.standalone && doc.articulations.size() >= 128));
    updateLevelButton();
}

}  // namespace vt6::ui::zemedit
