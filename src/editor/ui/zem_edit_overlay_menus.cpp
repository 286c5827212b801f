// The overlay's right-click menus and delete confirmations. Every answer
// arrives later: it holds a safe pointer to the overlay, and either the
// document's change counter (deleting a definition or a group, which a later
// edit makes a no-op) or the target uids (acting on whichever still exist).
#include "editor/ui/zem_edit_overlay.hpp"

#include <algorithm>
#include <climits>

#include "editor/logic/data_source.hpp"
#include "editor/logic/sample_commands.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

namespace {

juce::String utf8(const std::string& text) { return juce::String::fromUTF8(text.c_str()); }

juce::PopupMenu::Options menuAt(juce::Point<int> screen) {
    return juce::PopupMenu::Options().withTargetScreenArea({screen.x, screen.y, 1, 1});
}

juce::MessageBoxOptions deleteBox(juce::Component* owner, const juce::String& title, const juce::String& message) {
    return juce::MessageBoxOptions()
        .withIconType(juce::MessageBoxIconType::WarningIcon)
        .withTitle(title)
        .withMessage(message)
        .withButton("Delete")
        .withButton("Cancel")
        .withAssociatedComponent(owner);
}

// The ids of a chip menu's articulation and room-channel items start at
// 1000 and 2000; a document with more than 1000 articulations moves the
// room channels further up, so no two items ever share an id.
constexpr int kGroupBase = 100;
constexpr int kArticulationBase = 1000;
constexpr int kRoomBase = 2000;

std::vector<uint64_t> keysOf(const std::vector<logic::EditDef>& defs) {
    std::vector<uint64_t> keys;
    keys.reserve(defs.size());
    for (const auto& def : defs) keys.push_back(def.key);
    return keys;
}

}  // namespace

std::vector<uint64_t> ZemEditOverlay::selectedUidsInOrder() const {
    const auto& doc = viewModel.document;
    std::vector<std::pair<int32_t, uint64_t>> ordered;
    ordered.reserve(doc.selection.size());
    for (const uint64_t uid : doc.selection) {
        const auto found = doc.uidIndex.find(uid);
        ordered.emplace_back(found == doc.uidIndex.end() ? INT32_MAX : found->second, uid);
    }
    std::sort(ordered.begin(), ordered.end());
    std::vector<uint64_t> uids;
    uids.reserve(ordered.size());
    for (const auto& entry : ordered) uids.push_back(entry.second);
    return uids;
}

std::vector<uint64_t> ZemEditOverlay::targetsFor(uint64_t uid) const {
    const auto& selection = viewModel.document.selection;
    if (selection.count(uid) != 0 && selection.size() > 1) return selectedUidsInOrder();
    return {uid};
}

bool ZemEditOverlay::canDeleteDef(bool rooms, int index) const {
    const auto& doc = viewModel.document;
    const auto& defs = rooms ? doc.layers : doc.articulations;
    if (defs.size() < 2 || index < 0 || static_cast<size_t>(index) >= defs.size()) return false;
    if (!rooms) return true;
    const auto* source = viewModel.activeSource();
    if (source == nullptr) return index != 0;
    // Only a room channel of the source (Room A to C or beyond) or one added
    // in the editor may go; the Direct channel stays.
    const int32_t sourceIndex = defs[static_cast<size_t>(index)].sourceIndex;
    const auto& table = source->model().metadata.layers;
    if (sourceIndex < 0 || static_cast<size_t>(sourceIndex) >= table.size()) return true;
    const auto& slot = table[static_cast<size_t>(sourceIndex)].slot;
    return slot.has_value() && *slot != 0;
}

void ZemEditOverlay::showDefMenu(bool rooms, int segment, juce::Point<int> screen) {
    if (segment < 0) return;
    const auto& doc = document();
    const auto& defs = rooms ? doc.layers : doc.articulations;
    const auto& list = rooms ? roomList : articulationList;
    const auto shownName = [&](int32_t index) {
        const auto& name = defs[static_cast<size_t>(index)].name;
        return utf8(rooms ? roomChannelDisplayName(name) : name);
    };
    juce::PopupMenu menu;
    const int n = static_cast<int>(list.size());
    if (segment == 0 || segment > n) {
        for (const int32_t index : doc.defOrder(rooms))
            menu.addItem(index + 1, "Delete " + shownName(index) + "...", canDeleteDef(rooms, index));
    } else {
        const int32_t index = list[static_cast<size_t>(segment - 1)];
        const bool allowed = canDeleteDef(rooms, index);
        menu.addItem(index + 1, rooms ? "Delete room channel..." : "Delete articulation...", allowed);
        if (!allowed)
            menu.addSectionHeader(rooms ? "Keep the Direct channel and at least one channel"
                                        : "Keep at least one articulation");
    }
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    const uint64_t counter = doc.changeCounter;
    widgets::showMenuAsync(menu, menuAt(screen), [safe, counter, rooms](int id) {
        auto* self = safe.getComponent();
        if (id <= 0 || self == nullptr || self->document().changeCounter != counter) return;
        self->confirmDeleteDef(rooms, id - 1);
    }, this);
}

