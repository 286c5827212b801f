#include "platform/write_file.hpp"

#include "platform/creation_gate.hpp"
#include "platform/file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vt6::platform {

namespace {

// Linux moves at most 0x7ffff000 bytes per write; asking for less keeps every
// request well inside ssize_t on any platform.
constexpr size_t kMaxWriteChunk = size_t{1} << 30;
// Symbolic links followed at most before the target counts as a loop, as the
// kernel's own limit.
constexpr int kMaxLinkHops = 40;
// Room left in a file name for the temporary's prefix and suffix.
constexpr size_t kMaxTemporaryBaseBytes = 200;

struct FaultState {
    bool armed = false;
    bool fired = false;
    WriteFaultCall call = WriteFaultCall::Write;
    int remaining = 0;
    int error = 0;
};

thread_local FaultState tFault;

// True (with errno set) when the armed fault takes this call.
bool faultTakes(WriteFaultCall call) noexcept {
    if (!tFault.armed || tFault.fired || tFault.call != call) return false;
    if (--tFault.remaining > 0) return false;
    tFault.fired = true;
    errno = tFault.error;
    return true;
}

ssize_t doWrite(int fd, const uint8_t* data, size_t size) noexcept {
    if (faultTakes(WriteFaultCall::Write)) return -1;
    return ::write(fd, data, size);
}

ssize_t doPwrite(int fd, const uint8_t* data, size_t size, off_t offset) noexcept {
    if (faultTakes(WriteFaultCall::Write)) return -1;
    return ::pwrite(fd, data, size, offset);
}

int doFsync(int fd) noexcept {
    if (faultTakes(WriteFaultCall::Sync)) return -1;
    return ::fsync(fd);
}

int doRename(const char* from, const char* to) noexcept {
    if (faultTakes(WriteFaultCall::Rename)) return -1;
    const CreationScope creating;
    return ::rename(from, to);
}

std::string osReason(int err) {
    return std::error_code(err, std::generic_category()).message();
}

WriteStatus failure(WriteStep step, int err, std::string message, std::string reason = {}) {
    if (reason.empty() && err != 0) reason = osReason(err);
    return WriteStatus{step, err, std::move(message), std::move(reason)};
}

bool isValidPath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos && isValidUtf8(path);
}

// The folder part of a path ("" for a bare name) and the name part.
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "an unknown kind of file";
}

struct Target {
    std::string path;  // links followed
    bool exists = false;
    unsigned mode = 0;
};

// Follows symbolic links from `path` to the name that will be replaced, and
// looks at what is there without opening it.
WriteStatus resolveTarget(const std::string& path, Target& out) {
    std::string at = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT) {
                out = Target{at, false, 0};
                return {};
            }
            return failure(WriteStep::Open, err, "cannot create '" + path + "': " + osReason(err));
        }
        if (S_ISLNK(st.st_mode)) {
            std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
            const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
            if (n < 0 || static_cast<size_t>(n) >= link.size()) {
                const int err = n < 0 ? errno : ENAMETOOLONG;
                return failure(WriteStep::Target, err, "cannot follow the link '" + at + "': " + osReason(err));
            }
            link.resize(static_cast<size_t>(n));
            if (link.empty()) {
                return failure(WriteStep::Target, ENOENT, "the link '" + at + "' is empty", "a link on the way is empty");
            }
            const std::string folder = folderOf(at);
            at = (link[0] == '/' || folder.empty()) ? link : (folder == "/" ? "/" : folder + "/") + link;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            const std::string reason = std::string("it is ") + kindOf(st.st_mode) + ", not a regular file";
            return failure(WriteStep::Target, EINVAL, "'" + path + "' is " + kindOf(st.st_mode) +
                                                          ", not a regular file; it is left alone",
                           reason);
        }
        out = Target{at, true, static_cast<unsigned>(st.st_mode & 0777)};
        return {};
    }
    return failure(WriteStep::Target, ELOOP, "cannot follow '" + path + "': " + osReason(ELOOP));
}

// The leading bytes of `name`, at most `limit`, cut at a character boundary.
std::string utf8Prefix(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut);
}

