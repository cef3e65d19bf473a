#include "patcher_process.h"

#include <algorithm>
#include <cstdlib>

#include "e2e_support.h"

namespace e2e {

namespace {

struct EnumState {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    auto* state = reinterpret_cast<EnumState*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == state->processId) state->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> Children(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

// What get (GetWindowTextW, GetClassNameW) gives for the window, up to 4095 units: more than every
// text the patcher shows, so a text that is too long shows.
std::wstring Got(HWND window, int(WINAPI* get)(HWND, LPWSTR, int)) {
    wchar_t buffer[4096] = {};
    return std::wstring(buffer, static_cast<std::size_t>(std::max(get(window, buffer, 4096), 0)));
}

// 32-bit pixels of a w x h area, drawn by draw into a DIB section.
template <typename Draw>
std::vector<DWORD> Pixels(int w, int h, Draw draw) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<DWORD> pixels;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        draw(memory, screen);
        GdiFlush();
        pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + w * h);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

std::vector<DWORD> RenderIcon(HICON icon, int w, int h, COLORREF background) {
    return Pixels(w, h, [&](HDC dc, HDC) {
        RECT all{0, 0, w, h};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(dc, &all, brush);
        DeleteObject(brush);
        DrawIconEx(dc, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    });
}

// Pixels of the icon (those that come out the same on black and on white) that differ on screen.
int IconDifference(const std::vector<DWORD>& shown, HICON icon, int w, int h) {
    std::vector<DWORD> onBlack = RenderIcon(icon, w, h, RGB(0, 0, 0));
    std::vector<DWORD> onWhite = RenderIcon(icon, w, h, RGB(255, 255, 255));
    if (onBlack.size() != shown.size() || onWhite.size() != shown.size()) return w * h;
    int differing = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if ((onBlack[i] & 0xFFFFFF) != (onWhite[i] & 0xFFFFFF)) continue;
        for (int shift = 0; shift < 24; shift += 8) {
            int a = static_cast<int>((onBlack[i] >> shift) & 0xFF);
            int b = static_cast<int>((shown[i] >> shift) & 0xFF);
            if (std::abs(a - b) > 8) {
                ++differing;
                break;
            }
        }
    }
    return differing;
}

HWND FindIconControl(HWND box) {
    for (HWND child : Children(box)) {
        if (WindowClass(child) == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(child))
            return child;
    }
    return nullptr;
}

}  // namespace

const char* IconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None: return "no icon";
        case BoxIcon::Information: return "information";
        case BoxIcon::Warning: return "warning";
        case BoxIcon::Question: return "question";
        case BoxIcon::Error: return "error";
        case BoxIcon::Unknown: break;
    }
    return "unknown icon";
}

std::wstring WindowText(HWND window) { return Got(window, GetWindowTextW); }
std::wstring WindowClass(HWND window) { return Got(window, GetClassNameW); }

LRESULT Query(HWND dialog, int control, UINT message, WPARAM wParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(GetDlgItem(dialog, control), message, wParam, 0, SMTO_ABORTIFHUNG, 5000, &result)) return -1;
    return static_cast<LRESULT>(result);
}

bool IsProgressDialog(HWND window) {
    return WindowClass(window) == L"#32770" && GetDlgItem(window, kAbortButton) != nullptr;
}

static bool HasAllControls(HWND dialog) {
    for (int id : {kAbortButton, kStatusText, kFileProgress, kTotalProgress})
        if (!GetDlgItem(dialog, id)) return false;
    return true;
}

BoxView ReadBox(HWND box, DWORD threadId) {
    BoxView view;
    view.caption = WindowText(box);
    if (HWND text = GetDlgItem(box, 0xFFFF)) view.text = WindowText(text);
    view.owner = GetWindow(box, GW_OWNER);
    for (HWND child : Children(box)) {
        if (WindowClass(child) != L"Button") continue;
        int id = GetDlgCtrlID(child);
        view.buttons.push_back(id);
        if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) view.defaultButton = id;
    }
    std::sort(view.buttons.begin(), view.buttons.end());
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (GetGUIThreadInfo(threadId, &gui) && gui.hwndFocus) view.focusedButton = GetDlgCtrlID(gui.hwndFocus);
    return view;
}

