#pragma once
// The program's own leftovers: files a killed instance never removed (its
// working copies and undo copies in the temporary folder, a save's
// temporaries beside its target). Each such file carries its owner's id in
// its name; a running instance holds an exclusive lock on its own lock file
// in the temporary folder, "zem-rivir-<owner>.lock", and writes there every
// folder it saves into. A file counts as a leftover only when all of these
// hold: its name is one of ours, it belongs to this user, its owner's lock
// file exists and nobody holds it, and no process with that id is alive. A
// file of a living instance, or anything else, is never removed.
//
// Names (owner = 8 lower-case hex digits of the owner's process id):
//   temporary folder: "zem-rivir-<owner>-..." and the lock "zem-rivir-<owner>.lock";
//   beside a target:  "<stem>_temp<owner><8 hex>.zem", with an optional
//                     ".physical" after it, and either of those hidden as
//                     ".<name>.<8 letters or digits>.tmp".

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vt6::platform {

// This instance's owner id (its process id) as 8 lower-case hex digits.
std::string ownerTag();

// Takes this instance's lock (idempotent; thread-safe). Never waits: false
// when the lock file cannot be made or somebody else holds it, and then for
// the rest of the process. The instance still works; its leftovers are
// removed by a later start only when its lock file remains.
bool holdInstanceLock();

// Removes this instance's lock file at a normal end; it is not taken again.
void releaseInstanceLock() noexcept;

// 16 hex digits for a save temporary's name: the owner tag and 8 random ones.
std::string ownedHexTag();

// A new name in the temporary folder: "zem-rivir-<owner>-<16 random hex><suffix>".
std::string newOwnedTemporaryPath(const std::string& suffix);

// Notes in this instance's lock file that it writes temporaries into the
// folder of `target` (links resolved), so that a later start finds them
// after a kill, and a termination signal finds them too.
void noteSaveFolder(const std::string& target);

// Whether `name` (no folder) is one of the save temporaries above; its
// owner id when it is.
std::optional<uint32_t> siblingOwner(const std::string& name);
// The same for names in the temporary folder (the lock file included).
std::optional<uint32_t> temporaryOwner(const std::string& name);

// Removes the leftovers of gone owners in the folder of `target` (the save
// temporaries), never `target` itself. Returns how many files were removed.
size_t sweepLeftoversBeside(const std::string& target);

// At start: for every gone owner's lock file in the temporary folder, removes
// its leftovers in the folders it noted and in the temporary folder, then the
// lock file itself. Returns how many files were removed.
size_t sweepLeftoversAtStart();

// Marks a file as open in a window while the mark lives: no sweep of any
// instance removes it. The mark is a shared lock on the file, read-only; a
// file replaced by a save is a new file and needs a new mark. Not held when
// the file cannot be opened or was removed meanwhile.
class OpenFileMark {
public:
    OpenFileMark() noexcept = default;
    explicit OpenFileMark(const std::string& path);
    ~OpenFileMark();
    OpenFileMark(OpenFileMark&& other) noexcept;
    OpenFileMark& operator=(OpenFileMark&& other) noexcept;
    OpenFileMark(const OpenFileMark&) = delete;
    OpenFileMark& operator=(const OpenFileMark&) = delete;

    bool held() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// From now on SIGTERM, SIGHUP and SIGINT (each unless ignored when this is
// called) end the process after removing this instance's own files: its
// working and undo copies, its save temporaries (those of a save under way
// too: its target is then either as it was or the whole new file) and its
// lock file. Nothing else is removed, a file open in a window neither.
// Idempotent; a forked child calls it again for itself.
void cleanUpOnTerminationSignals();

} // namespace vt6::platform
