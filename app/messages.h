// The program's user-visible texts, the caption they appear under, and the message boxes.
//
// Every message is at least 26 characters long: shorter texts are filled up with U+3000
// IDEOGRAPHIC SPACE, which widens the boxes to one size.
#pragma once

#include <windows.h>

#include <cstddef>

#include "update/result.h"

inline constexpr std::size_t kCaptionUnits = 1024;
inline constexpr std::size_t kMessageWidth = 26;

// The caption of every message box and the title of the progress dialog.
extern wchar_t g_captionBuffer[kCaptionUnits];

// A zero-terminated text held by value, so that it can be built at compile time.
template <std::size_t Units>
struct MessageText {
    wchar_t text[Units];
    constexpr operator const wchar_t*() const { return text; }
};

// text followed by U+3000 up to kMessageWidth characters; longer texts stay as they are.
template <std::size_t N>
consteval auto PadMessage(const wchar_t (&text)[N]) {
    constexpr std::size_t length = N - 1 < kMessageWidth ? kMessageWidth : N - 1;
    MessageText<length + 1> out{};
    for (std::size_t i = 0; i < length; ++i) out.text[i] = i < N - 1 ? text[i] : L'\u3000';
    return out;
}

inline constexpr auto kGameRunningText =
    PadMessage(L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません");
inline constexpr auto kNotInstalledText = PadMessage(L"ゲームがインストールされていません");
inline constexpr auto kConfirmText = PadMessage(L"アップデートを行いますか？");
inline constexpr auto kDialogFailedText = PadMessage(L"ダイアログの起動に失敗しました。");
inline constexpr auto kCompletedText = PadMessage(L"アップデートが完了しました");
inline constexpr auto kDamagedText = PadMessage(L"アップデートプログラムが破損している可能性があります");
inline constexpr auto kCannotUpdateText = PadMessage(L"何らかの要因によりアップデートが行えません");
inline constexpr auto kUninstallListText = PadMessage(L"アンインストレーションファイルの更新に失敗しました");
inline constexpr auto kCancelQuestionText = PadMessage(L"アップデートを中止しますか？");

inline constexpr UINT kInfoStyle = MB_OK | MB_ICONINFORMATION;                   // 0x40
inline constexpr UINT kWarningStyle = MB_OK | MB_ICONWARNING;                    // 0x30
inline constexpr UINT kQuestionStyle = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;  // 0x124, No by default

// Fills the caption buffer, terminator included: the caption of the image's caption slot, or the
// built-in one when the slot is damaged (update/caption_slot.h).
void LoadCaption(wchar_t* buffer);

// A warning box without an owner, under the caption; the answer is not used.
void ShowWarningMessage(const wchar_t* text);

// The text and box style that report an update's result; null (and *style untouched) for the
// results that end the run without a message: cancelled, window closed, and anything unknown.
const wchar_t* ResultMessage(UpdateResult result, UINT* style);