BoxIcon ReadBoxIcon(HWND box) {
    static const struct {
        LPCWSTR resource;
        BoxIcon icon;
    } kCandidates[] = {{IDI_INFORMATION, BoxIcon::Information}, {IDI_WARNING, BoxIcon::Warning},
                       {IDI_QUESTION, BoxIcon::Question}, {IDI_ERROR, BoxIcon::Error}};
    HWND control = FindIconControl(box);
    if (!control) return BoxIcon::None;
    for (int attempt = 0; attempt < 200; ++attempt) {
        RECT rect;
        GetWindowRect(control, &rect);
        int w = rect.right - rect.left;
        int h = rect.bottom - rect.top;
        if (w <= 0 || h <= 0) return BoxIcon::Unknown;
        std::vector<DWORD> shown =
            Pixels(w, h, [&](HDC dc, HDC screen) { BitBlt(dc, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY); });
        for (const auto& candidate : kCandidates) {
            // A handful of pixels may differ where the box is still being drawn; a wrong icon
            // differs in hundreds.
            if (IconDifference(shown, LoadIconW(nullptr, candidate.resource), w, h) <= w * h / 50) return candidate.icon;
        }
        Sleep(50);
    }
    return BoxIcon::Unknown;
}

std::string Describe(HWND window) {
    std::string out = "window of class " + ToUtf8(WindowClass(window)) + " titled " + Show(WindowText(window));
    if (HWND text = GetDlgItem(window, 0xFFFF)) out += " saying " + Show(WindowText(text));
    if (IsProgressDialog(window)) out += " (the progress dialog)";
    return out;
}

PatcherProcess::PatcherProcess(const std::filesystem::path& exe, bool hold) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
    std::wstring folder = exe.parent_path().wstring();
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, hold ? CREATE_SUSPENDED : 0,
                        nullptr, folder.c_str(), &startup, &info_)) {
        info_ = {};
        return;
    }
    if (!hold) return;
    // The events the hook finds by the patcher's process ID; the hook is set before the patcher runs.
    auto named = [&](const wchar_t* what, BOOL manualReset) {
        std::wstring name = L"patcher-e2e-" + std::wstring(what) + L"-" + std::to_wstring(info_.dwProcessId);
        return CreateEventW(nullptr, manualReset, FALSE, name.c_str());
    };
    held_ = named(L"held", FALSE);
    go_ = named(L"go", TRUE);
    wchar_t driver[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, driver, MAX_PATH);
    HMODULE module = LoadLibraryW((std::filesystem::path(driver).parent_path() / L"e2e_hold.dll").c_str());
    FARPROC found = module ? GetProcAddress(module, "HoldAtFirstEntry") : nullptr;
    auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(found));
    if (proc) hook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, proc, module, info_.dwThreadId);
    ResumeThread(info_.hThread);
}

bool PatcherProcess::WaitHeld(DWORD timeoutMs) {
    if (!hook_ || !held_ || !go_) return false;
    HANDLE both[] = {held_, info_.hProcess};
    return WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void PatcherProcess::Release() {
    if (go_) SetEvent(go_);
}

PatcherProcess::~PatcherProcess() {
    if (hook_) UnhookWindowsHookEx(hook_);
    for (HANDLE event : {held_, go_})
        if (event) CloseHandle(event);
    if (!info_.hProcess) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 0xDEAD);
        WaitForSingleObject(info_.hProcess, 10000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

PatcherProcess::Event PatcherProcess::Next(DWORD timeoutMs) {
    if (!kept_.empty()) {
        HWND window = kept_.front();
        kept_.erase(kept_.begin());
        return {Event::Window, window};
    }
    DWORD start = GetTickCount();
    for (;;) {
        // Look at the windows before testing for the end, so a window shown just before the process
        // ended is not missed.
        bool exited = WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0;
        EnumState state{info_.dwProcessId, {}};
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&state));
        for (HWND window : state.windows) {
            if (std::find(seen_.begin(), seen_.end(), window) != seen_.end()) continue;
            // The dialog counts once its controls exist, the rest once they show.
            if (IsProgressDialog(window) ? !HasAllControls(window) : !IsWindowVisible(window)) continue;
            seen_.push_back(window);
            // A box is shown, activated and focused before its modal loop takes the first message.
            if (!IsProgressDialog(window)) SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, nullptr);
            return {Event::Window, window};
        }
        if (exited) return {Event::Exited, nullptr};
        if (GetTickCount() - start > timeoutMs) return {Event::TimedOut, nullptr};
        Sleep(1);
    }
}

DWORD PatcherProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (info_.hProcess) GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

}  // namespace e2e
