// What the patcher must show and return, written out once, and the GoogleTest checks built on it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "patcher_process.h"

namespace e2e {

inline const std::wstring kCaption = L"「ヴェルモラ」 ver 1.01 更新パッチ";

// A message: its characters and how many U+3000 fill it up (to 26 units, or none when longer).
struct Message {
    const wchar_t* characters;
    std::size_t padding;
    std::wstring Text() const { return std::wstring(characters) + std::wstring(padding, L'\u3000'); }
};

inline const Message kGameRunningText{
    L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません", 0};
inline const Message kNotInstalledText{L"ゲームがインストールされていません", 9};
inline const Message kConfirmText{L"アップデートを行いますか？", 13};
inline const Message kCompletedText{L"アップデートが完了しました", 13};
inline const Message kDamagedText{L"アップデートプログラムが破損している可能性があります", 0};
inline const Message kCannotUpdateText{L"何らかの要因によりアップデートが行えません", 5};
inline const Message kUninstallListText{L"アンインストレーションファイルの更新に失敗しました", 1};
inline const Message kCancelQuestionText{L"アップデートを中止しますか？", 12};

// Exit codes as GetExitCodeProcess gives them.
inline constexpr DWORD kExitNotInstalled = 0xFFFFFFFF;  // -1
inline constexpr DWORD kExitGameRunning = 0xFFFFFFFE;   // -2
inline constexpr DWORD kExitDeclined = 0xFFFFFFFD;      // -3
inline constexpr DWORD kExitOk = 0;
inline constexpr DWORD kExitDamaged = 0x80000001;
inline constexpr DWORD kExitTooManyEntries = 0x80000002;
inline constexpr DWORD kExitInstallFailed = 0x80000004;
inline constexpr DWORD kExitUninstallListFailed = 0x80000005;
inline constexpr DWORD kExitCancelled = 0x80000006;
inline constexpr DWORD kExitWindowClosed = 0x80000007;
inline constexpr DWORD kExitAlreadyRunning = ERROR_ALREADY_EXISTS;  // 183

enum class BoxKind { Warning, Information, Question };

// Waits for the next window and checks that it is a message box of this kind with this text under
// the caption: icon, buttons, default button and focus. Returns the box, or null after a failure.
// Here and in ExpectDialog, a window other than the one expected is kept for the next wait.
HWND ExpectBox(PatcherProcess& patcher, BoxKind kind, const Message& message, HWND owner = nullptr,
               const std::wstring& caption = kCaption);
// Waits for the next window and checks that it is the progress dialog. Optional where only the
// result counts: an update that ends between two looks shows none, and the next window is kept.
HWND ExpectDialog(PatcherProcess& patcher, bool optional = false);
// Presses a button of a box or dialog the way a click does: BN_CLICKED from that button.
void Press(HWND window, int buttonId);
// Checks that the process ends without showing any other window; returns its exit code.
DWORD ExpectExitWithoutWindow(PatcherProcess& patcher);
// ExpectBox, a press of `button` in the box it found, then ExpectExitWithoutWindow.
DWORD AnswerAndExpectExit(PatcherProcess& patcher, BoxKind kind, const Message& message, int button,
                          const std::wstring& caption = kCaption);

// The file holds exactly these bytes; on failure says the sizes and where they first differ, and
// shows short contents in full.
::testing::AssertionResult FileHolds(const fs::path& path, const std::string& expected);

// A folder's files, one line each with the relative name, the size and a hash of the content,
// sorted; for comparing before and after a run with readable failures.
using FolderSnapshot = std::vector<std::string>;
FolderSnapshot Snapshot(const fs::path& folder);

// The registry holds nothing of the game before and after each test, and each test has an empty
// game folder (named `game`) in a scratch folder of its own.
class PatcherTest : public ::testing::Test {
protected:
    explicit PatcherTest(const wchar_t* game = L"game") : game_(scratch_.Root() / game) {}
    void SetUp() override;
    void TearDown() override;

    TempDir scratch_;
    fs::path game_;
};

}  // namespace e2e
