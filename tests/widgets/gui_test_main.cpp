// Test entry for the GUI tests: the framework's GUI support lives for the
// whole run, and the settings folder points into a private temporary folder
// so no test touches the user's own settings.

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include "support/window_manager_atoms.hpp"

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const auto config = juce::File::createTempFile("zem-gui-config");
    config.createDirectory();
    setenv("XDG_CONFIG_HOME", config.getFullPathName().toRawUTF8(), 1);
    int result = 0;
    // A bare virtual display has no window manager; this stands in for it.
    void* atomKeeper = createWindowManagerAtoms();
    {
        juce::ScopedJuceInitialiser_GUI gui;
        result = RUN_ALL_TESTS();
    }
    closeWindowManagerAtoms(atomKeeper);
    config.deleteRecursively();
    return result;
}
