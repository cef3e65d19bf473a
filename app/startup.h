// The patcher's whole run outside the update itself.
#pragma once

#include <windows.h>

inline constexpr char kUpdaterMutexName[] = "Updater for Velmora is executing.";
inline constexpr char kGameMutexName[] = "Quillmark for Velmora is executing.";

// Exit codes of the start-up failures. After an update ran, the exit code is its UpdateResult;
// a second patcher exits with the error that creating the updater mutex gave (183, already
// exists), which none of these can be.
inline constexpr int kExitNotInstalled = -1;
inline constexpr int kExitGameRunning = -2;
inline constexpr int kExitDeclined = -3;
inline constexpr int kExitNoDialog = -4;

// Checks that neither another patcher nor the game runs, finds the install folder, asks, shows the
// progress dialog around the update, reports the result and returns the exit code.
int RunPatcher(HINSTANCE instance, int showCommand);
