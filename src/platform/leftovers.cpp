#include "platform/leftovers.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/creation_gate.hpp"
#include "platform/unique_temp_file.hpp"

namespace vt6::platform {

namespace {

constexpr const char* kTemporaryPrefix = "zem-rivir-";
constexpr const char* kLockSuffix = ".lock";
constexpr size_t kTagDigits = 8;
// A lock file is a list of folders; more than this is not one of ours.
constexpr off_t kMaxLockFileBytes = off_t{1} << 20;

// This instance's lock and the folders it saves into. Never destroyed: a
// termination signal may arrive while static objects are torn down.
struct State {
    std::mutex mutex;
    uint32_t owner = 0;  // the process the rest belongs to
    int lockFd = -1;
    // Set when the lock could not be taken: it is never taken later, for by
    // then this instance has files whose names carry its id, and taking the
    // lock first removes a dead predecessor's files with that id.
    bool lockGivenUp = false;
    std::string lockPath;
    std::set<std::string> notedFolders;  // written into the lock file
    std::set<std::string> saveFolders;   // every folder saved into, for this instance's own cleanup
};

State& state() {
    static auto* const instance = new State;
    return *instance;
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool isTempLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool allOf(const std::string& text, size_t from, size_t count, bool (*pred)(char)) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (!pred(text[i])) return false;
    return true;
}

std::string tagOf(uint32_t owner) {
    char text[kTagDigits + 1];
    std::snprintf(text, sizeof text, "%08x", owner);
    return text;
}

uint32_t parseTag(const std::string& text, size_t from) {
    return static_cast<uint32_t>(std::stoul(text.substr(from, kTagDigits), nullptr, 16));
}

uint32_t selfId() { return static_cast<uint32_t>(::getpid()); }

// A forked child is an instance of its own: the lock it inherited is its
// parent's and stays with it. Called with the state's mutex held.
void forgetParentState(State& s) {
    if (s.owner == selfId()) return;
    if (s.lockFd >= 0) ::close(s.lockFd);
    s.owner = selfId();
    s.lockFd = -1;
    s.lockGivenUp = false;
    s.lockPath.clear();
    s.notedFolders.clear();
    s.saveFolders.clear();
}

std::string temporaryFolder() {
    std::string dir = temporaryDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string lockPathOf(uint32_t owner) {
    return temporaryFolder() + "/" + kTemporaryPrefix + tagOf(owner) + kLockSuffix;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool processAlive(uint32_t owner) {
    if (owner == 0 || owner > static_cast<uint32_t>(INT32_MAX)) return false;
    return ::kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM;
}

// The lock file of a gone owner, locked by this process so that nobody
// else sweeps it or takes it meanwhile; -1 when the owner may be alive or
// left no lock file (then nothing of it is provably ours).
int lockGoneOwner(uint32_t owner) {
    if (owner == selfId()) return -1;
    const std::string path = lockPathOf(owner);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0 || processAlive(owner)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens the absolute `folder` one component at a time, never through a
// link: a folder noted earlier that has since been replaced by a link, or
// moved below one, is not the folder that was noted. -1 when it cannot.
int openFolderWithoutLinks(const std::string& folder) {
    if (folder.empty() || folder[0] != '/') return -1;
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 1;
    while (fd >= 0 && start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        if (end > start) {
            const std::string part = folder.substr(start, end - start);
            const int next = part == "." || part == ".."
                                 ? -1
                                 : ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        start = end + 1;
    }
    return fd;
}

int openFolder(const std::string& folder) { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
};

// Removes `name` in the folder `dirFd` when it is a regular file of this
// user, not `spared`, and no window of any instance has it open (a window
// holds a shared lock on its file, see OpenFileMark). The exclusive lock is
// held until the name is gone, so that no window takes the file meanwhile.
bool removeUnused(int dirFd, const std::string& name, const std::optional<FileId>& spared) {
    struct stat named {};
    if (::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
        named.st_uid != ::geteuid())
        return false;
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    bool removed = false;
    struct stat held {};
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino && !(spared && spared->device == held.st_dev && spared->inode == held.st_ino) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // The name may have been given to a new file since it was looked at.
        struct stat now {};
        if (::fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino)
            removed = ::unlinkat(dirFd, name.c_str(), 0) == 0;
    }
    ::close(fd);
    return removed;
}

// Removes the files in the folder `dirFd` (closed here) whose name `ownerOf`
// attributes to an owner for which `gone` holds, as removeUnused allows.
size_t removeOwned(int dirFd, const std::function<std::optional<uint32_t>(const std::string&)>& ownerOf,
                   const std::function<bool(uint32_t)>& gone, const std::optional<FileId>& spared = std::nullopt) {
    if (dirFd < 0) return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return 0;
    }
    std::vector<std::string> doomed;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::optional<uint32_t> owner = ownerOf(name);
        if (owner && gone(*owner)) doomed.push_back(name);
    }
    size_t removed = 0;
    for (const std::string& name : doomed)
        if (removeUnused(::dirfd(dir), name, spared)) ++removed;
    ::closedir(dir);
    return removed;
}

// A name in the temporary folder that is one of ours, the lock files aside.
std::optional<uint32_t> temporaryOwnerNotLock(const std::string& name) {
    const size_t suffix = std::string(kLockSuffix).size();
    if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kLockSuffix) == 0) return std::nullopt;
    return temporaryOwner(name);
}

// The folders a lock file names, one per line.
std::vector<std::string> notedFolders(int fd) {
    std::vector<std::string> out;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > kMaxLockFileBytes) return out;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
    if (got <= 0) return out;
    text.resize(static_cast<size_t>(got));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // an unfinished line was cut by a kill
        if (end > start && text[start] == '/') out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Removes everything of one gone owner whose lock file `fd` is held here.
size_t sweepOwner(uint32_t owner, int fd) {
    size_t removed = 0;
    const auto isOwner = [owner](uint32_t o) { return o == owner; };
    std::set<std::string> done;
    for (const std::string& folder : notedFolders(fd))
        if (done.insert(folder).second) removed += removeOwned(openFolderWithoutLinks(folder), siblingOwner, isOwner);
    // The lock file goes last, by its caller.
    removed += removeOwned(openFolder(temporaryFolder()), temporaryOwnerNotLock, isOwner);
    return removed;
}

std::string randomHexDigits(size_t count) {
    thread_local std::mt19937_64 engine{(static_cast<uint64_t>(std::random_device{}()) << 32) ^
                                        std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    uint64_t value = engine();
    for (size_t i = 0; i < count; ++i, value >>= 4) {
        if (i % 16 == 15) value = engine();
        out.push_back(kDigits[value & 15u]);
    }
    return out;
}

} // namespace

std::string ownerTag() { return tagOf(selfId()); }

bool holdInstanceLock() {
    State& s = state();
    const std::lock_guard<std::mutex> hold(s.mutex);
    forgetParentState(s);
    if (s.lockFd >= 0) return true;
    if (s.lockGivenUp) return false;
    s.lockGivenUp = true;  // until the lock is held
    const std::string path = lockPathOf(selfId());
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        // Never waits for the lock: whoever holds this name (a sweeper
        // removing a dead predecessor's file with this id, or any other
        // process) may hold it for ever, and the window must not wait for
        // it. Without the lock this instance works as when the file cannot
        // be made; its id keeps its files safe while it lives.
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        struct stat held {};
        struct stat named {};
        if (rc != 0 || ::fstat(fd, &held) != 0) {
            ::close(fd);
            return false;
        }
        // A sweeper may have removed the file between the open and the lock.
        if (::stat(path.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
            ::close(fd);
            continue;
        }
        // A predecessor with the same process id that was killed: its
        // leftovers go before the file becomes this instance's (nothing of
        // this instance carries the id yet).
        (void)sweepOwner(selfId(), fd);
        if (held.st_size > 0) {
            if (::ftruncate(fd, 0) != 0) {
                ::close(fd);
                return false;
            }
        }
        s.lockFd = fd;
        s.lockGivenUp = false;
        s.lockPath = path;
        s.notedFolders.clear();
        return true;
    }
    return false;
}

void releaseInstanceLock() noexcept {
    State& s = state();
    const std::lock_guard<std::mutex> hold(s.mutex);
    forgetParentState(s);
    // Files of this instance may still be on their way out: never taken again.
    s.lockGivenUp = true;
    if (s.lockFd < 0) return;
    (void)::unlink(s.lockPath.c_str());
    ::close(s.lockFd);
    s.lockFd = -1;
    s.lockPath.clear();
    s.notedFolders.clear();
}

std::string ownedHexTag() {
    (void)holdInstanceLock();
    return ownerTag() + randomHexDigits(8);
}

std::string newOwnedTemporaryPath(const std::string& suffix) {
    (void)holdInstanceLock();
    return temporaryFolder() + "/" + kTemporaryPrefix + ownerTag() + "-" + randomHexDigits(16) + suffix;
}

void noteSaveFolder(const std::string& target) {
    const bool locked = holdInstanceLock();
    // The folder as it is now, links resolved: a sweep later never follows a
    // link to reach it.
    char* resolved = ::realpath(folderOf(target).c_str(), nullptr);
    if (resolved == nullptr) return;
    const std::string folder = resolved;
    std::free(resolved);
    if (folder.empty() || folder[0] != '/' || folder.find('\n') != std::string::npos) return;
    State& s = state();
    const std::lock_guard<std::mutex> hold(s.mutex);
    forgetParentState(s);
    s.saveFolders.insert(folder);
    if (!locked || s.lockFd < 0 || s.notedFolders.count(folder) != 0) return;
    const std::string line = folder + "\n";
    struct stat st {};
    if (::fstat(s.lockFd, &st) != 0 || st.st_size + static_cast<off_t>(line.size()) > kMaxLockFileBytes) return;
    // One write per line: a kill cuts at most the last, unfinished one.
    if (::pwrite(s.lockFd, line.data(), line.size(), st.st_size) == static_cast<ssize_t>(line.size()))
        s.notedFolders.insert(folder);
}

std::optional<uint32_t> siblingOwner(const std::string& fileName) {
    std::string name = fileName;
    // The writer's hidden temporary of either file: "." + name + ".xxxxxxxx.tmp".
    constexpr size_t kHiddenTail = 13;
    if (name.size() > 1 + kHiddenTail && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0 &&
        name[name.size() - kHiddenTail] == '.' && allOf(name, name.size() - 12, 8, isTempLetter))
        name = name.substr(1, name.size() - 1 - kHiddenTail);
    const std::string physical = ".physical";
    if (name.size() > physical.size() && name.compare(name.size() - physical.size(), physical.size(), physical) == 0)
        name.resize(name.size() - physical.size());
    // The save temporary itself: "<stem>_temp<16 hex>.zem" and nothing else,
    // so that another program's file with a look-alike name is never ours.
    const std::string tail = "_temp";
    const std::string extension = ".zem";
    const size_t tailBytes = tail.size() + 16 + extension.size();
    if (name.size() <= tailBytes) return std::nullopt;
    const size_t at = name.size() - tailBytes;
    if (name.compare(at, tail.size(), tail) != 0 || !allOf(name, at + tail.size(), 16, isHex) ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        return std::nullopt;
    return parseTag(name, at + tail.size());
}

std::optional<uint32_t> temporaryOwner(const std::string& name) {
    const std::string prefix = kTemporaryPrefix;
    if (name.compare(0, prefix.size(), prefix) != 0 || !allOf(name, prefix.size(), kTagDigits, isHex))
        return std::nullopt;
    const std::string rest = name.substr(prefix.size() + kTagDigits);
    if (rest == kLockSuffix || (rest.size() > 1 && rest[0] == '-')) return parseTag(name, prefix.size());
    return std::nullopt;
}

size_t sweepLeftoversBeside(const std::string& target) {
    std::map<uint32_t, bool> goneCache;
    std::vector<int> held;
    const auto gone = [&](uint32_t owner) {
        const auto found = goneCache.find(owner);
        if (found != goneCache.end()) return found->second;
        const int fd = lockGoneOwner(owner);
        if (fd >= 0) held.push_back(fd);
        return goneCache[owner] = fd >= 0;
    };
    // The file just saved is the user's, whatever its name.
    std::optional<FileId> saved;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) saved = FileId{st.st_dev, st.st_ino};
    const size_t removed = removeOwned(openFolder(folderOf(target)), siblingOwner, gone, saved);
    // The locks stay: the next start removes the rest of those owners'.
    for (const int fd : held) ::close(fd);
    return removed;
}

size_t sweepLeftoversAtStart() {
    std::vector<uint32_t> owners;
    {
        const std::string folder = temporaryFolder();
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) return 0;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::optional<uint32_t> owner = temporaryOwner(name);
            if (owner && name.size() > 5 && name.compare(name.size() - 5, 5, kLockSuffix) == 0)
                owners.push_back(*owner);
        }
        ::closedir(dir);
    }
    size_t removed = 0;
    for (const uint32_t owner : owners) {
        const int fd = lockGoneOwner(owner);
        if (fd < 0) continue;
        removed += sweepOwner(owner, fd);
        // Removed while still held, so nobody takes the file meanwhile.
        if (::unlink(lockPathOf(owner).c_str()) == 0) ++removed;
        ::close(fd);
    }
    return removed;
}

