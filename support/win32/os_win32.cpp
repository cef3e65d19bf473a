// The Win32 backend of the OS seam: each operation is the one kernel32 call the engine was designed
// around, with the flags it was designed with.
#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "support/ascii.h"
#include "support/os.h"
#include "support/win32/redirection_guard.h"

namespace os {

namespace {

// FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE: the files are streamed front to back.
constexpr DWORD kOpenFlags = 0x08000020;

HANDLE ToNative(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle FromNative(HANDLE h) { return reinterpret_cast<Handle>(h); }
LPCWSTR Wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

// A path as the wide calls take it. Near MAX_PATH characters and beyond, Windows takes a path only in
// its \\?\ form, which it uses as it stands (full, backslashes only), unless both the machine and
// the program opted in to long paths. Shorter paths pass unchanged.
class CallPath {
public:
    explicit CallPath(const char16_t* path) : path_(Wide(path)) {
        const bool device = path != nullptr && path[0] == u'\\' && path[1] == u'\\' &&
                            (path[2] == u'?' || path[2] == u'.');  // \\?\ or \\.\ already
        if (path == nullptr || device || lstrlenW(path_) < MAX_PATH - 12) return;
        const DWORD size = GetFullPathNameW(path_, 0, nullptr, nullptr);
        if (size == 0) return;
        std::wstring full(size, L'\0');
        const DWORD length = GetFullPathNameW(path_, size, full.data(), nullptr);
        if (length == 0 || length >= size) return;
        full.resize(length);
        extended_ = full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
        path_ = extended_.c_str();
    }
    operator LPCWSTR() const { return path_; }

private:
    LPCWSTR path_;
    std::wstring extended_;
};

// --- the guarded folder ---
//
// Windows' redirection guard (EnableRedirectionGuard) refuses junctions that a user made, but only
// from Windows 10 22H2 on, and only junctions; Wine accepts the call and guards nothing. So the
// backend checks every path below the guarded folder itself, on every system: each folder on the
// way is opened without following a link (FILE_FLAG_OPEN_REPARSE_POINT), looked at through its
// handle and held open without delete sharing until the call is done, so that it cannot be renamed
// or swapped between the check and the call. A link there is refused unless an administrator owns
// it. The final component is opened without following a link too, and acted on through that handle
// where the call allows it.

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// Read access is what makes the missing delete sharing count: a handle with attribute access only
// does not stop a rename.
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNameSurrogate = 0x20000000;  // the reparse tag bit of links (IsReparseTagNameSurrogate)

HANDLE OpenAt(const char16_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return CreateFileW(CallPath(path), access, share, nullptr, disposition, flags, nullptr);
}

// What a handle opened with FILE_FLAG_OPEN_REPARSE_POINT stands on.
enum class Entry {
    Plain,
    Link,        // a junction, symbolic link or mount point: the name leads somewhere else
    OtherReparse // a file or folder that keeps its data through a filter (compressed, deduplicated, cloud)
};

Entry Describe(HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) {
        if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return Entry::Plain;
        return (tag.ReparseTag & kNameSurrogate) != 0 ? Entry::Link : Entry::OtherReparse;
    }
    // A file system without tags: any reparse point counts as a link.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return Entry::Link;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Entry::Link : Entry::Plain;
}

// Whether the object's owner is Administrators, SYSTEM or TrustedInstaller: the links the redirection
// guard follows. h needs READ_CONTROL.
bool OwnedByAdministrators(HANDLE h) {
    // NT SERVICE\TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
    static const struct {
        BYTE revision = SID_REVISION;
        BYTE count = 6;
        SID_IDENTIFIER_AUTHORITY authority = {SECURITY_NT_AUTHORITY};
        DWORD sub[6] = {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u};
    } trustedInstaller;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                              IsWellKnownSid(owner, WinLocalSystemSid) ||
                                              EqualSid(owner, const_cast<void*>(static_cast<const void*>(&trustedInstaller))));
    LocalFree(descriptor);
    return trusted;
}

// The object's own path (NT form, long names), empty when the file system cannot tell.
std::wstring FinalPath(HANDLE h) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
        if (n == 0) return {};
        if (n < path.size()) return path.substr(0, n);
        path.resize(n);
    }
}

// Whether child names an entry of the folder parent. Windows names an object opened without following
// a link by its own place, so this holds there by construction; Wine follows a Unix symbolic link
// whatever the flags and names the object where the link led, which this catches.
bool DirectlyIn(const std::wstring& child, const std::wstring& parent) {
    if (child.empty() || parent.empty()) return true;  // not told: the handle checks decide
    std::size_t start = parent.size();
    if (parent.back() != L'\\') {
        if (child.size() <= start || child[start] != L'\\') return false;
        ++start;
    }
    return child.size() > start &&
           CompareStringOrdinal(child.data(), static_cast<int>(parent.size()), parent.data(),
                                static_cast<int>(parent.size()), TRUE) == CSTR_EQUAL &&
           child.find(L'\\', start) == std::wstring::npos;
}

