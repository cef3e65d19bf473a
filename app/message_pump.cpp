// The non-blocking message pump.
#include "app/message_pump.h"

#include <windows.h>

#include "app/progress_dialog.h"

int PumpOneMessage() {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return 0;
    // Thrown rather than returned so that one catch in PumpMessages ends the loop for it and
    // for anything else that escapes dispatching.
    if (message.message == WM_QUIT) throw 0;
    // Keyboard navigation of the dialog; the handle is null once the dialog is gone.
    if (g_progressDialog && IsDialogMessageA(g_progressDialog, &message)) return 1;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return 1;
}

int PumpMessages() {
    try {
        while (PumpOneMessage()) {
        }
    } catch (int) {
        return 1;
    } catch (...) {
        return 1;
    }
    return 0;
}
