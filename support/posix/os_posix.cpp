// The POSIX backend of the OS seam: Linux made to behave like the Win32 calls the engine was written
// for, so that the engine and its tests run the same on both.
//
// What Windows does and this file reproduces:
// - '\' separates path components like '/'.
// - Names are found without regard to ASCII case: when the exact path does not exist, each component
//   is looked up case-insensitively in its folder.
// - The read-only attribute is the file's owner write permission, and it is honoured even for root:
//   a read-only file cannot be opened for writing, replaced by a rename or deleted.
// - errno is translated once, here, into the Win32 error numbers of os.h.
// - A guarded folder (GuardFolder) is walked one component at a time from a descriptor of the folder,
//   never following a link at any component below it unless root or this process's user made it, as
//   Windows' redirection guard refuses links that no administrator made.
// What it does not reproduce: share modes (Linux has no mandatory locks, so a file open for writing
// can still be opened, renamed or deleted by others); archive/hidden/system attributes (every file
// reports FILE_ATTRIBUTE_ARCHIVE, 0x20, as a freshly created Windows file does, and a folder only
// FILE_ATTRIBUTE_DIRECTORY; the read-only bit of a folder is not kept, since on Linux it would stop
// files being created in it); drive letters and UNC names.
#include <dirent.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/ascii.h"
#include "support/os.h"
#include "support/posix/codepage_posix.h"

