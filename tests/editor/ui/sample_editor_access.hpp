#pragma once
// Opens the overlay's sample editor directly, as a chip's edit action does.

#include "editor/ui/sample_editor.hpp"
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

class SampleEditorOverlayAccess {
public:
    // The audio loads on a worker: waits (pumping the message loop) until the
    // editor is up or the load has ended otherwise.
    static void open(ZemEditOverlay& o, uint64_t uid) {
        o.openSampleEditor(uid);
        const double until = juce::Time::getMillisecondCounterHiRes() + 30000.0;
        while (o.sampleEditorLoading() && juce::Time::getMillisecondCounterHiRes() < until)
            juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
    }
    // The request alone, as the chip's action makes it.
    static void request(ZemEditOverlay& o, uint64_t uid) { o.openSampleEditor(uid); }
    static bool loading(const ZemEditOverlay& o) { return o.sampleEditorLoading(); }
    static void close(ZemEditOverlay& o) { o.closeSampleEditor(); }
    static SampleEditor* editor(ZemEditOverlay& o) { return dynamic_cast<SampleEditor*>(o.sampleEditor.get()); }
};

}  // namespace vt6::ui::zemedit
