#include "demo.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "e2e_support.h"
#include "patcher_process.h"

namespace e2e {

namespace {

// UTF-8 to stdout, unchanged by the C run-time's text mode.
void Say(const std::string& line) {
    std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string ButtonName(int id) {
    switch (id) {
        case IDOK: return "OK";
        case IDYES: return "Yes";
        case IDNO: return "No";
        case IDCANCEL: return "Cancel";
    }
    return std::to_string(id);
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// Asks the watcher outside Wine for a picture of the window and waits until it is there.
void Screenshot(const std::filesystem::path& shots, const std::wstring& name, HWND window) {
    if (shots.empty()) return;
    RECT rect;
    GetWindowRect(window, &rect);
    std::filesystem::path request = shots / (name + L".request");
    std::filesystem::path picture = shots / (name + L".png");
    std::error_code ignored;
    std::filesystem::remove(picture, ignored);
    WriteAll(request, std::to_string(rect.right - rect.left) + "x" + std::to_string(rect.bottom - rect.top) + "+" +
                          std::to_string(rect.left) + "+" + std::to_string(rect.top) + "\n");
    for (int waited = 0; waited < 30000; waited += 20) {
        if (!std::filesystem::exists(request) && std::filesystem::exists(picture)) {
            Say("  screenshot: " + ToUtf8(name) + ".png");
            return;
        }
        Sleep(20);
    }
    Say("  screenshot " + ToUtf8(name) + " was not taken (no watcher?)");
    std::filesystem::remove(request, ignored);
}

// Tells what a box says and how it looks, and answers it with the given button.
void Answer(PatcherProcess& patcher, HWND box, int button, const std::filesystem::path& shots,
            const std::wstring& shotName) {
    BoxView view = ReadBox(box, patcher.ThreadId());
    BoxIcon icon = ReadBoxIcon(box);
    std::string buttons;
    for (int id : view.buttons) buttons += (buttons.empty() ? "" : "/") + ButtonName(id);
    Say("message box \"" + ToUtf8(view.caption) + "\": " + Show(view.text));
    Say("  " + std::string(IconName(icon)) + ", buttons " + buttons + ", default " + ButtonName(view.defaultButton));
    // Let it finish painting before the picture.
    Sleep(300);
    Screenshot(shots, shotName, box);
    Say("  pressing " + ButtonName(button));
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

// Watches the progress dialog until the first entry is well under way, then holds the patcher
// still for the picture.
void WatchProgress(PatcherProcess& patcher, HWND dialog, const std::filesystem::path& shots) {
    std::wstring status;
    for (DWORD start = GetTickCount(); status.empty() && IsWindow(dialog) && GetTickCount() - start < 20000;) {
        status = WindowText(GetDlgItem(dialog, 1001));
        Sleep(1);
    }
    // Past a third of the first entry, so both the status and the bar have something to show.
    LRESULT position = 0;
    while (IsWindow(dialog) && (position = Query(dialog, 1002, PBM_GETPOS, 0)) >= 0 && position < 22000) Sleep(1);
    LRESULT done = Query(dialog, 1003, PBM_GETPOS, 0);
    LRESULT entries = Query(dialog, 1003, PBM_GETRANGE, FALSE);
    if (!IsWindow(dialog) || position < 0) {
        Say("progress dialog: gone before it could be looked at");
        return;
    }
    Say("progress dialog \"" + ToUtf8(WindowText(dialog)) + "\": " + ToUtf8(WindowText(GetDlgItem(dialog, 1001))));
    Say("  entry " + std::to_string(position * 100 / 65535) + "% copied, " + std::to_string(done) + " of " +
        std::to_string(entries) + " entries done, button \"" + ToUtf8(WindowText(GetDlgItem(dialog, 1000))) + "\"");
    // Nothing may be asked of the dialog while its thread stands still.
    SuspendThread(patcher.Thread());
    Sleep(300);
    Screenshot(shots, L"progress", dialog);
    ResumeThread(patcher.Thread());
}

int Run(const std::filesystem::path& patch, const std::filesystem::path& shots) {
    Say("starting " + ToUtf8(patch));
    PatcherProcess patcher(patch);
    if (!patcher.Started()) {
        Say("the patcher could not be started");
        return 1;
    }
    DWORD started = GetTickCount();
    bool confirmed = false;
    for (;;) {
        PatcherProcess::Event event = patcher.Next(60000);
        if (event.kind == PatcherProcess::Event::TimedOut) {
            Say("the patcher showed nothing for a minute; stopping it");
            return 1;
        }
        if (event.kind == PatcherProcess::Event::Exited) break;
        HWND window = event.window;
        if (IsProgressDialog(window)) {
            WatchProgress(patcher, window, shots);
        } else if (!confirmed && GetDlgItem(window, IDYES)) {
            confirmed = true;
            Answer(patcher, window, IDYES, shots, L"confirm");
        } else {
            Answer(patcher, window, GetDlgItem(window, IDOK) ? IDOK : IDNO, shots, L"result");
        }
    }
    DWORD code = patcher.ExitCode();
    Say("patcher exit code: " + std::to_string(static_cast<int>(code)) + " (" + Hex(code) + ") after " +
        std::to_string((GetTickCount() - started) / 1000.0).substr(0, 4) + " s");
    return code == 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const std::vector<std::wstring>& args) {
    if (args.size() == 2 && args[0] == L"register") {
        ClearGameKeys();
        if (!SetInstalledFolder(args[1])) {
            Say("cannot write the registry value");
            return 1;
        }
        Say("registered HKLM\\" + ToUtf8(kGameKey) + " " + ToUtf8(kValueName) + " = " + ToUtf8(args[1]));
        return 0;
    }
    if (args.size() >= 2 && args[0] == L"run") {
        std::filesystem::path shots;
        if (args.size() == 4 && args[2] == L"--shots") shots = args[3];
        if (args.size() == 2 || !shots.empty()) return Run(args[1], shots);
    }
    Say("usage: e2e_driver demo register FOLDER | demo run PATCH.exe [--shots FOLDER]");
    return 64;
}

}  // namespace e2e
