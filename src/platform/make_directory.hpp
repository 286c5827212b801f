#pragma once
// Creating one directory level (the parent must exist already).

#include <string>

namespace vt6::platform {

// mkdir of `path` (UTF-8) with the default permissions; true when it was
// created. An existing directory is not created again (false).
bool makeDirectory(const std::string& path) noexcept;

// Test seam: when set, makeDirectory fails without touching anything.
void setMakeDirectoryFailsForTesting(bool fails) noexcept;

} // namespace vt6::platform