// --- OpenFileMark ------------------------------------------------------------

OpenFileMark::OpenFileMark(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    // A sweep holds its exclusive lock only while it looks at the file and
    // removes it: wait that long, never for a lock somebody keeps.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            // Removed by that sweep meanwhile: nothing left to mark.
            if (::fstat(fd, &st) == 0 && st.st_nlink > 0) fd_ = fd;
            break;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (fd_ < 0) ::close(fd);
}

OpenFileMark::~OpenFileMark() {
    if (fd_ >= 0) ::close(fd_);
}

OpenFileMark::OpenFileMark(OpenFileMark&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OpenFileMark& OpenFileMark::operator=(OpenFileMark&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

// --- Termination signals ---------------------------------------------------------

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT};

std::mutex gWatchMutex;
pid_t gWatchingProcess = 0;  // guarded by gWatchMutex
// Read by the handler: set before it is installed, never changed while it is.
std::atomic<pid_t> gHandlerProcess{0};
std::atomic<int> gSignalWrite{-1};

// Async-signal-safe: one byte into the pipe the watcher reads. In a forked
// child, which has no watcher, the signal does what it would have done.
extern "C" void onTerminationSignal(int sig) {
    const int savedErrno = errno;
    if (::getpid() != gHandlerProcess.load()) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    } else {
        const unsigned char byte = static_cast<unsigned char>(sig);
        (void)!::write(gSignalWrite.load(), &byte, 1);
    }
    errno = savedErrno;
}