namespace os {

namespace {

constexpr std::uint32_t kAttrArchive = 0x20;
constexpr std::uint32_t kAttrReparsePoint = 0x400;  // what Windows reports for a link
// Win32 numbers not needed outside this file.
constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
constexpr std::uint32_t kErrorGenFailure = 31;

// errno values and the Win32 codes they translate into. Read backwards, the first errno given for a
// code names it in ErrorText.
constexpr struct {
    int error;
    std::uint32_t code;
} kErrnoCodes[] = {
    {ENOENT, kErrorFileNotFound}, {ENOENT, kErrorPathNotFound}, {ENOTDIR, kErrorPathNotFound},
    {ENAMETOOLONG, kErrorPathNotFound}, {ELOOP, kErrorPathNotFound},
    {EACCES, kErrorAccessDenied}, {EPERM, kErrorAccessDenied}, {EROFS, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied}, {EBADF, kErrorInvalidHandle}, {ENOMEM, kErrorNotEnoughMemory},
    {EMFILE, kErrorTooManyOpenFiles}, {ENFILE, kErrorTooManyOpenFiles},
    {ENOSPC, kErrorDiskFull}, {EDQUOT, kErrorDiskFull}, {EFBIG, kErrorDiskFull},
    {EEXIST, kErrorAlreadyExists}, {EEXIST, kErrorFileExists}, {EINVAL, kErrorInvalidParameter}, {EINVAL, kErrorNegativeSeek},
    {EBUSY, kErrorSharingViolation}, {ETXTBSY, kErrorSharingViolation}, {EIO, kErrorWriteFault},
};

std::uint32_t TranslateErrno(int error, const std::string& path) {
    if (error == ENOENT) {
        // Windows tells a missing folder on the way from a missing file.
        std::string::size_type slash = path.rfind('/');
        if (slash == std::string::npos) return kErrorFileNotFound;
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        struct stat st;
        return (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? kErrorFileNotFound : kErrorPathNotFound;
    }
    for (const auto& known : kErrnoCodes)
        if (known.error == error) return known.code;
    return kErrorGenFailure;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// The entry of the folder at (folder relative to the descriptor at) whose name equals name but for
// ASCII case; empty when there is none. When several differ only in case, the first the folder lists
// wins.
std::string FindIgnoringCase(int at, const char* folder, const std::string& name) {
    const int fd = openat(at, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0) close(fd);
        return {};
    }
    const dirent* entry = readdir(dir);
    while (entry != nullptr && !EqualIgnoringAsciiCase(entry->d_name, name)) entry = readdir(dir);
    std::string found = entry != nullptr ? entry->d_name : "";
    closedir(dir);
    return found;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The given path in UTF-8 with '/' separators.
std::string Slashed(const char16_t* path) {
    std::string given = posix::Utf16ToUtf8(path);
    std::replace(given.begin(), given.end(), '\\', '/');
    return given;
}

// The components of a path with '/' separators, in order, empty ones left out.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i <= path.size();) {
        const std::size_t end = std::min(path.find('/', i), path.size());
        if (end > i) parts.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

// The Linux path that a Windows path names: UTF-8, '/' separators, and each component that does
// not exist as spelt replaced by an existing entry that differs only in ASCII case. Components from
// the first one that matches nothing on are kept as given (so a new file keeps its spelling).
std::string ResolvePath(std::string given) {
    if (given.empty() || Exists(given)) return given;

    std::string resolved = given[0] == '/' ? "/" : "";
    bool searching = true;
    for (const std::string& component : Components(given)) {
        if (!resolved.empty() && resolved.back() != '/') resolved += '/';
        std::string candidate = resolved + component;
        if (searching && component != "." && component != ".." && !Exists(candidate)) {
            std::string match = FindIgnoringCase(AT_FDCWD, resolved.empty() ? "." : resolved.c_str(), component);
            if (match.empty())
                searching = false;
            else
                candidate = resolved + match;
        }
        resolved = std::move(candidate);
    }
    return resolved;
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

int Descriptor(Handle h) { return (h < 0 || h > INT_MAX) ? -1 : static_cast<int>(h); }

// The code of the last call that failed, as GetLastError keeps it.
thread_local std::uint32_t g_lastError = 0;

// A failed call: keeps the code (in *error too when given) and gives false.
bool Fail(std::uint32_t code, std::uint32_t* error = nullptr) {
    g_lastError = code;
    if (error != nullptr) *error = code;
    return false;
}

// The folder GuardFolder named, in UTF-8 and ending in one '/'; empty while none is guarded.
std::mutex g_guardLock;
std::string g_guard;

// A link that may be followed in a guarded folder: root or this process's user made it.
bool Trusted(const struct stat& link) { return link.st_uid == 0 || link.st_uid == geteuid(); }

// How many links one path may go through, as Linux allows (ELOOP beyond).
constexpr int kMaxLinks = 40;

// Pushes the components of path onto a stack whose back is the next one to walk.
void PushComponents(const std::string& path, std::vector<std::string>& left) {
    std::vector<std::string> parts = Components(path);
    std::erase(parts, ".");
    left.insert(left.end(), parts.rbegin(), parts.rend());
}

// Where a path call acts: a folder and a name in it. Outside a guarded folder that is the working
// folder and the whole resolved path, and the call follows links as Linux does. Below a guarded
// folder the folder is a descriptor reached from the guarded one without going through an untrusted
// link (trusted ones are read and walked like the rest), and the call follows no link.
class Place {
public:
    Place() = default;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
        if (dir_ >= 0) close(dir_);
    }

    int Dir() const { return dir_; }
    const char* Name() const { return name_.c_str(); }
    bool Guarded() const { return guarded_; }
    int StatNoFollow() const { return guarded_ ? AT_SYMLINK_NOFOLLOW : 0; }

    // The Win32 code of an errno from a call on this place.
    std::uint32_t Translate(int error) const {
        if (!guarded_) return TranslateErrno(error, name_);
        if (error == ENOENT) return kErrorFileNotFound;  // the folder is there: it is open
        if (error == ELOOP) return kErrorUntrustedLink;  // a link put there after the walk looked
        return TranslateErrno(error, {});
    }

    // fstatat on this place; false, with the code kept (in *error too when given), when it fails.
    bool Stat(struct stat& st, int flags, std::uint32_t* error = nullptr) const {
        return fstatat(dir_, Name(), &st, flags) == 0 || Fail(Translate(errno), error);
    }

    // Opens what is at this place, following no link when guarded and retrying an interrupted open;
    // -1, with the code kept (in *error too when given), when it fails.
    int Open(int flags, std::uint32_t* error = nullptr) const {
        int fd;
        do {
            fd = openat(dir_, Name(), flags | (guarded_ ? O_NOFOLLOW : 0) | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) Fail(Translate(errno), error);
        return fd;
    }

    // Finds the folder and the name of path, following a link at the final component too when
    // followLast is true (a trusted one; an untrusted one is refused). False, with the code kept
    // (in *error too when given), when the path cannot be walked.
    bool Find(const char16_t* path, bool followLast, std::uint32_t* error) {
        const std::string given = Slashed(path);
        const std::string guard = [] {
            std::lock_guard<std::mutex> lock(g_guardLock);
            return g_guard;
        }();
        if (guard.empty() || given.size() <= guard.size() ||
            !EqualIgnoringAsciiCase(guard, given.substr(0, guard.size()))) {
            name_ = ResolvePath(given);
            return !name_.empty() || Fail(kErrorPathNotFound, error);
        }
        guarded_ = true;
        // The guarded folder as the path spells it, trusted with whatever links lead to it.
        const std::string folder = ResolvePath(given.substr(0, guard.size()));
        dir_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) return Fail(errno == ENOENT ? kErrorPathNotFound : TranslateErrno(errno, folder), error);
        std::vector<std::string> left;
        PushComponents(given.substr(guard.size()), left);
        int links = 0;
        name_ = ".";
        while (!left.empty()) {
            std::string part = std::move(left.back());
            left.pop_back();
            const bool last = left.empty();
            if (part == "..") {
                if (!Enter(part, error)) return false;
                continue;
            }
            struct stat st;
            bool found = fstatat(dir_, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
            if (!found && errno == ENOENT) {
                std::string match = FindIgnoringCase(dir_, ".", part);
                if (!match.empty()) {
                    part = std::move(match);
                    found = fstatat(dir_, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
                }
            }
            if (last && (!found || !S_ISLNK(st.st_mode) || !followLast)) {
                name_ = std::move(part);  // what is not there is the call's to create or to miss
                return true;
            }
            if (!found) return Fail(errno == ENOENT ? kErrorPathNotFound : TranslateErrno(errno, {}), error);
            if (S_ISLNK(st.st_mode)) {
                if (!Follow(part, left, links, error)) return false;
            } else if (!S_ISDIR(st.st_mode) || !Enter(part, error)) {
                return Fail(kErrorPathNotFound, error);
            }
        }
        return true;
    }

private:
    // Goes into the subfolder part of the folder walked so far ("/" goes to the root), not through a
    // link.
    bool Enter(const std::string& part, std::uint32_t* error) {
        const int next = openat(dir_, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return Fail(kErrorPathNotFound, error);
        close(dir_);
        dir_ = next;
        return true;
    }

    // Puts what the link part says in front of the components left, when a trusted user made it.
    // The link is looked at through a descriptor of its own, so the link checked is the link read.
    bool Follow(const std::string& part, std::vector<std::string>& left, int& links, std::uint32_t* error) {
        const int link = openat(dir_, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link < 0) return Fail(kErrorPathNotFound, error);
        struct stat st;
        std::string target(PATH_MAX, '\0');
        ssize_t length = -1;
        const bool trusted = fstat(link, &st) == 0 && S_ISLNK(st.st_mode) && Trusted(st);
        if (trusted) length = readlinkat(link, "", target.data(), target.size());
        close(link);
        if (!trusted) return Fail(kErrorUntrustedLink, error);
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size() || ++links > kMaxLinks)
            return Fail(kErrorPathNotFound, error);
        target.resize(static_cast<std::size_t>(length));
        if (target[0] == '/' && !Enter("/", error)) return false;
        PushComponents(target, left);
        return true;
    }

    int dir_ = AT_FDCWD;
    std::string name_;
    bool guarded_ = false;
};

// Opens the file at path for streaming (see Place::Find for followLast); -1 when it fails.
int OpenFile(const char16_t* path, bool followLast, int flags, std::uint32_t* error) {
    Place place;
    const int fd = place.Find(path, followLast, error) ? place.Open(flags, error) : -1;
    if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// ReadFile and WriteFile on a disk file move everything asked for in one call (a read stops only at
// the end of the file), so short and interrupted transfers are continued here. A call that moves
// nothing ends it: the end of the file for a read, a full disk to WriteFile for a write.
template <typename Byte, typename Call>
bool TransferAll(Handle h, Byte* buffer, std::uint32_t count, std::uint32_t* done, bool reading, Call call) {
    *done = 0;
    int fd = Descriptor(h);
    if (fd < 0) return Fail(kErrorInvalidHandle);
    if (buffer == nullptr && count > 0) return Fail(kErrorInvalidParameter);
    while (*done < count) {
        ssize_t n = call(fd, buffer + *done, std::min<std::size_t>(count - *done, 1u << 30));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(TranslateErrno(errno, {}));
        if (n == 0) return reading || Fail(kErrorDiskFull);
        *done += static_cast<std::uint32_t>(n);
    }
    return true;
}

// Starts the disk write of the bytes just written, without waiting for it: the data is on its way
// while the caller makes the next chunk, and the flush before a commit waits only for the rest.
// Only a hint; the flush reports what failed.
void StartWriteBack(int fd, std::uint32_t written) {
    const off_t end = written > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    if (end >= static_cast<off_t>(written)) sync_file_range(fd, end - written, written, SYNC_FILE_RANGE_WRITE);
}

// The views MapRead gave, for the SIGBUS a read of one raises when its file shrank under it (Linux
// takes the pages beyond the new end away): the handler puts a page of zeros in place of the missing
// one and marks the view, so the reader goes on and Unmap says the view was not the file. Windows
// refuses to shrink a mapped file, so there the question does not come up.
struct MappedView {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> damaged{false};
};
MappedView g_views[64];
constexpr std::uintptr_t kClaimed = 1;  // a slot being filled in
struct sigaction g_previousBusAction;
std::size_t g_pageSize = 4096;

void OnBusError(int, siginfo_t* info, void*) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (MappedView& view : g_views) {
        const std::uintptr_t start = view.start.load();
        if (start <= kClaimed || at < start || at - start >= view.size.load()) continue;
        void* page = reinterpret_cast<void*>(at & ~(g_pageSize - 1));
        if (mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            view.damaged = true;
            return;
        }
    }
    // Not a view's: the fault is what it was, handled as before.
    sigaction(SIGBUS, &g_previousBusAction, nullptr);
}

void WatchViews() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        struct sigaction action = {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previousBusAction);
    });
}

// Closes a descriptor whose open must not stand, and fails the open with code.
Handle Refuse(int fd, std::uint32_t code, std::uint32_t* error) {
    close(fd);
    Fail(code, error);
    return kInvalidHandle;
}

class PosixApi final : public Api {
public:
    Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        const int fd = OpenFile(path, true, O_RDONLY, error);
        if (fd < 0) return kInvalidHandle;
        struct stat st;
        // Windows does not open a folder as a file.
        if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return Refuse(fd, kErrorAccessDenied, error);
        return fd;
    }

    Handle OpenWrite(const char16_t* path, bool keepContents, std::uint32_t* error) override {
        const int fd = OpenFile(path, true, O_WRONLY | O_CREAT, error);
        if (fd < 0) return kInvalidHandle;
        struct stat st;
        // Checked here because root may write to any file; Windows refuses read-only ones to all.
        if (fstat(fd, &st) != 0 || IsReadOnly(st)) return Refuse(fd, kErrorAccessDenied, error);
        if (!keepContents && ftruncate(fd, 0) != 0) return Refuse(fd, TranslateErrno(errno, {}), error);
        return fd;
    }

    Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        // O_EXCL with O_CREAT never follows a link at the final component: one there fails as EEXIST.
        const int fd = OpenFile(path, false, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, error);
        if (fd < 0 && g_lastError == kErrorAlreadyExists) Fail(kErrorFileExists, error);
        return fd < 0 ? kInvalidHandle : fd;
    }

