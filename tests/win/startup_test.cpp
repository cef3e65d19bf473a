// The start-up sequence up to the update: the single-instance and game checks, the registry
// lookup and the confirmation, each with its message box and exit code. (The runs with an update
// are covered by the end-to-end tests, which start the real executable.)
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/messages.h"
#include "app/monitors.h"
#include "app/progress_dialog.h"
#include "app/startup.h"
#include "win/win_test_util.h"

namespace {

const wchar_t kCaption[] = L"「ヴェルモラ」 ver 1.01 更新パッチ";

class StartupTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_progressDialog = nullptr;
        wintest::DiscardMessages();
    }

    static int Run() { return RunPatcher(GetModuleHandleW(nullptr), SW_SHOWNORMAL); }

    // Both mutexes are gone once the run has closed its handles.
    static void ExpectMutexesReleased() {
        EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, kUpdaterMutexName));
        EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, kGameMutexName));
    }

    // A warning box without owner, with one OK button.
    static void ExpectWarning(const wintest::BoxSeen& seen, const std::wstring& text) {
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(text, seen.text);
        EXPECT_EQ(nullptr, seen.owner);
        EXPECT_TRUE(seen.hasOk);
        EXPECT_FALSE(seen.hasYes);
        EXPECT_EQ(wintest::SystemIcon(IDI_WARNING), seen.icon);
    }

    wintest::SavedInstallFolder saved_;
};

TEST_F(StartupTest, SecondPatcherLeavesSilentlyWithTheMutexError) {
    HANDLE first = CreateMutexA(nullptr, TRUE, kUpdaterMutexName);
    ASSERT_NE(nullptr, first);
    wintest::BoxAnswerer answerer(kCaption, IDOK, 500);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, Run());
    EXPECT_FALSE(answerer.Seen().found);
    // It did not take the game mutex either.
    EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, kGameMutexName));
    CloseHandle(first);
    ExpectMutexesReleased();
}

TEST_F(StartupTest, RunningGameIsReportedAndNothingElseHappens) {
    HANDLE game = CreateMutexA(nullptr, TRUE, kGameMutexName);
    ASSERT_NE(nullptr, game);
    wintest::BoxAnswerer answerer(kCaption, IDOK);
    EXPECT_EQ(kExitGameRunning, Run());
    ExpectWarning(answerer.Seen(),
                  L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません");
    EXPECT_EQ(nullptr, g_progressDialog);
    CloseHandle(game);
    ExpectMutexesReleased();
}

TEST_F(StartupTest, MissingInstallFolderIsReported) {
    wintest::SavedInstallFolder::Delete(HKEY_LOCAL_MACHINE, true);
    // Under the current user it does not count.
    const wchar_t folder[] = L"C:\\Games\\Velmora";
    ASSERT_TRUE(wintest::SavedInstallFolder::Write(HKEY_CURRENT_USER, REG_SZ, folder, sizeof folder));
    wintest::BoxAnswerer answerer(kCaption, IDOK);
    EXPECT_EQ(kExitNotInstalled, Run());
    ExpectWarning(answerer.Seen(), std::wstring(L"ゲームがインストールされていません") + std::wstring(9, L'\u3000'));
    ExpectMutexesReleased();
}

TEST_F(StartupTest, DecliningTheQuestionEndsWithoutAnyWindow) {
    const wchar_t folder[] = L"C:\\Games\\Velmora";
    ASSERT_TRUE(wintest::SavedInstallFolder::Write(HKEY_LOCAL_MACHINE, REG_SZ, folder, sizeof folder));
    wintest::BoxAnswerer answerer(kCaption, IDNO);
    EXPECT_EQ(kExitDeclined, Run());
    const wintest::BoxSeen& seen = answerer.Seen();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(std::wstring(L"アップデートを行いますか？") + std::wstring(13, L'\u3000'), seen.text);
    EXPECT_EQ(nullptr, seen.owner);
    EXPECT_TRUE(seen.hasYes);
    EXPECT_TRUE(seen.hasNo);
    EXPECT_EQ(IDNO, seen.defaultId);
    EXPECT_EQ(wintest::SystemIcon(IDI_QUESTION), seen.icon);
    // No dialog was made, so there is no monitor list either.
    EXPECT_EQ(nullptr, g_progressDialog);
    EXPECT_EQ(nullptr, g_monitorList.head);
    ExpectMutexesReleased();
}

}  // namespace
