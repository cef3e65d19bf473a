// The progress dialog during a run under Wine: the cancel button and its question, closing the
// dialog, WM_QUIT, and the close requests it must ignore. Each run is held where the dialog has just
// shown the first entry (kHoldAtFirstEntry): the test acts there and then lets the update go on.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "expectations.h"
#include "kit/format/caption_stamp.h"

namespace e2e {
namespace {

// Two chunks of the copy, with a pump between them.
constexpr std::size_t kMovieSize = 1024 * 1024 + 17;

class DialogTest : public PatcherTest {
protected:
    static void SetUpTestSuite() {
        patchFolder_ = new TempDir("velmora-e2e-patch");
        movie_ = new std::string(RandomBytes(kMovieSize, 21));
        const std::vector<PayloadFile> payload = {{"MOVIE.ARC", *movie_}, {"voice.arc", Voice()},
                                                  {"QMK.hvl", VersionList(NewRecords())}};
        WritePatch(patchFolder_->Root() / L"patch.exe", payload);
        // The same patch stamped by the kit as a publisher of 1.02 would.
        std::string stub = PatcherBytes(), error;
        if (StampCaption(&stub, "1.02", &error)) {
            WriteAll(patchFolder_->Root() / L"stamped.exe", EncodePatch(stub, EncodeArchive(payload, false)));
        }
    }
    static void TearDownTestSuite() {
        delete patchFolder_;
        delete movie_;
        patchFolder_ = nullptr;
        movie_ = nullptr;
    }

    static std::string Voice() { return RandomBytes(1024 * 1024, 22); }
    static std::vector<Record> NewRecords() {
        return {{"game.exe", "game 1.00"}, {"Movie.arc", *movie_}, {"voice.arc", Voice()}};
    }

    void SetUp() override {
        PatcherTest::SetUp();
        WriteAll(game_ / L"game.exe", "game 1.00");
        WriteAll(game_ / L"Movie.arc", "movie 1.00");
        WriteAll(game_ / L"voice.arc", "voice 1.00");
        WriteAll(game_ / L"QMK.hvl", VersionList({{"game.exe", "game 1.00"},
                                                  {"Movie.arc", "movie 1.00"},
                                                  {"voice.arc", "voice 1.00"}}));
        WriteAll(game_ / L"uninst.lst", "game.exe\r\nmovie.arc\r\nvoice.arc\r\nqmk.hvl\r\n");
        ASSERT_TRUE(SetInstalledFolder(game_.wstring()));
        before_ = Snapshot(game_);
    }

    // Answers Yes in the held patcher and waits until the update stands at its first entry, the
    // dialog showing its name; what the test posts to the dialog then is handled on Release.
    HWND StartUpdate(PatcherProcess& patcher) {
        EXPECT_TRUE(patcher.Started());
        HWND confirm = ExpectBox(patcher, BoxKind::Question, kConfirmText, nullptr, caption_);
        if (!confirm) return nullptr;
        Press(confirm, IDYES);
        if (!patcher.WaitHeld()) {
            ADD_FAILURE() << "the update never stood at its first entry (is e2e_hold.dll beside the driver?)";
            return nullptr;
        }
        HWND dialog = ExpectDialog(patcher);
        if (dialog) {
            EXPECT_EQ(WindowText(GetDlgItem(dialog, kStatusText)), L"Movie.arcをインストール中");
        }
        return dialog;
    }

    // Starts the update into dialog_, posts `before` to it and a click on the cancel button, releases
    // it and expects the question (question_), owned by the dialog. While it is open the update stands
    // still, so the dialog can be looked at in a known state.
    void StartAndAskToCancel(PatcherProcess& patcher, void (*before)(HWND) = nullptr) {
        dialog_ = StartUpdate(patcher);
        ASSERT_NE(dialog_, nullptr);
        if (before) before(dialog_);
        PostMessageW(GetDlgItem(dialog_, kAbortButton), BM_CLICK, 0, 0);
        patcher.Release();
        question_ = ExpectBox(patcher, BoxKind::Question, kCancelQuestionText, dialog_, caption_);
        ASSERT_NE(question_, nullptr);
        ExpectDialogDuringFirstEntry(dialog_);
    }

