#include "editor/logic/save_destination.hpp"

#include <functional>
#include <utility>

#include "editor/logic/path_helpers.hpp"
#include "editor/logic/view_model.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

bool exists(const std::string& path) { return queryFileInfo(path).exists; }

// The extension with its dot as written (case kept); empty without one.
std::string extensionOf(const std::string& path) {
    const std::string name = fileNamePart(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot);
}

// `first` when nothing is there, else "<stem> n<ext>" beside it for the
// first n from 2 that is free. Unbounded: each candidate is a real file.
std::string firstFreeSpaced(const std::string& directory, const std::string& first,
                            const std::function<bool(const std::string&)>& taken) {
    std::string candidate = joinPath(directory, fileNamePart(first));
    const std::string stem = fileStem(first);
    const std::string ext = extensionOf(first);
    for (uint64_t n = 2; taken(candidate); ++n)
        candidate = joinPath(directory, stem + " " + std::to_string(n) + ext);
    return candidate;
}

} // namespace

bool kindForcesNew(int32_t kind) noexcept { return kind == 1 || kind == 2 || kind == 4; }

SaveDestination deriveDestination(const std::string& currentPath, int32_t kind, const std::string& directory,
                                  const std::string& name) {
    SaveDestination d;
    d.asNew = kindForcesNew(kind);
    if (name.empty()) {
        if (!d.asNew) {
            d.path = currentPath;
            return d;
        }
        d.path = firstFreeSpaced(directory, fileNamePart(currentPath), exists);
        return d;
    }
    const std::string base = d.asNew ? directory : parentPath(currentPath);
    std::string ext = extensionOf(currentPath);
    if (ext.empty()) ext = ".zem";
    d.path = joinPath(base, name + ext);
    // A signed source is never the file a save replaces, even when the name
    // and folder given are its own.
    if (d.asNew) d = avoidPath(std::move(d), currentPath);
    d.asNew = true;
    return d;
}

SaveDestination avoidPath(SaveDestination destination, const std::string& protectedPath) {
    if (protectedPath.empty() || destination.path.empty()) return destination;
    if (normalizePath(destination.path) != normalizePath(protectedPath)) return destination;
    destination.path = firstFreeSpaced(parentPath(destination.path), destination.path, [&](const std::string& c) {
        return exists(c) || normalizePath(c) == normalizePath(protectedPath);
    });
    return destination;
}

std::string freeCopyName(const std::string& path, int32_t kind, const std::string& directory) {
    const std::string stem = fileStem(path);
    for (int n = 1; n <= 9999; ++n) {
        const std::string candidate = stem + "_" + std::to_string(n);
        if (!exists(deriveDestination(path, kind, directory, candidate).path)) return candidate;
    }
    return stem + "_copy";
}

std::string freeNewName(const std::string& base, const std::string& directory) {
    const std::string b = base.empty() ? std::string("Untitled") : base;
    if (!exists(joinPath(directory, b + ".zem"))) return b;
    for (int n = 1; n <= 9999; ++n) {
        const std::string candidate = b + "_" + std::to_string(n);
        if (!exists(joinPath(directory, candidate + ".zem"))) return candidate;
    }
    return b + "_copy";
}

std::string ZemEditViewModel::copyDestination(const std::string& directory) const {
    if (!destinationPath.empty()) return freeCopyName(destinationPath, destinationKind, directory);
    if (fileSource) return freeCopyName(fileSource->path(), fileSource->sourceFormat(), directory);
    if (legacySource) return freeCopyName(legacySource->path(), 3, directory);
    return freeNewName(document.name, directory);
}

} // namespace vt6::ui::zemedit::logic
