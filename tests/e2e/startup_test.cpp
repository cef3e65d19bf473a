// Start-up under Wine: single instance, the game-running check, the registry lookup and the
// confirmation. None of these may touch the install folder.
#include <string>
#include <vector>

#include "expectations.h"

namespace e2e {
namespace {

// A tiny game and a patch for it; start-up never gets as far as using either.
class StartupTest : public PatcherTest {
protected:
    void SetUp() override {
        PatcherTest::SetUp();
        WriteAll(game_ / L"data1.arc", "old data");
        WriteAll(game_ / L"QMK.hvl", VersionList({{"data1.arc", "old data"}}));
        WriteAll(game_ / L"uninst.lst", "data1.arc\r\n");
        patch_ = scratch_.Root() / L"patch.exe";
        WritePatch(patch_, {{"data1.arc", "new data"}, {"QMK.hvl", VersionList({{"data1.arc", "new data"}})}});
        before_ = Snapshot(game_);
    }
    void TearDown() override {
        EXPECT_EQ(Snapshot(game_), before_) << "start-up changed the install folder";
        PatcherTest::TearDown();
    }

    fs::path patch_;
    FolderSnapshot before_;
};

TEST_F(StartupTest, SecondCopyEndsSilentlyWhileTheUpdaterMutexIsHeld) {
    ASSERT_TRUE(SetInstalledFolder(game_.wstring()));
    HANDLE updater = CreateMutexA(nullptr, TRUE, kUpdaterMutex);
    ASSERT_NE(updater, nullptr);
    {
        PatcherProcess patcher(patch_);
        ASSERT_TRUE(patcher.Started());
        EXPECT_EQ(ExpectExitWithoutWindow(patcher), kExitAlreadyRunning);
    }
    CloseHandle(updater);
}

TEST_F(StartupTest, SecondCopyEndsSilentlyWhileTheFirstAsks) {
    ASSERT_TRUE(SetInstalledFolder(game_.wstring()));
    PatcherProcess first(patch_);
    ASSERT_TRUE(first.Started());
    HWND confirm = ExpectBox(first, BoxKind::Question, kConfirmText);
    ASSERT_NE(confirm, nullptr);
    // The first copy holds both mutexes while it asks: the game and a second patcher see them.
    EXPECT_TRUE(MutexExists(kUpdaterMutex));
    EXPECT_TRUE(MutexExists(kGameMutex));
    {
        PatcherProcess second(patch_);
        ASSERT_TRUE(second.Started());
        EXPECT_EQ(ExpectExitWithoutWindow(second), kExitAlreadyRunning);
    }
    Press(confirm, IDNO);
    EXPECT_EQ(ExpectExitWithoutWindow(first), kExitDeclined);
    // Both are released with the process.
    EXPECT_FALSE(MutexExists(kUpdaterMutex));
    EXPECT_FALSE(MutexExists(kGameMutex));
}

// The game (or its launcher or uninstaller) runs: only the warning, whatever the registry holds;
// with no key at all the warning is the same, so the registry was not consulted.
TEST_F(StartupTest, GameRunningShowsOnlyTheWarning) {
    for (bool registered : {false, true}) {
        SCOPED_TRACE(registered ? "game registered" : "no registry key");
        ClearGameKeys();
        if (registered) {
            ASSERT_TRUE(SetInstalledFolder(game_.wstring()));
        }
        HANDLE game = CreateMutexA(nullptr, TRUE, kGameMutex);
        ASSERT_NE(game, nullptr);
        {
            PatcherProcess patcher(patch_);
            ASSERT_TRUE(patcher.Started());
            EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Warning, kGameRunningText, IDOK), kExitGameRunning);
        }
        CloseHandle(game);
    }
}

// Registry contents that do not name an install folder.
struct NotInstalledCase {
    const char* name;
    void (*setUp)(const fs::path& game);
};

const NotInstalledCase kNotInstalledCases[] = {
    {"no key", [](const fs::path&) {}},
    {"key without the value", [](const fs::path&) { ASSERT_TRUE(CreateGameKeyOnly()); }},
    {"value under HKEY_CURRENT_USER only",
     [](const fs::path& game) { ASSERT_TRUE(SetInstalledFolder(game.wstring(), REG_SZ, HKEY_CURRENT_USER)); }},
    {"REG_EXPAND_SZ", [](const fs::path& game) { ASSERT_TRUE(SetInstalledFolder(game.wstring(), REG_EXPAND_SZ)); }},
    {"REG_MULTI_SZ", [](const fs::path& game) { ASSERT_TRUE(SetInstalledFolder(game.wstring(), REG_MULTI_SZ)); }},
    // 780 units and the terminator do not fit the 780-unit install folder buffer.
    {"REG_SZ of 780 units",
     [](const fs::path&) { ASSERT_TRUE(SetInstalledFolder(L"C:\\" + std::wstring(777, L'a'))); }},
    // More than the 8192-byte buffer the value is read into.
    {"REG_SZ of 5000 units",
     [](const fs::path&) { ASSERT_TRUE(SetInstalledFolder(L"C:\\" + std::wstring(4997, L'a'))); }},
    // Not an absolute folder: the update's files would go wherever the current drive or folder, or a
    // device path, leads (the table of forms is in the Windows tests).
    {"an empty value", [](const fs::path&) { ASSERT_TRUE(SetInstalledFolder(L"")); }},
    {"a relative value", [](const fs::path& game) { ASSERT_TRUE(SetInstalledFolder(game.filename().wstring())); }},
    {"a namespace form", [](const fs::path& game) { ASSERT_TRUE(SetInstalledFolder(L"\\\\?\\" + game.wstring())); }},
};

TEST_F(StartupTest, NotInstalledWarningForEveryUnusableRegistryEntry) {
    for (const NotInstalledCase& c : kNotInstalledCases) {
        SCOPED_TRACE(c.name);
        ClearGameKeys();
        c.setUp(game_);
        PatcherProcess patcher(patch_);
        ASSERT_TRUE(patcher.Started());
        EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Warning, kNotInstalledText, IDOK), kExitNotInstalled);
    }
}

// Values that are taken as the install folder: the confirmation follows, and No ends the run with
// nothing more shown. Start-up does not look at the folder itself.
TEST_F(StartupTest, AnsweringNoEndsTheRunForEveryUsableRegistryEntry) {
    const struct {
        const char* name;
        std::wstring folder;
    } cases[] = {
        {"the game's folder", game_.wstring()},
        {"a folder that does not exist", (game_ / L"missing").wstring()},
        {"a value of 779 units", L"C:\\" + std::wstring(776, L'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearGameKeys();
        ASSERT_TRUE(SetInstalledFolder(c.folder));
        PatcherProcess patcher(patch_);
        ASSERT_TRUE(patcher.Started());
        EXPECT_EQ(AnswerAndExpectExit(patcher, BoxKind::Question, kConfirmText, IDNO), kExitDeclined);
    }
}

}  // namespace
}  // namespace e2e
