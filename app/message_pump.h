// The message pump the update worker calls between units of work.
//
// There is no modal loop and no second thread: the worker keeps the progress dialog alive by
// draining the queue itself. The pump never waits for a message.
#pragma once

// Removes and handles one message: nonzero when it did, 0 when the queue was empty.
// On WM_QUIT it throws the int 0 instead (the quit message is consumed).
int PumpOneMessage();

// Dispatches everything pending: 0 once the queue is empty, 1 when WM_QUIT came or any exception
// escaped while dispatching (the pumping then stops at once).
int PumpMessages();
