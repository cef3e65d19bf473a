// The non-blocking pump: drains everything, stops at WM_QUIT or an exception, offers messages to
// the dialog only while it exists.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/message_pump.h"
#include "app/progress_dialog.h"
#include "res/resource.h"
#include "win/win_test_util.h"

namespace {

constexpr UINT kCount = WM_APP + 1;
constexpr UINT kThrow = WM_APP + 2;

int g_dispatched = 0;

// Guarded like the patcher's own procedures: what it throws waits for the pump.
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return GuardProcedure<LRESULT>(0, [&]() -> LRESULT {
        if (message == kCount) {
            ++g_dispatched;
            return 0;
        }
        if (message == kThrow) throw std::runtime_error("thrown by a window procedure");
        return DefWindowProcW(window, message, wParam, lParam);
    });
}

class MessagePumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = CountingProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"PumpTestWindow";
        RegisterClassW(&windowClass);  // fails harmlessly when registered by an earlier test
        window_ = CreateWindowExW(0, L"PumpTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, window_);
        wintest::DiscardMessages();
        g_dispatched = 0;
        g_progressDialog = nullptr;
    }
    void TearDown() override {
        DestroyWindow(window_);
        g_progressDialog = nullptr;
        wintest::DiscardMessages();
    }

    void Post(UINT message, int times = 1) {
        for (int i = 0; i < times; ++i) PostMessageW(window_, message, 0, 0);
    }
    bool Pending() {
        MSG message;
        return PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
    }

    HWND window_ = nullptr;
};

TEST_F(MessagePumpTest, EmptyQueueReturnsZeroAtOnce) {
    EXPECT_EQ(0, PumpOneMessage());
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(0, g_dispatched);
}

TEST_F(MessagePumpTest, OneCallDrainsEverythingPending) {
    Post(kCount, 200);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(200, g_dispatched);
    EXPECT_FALSE(Pending());
}

TEST_F(MessagePumpTest, PumpOneMessageHandlesExactlyOne) {
    Post(kCount, 2);
    EXPECT_NE(0, PumpOneMessage());
    EXPECT_EQ(1, g_dispatched);
    EXPECT_NE(0, PumpOneMessage());
    EXPECT_EQ(0, PumpOneMessage());
    EXPECT_EQ(2, g_dispatched);
}

TEST_F(MessagePumpTest, QuitThrowsTheIntegerZero) {
    PostQuitMessage(7);
    try {
        PumpOneMessage();
        FAIL() << "no exception";
    } catch (int value) {
        EXPECT_EQ(0, value);
    }
}

TEST_F(MessagePumpTest, QuitStopsThePumpingAndIsNotSeenAgain) {
    Post(kCount);
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 3, 0);
    Post(kCount);
    EXPECT_EQ(1, PumpMessages());
    EXPECT_EQ(1, g_dispatched);  // what came after the quit is still queued
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(2, g_dispatched);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(MessagePumpTest, ExceptionFromAWindowProcedureIsAbsorbed) {
    Post(kThrow);
    Post(kCount);
    EXPECT_EQ(1, PumpMessages());
    EXPECT_EQ(0, g_dispatched);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(1, g_dispatched);

    // Thrown while the system called the procedure outside the pump: the next pump ends with it,
    // before it dispatches anything, and only once.
    Post(kCount);
    EXPECT_EQ(0, SendMessageW(window_, kThrow, 0, 0));
    EXPECT_EQ(1, PumpMessages());
    EXPECT_EQ(1, g_dispatched);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(2, g_dispatched);
}

// A dialog from the same template whose procedure records the commands it gets.
int g_cancelCommands = 0;

INT_PTR CALLBACK RecordingDialogProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) ++g_cancelCommands;
    return message == WM_INITDIALOG;
}

TEST_F(MessagePumpTest, KeyboardGoesThroughTheDialogOnlyWhileItExists) {
    HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                     RecordingDialogProc, 0);
    ASSERT_NE(nullptr, dialog);
    HWND button = GetDlgItem(dialog, IDC_ABORT);
    g_cancelCommands = 0;

    // The dialog manager turns Escape on a control into IDCANCEL for the dialog.
    g_progressDialog = dialog;
    PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(1, g_cancelCommands);

    // Without a dialog handle the key goes to the button as is, and the button ignores it.
    g_progressDialog = nullptr;
    PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(1, g_cancelCommands);
    DestroyWindow(dialog);
}

}  // namespace
