// The progress dialog as created from its template, and every row of its dialog procedure.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/messages.h"
#include "app/progress_dialog.h"
#include "res/resource.h"
#include "win/win_test_util.h"

namespace {

const std::wstring kCancelQuestion = std::wstring(L"アップデートを中止しますか？") + std::wstring(12, L'\u3000');

class ProgressDialogTest : public wintest::ProgressDialogFixture {
protected:
    void SetUp() override {
        ProgressDialogFixture::SetUp();
        button_ = Control(IDC_ABORT);
        ASSERT_NE(nullptr, button_);
    }

    INT_PTR Click(WORD id = IDC_ABORT, WORD code = BN_CLICKED) {
        return ProgressDialogProc(dialog_, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(button_));
    }

    // Clicks Abort and answers the question with `answer`; seen_ is what the box showed.
    void AskToCancel(int answer) {
        wintest::BoxAnswerer answerer(g_captionBuffer, answer);
        EXPECT_EQ(TRUE, Click());
        seen_ = answerer.Seen();
        ASSERT_TRUE(seen_.found);
        EXPECT_EQ(kCancelQuestion, seen_.text);
        EXPECT_EQ(dialog_, seen_.owner);
    }

    HWND button_ = nullptr;
    wintest::BoxSeen seen_;
};

std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    const int length = GetClassNameW(window, name, 64);
    return std::wstring(name, length > 0 ? length : 0);
}

TEST_F(ProgressDialogTest, IsCreatedHiddenWithoutSystemMenuOrTitle) {
    const LONG style = GetWindowLongW(dialog_, GWL_STYLE);
    EXPECT_EQ(0, style & WS_VISIBLE);
    EXPECT_EQ(0, style & WS_SYSMENU);
    EXPECT_EQ(static_cast<LONG>(WS_POPUP | WS_CAPTION | DS_MODALFRAME),
              style & static_cast<LONG>(WS_POPUP | WS_CAPTION | DS_MODALFRAME));
    EXPECT_EQ(L"", wintest::WindowText(dialog_));
    EXPECT_EQ(nullptr, GetParent(dialog_));

    RECT client;
    GetClientRect(dialog_, &client);
    RECT expected = {0, 0, 271, 109};
    MapDialogRect(dialog_, &expected);
    EXPECT_EQ(expected.right, client.right);
    EXPECT_EQ(expected.bottom, client.bottom);
}

TEST_F(ProgressDialogTest, UsesTheJapaneseUiFont) {
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog_, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, font);
    LOGFONTW logFont = {};
    ASSERT_NE(0, GetObjectW(font, sizeof logFont, &logFont));
    EXPECT_STREQ(L"MS UI Gothic", logFont.lfFaceName);
    // Wine creates the font with DEFAULT_CHARSET whatever the template says; the template itself
    // is checked byte for byte elsewhere.
    EXPECT_TRUE(logFont.lfCharSet == SHIFTJIS_CHARSET || logFont.lfCharSet == DEFAULT_CHARSET)
        << static_cast<int>(logFont.lfCharSet);
    EXPECT_EQ(FW_NORMAL, logFont.lfWeight);
    EXPECT_EQ(0, logFont.lfItalic);
    HDC dc = GetDC(dialog_);
    EXPECT_EQ(-MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72), logFont.lfHeight);
    ReleaseDC(dialog_, dc);
}

// The controls in creation (= tab) order, with what the template gave them.
TEST_F(ProgressDialogTest, ControlsAreCreatedAsTheTemplateSays) {
    struct Expected {
        int id;
        const wchar_t* className;
        const wchar_t* text;
        RECT rect;  // dialog units
        LONG style;
        LONG exStyle;
    };
    const Expected expected[] = {
        {IDC_ABORT, L"Button", L"中止", {110, 88, 161, 102}, 0x50010000, 0},
        {IDC_STATUS, L"Static", L"", {7, 7, 264, 21}, 0x50020201, WS_EX_STATICEDGE},
        {IDC_FILE_PROGRESS, L"msctls_progress32", L"", {7, 33, 264, 49}, 0x50800001, 0},
        {IDC_TOTAL_PROGRESS, L"msctls_progress32", L"", {7, 59, 264, 75}, 0x50800001, 0},
    };
    HWND control = GetWindow(dialog_, GW_CHILD);
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        ASSERT_NE(nullptr, control);
        EXPECT_EQ(e.id, GetDlgCtrlID(control));
        EXPECT_EQ(0, lstrcmpiW(e.className, ClassOf(control).c_str())) << ClassOf(control).c_str();
        EXPECT_EQ(e.text, wintest::WindowText(control));
        // The dialog manager adds WS_EX_NOPARENTNOTIFY, and the progress bar replaces its
        // WS_BORDER by an edge of its own when it is created (the template keeps the bit).
        LONG style = GetWindowLongW(control, GWL_STYLE);
        LONG ex = GetWindowLongW(control, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY;
        if (e.id >= IDC_FILE_PROGRESS) {
            style |= WS_BORDER;
            ex &= ~WS_EX_STATICEDGE;
        }
        EXPECT_EQ(e.style, style);
        EXPECT_EQ(e.exStyle, ex);

        RECT pixels = e.rect;
        MapDialogRect(dialog_, &pixels);
        RECT actual;
        GetWindowRect(control, &actual);
        MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(pixels.left, actual.left);
        EXPECT_EQ(pixels.top, actual.top);
        EXPECT_EQ(pixels.right - pixels.left, actual.right - actual.left);
        EXPECT_EQ(pixels.bottom - pixels.top, actual.bottom - actual.top);
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(nullptr, control);
}

TEST_F(ProgressDialogTest, InitDialogLeavesTheFocusToTheSystem) {
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog_, WM_INITDIALOG, 0, 0));
}

