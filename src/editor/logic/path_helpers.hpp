#pragma once
// Taking UTF-8 paths apart, putting them together and checking files. The
// slash and the backslash both separate path parts; the slash is the
// separator these helpers insert. No state: safe on any thread.

#include <string>

#include "platform/file_info.hpp"

namespace vt6::ui::zemedit::logic {

using platform::FileInfo;
using platform::queryFileInfo;

// Byte-for-byte copy; only the target is written, and a failed copy leaves
// no target behind.
bool copyFile(const std::string& source, const std::string& target);

// directory + "/" + name, without doubling a trailing separator; either part
// empty gives the other.
std::string joinPath(const std::string& directory, const std::string& name);
// The text after the last separator (the whole path without one).
std::string fileNamePart(const std::string& path);
// The text before the last separator; empty without one or when the only
// separator is the first character.
std::string parentPath(const std::string& path);
// The name without its extension; a leading dot does not start one.
std::string fileStem(const std::string& path);
// The extension with its dot, ASCII letters lower-cased; empty without one.
std::string fileExtensionLower(const std::string& path);
// Absolute form with "." and ".." resolved and separators as slashes: a
// drive prefix ("C:") or a server and share ("//server/share") is never
// climbed above. Letter case is kept. A relative path starts at the current
// folder, or at the root when that cannot be read.
std::string normalizePath(const std::string& path);

} // namespace vt6::ui::zemedit::logic
