#pragma once
// A new, empty file with a unique name in the user's temporary folder.

#include <optional>
#include <string>

namespace vt6::platform {

// The temporary folder: $TMPDIR when set and not empty, else /tmp.
std::string temporaryDirectory();

// Creates "<temporary folder>/zem-rivir-<owner>-<prefix>XXXXXX" (owner: see
// leftovers.hpp) with mkstemp (the file exists,
// empty, once its name is returned) and returns its path; nothing when the
// name cannot be made or the file cannot be created.
std::optional<std::string> makeUniqueTempFile(const std::string& prefix);

// Test seam: when set, makeUniqueTempFile fails without creating anything.
void setUniqueTempFileFailsForTesting(bool fails) noexcept;

} // namespace vt6::platform