    // Answers the question and clicks the cancel button, both queued before the patcher takes the
    // answer: the click comes right after it, whatever the pace of the update.
    void AnswerAndClickAgain(PatcherProcess& patcher, int answer) {
        SuspendThread(patcher.Thread());
        Press(question_, answer);
        Press(dialog_, kAbortButton);
        ResumeThread(patcher.Thread());
    }

    void ExpectDialogDuringFirstEntry(HWND dialog) {
        ASSERT_TRUE(IsWindow(dialog));
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_EQ(WindowText(dialog), caption_);
        LONG style = GetWindowLongW(dialog, GWL_STYLE);
        EXPECT_EQ(style & (WS_POPUP | WS_CAPTION), WS_POPUP | WS_CAPTION);
        EXPECT_EQ(style & WS_SYSMENU, 0) << "the dialog has no close box";

        HWND abort = GetDlgItem(dialog, kAbortButton);
        EXPECT_EQ(WindowText(abort), L"中止");
        EXPECT_TRUE(IsWindowEnabled(abort));
        EXPECT_EQ(WindowClass(GetDlgItem(dialog, kFileProgress)), PROGRESS_CLASSW);
        EXPECT_EQ(WindowClass(GetDlgItem(dialog, kTotalProgress)), PROGRESS_CLASSW);
        // File bar 0..65535 at the start of the first entry; total bar 0..3 entries, none done yet.
        EXPECT_EQ(Query(dialog, kFileProgress, PBM_GETRANGE, FALSE), 65535);
        EXPECT_EQ(Query(dialog, kFileProgress, PBM_GETPOS, 0), 0);
        EXPECT_EQ(Query(dialog, kTotalProgress, PBM_GETRANGE, FALSE), 3);
        EXPECT_EQ(Query(dialog, kTotalProgress, PBM_GETPOS, 0), 0);

        // Centred by the size of the first monitor, measured from the screen origin.
        RECT monitor{};
        EnumDisplayMonitors(nullptr, nullptr, FirstMonitor, reinterpret_cast<LPARAM>(&monitor));
        RECT window{};
        GetWindowRect(dialog, &window);
        EXPECT_EQ(window.left, ((monitor.right - monitor.left) - (window.right - window.left)) / 2);
        EXPECT_EQ(window.top, ((monitor.bottom - monitor.top) - (window.bottom - window.top)) / 2);
    }

    // Keeps the first monitor's rectangle and stops the enumeration.
    static BOOL CALLBACK FirstMonitor(HMONITOR, HDC, LPRECT rect, LPARAM out) {
        *reinterpret_cast<RECT*>(out) = *rect;
        return FALSE;
    }

    void ExpectInstalled() {
        EXPECT_TRUE(FileHolds(game_ / L"Movie.arc", *movie_));
        EXPECT_TRUE(FileHolds(game_ / L"voice.arc", Voice()));
        EXPECT_TRUE(FileHolds(game_ / L"QMK.hvl", VersionList(NewRecords())));
        EXPECT_TRUE(FileHolds(game_ / L"uninst.lst", std::string("game.exe\nmovie.arc\nvoice.arc\nqmk.hvl\n") + '\0'));
    }

    fs::path Patch() const { return patchFolder_->Root() / L"patch.exe"; }

