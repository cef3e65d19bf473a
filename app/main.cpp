// The patcher's entry point.
#include <windows.h>

#include "app/startup.h"
#include "app/system_libraries.h"
#include "support/os.h"
#include "support/text.h"
#include "support/win32/redirection_guard.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // Before anything can load a library: no DLL from the folder the patcher was started from.
    RestrictDllSearchToSystemFolder();
    // No junction a user planted is followed, wherever it is (on the systems that have the guard).
    os::EnableRedirectionGuard();
    // The patch itself stays as it was started until the run ends: held with read sharing only, it
    // can be neither renamed nor replaced while the confirmation waits. The worker opens it again
    // for reading, which this handle allows.
    char16_t self[kPathUnits];
    std::uint32_t error = 0;
    os::Api& api = os::NativeApi();
    const os::Handle held = api.GetModulePath(self, kPathUnits) != 0 ? api.OpenRead(self, &error) : os::kInvalidHandle;
    const int exitCode = RunPatcher(instance, showCommand);
    if (held != os::kInvalidHandle) api.Close(held);
    return exitCode;
}