void ZemEditOverlay::confirmDeleteDef(bool rooms, int index) {
    if (!canDeleteDef(rooms, index)) return;
    const auto& doc = document();
    uint64_t n = 0;
    for (const auto& [uid, record] : doc.uidIndex) {
        const auto& sample = doc.samples[static_cast<size_t>(record)];
        if ((rooms ? sample.layerIndex : sample.articulationIndex) == index) ++n;
    }
    const auto& name = (rooms ? doc.layers : doc.articulations)[static_cast<size_t>(index)].name;
    const juce::String message = "Delete \"" + utf8(rooms ? roomChannelDisplayName(name) : name) + "\" and its " +
                                 juce::String(n) + (n == 1 ? " sample" : " samples") +
                                 " from this ZEM? This includes samples on every " +
                                 (rooms ? "articulation" : "room channel") + " page. You can undo this.";
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    const uint64_t counter = doc.changeCounter;
    widgets::showMessageBoxAsync(
        deleteBox(this, rooms ? "Delete room channel" : "Delete articulation", message),
        [safe, counter, rooms, index](int result) {
            auto* self = safe.getComponent();
            if (result != 1 || self == nullptr || self->document().changeCounter != counter) return;
            if (self->canDeleteDef(rooms, index)) self->document().deleteDef(rooms, static_cast<uint32_t>(index));
            self->refreshAfterCommand();
        });
}

void ZemEditOverlay::showBandMenu(int group, juce::Point<int> screen) {
    const auto count = static_cast<int>(document().bandCount());
    if (group < 0 || group >= count) return;
    juce::PopupMenu menu;
    menu.addItem(1, "Delete dynamic group...", count >= 2);
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    const uint64_t counter = document().changeCounter;
    widgets::showMenuAsync(menu, menuAt(screen), [safe, counter, group](int id) {
        auto* self = safe.getComponent();
        if (id != 1 || self == nullptr || self->document().changeCounter != counter) return;
        self->confirmDeleteBand(group);
    }, this);
}

void ZemEditOverlay::confirmDeleteBand(int group) {
    const auto count = static_cast<int>(document().bandCount());
    if (count < 2 || group < 0 || group >= count) return;
    // Groups are numbered from 1 as they stand now: the samples go to the
    // group before, or to the second group when the first goes.
    const int receiver = group > 0 ? group : 2;
    const juce::String message = "Delete dynamic group " + juce::String(group + 1) +
                                 "? Its samples on every room channel and articulation page will move to dynamic "
                                 "group " +
                                 juce::String(receiver) + ". You can undo this.";
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    const uint64_t counter = document().changeCounter;
    widgets::showMessageBoxAsync(deleteBox(this, "Delete dynamic group", message),
                                 [safe, counter, group](int result) {
                                     auto* self = safe.getComponent();
                                     if (result != 1 || self == nullptr ||
                                         self->document().changeCounter != counter)
                                         return;
                                     self->document().deleteBand(group);
                                     self->refreshAfterCommand();
                                 });
}

void ZemEditOverlay::confirmDelete(const std::vector<uint64_t>& uids) {
    if (uids.empty()) return;
    juce::String subject;
    if (uids.size() == 1) {
        const auto* sample = document().sampleByUid(uids.front());
        subject = sample != nullptr && !sample->name.empty() ? "\"" + utf8(sample->name) + "\"" : "this sample";
    } else {
        subject = juce::String(static_cast<juce::uint64>(uids.size())) + " samples";
    }
    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMessageBoxAsync(deleteBox(this, uids.size() == 1 ? "Delete sample" : "Delete samples",
                                           "Delete " + subject + " from this zem? You can undo this."),
                                 [safe, uids](int result) {
                                     auto* self = safe.getComponent();
                                     if (result != 1 || self == nullptr) return;
                                     self->removeConfirmedSamples(uids);
                                 });
}

void ZemEditOverlay::removeConfirmedSamples(const std::vector<uint64_t>& uids) {
    auto& doc = document();
    std::vector<logic::SampleRemoval> removals;
    removals.reserve(uids.size());
    for (const uint64_t uid : uids)
        if (const auto* sample = doc.sampleByUid(uid))
            removals.push_back({uid, sample->bandId, sample->positionKey});
    if (!removals.empty()) doc.execute(std::make_unique<logic::RemoveSamplesCmd>(std::move(removals)));
    refreshAfterCommand();
}