// Removes this instance's own files and ends the process by `sig`.
[[noreturn]] void endBySignal(int sig) {
    State& s = state();
    // Never released: nothing of this instance starts any more.
    s.mutex.lock();
    closeCreationGate();
    const auto mine = [](uint32_t owner) { return owner == selfId(); };
    if (s.owner == selfId()) {
        // A save under way loses its temporary here; its rename over the
        // target either happened before the gate closed or never happens.
        for (const std::string& folder : s.saveFolders)
            (void)removeOwned(openFolderWithoutLinks(folder), siblingOwner, mine);
    }
    (void)removeOwned(openFolder(temporaryFolder()), temporaryOwnerNotLock, mine);
    if (s.owner == selfId() && s.lockFd >= 0) (void)::unlink(s.lockPath.c_str());
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void watchSignals(int readEnd) {
    unsigned char sig = 0;
    for (;;) {
        const ssize_t got = ::read(readEnd, &sig, 1);
        if (got == 1) break;
        if (got < 0 && errno == EINTR) continue;
        return;
    }
    endBySignal(sig);
}

} // namespace

void cleanUpOnTerminationSignals() {
    const std::lock_guard<std::mutex> hold(gWatchMutex);
    if (gWatchingProcess == ::getpid()) return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    // A full pipe drops the byte: one is enough.
    (void)::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    try {
        std::thread(watchSignals, ends[0]).detach();
    } catch (const std::exception&) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    gWatchingProcess = ::getpid();
    gSignalWrite.store(ends[1]);
    gHandlerProcess.store(::getpid());
    for (const int sig : kTerminationSignals) {
        struct sigaction before {};
        // One the starter chose to ignore (nohup, a background job) stays so.
        if (::sigaction(sig, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(sig, &action, nullptr);
    }
}

} // namespace vt6::platform
