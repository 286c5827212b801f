#pragma once
// Host services of the editor overlay that a host without the shell's own
// paths can use: writing a snapshot of unsaved work as a file.

#include <string>

#include "editor/ui/editor_snapshot.hpp"
#include "format/result.hpp"

namespace vt6::maker {

// Writes the snapshot as a complete zem at `path` through the editor's save
// path (a temporary file beside it, analysed, verified and renamed over
// it). Audio that the snapshot does not carry in memory comes from its
// source file: the stored payloads of a current-format file, or the legacy
// file converted again. On failure nothing of this write is left behind and
// an earlier file at `path` is unchanged.
fmt::Result<fmt::Unit> writeSnapshotFile(const ui::zemedit::EditorSnapshot& snapshot, const std::string& path);

}  // namespace vt6::maker