void ZemEditOverlay::showChipMenu(uint64_t uid, juce::Point<int> screen) {
    const auto& doc = document();
    const auto* sample = doc.sampleByUid(uid);
    if (sample == nullptr) return;

    ChipMenuAnswer answer;
    answer.targets = targetsFor(uid);
    answer.shownMuted = sample->muted != 0;
    answer.shownSoloed = sample->soloed != 0;
    answer.shownLocked = sample->sortLock != 0;
    answer.groupBase = kGroupBase;
    answer.articulationBase = std::max(kArticulationBase, kGroupBase + static_cast<int>(doc.bandCount()));
    answer.roomBase =
        std::max(kRoomBase, answer.articulationBase + static_cast<int>(doc.articulations.size()));
    answer.articulationKeys = keysOf(doc.articulations);
    answer.roomKeys = keysOf(doc.layers);
    const bool single = answer.targets.size() == 1;
    const int group = doc.bandIndexOf(sample->bandId);

    juce::PopupMenu menu;
    menu.addItem(4, juce::String::fromUTF8("Edit sample\xe2\x80\xa6"), single);
    menu.addSeparator();
    menu.addItem(1, single ? juce::String("Delete sample")
                           : "Delete " + juce::String(static_cast<juce::uint64>(answer.targets.size())) + " samples");
    menu.addSeparator();
    menu.addItem(2, answer.shownMuted ? "Unmute" : "Mute", true, answer.shownMuted);
    menu.addItem(3, answer.shownSoloed ? "Unsolo" : "Solo", true, answer.shownSoloed);
    menu.addSeparator();
    juce::PopupMenu groups;
    for (int g = 0; g < static_cast<int>(doc.bandCount()); ++g)
        groups.addItem(answer.groupBase + g,
                       juce::String::fromUTF8(groupDisplayName(doc.bands[static_cast<size_t>(g)].name, g).c_str()),
                       g != group, g == group);
    menu.addSubMenu("Move to group", groups);
    menu.addItem(5, answer.shownLocked ? "Include in Auto Sort" : "Keep in this dynamic group");
    juce::PopupMenu articulations;
    for (const int32_t index : articulationList)
        articulations.addItem(answer.articulationBase + index, utf8(doc.articulations[static_cast<size_t>(index)].name),
                              true, index == sample->articulationIndex);
    menu.addSubMenu("Articulation", articulations);
    juce::PopupMenu rooms;
    for (const int32_t index : roomList)
        rooms.addItem(answer.roomBase + index, utf8(roomChannelDisplayName(doc.layers[static_cast<size_t>(index)].name)),
                      true, index == sample->layerIndex);
    menu.addSubMenu("Room channel", rooms);

    juce::Component::SafePointer<ZemEditOverlay> safe(this);
    widgets::showMenuAsync(menu, menuAt(screen), [safe, answer = std::move(answer)](int id) {
        if (auto* self = safe.getComponent()) self->applyChipMenuChoice(id, answer);
    }, this);
}

void ZemEditOverlay::applyChipMenuChoice(int id, const ChipMenuAnswer& answer) {
    auto& doc = document();
    const auto& targets = answer.targets;
    if (id == 1) {
        confirmDelete(targets);
        return;
    }
    if (id == 4) {
        if (!targets.empty() && doc.sampleByUid(targets.front()) != nullptr) openSampleEditor(targets.front());
        return;
    }
    if (id == 2 || id == 3) {
        const bool mute = id == 2;
        const auto value = static_cast<uint8_t>((mute ? answer.shownMuted : answer.shownSoloed) ? 0 : 1);
        for (const uint64_t uid : targets) {
            const auto* sample = doc.sampleByUid(uid);
            if (sample == nullptr) continue;
            const uint8_t old = mute ? sample->muted : sample->soloed;
            if (old != value)
                doc.execute(std::make_unique<logic::SetFlagCmd>(uid, static_cast<uint8_t>(mute ? 1 : 0), old, value));
        }
        refreshAfterCommand();
        return;
    }
    if (id == 5) {
        // All the changes are one undo step.
        const auto value = static_cast<uint8_t>(answer.shownLocked ? 0 : 1);
        undoManager().beginNewTransaction("Set dynamic placement");
        historySink.grouping = 1;
        for (const uint64_t uid : targets) {
            const auto* sample = doc.sampleByUid(uid);
            if (sample != nullptr && sample->sortLock != value)
                doc.execute(std::make_unique<logic::SetSortLockCmd>(uid, sample->sortLock, value));
        }
        refreshAfterCommand();
        historySink.endGroup();
        return;
    }
    const auto reassign = [&](char field, int to) {
        // The menu was built earlier: when its definitions were added,
        // deleted or reordered since, the index may name another one.
        const auto& defs = field == 'a' ? doc.articulations : doc.layers;
        const auto& keys = field == 'a' ? answer.articulationKeys : answer.roomKeys;
        if (to < 0 || static_cast<size_t>(to) >= defs.size() || keys != keysOf(defs)) return;
        for (const uint64_t uid : targets) {
            const auto* sample = doc.sampleByUid(uid);
            if (sample == nullptr) continue;
            const int32_t from = field == 'a' ? sample->articulationIndex : sample->layerIndex;
            if (from == to) continue;
            const uint64_t position = doc.nextPositionKey++;
            doc.execute(std::make_unique<logic::AssignFieldCmd>(uid, field, from, to, sample->positionKey, position));
        }
    };
    if (id >= answer.roomBase) {
        reassign('l', id - answer.roomBase);
    } else if (id >= answer.articulationBase) {
        reassign('a', id - answer.articulationBase);
    } else if (id >= answer.groupBase) {
        doc.moveSamples(targets, id - answer.groupBase);
    } else {
        return;
    }
    refreshAfterCommand();
}

}  // namespace vt6::ui::zemedit
