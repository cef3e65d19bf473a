// The Win32 backend of the OS seam: each operation is the one kernel32 call the engine was designed
// around, with the flags it was designed with.
#include <windows.h>

#include <string>

#include "support/os.h"

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

class Win32Api final : public Api {
public:
    Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        HANDLE h = CreateFileW(CallPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
        if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = GetLastError();
        return FromNative(h);
    }

    Handle OpenWrite(const char16_t* path, bool keepContents, std::uint32_t* error) override {
        HANDLE h = CreateFileW(CallPath(path), GENERIC_WRITE, 0, nullptr, keepContents ? OPEN_ALWAYS : CREATE_ALWAYS,
                               kOpenFlags, nullptr);
        if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = GetLastError();
        return FromNative(h);
    }

    Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        HANDLE h = CreateFileW(CallPath(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, kOpenFlags, nullptr);
        if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = GetLastError();
        return FromNative(h);
    }

    void GuardFolder(const char16_t*) override {}

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
        const DWORD code = view == nullptr ? GetLastError() : 0;
        if (mapping != nullptr) CloseHandle(mapping);  // the view keeps the mapping
        if (view == nullptr) {
            SetLastError(code);
            if (error != nullptr) *error = code;
        }
        return static_cast<const std::uint8_t*>(view);
    }

    bool Unmap(const std::uint8_t* view, std::uint32_t) override { return UnmapViewOfFile(view) != FALSE; }

    std::uint32_t GetAttributes(const char16_t* path) override { return GetFileAttributesW(CallPath(path)); }

    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        return SetFileAttributesW(CallPath(path), attributes) != FALSE;
    }

    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        if (MoveFileExW(CallPath(from), CallPath(to), MOVEFILE_REPLACE_EXISTING) != FALSE) return true;
        if (error != nullptr) *error = GetLastError();
        return false;
    }

    bool RemoveFile(const char16_t* path) override { return DeleteFileW(CallPath(path)) != FALSE; }

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
};

}  // namespace

Api& NativeApi() {
    static Win32Api api;
    return api;
}

std::string ErrorText(std::uint32_t code) {
    WCHAR text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             512, nullptr);
    // Without the line break and the full stop the system ends its sentence with.
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' || text[n - 1] == L'.')) --n;
    if (n == 0) return "error " + std::to_string(code);
    char utf8[1536];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), utf8, sizeof utf8, nullptr, nullptr);
    return bytes > 0 ? std::string(utf8, static_cast<std::size_t>(bytes)) : "error " + std::to_string(code);
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
