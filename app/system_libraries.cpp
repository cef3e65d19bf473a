// System libraries, loaded by path and resolved at run time.
#include "app/system_libraries.h"

#include <windows.h>
#include <commctrl.h>

namespace {

// FARPROC to the real signature; the detour through void(*)() keeps the cast warning-free.
template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto restrict = Resolve<SetDefaultDllDirectoriesFn>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (restrict) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void LoadProgressBarClass() {
    static const wchar_t kName[] = L"\\comctl32.dll";
    wchar_t path[MAX_PATH + sizeof kName / sizeof kName[0]];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    for (UINT i = 0; i < sizeof kName / sizeof kName[0]; ++i) path[length + i] = kName[i];

    // A full path: no search order is involved. The module stays loaded for the classes it registered.
    HMODULE comctl = LoadLibraryW(path);
    using InitExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    using InitFn = void(WINAPI*)();
    if (auto initEx = Resolve<InitExFn>(comctl, "InitCommonControlsEx")) {
        const INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
        initEx(&classes);
    } else if (auto init = Resolve<InitFn>(comctl, "InitCommonControls")) {
        init();
    }
}