    static TempDir* patchFolder_;
    static std::string* movie_;
    FolderSnapshot before_;
    std::wstring caption_ = kCaption;  // the caption of the patch under test
    HWND dialog_ = nullptr;
    HWND question_ = nullptr;
};

TempDir* DialogTest::patchFolder_ = nullptr;
std::string* DialogTest::movie_ = nullptr;

TEST_F(DialogTest, CancelConfirmedEndsTheRunWithoutMessageOrChange) {
    PatcherProcess patcher(Patch(), kHoldAtFirstEntry);
    ASSERT_NO_FATAL_FAILURE(StartAndAskToCancel(patcher));
    // A click right after the answer must not ask again.
    AnswerAndClickAgain(patcher, IDYES);

    EXPECT_EQ(ExpectExitWithoutWindow(patcher), kExitCancelled);
    EXPECT_EQ(Snapshot(game_), before_);
}

TEST_F(DialogTest, CancelDeclinedLetsTheUpdateFinish) {
    PatcherProcess patcher(Patch(), kHoldAtFirstEntry);
    ASSERT_NO_FATAL_FAILURE(StartAndAskToCancel(patcher));
    // The button is still usable: a click right after the answer asks again.
    AnswerAndClickAgain(patcher, IDNO);
    HWND again = ExpectBox(patcher, BoxKind::Question, kCancelQuestionText, dialog_);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, kAbortButton)));
    Press(again, IDNO);

    EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Information, kCompletedText, IDOK), kExitOk);
    ExpectInstalled();
}

// A patch stamped with --game-version 1.02 carries that caption on every box and on the dialog; the
// shipped stub stamped with its own 1.01 is byte for byte what was built (its CheckSum included).
TEST_F(DialogTest, StampedPatchShowsItsCaptionEverywhere) {
    std::string same = PatcherBytes(), error;
    ASSERT_TRUE(StampCaption(&same, "1.01", &error)) << error;
    EXPECT_TRUE(same == PatcherBytes());
    caption_ = L"「ヴェルモラ」 ver 1.02 更新パッチ";
    PatcherProcess patcher(patchFolder_->Root() / L"stamped.exe", kHoldAtFirstEntry);
    ASSERT_NO_FATAL_FAILURE(StartAndAskToCancel(patcher));
    Press(question_, IDNO);
    EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Information, kCompletedText, IDOK, caption_), kExitOk);
    ExpectInstalled();
}

// Closing the dialog, or WM_QUIT in the patcher's queue, ends the run without a message.
TEST_F(DialogTest, ClosingTheDialogOrQuittingEndsTheRunWithoutMessageOrChange) {
    const struct {
        const char* name;
        void (*stop)(HWND dialog, DWORD thread);
    } cases[] = {
        {"WM_CLOSE to the dialog", [](HWND dialog, DWORD) { PostMessageW(dialog, WM_CLOSE, 0, 0); }},
        {"WM_QUIT to the thread", [](HWND, DWORD thread) { PostThreadMessageW(thread, WM_QUIT, 0, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PatcherProcess patcher(Patch(), kHoldAtFirstEntry);
        HWND dialog = StartUpdate(patcher);
        ASSERT_NE(dialog, nullptr);
        c.stop(dialog, patcher.ThreadId());
        patcher.Release();

        EXPECT_EQ(ExpectExitWithoutWindow(patcher), kExitWindowClosed);
        EXPECT_EQ(Snapshot(game_), before_);
    }
}

// Requests that must not end the run. Each is posted before a click on the cancel button, so by
// the time the question shows, the request has been handled; declining then lets the run finish.
TEST_F(DialogTest, CloseRequestsAndEscapeAreIgnored) {
    const struct {
        const char* name;
        void (*post)(HWND dialog);
    } cases[] = {
        {"SC_CLOSE", [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Alt+F4",
         [](HWND dialog) {
             PostMessageW(GetDlgItem(dialog, kAbortButton), WM_SYSKEYDOWN, VK_F4, (1 << 29) | 1);
         }},
        {"Escape key",
         [](HWND dialog) { PostMessageW(GetDlgItem(dialog, kAbortButton), WM_KEYDOWN, VK_ESCAPE, 1); }},
        {"IDCANCEL command", [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        PatcherProcess patcher(Patch(), kHoldAtFirstEntry);
        ASSERT_NO_FATAL_FAILURE(StartAndAskToCancel(patcher, c.post));
        Press(question_, IDNO);

        EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Information, kCompletedText, IDOK), kExitOk);
        ExpectInstalled();
    }
}

}  // namespace
}  // namespace e2e
