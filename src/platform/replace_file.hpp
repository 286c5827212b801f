#pragma once
// Replacing a file by a complete sibling in one step: rename the sibling over
// the target, then sync the directory so the new name survives a crash. A
// failed rename is a failed replacement; nothing is ever copied over the
// target, which stays as it was.

#include <string>

namespace vt6::platform {

struct ReplaceStatus {
    int osError = 0;      // errno of the failed rename; 0 on success
    std::string message;  // English, naming both paths and the OS's reason

    bool ok() const noexcept { return message.empty(); }
};

// Renames `from` over `to` (both UTF-8, normally in the same directory) and
// syncs the directory of `to`. Only the rename decides success: once it has
// happened the target holds the new file, whatever the directory sync says.
// A symbolic link at `to` stays: the file it names is replaced (callers that
// want the rename within one folder put `from` beside resolveReplaceTarget's
// answer). A pipe, device, socket or folder at `to` is refused untouched.
ReplaceStatus replaceFile(const std::string& from, const std::string& to);

// Test seam: the call that performs the rename (rename(2) when null). Returns
// 0 on success, else -1 with errno set.
using RenameCall = int (*)(const char* from, const char* to);
void setRenameCallForTesting(RenameCall call) noexcept;

} // namespace vt6::platform
