// The worker's view over the real dialog: what reaches the controls, the flags and the pump.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/dialog_view.h"
#include "app/progress_dialog.h"
#include "res/resource.h"
#include "win/win_test_util.h"

namespace {

class DialogViewTest : public wintest::ProgressDialogFixture {
protected:
    static PBRANGE Range(HWND bar) {
        PBRANGE range = {};
        SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        return range;
    }
    static LRESULT Pos(HWND bar) { return SendMessageW(bar, PBM_GETPOS, 0, 0); }
};

TEST_F(DialogViewTest, StatusTextReachesTheStaticControl) {
    DialogView view;
    view.SetStatus(u"QMK01.arcをインストール中");
    EXPECT_EQ(L"QMK01.arcをインストール中", wintest::WindowText(Control(IDC_STATUS)));
}

TEST_F(DialogViewTest, BarsGetTheirOwnRangeAndPosition) {
    DialogView view;
    view.SetFileRange(0, 0xFFFF);
    view.SetFilePos(22906);
    view.SetTotalRange(0, 4);
    view.SetTotalPos(3);
    EXPECT_EQ(0, Range(Control(IDC_FILE_PROGRESS)).iLow);
    EXPECT_EQ(0xFFFF, Range(Control(IDC_FILE_PROGRESS)).iHigh);
    EXPECT_EQ(22906, Pos(Control(IDC_FILE_PROGRESS)));
    EXPECT_EQ(4, Range(Control(IDC_TOTAL_PROGRESS)).iHigh);
    EXPECT_EQ(3, Pos(Control(IDC_TOTAL_PROGRESS)));
}

TEST_F(DialogViewTest, HandlesAreTakenOnceWhenTheViewIsMade) {
    DialogView view;
    HWND bar = Control(IDC_FILE_PROGRESS);
    // A later change of the dialog handle does not redirect the view.
    g_progressDialog = nullptr;
    view.SetFileRange(0, 100);
    view.SetFilePos(40);
    EXPECT_EQ(40, Pos(bar));
}

TEST_F(DialogViewTest, WithoutADialogEveryControlCallIsSkipped) {
    g_progressDialog = nullptr;
    DialogView view;
    view.SetStatus(u"x");
    view.SetFileRange(0, 10);
    view.SetFilePos(5);
    view.SetTotalRange(0, 10);
    view.SetTotalPos(5);
    EXPECT_EQ(L"", wintest::WindowText(Control(IDC_STATUS)));
    EXPECT_EQ(0, Pos(Control(IDC_FILE_PROGRESS)));
    EXPECT_EQ(0, Pos(Control(IDC_TOTAL_PROGRESS)));
}

TEST_F(DialogViewTest, FlagsAreTheDialogsGlobals) {
    DialogView view;
    EXPECT_FALSE(view.CancelRequested());
    EXPECT_FALSE(view.WindowClosed());
    g_cancelRequested = 1;
    EXPECT_TRUE(view.CancelRequested());
    view.SetWindowClosed();
    EXPECT_EQ(1, g_windowClosed);
    EXPECT_TRUE(view.WindowClosed());
}

TEST_F(DialogViewTest, PumpReachesTheDialogAndReportsQuit) {
    DialogView view;
    PostMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0, view.PumpMessages());
    EXPECT_TRUE(view.WindowClosed());
    EXPECT_FALSE(IsWindow(dialog_));
    // The stored handles are dead now; updates have no effect and do not fail.
    view.SetStatus(u"late");
    view.SetFilePos(1);
    PostQuitMessage(0);
    EXPECT_EQ(1, view.PumpMessages());
}

}  // namespace
