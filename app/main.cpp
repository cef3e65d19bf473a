// The patcher's entry point.
#include <windows.h>

#include "app/startup.h"
#include "app/system_libraries.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // Before anything can load a library: no DLL from the folder the patcher was started from.
    RestrictDllSearchToSystemFolder();
    return RunPatcher(instance, showCommand);
}
