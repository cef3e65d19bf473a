// Helpers for the Windows GUI tests.
#include "win/win_test_util.h"

#include "app/messages.h"
#include "app/progress_dialog.h"

namespace wintest {

namespace {

// The static control that holds a message box's text, and the one that shows its icon, on
// Windows and on Wine.
constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconIdWindows = 20;
constexpr int kBoxIconIdWine = 0x0440;

// A dialog-class window of this process with that title (never another program's box).
// FindWindowEx reads titles without sending messages, which matters: the test thread may be
// waiting for this helper without pumping.
HWND FindOwnBox(const std::wstring& caption) {
    for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", caption.c_str()); w;
         w = FindWindowExW(nullptr, w, L"#32770", caption.c_str())) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == GetCurrentProcessId()) return w;
    }
    return nullptr;
}

}  // namespace

std::wstring WindowText(HWND window) {
    wchar_t buffer[1024];
    const int length = GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, length > 0 ? length : 0);
}

void ProgressDialogFixture::SetUp() {
    g_cancelRequested = 0;
    g_windowClosed = 0;
    LoadCaption(g_captionBuffer);
    dialog_ = CreateProgressDialog(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, dialog_);
    g_progressDialog = dialog_;
}

void ProgressDialogFixture::TearDown() {
    if (IsWindow(dialog_)) DestroyWindow(dialog_);
    g_progressDialog = nullptr;
    g_cancelRequested = 0;
    g_windowClosed = 0;
    DiscardMessages();
}

BoxAnswerer::BoxAnswerer(const wchar_t* caption, int answer, DWORD timeoutMs)
    : caption_(caption), answer_(answer), timeoutMs_(timeoutMs) {
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

BoxAnswerer::~BoxAnswerer() {
    InterlockedExchange(&stop_, 1);
    Seen();
}

const BoxSeen& BoxAnswerer::Seen() {
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return seen_;
}

DWORD WINAPI BoxAnswerer::Run(void* self) {
    static_cast<BoxAnswerer*>(self)->Watch();
    return 0;
}

void BoxAnswerer::Watch() {
    const DWORD start = GetTickCount();
    while (!stop_ && GetTickCount() - start < timeoutMs_) {
        HWND box = FindOwnBox(caption_);
        // The text control appears once the box is initialised; visible means it is up.
        if (box && IsWindowVisible(box) && GetDlgItem(box, kBoxTextId)) {
            seen_.found = true;
            seen_.text = WindowText(GetDlgItem(box, kBoxTextId));
            seen_.owner = GetWindow(box, GW_OWNER);
            seen_.hasOk = GetDlgItem(box, IDOK) != nullptr;
            seen_.hasYes = GetDlgItem(box, IDYES) != nullptr;
            seen_.hasNo = GetDlgItem(box, IDNO) != nullptr;
            // The default button carries BS_DEFPUSHBUTTON (Wine does not answer DM_GETDEFID for it).
            for (int id : {IDOK, IDYES, IDNO}) {
                HWND button = GetDlgItem(box, id);
                if (button && (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) seen_.defaultId = id;
            }
            HWND icon = GetDlgItem(box, kBoxIconIdWine);
            if (!icon) icon = GetDlgItem(box, kBoxIconIdWindows);
            if (icon) seen_.icon = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer_, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, answer_)));
            return;
        }
        Sleep(10);
    }
}

void DiscardMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

HICON SystemIcon(LPCWSTR id) { return LoadIconW(nullptr, id); }

const wchar_t SavedInstallFolder::kKey[] = L"Software\\MarbleHollow\\\u30F4\u30A7\u30EB\u30E2\u30E9";
const wchar_t SavedInstallFolder::kValue[] = L"InstalledFolder";

SavedInstallFolder::SavedInstallFolder() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    keyExisted_ = true;
    DWORD size = 0;
    if (RegQueryValueExW(key, kValue, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
        data_.resize(size);
        valueExisted_ = RegQueryValueExW(key, kValue, nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS;
        data_.resize(size);
    }
    RegCloseKey(key);
}

SavedInstallFolder::~SavedInstallFolder() {
    if (valueExisted_) {
        Write(HKEY_LOCAL_MACHINE, type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
        Delete(HKEY_LOCAL_MACHINE, !keyExisted_);
    }
    Delete(HKEY_CURRENT_USER, true);
}

bool SavedInstallFolder::Write(HKEY root, DWORD type, const void* data, DWORD bytes) {
    HKEY key;
    if (RegCreateKeyExW(root, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) return false;
    const bool written = RegSetValueExW(key, kValue, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

void SavedInstallFolder::Delete(HKEY root, bool deleteKey) {
    HKEY key;
    if (RegOpenKeyExW(root, kKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, kValue);
        RegCloseKey(key);
    }
    if (deleteKey) RegDeleteKeyW(root, kKey);
}

}  // namespace wintest