    void GuardFolder(const char16_t* folder) override {
        std::string guard = folder != nullptr ? Slashed(folder) : std::string();
        while (!guard.empty() && guard.back() == '/') guard.pop_back();
        if (folder != nullptr && folder[0] != 0) guard += '/';
        std::lock_guard<std::mutex> lock(g_guardLock);
        g_guard = std::move(guard);
    }

    bool Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        return TransferAll(h, static_cast<unsigned char*>(buffer), count, done, true, ::read);
    }

    bool Write(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (!TransferAll(h, static_cast<const unsigned char*>(buffer), count, done, false, ::write)) return false;
        StartWriteBack(Descriptor(h), *done);
        return true;
    }

    bool Seek(Handle h, std::int32_t position) override {
        int fd = Descriptor(h);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        if (position < 0) return Fail(kErrorNegativeSeek);
        return lseek(fd, position, SEEK_SET) == static_cast<off_t>(position) || Fail(TranslateErrno(errno, {}));
    }

    std::uint32_t GetSize(Handle h) override {
        struct stat st;
        // An invalid handle fails here as EBADF, which is ERROR_INVALID_HANDLE.
        if (fstat(Descriptor(h), &st) != 0) return Fail(TranslateErrno(errno, {})), kInvalidSize;
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size) & 0xFFFFFFFFu);
    }

    bool Flush(Handle h) override {
        int fd = Descriptor(h);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        // FlushFileBuffers refuses a handle without write access; fsync would not.
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return Fail(kErrorAccessDenied);
        return fsync(fd) == 0 || Fail(TranslateErrno(errno, {}));
    }

    void Close(Handle h) override {
        int fd = Descriptor(h);
        if (fd >= 0) close(fd);  // no retry on EINTR: the descriptor is released either way on Linux
    }

    const std::uint8_t* MapRead(Handle h, std::uint32_t offset, std::uint32_t size, std::uint32_t* error) override {
        const int fd = Descriptor(h);
        if (fd < 0) return Fail(kErrorInvalidHandle, error), nullptr;
        if (size == 0 || offset % kMapAlignment != 0) return Fail(kErrorInvalidParameter, error), nullptr;
        WatchViews();
        void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, offset);
        if (view == MAP_FAILED) return Fail(TranslateErrno(errno, {}), error), nullptr;
        for (MappedView& slot : g_views) {
            std::uintptr_t expected = 0;
            if (!slot.start.compare_exchange_strong(expected, kClaimed)) continue;
            slot.size = size;
            slot.damaged = false;
            slot.start = reinterpret_cast<std::uintptr_t>(view);
            return static_cast<const std::uint8_t*>(view);
        }
        munmap(view, size);
        return Fail(kErrorNotEnoughMemory, error), nullptr;
    }

    bool Unmap(const std::uint8_t* view, std::uint32_t size) override {
        bool intact = true;
        for (MappedView& slot : g_views) {
            if (slot.start.load() != reinterpret_cast<std::uintptr_t>(view)) continue;
            intact = !slot.damaged.load();
            slot.start = 0;
        }
        munmap(const_cast<std::uint8_t*>(view), size);
        return intact || Fail(kErrorReadFault);
    }

    std::uint32_t GetAttributes(const char16_t* path) override {
        Place place;
        struct stat st;
        if (!place.Find(path, false, nullptr) || !place.Stat(st, place.StatNoFollow())) return kInvalidAttributes;
        if (S_ISDIR(st.st_mode)) return kAttrDirectory;
        if (S_ISLNK(st.st_mode)) return kAttrArchive | kAttrReparsePoint;  // a link in a guarded folder
        return kAttrArchive | (IsReadOnly(st) ? kAttrReadOnly : 0);
    }

    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        Place place;
        if (!place.Find(path, true, nullptr)) return false;
        // Changed through a descriptor of the file itself: nothing put in its place after the walk
        // looked is changed instead.
        const int fd = place.Open(O_PATH);
        if (fd < 0) return false;
        struct stat st;
        std::uint32_t failure = fstat(fd, &st) == 0 ? 0 : place.Translate(errno);
        if (failure == 0 && S_ISLNK(st.st_mode)) {
            failure = kErrorUntrustedLink;
        } else if (failure == 0 && !S_ISDIR(st.st_mode)) {
            // A read-only folder on Windows still takes new files; write permission on Linux would not.
            mode_t mode = st.st_mode & 07777;
            if (attributes & kAttrReadOnly)
                mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
            else
                mode |= S_IWUSR;
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            if (chmod(place.Guarded() ? self.c_str() : place.Name(), mode) != 0) failure = place.Translate(errno);
        }
        close(fd);
        return failure == 0 || Fail(failure);
    }

    // Never reports a busy code: a refusal here does not go away by waiting, so the codes Windows
    // would give for it (access denied for a read-only or folder target) are not used.
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        Place source, target;
        struct stat st;
        if (!source.Find(from, false, error) || !target.Find(to, false, error)) return false;
        if (!source.Stat(st, AT_SYMLINK_NOFOLLOW, error)) return false;
        if (fstatat(target.Dir(), target.Name(), &st, target.StatNoFollow()) == 0 &&
            (S_ISDIR(st.st_mode) || IsReadOnly(st)))
            return Fail(kErrorAlreadyExists, error);
        if (renameat(source.Dir(), source.Name(), target.Dir(), target.Name()) == 0) return true;
        std::uint32_t code = target.Translate(errno);
        return Fail(IsBusyError(code) ? kErrorGenFailure : code, error);
    }

    bool RemoveFile(const char16_t* path) override {
        Place place;
        struct stat st;
        if (!place.Find(path, false, nullptr) || !place.Stat(st, AT_SYMLINK_NOFOLLOW)) return false;
        if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnly(st))) return Fail(kErrorAccessDenied);
        return unlinkat(place.Dir(), place.Name(), 0) == 0 || Fail(place.Translate(errno));
    }

    void Wait(std::uint32_t milliseconds) override {
        struct timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) continue;
    }

    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        if (buffer == nullptr || capacity == 0) return 0;
        std::vector<char> link(4096);
        ssize_t n = readlink("/proc/self/exe", link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return 0;
        std::u16string wide = posix::Utf8ToUtf16(std::string(link.data(), static_cast<std::size_t>(n)));
        // Too long: truncated and terminated, and the capacity returned, as GetModuleFileNameW does.
        std::size_t length = wide.copy(buffer, capacity - 1);
        buffer[length] = 0;
        return wide.size() < capacity ? static_cast<std::uint32_t>(length) : capacity;
    }

    int MultiToWide(std::uint32_t codePage, const char* text, char16_t* out, int capacity) override {
        return posix::MultiToWide(codePage, text, out, capacity);
    }
    int WideToMulti(std::uint32_t codePage, const char16_t* text, char* out, int capacity) override {
        return posix::WideToMulti(codePage, text, out, capacity);
    }

    std::uint32_t LastError() override { return g_lastError; }
};

}  // namespace

Api& NativeApi() {
    static PosixApi api;
    return api;
}

// The Linux words for what the code's errno said: the translation above, read backwards.
std::string SystemErrorText(std::uint32_t code) {
    for (const auto& known : kErrnoCodes)
        if (known.code == code) return std::strerror(known.error);
    return {};
}

// The kernel puts the register sets it saves into XCR0; XGETBV reads it once the CPU says the OS
// turned XSAVE on.
VectorRegisters SavedVectorRegisters() {
    VectorRegisters saved;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return saved;
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    saved.avx = (low & 0x06) == 0x06;                  // SSE, the upper halves of YMM
    saved.avx512 = saved.avx && (low & 0xE0) == 0xE0;  // opmask, the upper halves of ZMM0-15, ZMM16-31
#endif
    return saved;
}

}  // namespace os
