// Helpers for the Windows GUI tests: answering the program's message boxes from a second thread,
// draining the queue, and a clean slate for the dialog's global state.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// What a message box showed, as far as Wine and Windows expose it.
struct BoxSeen {
    bool found = false;
    std::wstring text;       // the message, unit for unit
    HWND owner = nullptr;
    bool hasOk = false;
    bool hasYes = false;
    bool hasNo = false;
    int defaultId = 0;       // the default button's ID
    HICON icon = nullptr;    // the icon shown, when the box exposes it
};

// Watches from a helper thread for a message box titled `caption` and presses `answer` (IDOK,
// IDYES, IDNO) in it. Stops after the first box, or after a time-out when none comes (so a test
// that expects no box does not hang if one appears: the box is answered and Seen().found tells).
class BoxAnswerer {
public:
    BoxAnswerer(const wchar_t* caption, int answer, DWORD timeoutMs = 15000);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Waits for the helper thread to end, then returns what it saw.
    const BoxSeen& Seen();

private:
    static DWORD WINAPI Run(void* self);
    void Watch();

    std::wstring caption_;
    int answer_;
    DWORD timeoutMs_;
    volatile LONG stop_ = 0;
    HANDLE thread_ = nullptr;
    BoxSeen seen_;
};

// The window's text (up to 1023 units).
std::wstring WindowText(HWND window);

// Removes every pending message of this thread without dispatching it.
void DiscardMessages();

// The icon that a message box of the given style shows (the shared system icon).
HICON SystemIcon(LPCWSTR id);

// A fresh progress dialog for each test, with the caption loaded and the dialog's flags cleared
// before and after; the dialog is g_progressDialog while it lives.
class ProgressDialogFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    HWND Control(int id) const { return GetDlgItem(dialog_, id); }

    HWND dialog_ = nullptr;
};

// HKEY_LOCAL_MACHINE\Software\MarbleHollow\<title>, value "InstalledFolder": saved when made and
// put back when destroyed, so tests can change it freely (the end-to-end tests use the same key).
class SavedInstallFolder {
public:
    SavedInstallFolder();
    ~SavedInstallFolder();
    SavedInstallFolder(const SavedInstallFolder&) = delete;
    SavedInstallFolder& operator=(const SavedInstallFolder&) = delete;

    static const wchar_t kKey[];
    static const wchar_t kValue[];

    // Writes the value under root (creating the key); false on failure.
    static bool Write(HKEY root, DWORD type, const void* data, DWORD bytes);
    // Deletes the value under root; with `key`, the key too.
    static void Delete(HKEY root, bool key = false);

private:
    bool keyExisted_ = false;
    bool valueExisted_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> data_;
};

}  // namespace wintest
