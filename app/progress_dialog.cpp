// The progress dialog's procedure: one small handler per message.
#include "app/progress_dialog.h"

#include "app/messages.h"
#include "app/system_libraries.h"
#include "res/resource.h"

std::int32_t g_cancelRequested = 0;
std::int32_t g_windowClosed = 0;

namespace {

// Returning TRUE lets the system put the focus on the first tab stop, the cancel button.
INT_PTR OnInitDialog() { return TRUE; }

// A close from outside ends the update: the worker sees the flag at its next check.
INT_PTR OnClose() {
    g_windowClosed = 1;
    DestroyWindow(g_progressDialog);
    g_progressDialog = nullptr;
    return TRUE;
}

// Only the cancel button cancels, and only after the user confirmed; Escape (IDCANCEL) does not.
INT_PTR OnCommand(HWND dialog, WORD id, WORD code) {
    if (id != IDC_ABORT || code != BN_CLICKED) return FALSE;
    if (g_cancelRequested) return TRUE;
    if (MessageBoxW(dialog, kCancelQuestionText, g_captionBuffer, kQuestionStyle) == IDYES) {
        g_cancelRequested = 1;
        if (HWND button = GetDlgItem(dialog, IDC_ABORT)) EnableWindow(button, FALSE);
    }
    return TRUE;
}

// Alt+F4 and every other close request is swallowed: the dialog ends with the update.
INT_PTR OnSysCommand(WPARAM command) { return (command & 0xFFF0) == SC_CLOSE ? TRUE : FALSE; }

}  // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return GuardProcedure<INT_PTR>(FALSE, [&]() -> INT_PTR {
        switch (message) {
        case WM_INITDIALOG: return OnInitDialog();
        case WM_CLOSE: return OnClose();
        case WM_COMMAND: return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
        case WM_SYSCOMMAND: return OnSysCommand(wParam);
        default: return FALSE;
        }
    });
}

HWND CreateProgressDialog(HINSTANCE instance) {
    // Without the class the creation fails, which start-up reports like any other failure.
    LoadProgressBarClass();
    return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
}
