// The caption, every message text unit for unit, and the message that reports each result.
#include <gtest/gtest.h>

#include <string>

#include "app/messages.h"

namespace {

std::wstring Padded(const wchar_t* text, std::size_t spaces) { return text + std::wstring(spaces, L'\u3000'); }

TEST(Messages, CaptionIsLoadedWithItsTerminator) {
    wchar_t buffer[64];
    for (wchar_t& c : buffer) c = L'x';
    LoadCaption(buffer);
    // U+300C, the title (with the precomposed U+30F4), U+300D, " ver 1.01 ", "更新パッチ".
    const wchar_t expected[] = L"\u300C\u30F4\u30A7\u30EB\u30E2\u30E9\u300D ver 1.01 \u66F4\u65B0\u30D1\u30C3\u30C1";
    EXPECT_EQ(0, std::wmemcmp(expected, buffer, sizeof expected / sizeof expected[0]));
    EXPECT_EQ(L'x', buffer[sizeof expected / sizeof expected[0]]);
}

TEST(Messages, TextsAreExactAndPaddedToTwentySixWithIdeographicSpaces) {
    struct Case {
        const wchar_t* actual;
        std::wstring expected;
    };
    const Case cases[] = {
        {kGameRunningText,
         Padded(L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません", 0)},
        {kNotInstalledText, Padded(L"ゲームがインストールされていません", 9)},
        {kConfirmText, Padded(L"アップデートを行いますか？", 13)},
        {kDialogFailedText, Padded(L"ダイアログの起動に失敗しました。", 10)},
        {kCompletedText, Padded(L"アップデートが完了しました", 13)},
        {kDamagedText, Padded(L"アップデートプログラムが破損している可能性があります", 0)},
        {kCannotUpdateText, Padded(L"何らかの要因によりアップデートが行えません", 5)},
        {kUninstallListText, Padded(L"アンインストレーションファイルの更新に失敗しました", 1)},
        {kCancelQuestionText, Padded(L"アップデートを中止しますか？", 12)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, std::wstring(c.actual));
        EXPECT_EQ(c.actual == kGameRunningText ? 43u : 26u, std::wstring(c.actual).size()) << c.expected.size();
    }
    // Spot checks against the code units, independent of how this file is encoded.
    EXPECT_EQ(std::wstring(L"\u30A2\u30C3\u30D7\u30C7\u30FC\u30C8\u3092\u884C\u3044\u307E\u3059\u304B\uFF1F") +
                  std::wstring(13, L'\u3000'),
              std::wstring(kConfirmText));
    EXPECT_EQ(L'\u3000', kNotInstalledText.text[25]);
    EXPECT_EQ(L'\0', kNotInstalledText.text[26]);
}

TEST(Messages, StylesAreInformationWarningAndNoDefaultQuestion) {
    EXPECT_EQ(0x40u, kInfoStyle);
    EXPECT_EQ(0x30u, kWarningStyle);
    EXPECT_EQ(0x124u, kQuestionStyle);
}

TEST(Messages, EachResultHasItsMessageOrNone) {
    struct Case {
        UpdateResult result;
        const wchar_t* text;
        UINT style;
    };
    const Case cases[] = {
        {UpdateOk, kCompletedText, 0x40},
        {UpdateDamaged, kDamagedText, 0x30},
        {UpdateTooManyEntries, kDamagedText, 0x30},
        {UpdateReserved, kDamagedText, 0x30},
        {UpdateInstallFailed, kCannotUpdateText, 0x30},
        {UpdateUninstallListFailed, kUninstallListText, 0x30},
        {UpdateCancelled, nullptr, 0},
        {UpdateWindowClosed, nullptr, 0},
        {0x80000008u, nullptr, 0},
        {1, nullptr, 0},
        {0xFFFFFFFFu, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        UINT style = 0xDEAD;
        const wchar_t* text = ResultMessage(c.result, &style);
        EXPECT_EQ(c.text, text);
        EXPECT_EQ(c.text ? c.style : 0xDEADu, style);
    }
}

}  // namespace