std::string randomSuffix() {
    thread_local std::mt19937_64 engine{std::random_device{}() ^ (static_cast<uint64_t>(::getpid()) << 32)};
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out(8, 'x');
    for (char& c : out) c = kAlphabet[engine() % (sizeof kAlphabet - 1)];
    return out;
}

} // namespace

// --- OutputFile --------------------------------------------------------------

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

WriteStatus OutputFile::createNew(const std::string& path, unsigned mode) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_ = path;
    // A NUL inside the path would silently name a different file, and a path
    // that is not UTF-8 could be written but never opened again by the reader.
    if (!isValidPath(path)) return failure(WriteStep::Open, EINVAL, "cannot create '" + path + "': invalid path");
    int fd;
    do {
        const CreationScope creating;
        // O_EXCL with O_CREAT never follows a link at the path, and never
        // opens anything that is already there.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        return failure(WriteStep::Open, err, "cannot create '" + path + "': " + osReason(err));
    }
    fd_ = fd;
    return {};
}

WriteStatus OutputFile::writeAll(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return failure(WriteStep::Write, EBADF, "cannot write '" + path_ + "': file is not open");
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t want = std::min(bytes.size() - done, kMaxWriteChunk);
        const ssize_t n = doWrite(fd_, bytes.data() + done, want);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            return failure(WriteStep::Write, err,
                           "cannot write '" + path_ + "' (wrote " + std::to_string(done) + " of " +
                               std::to_string(bytes.size()) + " bytes): " + osReason(err));
        }
        if (n == 0) {
            // No progress and no error: retrying would spin forever.
            return failure(WriteStep::Write, 0,
                           "cannot write '" + path_ + "' (wrote " + std::to_string(done) + " of " +
                               std::to_string(bytes.size()) + " bytes): the system accepted no more");
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

WriteStatus OutputFile::writeAllAt(uint64_t offset, std::span<const uint8_t> bytes) {
    if (fd_ < 0) return failure(WriteStep::Write, EBADF, "cannot write '" + path_ + "': file is not open");
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t want = std::min(bytes.size() - done, kMaxWriteChunk);
        const ssize_t n = doPwrite(fd_, bytes.data() + done, want, static_cast<off_t>(offset + done));
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            return failure(WriteStep::Write, err,
                           "cannot write '" + path_ + "' at byte " + std::to_string(offset + done) + ": " +
                               osReason(err));
        }
        if (n == 0) {
            return failure(WriteStep::Write, 0,
                           "cannot write '" + path_ + "' at byte " + std::to_string(offset + done) +
                               ": the system accepted no more");
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

void OutputFile::startWriteback(uint64_t offset, uint64_t size) noexcept {
#ifdef __linux__
    if (fd_ >= 0) {
        (void)::sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(size), SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)offset;
    (void)size;
#endif
}

WriteStatus OutputFile::setPermissions(unsigned mode) {
    if (fd_ < 0) return failure(WriteStep::Sync, EBADF, "cannot set the permissions of '" + path_ + "': not open");
    if (::fchmod(fd_, static_cast<mode_t>(mode)) != 0) {
        const int err = errno;
        return failure(WriteStep::Sync, err, "cannot set the permissions of '" + path_ + "': " + osReason(err));
    }
    return {};
}

WriteStatus OutputFile::sync() {
    if (fd_ < 0) return failure(WriteStep::Sync, EBADF, "cannot sync '" + path_ + "': file is not open");
    int rc;
    do {
        rc = doFsync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        return failure(WriteStep::Sync, err, "cannot sync '" + path_ + "': " + osReason(err));
    }
    return {};
}

WriteStatus OutputFile::close() {
    if (fd_ < 0) return failure(WriteStep::Close, EBADF, "cannot close '" + path_ + "': file is not open");
    // Never retried: on Linux the descriptor is released even when close
    // reports EINTR, and a retry could close another thread's new descriptor.
    const int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0) {
        const int err = errno;
        return failure(WriteStep::Close, err, "cannot close '" + path_ + "': " + osReason(err));
    }
    return {};
}

// --- FileReplacement ---------------------------------------------------------

FileReplacement::~FileReplacement() { abandon(); }

WriteStatus FileReplacement::begin(const std::string& target) {
    abandon();
    if (!isValidPath(target)) return failure(WriteStep::Open, EINVAL, "cannot create '" + target + "': invalid path");
    Target resolved;
    WriteStatus status = resolveTarget(target, resolved);
    if (!status.ok()) return status;
    replaced_ = resolved.path;
    keepMode_ = resolved.exists;
    mode_ = resolved.mode;

    // The temporary is a hidden sibling, so that the rename stays within one
    // file system; a name taken by someone else is simply passed over.
    const std::string folder = folderOf(replaced_);
    const std::string prefix = (folder.empty() ? "" : (folder == "/" ? "/" : folder + "/")) + "." +
                               utf8Prefix(nameOf(replaced_), kMaxTemporaryBaseBytes) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = prefix + randomSuffix() + ".tmp";
        // An existing file's replacement stays private until its bits are set.
        status = file_.createNew(candidate, keepMode_ ? 0600 : 0666);
        if (status.ok()) {
            temporary_ = candidate;
            return {};
        }
        if (status.osError != EEXIST) break;
    }
    // The caller's path is the one the user knows.
    return failure(WriteStep::Open, status.osError,
                   "cannot create a new file beside '" + target + "': " + osReason(status.osError));
}

