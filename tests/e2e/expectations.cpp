#include "expectations.h"

#include <algorithm>
#include <cstdio>

namespace e2e {

namespace {

const char* KindName(BoxKind kind) {
    switch (kind) {
        case BoxKind::Warning: return "warning box";
        case BoxKind::Information: return "information box";
        case BoxKind::Question: return "question";
    }
    return "box";
}

bool IsBox(HWND window) { return !IsProgressDialog(window) && WindowClass(window) == L"#32770"; }

// The next window when it is the one expected (`wanted`); anything else is kept for the next Expect*
// and reported, unless the window was `optional`.
HWND NextWindow(PatcherProcess& patcher, const char* expected, bool (*wanted)(HWND), bool optional = false) {
    PatcherProcess::Event event = patcher.Next();
    if (event.kind == PatcherProcess::Event::Window) {
        if (wanted(event.window)) return event.window;
        patcher.Keep(event.window);
    }
    if (optional) return nullptr;
    if (event.kind == PatcherProcess::Event::Exited) {
        ADD_FAILURE() << "expected a " << expected << ", but the patcher ended with exit code 0x" << std::hex
                      << patcher.ExitCode();
    } else if (event.kind == PatcherProcess::Event::TimedOut) {
        ADD_FAILURE() << "expected a " << expected << ", but none came";
    } else {
        ADD_FAILURE() << "expected a " << expected << ", got a " << Describe(event.window);
    }
    return nullptr;
}

}  // namespace

HWND ExpectBox(PatcherProcess& patcher, BoxKind kind, const Message& message, HWND owner, const std::wstring& caption) {
    HWND box = NextWindow(patcher, KindName(kind), IsBox);
    if (!box) return nullptr;
    BoxView view = ReadBox(box, patcher.ThreadId());
    EXPECT_EQ(view.caption, caption) << "caption " << Show(view.caption);
    EXPECT_EQ(view.text, message.Text()) << "text " << Show(view.text) << ", expected " << Show(message.Text());
    EXPECT_EQ(view.owner, owner) << "owner of the box";

    BoxIcon expectedIcon = kind == BoxKind::Warning       ? BoxIcon::Warning
                           : kind == BoxKind::Information ? BoxIcon::Information
                                                          : BoxIcon::Question;
    BoxIcon icon = ReadBoxIcon(box);
    EXPECT_EQ(icon, expectedIcon) << "the box shows the " << IconName(icon) << ", expected the "
                                  << IconName(expectedIcon);

    if (kind == BoxKind::Question) {
        EXPECT_EQ(view.buttons, (std::vector<int>{IDYES, IDNO})) << "a question offers Yes and No";
        EXPECT_EQ(view.defaultButton, IDNO) << "No is the default button";
        EXPECT_EQ(view.focusedButton, IDNO) << "No has the focus";
    } else {
        EXPECT_EQ(view.buttons, std::vector<int>{IDOK}) << "a message offers OK only";
        EXPECT_EQ(view.defaultButton, IDOK);
    }
    return box;
}

HWND ExpectDialog(PatcherProcess& patcher, bool optional) {
    return NextWindow(patcher, "progress dialog", IsProgressDialog, optional);
}

void Press(HWND window, int buttonId) {
    HWND button = GetDlgItem(window, buttonId);
    ASSERT_NE(button, nullptr) << "no button " << buttonId;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

DWORD AnswerAndExpectExit(PatcherProcess& patcher, BoxKind kind, const Message& message, int button,
                          const std::wstring& caption) {
    if (HWND box = ExpectBox(patcher, kind, message, nullptr, caption)) Press(box, button);
    return ExpectExitWithoutWindow(patcher);
}

DWORD ExpectExitWithoutWindow(PatcherProcess& patcher) {
    for (;;) {
        PatcherProcess::Event event = patcher.Next();
        if (event.kind == PatcherProcess::Event::Exited) return patcher.ExitCode();
        if (event.kind == PatcherProcess::Event::TimedOut) {
            ADD_FAILURE() << "the patcher did not end";
            return STILL_ACTIVE;
        }
        ADD_FAILURE() << "expected the patcher to end without another window, but it showed a "
                      << Describe(event.window);
        // Let it go on, so the exit code is still seen.
        if (!IsProgressDialog(event.window)) {
            PostMessageW(event.window, WM_COMMAND, IDOK, 0);
            PostMessageW(event.window, WM_COMMAND, IDNO, 0);
        }
    }
}

::testing::AssertionResult FileHolds(const fs::path& path, const std::string& expected) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return ::testing::AssertionFailure() << ToUtf8(path) << " does not exist";
    std::string actual = ReadAll(path);
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    auto failure = ::testing::AssertionFailure();
    failure << ToUtf8(path) << " holds " << actual.size() << " bytes, expected " << expected.size()
            << "; first difference at byte " << at;
    if (actual.size() <= 512 && expected.size() <= 512) {
        failure << "\n  actual:   " << ::testing::PrintToString(actual)
                << "\n  expected: " << ::testing::PrintToString(expected);
    }
    return failure;
}

FolderSnapshot Snapshot(const fs::path& folder) {
    FolderSnapshot files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string line = ToUtf8(entry.path().lexically_relative(folder));
        if (entry.is_directory()) {
            line += " (folder)";
        } else {
            std::string content = ReadAll(entry.path());
            std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
            for (char c : content) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
            char digits[40];
            snprintf(digits, sizeof digits, " %zu bytes %016llx", content.size(), static_cast<unsigned long long>(hash));
            line += digits;
        }
        files.push_back(line);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void PatcherTest::SetUp() {
    ClearGameKeys();
    fs::create_directory(game_);
}
void PatcherTest::TearDown() { ClearGameKeys(); }

}  // namespace e2e
