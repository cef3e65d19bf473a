// The non-blocking message pump.
#include "app/message_pump.h"

#include <utility>

HWND g_progressDialog = nullptr;

namespace {

// What a window procedure threw, waiting for the pump; null when nothing is waiting.
std::exception_ptr g_keptException;

void RaiseKeptException() {
    if (g_keptException) std::rethrow_exception(std::exchange(g_keptException, nullptr));
}

}  // namespace

void KeepProcedureException(std::exception_ptr exception) noexcept {
    if (!g_keptException) g_keptException = std::move(exception);
}

int PumpOneMessage() {
    // Thrown by a procedure that the system called outside the pump (a SendMessage, a window call
    // of start-up): it ends the pumping like one thrown during dispatch.
    RaiseKeptException();
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return 0;
    // Thrown rather than returned so that one catch in PumpMessages ends the loop for it and
    // for anything else that escapes dispatching.
    if (message.message == WM_QUIT) throw 0;
    // Keyboard navigation of the dialog; the handle is null once the dialog is gone.
    if (!g_progressDialog || !IsDialogMessageA(g_progressDialog, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    RaiseKeptException();
    return 1;
}

int PumpMessages() {
    try {
        while (PumpOneMessage()) continue;
    } catch (...) {  // the int of WM_QUIT, or anything that escaped dispatching
        return 1;
    }
    return 0;
}