WriteStatus FileReplacement::write(std::span<const uint8_t> bytes) { return file_.writeAll(bytes); }

WriteStatus FileReplacement::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
    return file_.writeAllAt(offset, bytes);
}

WriteStatus FileReplacement::commit() {
    if (temporary_.empty() || !file_.isOpen()) {
        return failure(WriteStep::Write, EBADF, "nothing to commit for '" + replaced_ + "'");
    }
    WriteStatus status;
    if (keepMode_) status = file_.setPermissions(mode_);
    if (status.ok()) status = file_.sync();
    if (status.ok()) status = file_.close();
    if (!status.ok()) {
        abandon();
        return status;
    }
    if (doRename(temporary_.c_str(), replaced_.c_str()) != 0) {
        const int err = errno;
        abandon();
        return failure(WriteStep::Replace, err, "cannot rename the new file over '" + replaced_ + "': " + osReason(err));
    }
    temporary_.clear();

    // The rename is durable only once the folder is.
    const std::string folder = folderOf(replaced_);
    const std::string folderPath = folder.empty() ? "." : folder;
    int dirFd;
    do {
        dirFd = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (dirFd < 0 && errno == EINTR);
    if (dirFd < 0) {
        const int err = errno;
        return failure(WriteStep::SyncFolder, err, "cannot open the folder '" + folderPath + "': " + osReason(err));
    }
    int rc;
    do {
        rc = doFsync(dirFd);
    } while (rc != 0 && errno == EINTR);
    const int err = rc != 0 ? errno : 0;
    ::close(dirFd);
    if (rc != 0) {
        return failure(WriteStep::SyncFolder, err, "cannot sync the folder '" + folderPath + "': " + osReason(err));
    }
    return {};
}

void FileReplacement::abandon() noexcept {
    if (file_.isOpen()) (void)file_.close();
    if (!temporary_.empty()) {
        removeFile(temporary_);
        temporary_.clear();
    }
}

// --- free functions ----------------------------------------------------------

WriteStatus resolveReplaceTarget(const std::string& path, std::string& resolved) {
    if (!isValidPath(path)) return failure(WriteStep::Target, EINVAL, "cannot use '" + path + "': invalid path");
    Target target;
    WriteStatus status = resolveTarget(path, target);
    if (status.ok()) resolved = target.path;
    return status;
}

bool removeFile(const std::string& path) noexcept {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    return ::unlink(path.c_str()) == 0;
}

WriteStatus writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    FileReplacement replacement;
    WriteStatus status = replacement.begin(path);
    if (status.ok()) status = replacement.write(bytes);
    if (status.ok()) status = replacement.commit();
    return status;
}

ScopedWriteFault::ScopedWriteFault(WriteFaultCall call, int nth, int error) noexcept {
    tFault = FaultState{true, false, call, nth, error};
}

ScopedWriteFault::~ScopedWriteFault() { tFault = FaultState{}; }

bool ScopedWriteFault::fired() const noexcept { return tFault.fired; }

} // namespace vt6::platform
