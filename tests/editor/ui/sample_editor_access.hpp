#pragma once
// Opens the overlay's sample editor directly, as a chip's edit action does.

#include "editor/ui/sample_editor.hpp"
#include "editor/ui/zem_edit_overlay.hpp"

namespace vt6::ui::zemedit {

class SampleEditorOverlayAccess {
public:
    static void open(ZemEditOverlay& o, uint64_t uid) { o.openSampleEditor(uid); }
    static void close(ZemEditOverlay& o) { o.closeSampleEditor(); }
    static SampleEditor* editor(ZemEditOverlay& o) { return dynamic_cast<SampleEditor*>(o.sampleEditor.get()); }
};

}  // namespace vt6::ui::zemedit
