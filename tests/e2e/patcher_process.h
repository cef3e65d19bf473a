// A patcher run seen from outside, the way a person at the screen meets it: its top-level windows
// as they appear, what they say, their buttons, and finally the process exit code.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

// Control IDs of the progress dialog.
inline constexpr int kAbortButton = 1000;
inline constexpr int kStatusText = 1001;
inline constexpr int kFileProgress = 1002;
inline constexpr int kTotalProgress = 1003;

enum class BoxIcon { None, Information, Warning, Question, Error, Unknown };
const char* IconName(BoxIcon icon);

// A message box as shown.
struct BoxView {
    std::wstring caption;
    std::wstring text;          // the static text control, ID 0xFFFF
    std::vector<int> buttons;   // push button IDs, sorted
    int defaultButton = 0;      // the button drawn as default (BS_DEFPUSHBUTTON), 0 when none
    int focusedButton = 0;      // the control that has the keyboard focus
    HWND owner = nullptr;
};

std::wstring WindowText(HWND window);
std::wstring WindowClass(HWND window);
// What a control of the dialog answers to the message (waiting at most 5 s), or -1 when it does not.
LRESULT Query(HWND dialog, int control, UINT message, WPARAM wParam);
BoxView ReadBox(HWND box, DWORD threadId);
// Which standard icon the box shows, by comparing its icon's pixels on the screen with the
// system's icons drawn here. Waits up to ten seconds for the box to be painted.
BoxIcon ReadBoxIcon(HWND box);
bool IsProgressDialog(HWND window);

// For PatcherProcess: the update stands still at its first entry until the test releases it.
inline constexpr bool kHoldAtFirstEntry = true;

class PatcherProcess {
public:
    // Starts exe with its own folder as working directory; no command line arguments. With hold, the
    // hook of e2e_hold.dll (beside the driver) is set on its thread first: the update then stops
    // where the progress dialog has just shown the first entry's name, before anything of it is
    // copied, until Release.
    explicit PatcherProcess(const std::filesystem::path& exe, bool hold = false);
    // Kills the process if it still runs, so that a failed test leaves no patcher (and no mutex).
    ~PatcherProcess();
    PatcherProcess(const PatcherProcess&) = delete;
    PatcherProcess& operator=(const PatcherProcess&) = delete;

    bool Started() const { return info_.hProcess != nullptr; }
    DWORD ThreadId() const { return info_.dwThreadId; }
    HANDLE Thread() const { return info_.hThread; }

    struct Event {
        enum Kind { Window, Exited, TimedOut } kind;
        HWND window = nullptr;
    };
    // The next top-level window of the process not reported before, a kept one first: the progress
    // dialog as soon as its controls exist, any other window (a message box) once it is visible and
    // its thread takes messages, so shown and focused. Exited when the process ended first. The
    // dialog comes and goes with the update: one that ends between two looks is never reported.
    Event Next(DWORD timeoutMs = 20000);
    // Gives a window back that was not the one waited for: Next reports it again, before new ones.
    void Keep(HWND window) { kept_.push_back(window); }
    // With hold: waits until the update stands at its first entry; false if it never got there.
    bool WaitHeld(DWORD timeoutMs = 20000);
    // Lets the held update go on: its next pump handles what was posted to the dialog meanwhile.
    void Release();
    DWORD ExitCode() const;

private:
    PROCESS_INFORMATION info_{};
    std::vector<HWND> seen_;
    std::vector<HWND> kept_;
    HANDLE held_ = nullptr;
    HANDLE go_ = nullptr;
    HHOOK hook_ = nullptr;
};

// A readable line about a window, for failure messages.
std::string Describe(HWND window);

}  // namespace e2e
