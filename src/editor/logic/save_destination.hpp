#pragma once
// Where the editor's own save writes: the destination of a save, whether it
// counts as a new file, and the free names the save dialog proposes. These
// may query the file system but never change it.

#include <cstdint>
#include <string>

namespace vt6::ui::zemedit::logic {

struct SaveDestination {
    std::string path;    // the file the save replaces or creates
    bool asNew = false;  // not an overwrite of the source: the publisher certificate is dropped
};

// True for the provenance kinds whose file a save never overwrites: factory,
// another verified publisher, modified.
bool kindForcesNew(int32_t kind) noexcept;

// The destination of a save from `currentPath` (of provenance `kind`) into
// `directory` under `name` (empty: no name given). With a name, a signed or
// broken-signature source never becomes its own destination: a name that
// would land on it gets the next free " n" name beside it.
SaveDestination deriveDestination(const std::string& currentPath, int32_t kind, const std::string& directory,
                                  const std::string& name);

// `destination` with its path moved off `protectedPath` (compared after
// normalizing both): the first free "<stem> n<ext>" beside it, n from 2. A
// converted legacy file is never replaced by a current-format file.
SaveDestination avoidPath(SaveDestination destination, const std::string& protectedPath);

// The first free "<stem>_n" (n 1..9999) whose destination from `path` does
// not exist yet, else "<stem>_copy".
std::string freeCopyName(const std::string& path, int32_t kind, const std::string& directory);

// The name proposed for a document with no file behind it: `base` itself
// when "<base>.zem" is free in `directory`, else the first free "<base>_n"
// (n 1..9999), else "<base>_copy". An empty base counts as "Untitled".
std::string freeNewName(const std::string& base, const std::string& directory);

} // namespace vt6::ui::zemedit::logic
