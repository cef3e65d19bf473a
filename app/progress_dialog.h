// The progress dialog: its global state and its dialog procedure.
//
// The dialog is modeless and lives on the program's only thread; it runs only inside the message
// pump that the update worker calls between units of work. User actions become two flags that the
// worker reads: they are set once and never cleared.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/message_pump.h"  // g_progressDialog, the dialog's window

// 1 once the user confirmed the cancel question.
extern std::int32_t g_cancelRequested;
// 1 once the dialog received WM_CLOSE, or the pump met WM_QUIT.
extern std::int32_t g_windowClosed;

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Creates the progress dialog hidden, from its template, with no parent. Makes the progress bar
// class available first. Null when creation failed.
HWND CreateProgressDialog(HINSTANCE instance);