// One call's path below the guarded folder: the folders on its way checked and held open until the
// call is done. Paths outside the guarded folder are not looked at (Below() is false).
class GuardedPath {
public:
    GuardedPath(const std::u16string& folder, const char16_t* path) {
        const std::size_t n = folder.size();
        if (n == 0 || path == nullptr) return;
        std::u16string full(path);
        if (full.size() <= n ||
            CompareStringOrdinal(Wide(full.c_str()), static_cast<int>(n), Wide(folder.c_str()), static_cast<int>(n),
                                 TRUE) != CSTR_EQUAL ||
            (!IsPathSeparator(folder.back()) && !IsPathSeparator(full[n]))) {
            return;
        }
        below_ = true;
        // The folder itself, as given, is trusted, and followed wherever it leads.
        if ((error_ = Hold(full.substr(0, n), true)) != 0) return;
        std::size_t i = n;
        for (;;) {
            while (i < full.size() && IsPathSeparator(full[i])) ++i;
            const std::size_t start = i;
            while (i < full.size() && !IsPathSeparator(full[i])) ++i;
            if (i == full.size()) break;  // the final component: the call's own business
            const std::u16string name = full.substr(start, i - start);
            if (name == u"..") {
                error_ = ERROR_INVALID_NAME;
                return;
            }
            if (name != u"." && (error_ = Hold(full.substr(0, i), false)) != 0) return;
        }
    }
    ~GuardedPath() {
        for (HANDLE h : held_) CloseHandle(h);
    }
    GuardedPath(const GuardedPath&) = delete;
    GuardedPath& operator=(const GuardedPath&) = delete;

    bool Below() const { return below_; }
    // 0, or why the call must not go on (kErrorUntrustedLink, or what opening a folder failed with).
    DWORD Error() const { return error_; }
    // Whether a handle opened on the final component without following a link is an entry of the
    // last folder held.
    bool Holds(HANDLE h) const { return DirectlyIn(FinalPath(h), parent_); }

private:
    DWORD Hold(const std::u16string& folder, bool trusted) {
        const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (trusted ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
        HANDLE h = OpenAt(folder.c_str(), kFolderAccess, kFolderShare, OPEN_EXISTING, flags);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            return code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code;
        }
        held_.push_back(h);
        std::wstring at = FinalPath(h);
        if (!trusted) {
            if (!DirectlyIn(at, parent_)) return kErrorUntrustedLink;
            const Entry entry = Describe(h);
            if (entry == Entry::Link && !OwnedByAdministrators(h)) return kErrorUntrustedLink;
            if (entry != Entry::Plain) {
                // Followed; the link itself stays held, so it cannot be swapped while its target is used.
                HANDLE target = OpenAt(folder.c_str(), kFolderAccess, kFolderShare, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS);
                if (target == INVALID_HANDLE_VALUE) return GetLastError();
                held_.push_back(target);
                at = FinalPath(target);
            }
        }
        parent_ = at;
        return 0;
    }

    std::vector<HANDLE> held_;
    std::wstring parent_;
    DWORD error_ = 0;
    bool below_ = false;
};

// Fails a call with code as its last error.
bool Refuse(DWORD code) {
    SetLastError(code);
    return false;
}

