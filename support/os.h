// The one seam between the portable engine and the operating system.
//
// Everything `update/` and `support/` ask of the OS goes through `os::Api`: the file calls behind
// CFileDX, the few file-system calls of the worker and the list rewrites, the own module path and the
// code-page conversions. Two backends implement it, each in its own folder and picked by CMake:
// win32/ (the calls players get) and posix/ (Linux, written to behave like the Win32 one).
//
// The interface speaks the engine's language, not an OS's flags. Tests can put a wrapper in front of
// the real backend (`os::SetApi`) that counts the calls of a run and fails a chosen one.
//
// This header never includes a system header.
#pragma once

#include <cstdint>
#include <string>

namespace os {

// An open file. On Win32 it is the HANDLE's value, on POSIX the descriptor.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Attribute bits, with the Win32 values.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFFu;
// What a failed size query gives (GetFileSize's INVALID_FILE_SIZE).
inline constexpr std::uint32_t kInvalidSize = 0xFFFFFFFFu;

// Error codes as Win32 numbers; the POSIX backend translates errno into these once, at its edge.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorWriteFault = 29;
inline constexpr std::uint32_t kErrorReadFault = 30;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorNegativeSeek = 131;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFileExists = 80;
// A path went through a link that another user made (ERROR_UNTRUSTED_MOUNT_POINT, the code Windows'
// redirection guard gives): see Api::GuardFolder.
inline constexpr std::uint32_t kErrorUntrustedLink = 448;

// What a mapped view's offset must be a multiple of (Windows' allocation granularity).
inline constexpr std::uint32_t kMapAlignment = 0x10000;

// Code pages as Win32 identifiers.
inline constexpr std::uint32_t kCodePage932 = 932;
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// Paths are zero-terminated UTF-16 strings. Backslashes and slashes both separate components.
class Api {
public:
    virtual ~Api() = default;

    // --- files (the calls behind CFileDX) ---

    // Opens an existing file for reading, shared for reading, sequential-scan hint.
    // Returns kInvalidHandle on failure and stores the OS error code in *error.
    virtual Handle OpenRead(const char16_t* path, std::uint32_t* error) = 0;
    // Opens for writing with no sharing: keepContents true opens or creates keeping what is there
    // (OPEN_ALWAYS), false creates or truncates (CREATE_ALWAYS). A read-only file is refused.
    virtual Handle OpenWrite(const char16_t* path, bool keepContents, std::uint32_t* error) = 0;
    // Creates a file that must not exist yet, for writing with no sharing (CREATE_NEW; O_CREAT|O_EXCL).
    // Anything already at path, a link or a dangling link included, fails it with kErrorFileExists;
    // a link there is never followed.
    virtual Handle CreateNew(const char16_t* path, std::uint32_t* error) = 0;
    // One read/write call. Returns false when the call fails; *done is what the OS reports.
    virtual bool Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    virtual bool Write(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    // Moves to an absolute position given as a signed 32-bit value; negative positions fail.
    virtual bool Seek(Handle h, std::int32_t position) = 0;
    // The low 32 bits of the file size, kInvalidSize when the call fails.
    virtual std::uint32_t GetSize(Handle h) = 0;
    // Pushes what was written to the disk.
    virtual bool Flush(Handle h) = 0;
    virtual void Close(Handle h) = 0;
    // Maps size bytes of the open file from offset (a multiple of kMapAlignment) for reading, for
    // the kit's comparisons of whole releases, which would otherwise copy gigabytes. The view stays
    // until Unmap, whatever happens to the handle. nullptr on failure, with the OS error code in
    // *error.
    virtual const std::uint8_t* MapRead(Handle h, std::uint32_t offset, std::uint32_t size, std::uint32_t* error) = 0;
    // Ends a view MapRead gave. False when some of its bytes could not be read (the file shrank
    // under it, or the disk failed): what the view showed there was zeros, not the file.
    virtual bool Unmap(const std::uint8_t* view, std::uint32_t size) = 0;

    // --- file system ---

    // Guards a folder that other users may write to (the install folder, run as administrator or
    // root): until the next call (nullptr ends it), every path call on a path below folder refuses to
    // go through a link at any component below it, the final one included, unless the link was made
    // by an administrator (Windows: owned by Administrators, SYSTEM or TrustedInstaller, the rule of
    // Windows' redirection guard) or, on POSIX, by root or by the user this process runs as. A refused
    // call fails as the OS fails it, with kErrorUntrustedLink. The folder itself, as given, is trusted.
    // GetAttributes, RemoveFile and the target of ReplaceByRename see a link at the final component
    // as itself (removed or replaced, never its target). Not an OS call: wrappers pass it on.
    virtual void GuardFolder(const char16_t* folder) = 0;

    // The attribute bits of a file or folder, kInvalidAttributes when it does not exist.
    virtual std::uint32_t GetAttributes(const char16_t* path) = 0;
    // Sets attributes; only kAttrReadOnly has a meaning besides kAttrNormal.
    virtual bool SetAttributes(const char16_t* path, std::uint32_t attributes) = 0;
    // Moves a file over another, replacing it (MoveFileExW with MOVEFILE_REPLACE_EXISTING).
    // Fails when the source is missing or the target is read-only or a folder, or (Windows) while
    // another program holds either file open without delete sharing; stores the OS error code in
    // *error when error is not null. The POSIX backend never reports a busy code (see IsBusyError):
    // Linux has no mandatory locks, so nothing there goes away by waiting.
    virtual bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error = nullptr) = 0;
    // Deletes a file; fails for a missing or read-only file.
    virtual bool RemoveFile(const char16_t* path) = 0;
    // Blocks the thread for about the given time (Sleep). Used only between tries of a rename.
    virtual void Wait(std::uint32_t milliseconds) = 0;
    // The path of the running executable, truncated and terminated to fit; returns its length
    // (0 on failure), like GetModuleFileNameW.
    virtual std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) = 0;

