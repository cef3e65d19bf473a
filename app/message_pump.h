// The message pump the update worker calls between units of work.
//
// There is no modal loop and no second thread: the worker keeps the progress dialog alive by
// draining the queue itself. The pump never waits for a message.
#pragma once

#include <windows.h>

#include <exception>

// The progress dialog's window, whose keyboard navigation the pump handles; null while none exists.
// Whoever destroys the dialog clears it.
extern HWND g_progressDialog;

// Removes and handles one message: nonzero when it did, 0 when the queue was empty.
// On WM_QUIT it throws the int 0 instead (the quit message is consumed). An exception that a window
// procedure handed over (below) is raised again here, after the system's call has returned.
int PumpOneMessage();

// Dispatches everything pending: 0 once the queue is empty, 1 when WM_QUIT came or any exception
// escaped while dispatching (the pumping then stops at once).
int PumpMessages();

// Window and dialog procedures run below user32's frames (DispatchMessage, IsDialogMessage, the
// dialog manager, a message box's modal loop). The i686 build unwinds with DWARF tables, which cannot
// cross those frames: an exception leaving a procedure would end the process there. So no exception
// leaves one: every procedure runs its body through GuardProcedure, which keeps the exception for the
// pump and answers `unhandled` to the system. The first kept exception wins; the pump raises it at
// its next message, wherever the procedure was called from.
void KeepProcedureException(std::exception_ptr exception) noexcept;

template <typename Result, typename Body>
Result GuardProcedure(Result unhandled, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        KeepProcedureException(std::current_exception());
        return unhandled;
    }
}
