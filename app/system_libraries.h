// Loading system libraries safely.
//
// The patcher runs elevated and is typically started from a download folder, where a planted DLL
// would run with administrator rights if Windows looked there first. So the executable imports
// only DLLs that Windows always takes from the system folder, and everything else is loaded here
// by an explicit path into that folder.
#pragma once

// Makes later library loads search the system folder only, where Windows offers that
// (SetDefaultDllDirectories: Windows 8, and Vista/7 with the security update KB2533623).
void RestrictDllSearchToSystemFolder();

// Loads comctl32.dll from the system folder and registers the progress bar class
// ("msctls_progress32").
void LoadProgressBarClass();
