// e2e_hold.dll: the hook that e2e_driver sets on a patcher's thread (WH_CALLWNDPROCRET) to hold its
// update where the progress dialog has just shown the first entry's name, before anything of it is
// copied. There it signals the event "patcher-e2e-held-<pid>" and waits for "patcher-e2e-go-<pid>",
// so the test can look at the dialog and post to it while nothing moves (see PatcherProcess).
#include <windows.h>

namespace {

constexpr int kStatusText = 1001;  // the progress dialog's status control

HANDLE OpenNamedEvent(const wchar_t* what) {
    wchar_t name[64];
    wsprintfW(name, L"patcher-e2e-%s-%lu", what, GetCurrentProcessId());
    return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK HoldAtFirstEntry(int code, WPARAM wParam, LPARAM lParam) {
    static bool held = false;
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && !held && call->message == WM_SETTEXT && GetDlgCtrlID(call->hwnd) == kStatusText) {
        held = true;
        HANDLE heldEvent = OpenNamedEvent(L"held");
        HANDLE go = OpenNamedEvent(L"go");
        // A driver that is gone does not keep the patcher forever.
        if (heldEvent && go && SetEvent(heldEvent)) WaitForSingleObject(go, 120000);
        if (heldEvent) CloseHandle(heldEvent);
        if (go) CloseHandle(go);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
