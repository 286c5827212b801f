#include "platform/leftovers.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_temp_file.hpp"

namespace vt6::platform {

namespace {

constexpr const char* kTemporaryPrefix = "zem-rivir-";
constexpr const char* kLockSuffix = ".lock";
constexpr size_t kTagDigits = 8;
// A lock file is a list of folders; more than this is not one of ours.
constexpr off_t kMaxLockFileBytes = off_t{1} << 20;

std::mutex gLockMutex;
int gLockFd = -1;
uint32_t gLockOwner = 0;
std::string gLockPath;
std::set<std::string> gNotedFolders;

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
// parent's and stays with it.
void forgetParentLock() {
    if (gLockFd < 0 || gLockOwner == selfId()) return;
    ::close(gLockFd);
    gLockFd = -1;
    gLockPath.clear();
    gNotedFolders.clear();
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

// Removes the regular files of this user in `folder` whose name `ownerOf`
// attributes to an owner for which `gone` holds.
size_t removeOwned(const std::string& folder, const std::function<std::optional<uint32_t>(const std::string&)>& ownerOf,
                   const std::function<bool(uint32_t)>& gone) {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
        if (!owner || !gone(*owner)) continue;
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        doomed.push_back(name);
    }
    size_t removed = 0;
    for (const std::string& name : doomed)
        if (::unlinkat(dirFd, name.c_str(), 0) == 0) ++removed;
    ::closedir(dir);
    return removed;
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
        if (done.insert(folder).second) removed += removeOwned(folder, siblingOwner, isOwner);
    removed += removeOwned(
        temporaryFolder(),
        [](const std::string& name) -> std::optional<uint32_t> {
            // The lock file goes last, by its caller.
            if (name.size() > std::string(kLockSuffix).size() &&
                name.compare(name.size() - 5, 5, kLockSuffix) == 0)
                return std::nullopt;
            return temporaryOwner(name);
        },
        isOwner);
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
    const std::lock_guard<std::mutex> hold(gLockMutex);
    forgetParentLock();
    if (gLockFd >= 0) return true;
    const std::string path = lockPathOf(selfId());
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        // A sweeper may hold a dead predecessor's file with this id while it
        // removes it: wait for it, then make sure the name is still this file.
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        struct stat held {};
        struct stat named {};
        if (rc != 0 || ::fstat(fd, &held) != 0) {
            ::close(fd);
            return false;
        }
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
        gLockFd = fd;
        gLockOwner = selfId();
        gLockPath = path;
        gNotedFolders.clear();
        return true;
    }
    return false;
}

void releaseInstanceLock() noexcept {
    const std::lock_guard<std::mutex> hold(gLockMutex);
    forgetParentLock();
    if (gLockFd < 0) return;
    (void)::unlink(gLockPath.c_str());
    ::close(gLockFd);
    gLockFd = -1;
    gLockPath.clear();
    gNotedFolders.clear();
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
    if (!holdInstanceLock()) return;
    std::string folder = folderOf(target);
    if (folder.empty() || folder[0] != '/' || folder.find('\n') != std::string::npos) return;
    const std::lock_guard<std::mutex> hold(gLockMutex);
    forgetParentLock();
    if (gLockFd < 0 || gNotedFolders.count(folder) != 0) return;
    const std::string line = folder + "\n";
    struct stat st {};
    if (::fstat(gLockFd, &st) != 0 || st.st_size + static_cast<off_t>(line.size()) > kMaxLockFileBytes) return;
    // One write per line: a kill cuts at most the last, unfinished one.
    if (::pwrite(gLockFd, line.data(), line.size(), st.st_size) == static_cast<ssize_t>(line.size()))
        gNotedFolders.insert(folder);
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
    for (size_t at = name.rfind("_temp"); at != std::string::npos && at > 0; at = name.rfind("_temp", at - 1)) {
        const size_t digits = at + 5;
        if (!allOf(name, digits, 16, isHex)) continue;
        const std::string rest = name.substr(digits + 16);
        if (!rest.empty() && (rest[0] != '.' || rest.size() < 2 || rest.find('.', 1) != std::string::npos)) continue;
        return parseTag(name, digits);
    }
    return std::nullopt;
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
    const size_t removed = removeOwned(folderOf(target), siblingOwner, gone);
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

} // namespace vt6::platform
