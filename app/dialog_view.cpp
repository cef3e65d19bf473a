// ProgressView over the progress dialog, its controls and the message pump.
#include "app/dialog_view.h"

#include <commctrl.h>

#include "app/message_pump.h"
#include "app/progress_dialog.h"
#include "res/resource.h"

namespace {

void SendIfPresent(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    if (control) SendMessageA(control, message, wParam, lParam);
}

}  // namespace

DialogView::DialogView()
    : status_(GetDlgItem(g_progressDialog, IDC_STATUS)),
      fileProgress_(GetDlgItem(g_progressDialog, IDC_FILE_PROGRESS)),
      totalProgress_(GetDlgItem(g_progressDialog, IDC_TOTAL_PROGRESS)) {}

void DialogView::SetStatus(const char16_t* text) {
    if (status_) SetWindowTextW(status_, reinterpret_cast<LPCWSTR>(text));
}

void DialogView::SetFileRange(std::uint32_t low, std::uint32_t high) {
    SendIfPresent(fileProgress_, PBM_SETRANGE32, low, high);
}

void DialogView::SetFilePos(std::uint32_t pos) { SendIfPresent(fileProgress_, PBM_SETPOS, pos, 0); }

void DialogView::SetTotalRange(std::uint32_t low, std::uint32_t high) {
    SendIfPresent(totalProgress_, PBM_SETRANGE32, low, high);
}

void DialogView::SetTotalPos(std::uint32_t pos) { SendIfPresent(totalProgress_, PBM_SETPOS, pos, 0); }

int DialogView::PumpMessages() { return ::PumpMessages(); }

bool DialogView::CancelRequested() const { return g_cancelRequested != 0; }

bool DialogView::WindowClosed() const { return g_windowClosed != 0; }

void DialogView::SetWindowClosed() { g_windowClosed = 1; }
