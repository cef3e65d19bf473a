// The start-up sequence, in the order the steps run. One exit path: every outcome falls through
// to the closing of the mutex handles.
#include "app/startup.h"

#include "app/dialog_view.h"
#include "app/install_folder.h"
#include "app/messages.h"
#include "app/monitors.h"
#include "app/progress_dialog.h"
#include "support/text.h"
#include "update/worker.h"

namespace {

// Reports the update's result after the dialog is gone, so the box has no owner.
void ReportResult(UpdateResult result) {
    UINT style = 0;
    if (const wchar_t* text = ResultMessage(result, &style)) MessageBoxW(nullptr, text, g_captionBuffer, style);
}

// The update with the progress dialog around it: create, place, show, run, destroy, report.
int UpdateWithDialog(HINSTANCE instance, int showCommand, const char16_t* installFolder) {
    g_progressDialog = CreateProgressDialog(instance);
    if (!g_progressDialog) {
        ShowWarningMessage(kDialogFailedText);
        return kExitNoDialog;
    }
    CollectMonitors();
    SetWindowTextW(g_progressDialog, g_captionBuffer);
    CenterDialog(g_progressDialog);
    ShowWindow(g_progressDialog, showCommand);

    DialogView view;
    const UpdateResult result = RunUpdate(installFolder, view);
    // The dialog procedure destroys the dialog itself on WM_CLOSE and clears the handle.
    if (g_progressDialog) {
        DestroyWindow(g_progressDialog);
        g_progressDialog = nullptr;
    }
    ReportResult(result);
    FreeMonitorList();
    return static_cast<int>(result);
}

// Everything that runs while this process holds the game mutex.
int RunWithGameLocked(HINSTANCE instance, int showCommand) {
    char16_t installFolder[kPathUnits];
    if (!ReadInstalledFolder(installFolder, kBrand, kTitle)) {
        ShowWarningMessage(kNotInstalledText);
        return kExitNotInstalled;
    }
    if (MessageBoxW(nullptr, kConfirmText, g_captionBuffer, kQuestionStyle) != IDYES) return kExitDeclined;
    return UpdateWithDialog(instance, showCommand, installFolder);
}

}  // namespace

int RunPatcher(HINSTANCE instance, int showCommand) {
    // Both mutexes are created owned and held until the process ends; GetLastError tells whether
    // the name existed already (ERROR_ALREADY_EXISTS) or creation failed.
    SetLastError(ERROR_SUCCESS);
    HANDLE updaterMutex = CreateMutexA(nullptr, TRUE, kUpdaterMutexName);
    int exitCode = static_cast<int>(GetLastError());
    // Another patcher runs (or the mutex cannot be made): leave silently.
    if (exitCode == 0) {
        LoadCaption(g_captionBuffer);
        SetLastError(ERROR_SUCCESS);
        HANDLE gameMutex = CreateMutexA(nullptr, TRUE, kGameMutexName);
        if (GetLastError() != ERROR_SUCCESS) {
            ShowWarningMessage(kGameRunningText);
            exitCode = kExitGameRunning;
        } else {
            exitCode = RunWithGameLocked(instance, showCommand);
        }
        if (gameMutex) CloseHandle(gameMutex);
    }
    if (updaterMutex) CloseHandle(updaterMutex);
    return exitCode;
}