class Win32Api final : public Api {
public:
    Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error);
    }

    Handle OpenWrite(const char16_t* path, bool keepContents, std::uint32_t* error) override {
        return Open(path, GENERIC_WRITE, 0, keepContents ? OPEN_ALWAYS : CREATE_ALWAYS, error);
    }

    Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        return Open(path, GENERIC_WRITE, 0, CREATE_NEW, error);
    }

    void GuardFolder(const char16_t* folder) override { guarded_ = folder != nullptr ? folder : u""; }

    bool Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = ReadFile(ToNative(h), buffer, count, &n, nullptr);
        *done = n;
        return ok != FALSE;
    }

    bool Write(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = WriteFile(ToNative(h), buffer, count, &n, nullptr);
        *done = n;
        return ok != FALSE;
    }

    bool Seek(Handle h, std::int32_t position) override {
        return SetFilePointer(ToNative(h), position, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
    }

    std::uint32_t GetSize(Handle h) override { return GetFileSize(ToNative(h), nullptr); }

    bool Flush(Handle h) override { return FlushFileBuffers(ToNative(h)) != FALSE; }

    void Close(Handle h) override { CloseHandle(ToNative(h)); }

    const std::uint8_t* MapRead(Handle h, std::uint32_t offset, std::uint32_t size, std::uint32_t* error) override {
        HANDLE mapping = CreateFileMappingW(ToNative(h), nullptr, PAGE_READONLY, 0, 0, nullptr);
        void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, offset, size) : nullptr;
        if (mapping != nullptr) CloseKeepingError(mapping);  // the view keeps the mapping
        if (view == nullptr && error != nullptr) *error = GetLastError();
        return static_cast<const std::uint8_t*>(view);
    }

    bool Unmap(const std::uint8_t* view, std::uint32_t) override { return UnmapViewOfFile(view) != FALSE; }

    std::uint32_t GetAttributes(const char16_t* path) override {
        // GetFileAttributesW never follows a link at the final component.
        GuardedPath guarded(guarded_, path);
        if (guarded.Error() != 0) return Refuse(guarded.Error()), kInvalidAttributes;
        return GetFileAttributesW(CallPath(path));
    }

    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        GuardedPath guarded(guarded_, path);
        if (guarded.Error() != 0) return Refuse(guarded.Error());
        if (!guarded.Below()) return SetFileAttributesW(CallPath(path), attributes) != FALSE;
        // On the entry itself, never on what a link there leads to.
        FILE_BASIC_INFO info{};  // zero times: unchanged
        info.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
        return SetEntryInformation(guarded, path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                   FILE_FLAG_BACKUP_SEMANTICS, FileBasicInfo, &info, sizeof info);
    }

    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        GuardedPath source(guarded_, from);
        GuardedPath target(guarded_, to);
        DWORD refused = source.Error() != 0 ? source.Error() : target.Error();
        if (refused == 0 && source.Below()) {
            // A link at the source is renamed as itself on Windows; Wine would move what it leads to.
            HANDLE h = OpenAt(from, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
            if (h != INVALID_HANDLE_VALUE) {
                if (!source.Holds(h)) refused = kErrorUntrustedLink;
                CloseHandle(h);
            }
        }
        // MoveFileExW replaces a link at the target as itself.
        if (refused == 0 && MoveFileExW(CallPath(from), CallPath(to), MOVEFILE_REPLACE_EXISTING) != FALSE) return true;
        if (refused != 0) Refuse(refused);
        if (error != nullptr) *error = GetLastError();
        return false;
    }

    bool RemoveFile(const char16_t* path) override {
        GuardedPath guarded(guarded_, path);
        if (guarded.Error() != 0) return Refuse(guarded.Error());
        if (!guarded.Below()) return DeleteFileW(CallPath(path)) != FALSE;
        // Opened as DeleteFileW opens it (a folder is refused), without following a link there, and
        // deleted through the handle: the link itself goes, never its target.
        FILE_DISPOSITION_INFO dispose{TRUE};
        return SetEntryInformation(guarded, path, DELETE | FILE_READ_ATTRIBUTES, 0, FileDispositionInfo, &dispose,
                                   sizeof dispose);
    }

    void Wait(std::uint32_t milliseconds) override { Sleep(milliseconds); }

    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        if (buffer == nullptr || capacity == 0) return 0;
        DWORD n = GetModuleFileNameW(nullptr, reinterpret_cast<LPWSTR>(buffer), capacity);
        // Older systems (and Wine) leave a truncated path unterminated.
        if (n >= capacity) buffer[capacity - 1] = 0;
        return n;
    }

    int MultiToWide(std::uint32_t codePage, const char* text, char16_t* out, int capacity) override {
        if (text == nullptr) return 0;
        return MultiByteToWideChar(codePage, 0, text, -1, reinterpret_cast<LPWSTR>(out), capacity);
    }

    int WideToMulti(std::uint32_t codePage, const char16_t* text, char* out, int capacity) override {
        if (text == nullptr) return 0;
        return WideCharToMultiByte(codePage, 0, Wide(text), -1, out, capacity, nullptr, nullptr);
    }

    std::uint32_t LastError() override { return GetLastError(); }