    // --- code-page conversions (MultiByteToWideChar / WideCharToMultiByte with flags 0) ---

    // Converts a zero-terminated string, terminator included. With capacity 0 returns the number of
    // units needed (terminator counted); otherwise converts and returns the count written, or 0 when
    // it does not fit or the code page is unknown. Invalid input is substituted, never refused.
    virtual int MultiToWide(std::uint32_t codePage, const char* text, char16_t* out, int capacity) = 0;
    virtual int WideToMulti(std::uint32_t codePage, const char16_t* text, char* out, int capacity) = 0;

    // The OS error code of the last call on this thread that failed (GetLastError). Only meaningful
    // straight after a call that reported failure.
    virtual std::uint32_t LastError() = 0;
};

// The system's own words for an error code, in UTF-8 ("No space left on device"); "error N" when
// the system has none.
std::string ErrorText(std::uint32_t code);
// The same from the backend; empty when the system has no words for it.
std::string SystemErrorText(std::uint32_t code);

// Which register sets wider than SSE's the OS saves across thread switches, and so lets a program use:
// the 256-bit AVX registers, the 512-bit AVX-512 ones with their mask registers. This is the OS's own
// answer (on Windows GetEnabledXStateFeatures, on Linux the XCR0 the kernel set); whether the CPU has
// the instructions is a separate question. Both false on other CPUs.
struct VectorRegisters {
    bool avx = false;
    bool avx512 = false;
};
VectorRegisters SavedVectorRegisters();

// True for the codes a rename fails with while another program (a virus scanner, an indexer, a
// backup tool) has one of the files open for a moment: a sharing or lock violation, or access denied,
// which Windows also gives while a deleted file's last handle is still open.
inline bool IsBusyError(std::uint32_t error) {
    return error == kErrorSharingViolation || error == kErrorLockViolation || error == kErrorAccessDenied;
}

// The waits, in milliseconds, between the tries of ReplaceHeldFile: about one second in all.
inline constexpr std::uint32_t kBusyWaits[] = {20, 40, 60, 80, 100, 150, 200, 350};

// ReplaceByRename on the current backend, tried again after each of kBusyWaits while it fails with a
// busy code. Any other failure, or the last try failing, is returned at once with its code. Nothing
// else runs during the waits (the dialog is not pumped), so no cancel lands in the middle of a commit.
bool ReplaceHeldFile(const char16_t* from, const char16_t* to, std::uint32_t* error = nullptr);

// The backend chosen by the build (Win32 or POSIX).
Api& NativeApi();
// What the engine calls: the native backend unless a test put another in front of it.
Api& Current();
// Replaces the backend; nullptr goes back to the native one. Returns the previous one.
Api* SetApi(Api* api);

// Guards a folder on the current backend for the life of this object (see Api::GuardFolder).
class FolderGuard {
public:
    explicit FolderGuard(const char16_t* folder) { Current().GuardFolder(folder); }
    ~FolderGuard() { Current().GuardFolder(nullptr); }
    FolderGuard(const FolderGuard&) = delete;
    FolderGuard& operator=(const FolderGuard&) = delete;
};

}  // namespace os
