#pragma once
// Stands in for a window manager on a bare virtual display (see the .cpp):
// the GUI tests, drivers and window benchmarks call it once at start.

// Creates the atoms and returns the open connection that keeps them; null
// without a display.
void* createWindowManagerAtoms();
void closeWindowManagerAtoms(void* keeper);