TEST_F(ProgressDialogTest, CloseSetsTheFlagDestroysTheDialogAndClearsTheHandle) {
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog_, WM_CLOSE, 0, 0));
    EXPECT_EQ(1, g_windowClosed);
    EXPECT_EQ(0, g_cancelRequested);
    EXPECT_FALSE(IsWindow(dialog_));
    EXPECT_EQ(nullptr, g_progressDialog);
}

TEST_F(ProgressDialogTest, CloseSentFromOutsideDestroysAtOnce) {
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_EQ(1, g_windowClosed);
    EXPECT_FALSE(IsWindow(dialog_));
    EXPECT_EQ(nullptr, g_progressDialog);
}

TEST_F(ProgressDialogTest, SystemCloseIsSwallowedOtherSystemCommandsAreNot) {
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0));
    // The low four bits belong to the system and do not change the command.
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog_, WM_SYSCOMMAND, SC_CLOSE | 0x3, 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog_, WM_SYSCOMMAND, SC_MINIMIZE, 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog_, WM_SYSCOMMAND, SC_MOVE, 0));

    // Alt+F4 through the dialog manager: nothing happens.
    SendMessageW(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(dialog_));
    EXPECT_EQ(0, g_windowClosed);
    EXPECT_EQ(dialog_, g_progressDialog);
}

TEST_F(ProgressDialogTest, OtherCommandsAndMessagesAreNotHandled) {
    wintest::BoxAnswerer answerer(g_captionBuffer, IDNO, 500);
    EXPECT_EQ(FALSE, Click(IDCANCEL));  // Escape
    EXPECT_EQ(FALSE, Click(IDOK));
    EXPECT_EQ(FALSE, Click(IDC_ABORT, BN_SETFOCUS));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog_, WM_TIMER, 1, 0));
    EXPECT_FALSE(answerer.Seen().found);
    EXPECT_EQ(0, g_cancelRequested);
    EXPECT_EQ(0, g_windowClosed);
    EXPECT_TRUE(IsWindow(dialog_));
    EXPECT_TRUE(IsWindowEnabled(button_));
}

TEST_F(ProgressDialogTest, CancelAnsweredNoChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(AskToCancel(IDNO));
    EXPECT_EQ(0, g_cancelRequested);
    EXPECT_TRUE(IsWindowEnabled(button_));
}

TEST_F(ProgressDialogTest, CancelAnsweredYesSetsTheFlagAndDisablesTheButton) {
    ASSERT_NO_FATAL_FAILURE(AskToCancel(IDYES));
    EXPECT_EQ(26u, seen_.text.size());
    // MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2.
    EXPECT_TRUE(seen_.hasYes);
    EXPECT_TRUE(seen_.hasNo);
    EXPECT_FALSE(seen_.hasOk);
    EXPECT_EQ(IDNO, seen_.defaultId);
    EXPECT_EQ(wintest::SystemIcon(IDI_QUESTION), seen_.icon);
    EXPECT_EQ(1, g_cancelRequested);
    EXPECT_FALSE(IsWindowEnabled(button_));
    EXPECT_EQ(0, g_windowClosed);
}

TEST_F(ProgressDialogTest, ASecondClickAfterYesAsksNothing) {
    g_cancelRequested = 1;
    wintest::BoxAnswerer answerer(g_captionBuffer, IDNO, 500);
    EXPECT_EQ(TRUE, Click());
    EXPECT_FALSE(answerer.Seen().found);
    EXPECT_EQ(1, g_cancelRequested);
}

}  // namespace