private:
    // Closes a handle keeping the thread's last error.
    static void CloseKeepingError(HANDLE h) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        SetLastError(code);
    }

    // Sets information on the entry at path below the guarded folder through a handle opened on it
    // without following a link there, when the entry is the one the walk held the folder of.
    static bool SetEntryInformation(const GuardedPath& guarded, const char16_t* path, DWORD access, DWORD flags,
                                    FILE_INFO_BY_HANDLE_CLASS kind, void* information, DWORD size) {
        HANDLE h = OpenAt(path, access | SYNCHRONIZE, kShareAll, OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool done = guarded.Holds(h) ? SetFileInformationByHandle(h, kind, information, size) != FALSE
                                           : Refuse(kErrorUntrustedLink);
        CloseKeepingError(h);
        return done;
    }

    // CreateFileW, and below the guarded folder: the folders on the way checked and held, the final
    // component opened without following a link. A link there is followed (opened again) only when an
    // administrator made it; a file kept by a filter (compressed, deduplicated, cloud) is opened again
    // normally, so the filter gives its data.
    Handle Open(const char16_t* path, DWORD access, DWORD share, DWORD disposition, std::uint32_t* error) {
        GuardedPath guarded(guarded_, path);
        HANDLE h = INVALID_HANDLE_VALUE;
        DWORD refused = guarded.Error();
        if (refused == 0 && !guarded.Below()) {
            h = OpenAt(path, access, share, disposition, kOpenFlags);
        } else if (refused == 0) {
            // CREATE_ALWAYS would overwrite a link itself: opened first, emptied once it is known plain.
            const DWORD first = disposition == CREATE_ALWAYS ? OPEN_ALWAYS : disposition;
            h = OpenAt(path, access, share, first, kOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT);
            const Entry entry = h == INVALID_HANDLE_VALUE ? Entry::Plain : Describe(h);
            if (h != INVALID_HANDLE_VALUE && !guarded.Holds(h)) {
                refused = kErrorUntrustedLink;
            } else if (entry == Entry::Link) {
                // The open handle keeps the link in place (no delete sharing) while its owner is read.
                HANDLE owner = OpenAt(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
                if (owner == INVALID_HANDLE_VALUE || !OwnedByAdministrators(owner)) refused = kErrorUntrustedLink;
                if (owner != INVALID_HANDLE_VALUE) CloseHandle(owner);
            }
            if (refused == 0 && entry != Entry::Plain) {
                // A reader's handle can stay open beside the new one and keep the name in place; a
                // writer's excludes a second one, so between the two the link is not held.
                HANDLE checked = h;
                if (access != GENERIC_READ) CloseHandle(checked);
                h = OpenAt(path, access, share, disposition, kOpenFlags);
                if (access == GENERIC_READ) CloseKeepingError(checked);
            } else if (refused == 0 && h != INVALID_HANDLE_VALUE && disposition == CREATE_ALWAYS && !SetEndOfFile(h)) {
                CloseKeepingError(h);
                h = INVALID_HANDLE_VALUE;
            }
        }
        if (refused != 0) {
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
            Refuse(refused);
        }
        if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = GetLastError();
        return FromNative(h);
    }

    std::u16string guarded_;
};

}  // namespace

Api& NativeApi() {
    static Win32Api api;
    return api;
}

std::string SystemErrorText(std::uint32_t code) {
    WCHAR text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             512, nullptr);
    // Without the line break and the full stop the system ends its sentence with.
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' || text[n - 1] == L'.')) --n;
    char utf8[1536];
    int bytes = n > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), utf8, sizeof utf8, nullptr, nullptr) : 0;
    return std::string(utf8, static_cast<std::size_t>(bytes > 0 ? bytes : 0));
}

bool EnableRedirectionGuard() {
    // SetProcessMitigationPolicy came with Windows 8 and the redirection trust policy with Windows 10
    // 22H2: older systems lack the call or refuse the policy.
    static_assert(ProcessRedirectionTrustPolicy == 16, "the policy's number in Microsoft's documentation");
    using SetPolicyFn = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetProcessMitigationPolicy") : nullptr;
    if (found == nullptr) return false;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;
    return reinterpret_cast<SetPolicyFn>(reinterpret_cast<void*>(found))(ProcessRedirectionTrustPolicy, &policy,
                                                                           sizeof policy) != FALSE;
}

// GetEnabledXStateFeatures came with Windows 7 SP1, so it is looked up: a system without it saves no
// AVX state.
VectorRegisters SavedVectorRegisters() {
    constexpr DWORD64 kAvx = 1u << 2;  // XSTATE_MASK_AVX: the upper halves of YMM
    // XSTATE_MASK_AVX512: opmask, the upper halves of ZMM0-15, ZMM16-31
    constexpr DWORD64 kAvx512 = (1u << 5) | (1u << 6) | (1u << 7);
    VectorRegisters saved;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC query = kernel != nullptr ? GetProcAddress(kernel, "GetEnabledXStateFeatures") : nullptr;
    if (query == nullptr) return saved;
    const DWORD64 features = reinterpret_cast<DWORD64(WINAPI*)()>(reinterpret_cast<void*>(query))();
    saved.avx = (features & kAvx) == kAvx;
    saved.avx512 = saved.avx && (features & kAvx512) == kAvx512;
    return saved;
}

}  // namespace os
