// The caption, the message boxes and the result messages.
#include "app/messages.h"

wchar_t g_captionBuffer[kCaptionUnits];

void LoadCaption(wchar_t* buffer) {
    static const wchar_t kCaption[] = L"「ヴェルモラ」 ver 1.01 更新パッチ";
    for (std::size_t i = 0; i < sizeof kCaption / sizeof kCaption[0]; ++i) buffer[i] = kCaption[i];
}

void ShowWarningMessage(const wchar_t* text) { MessageBoxW(nullptr, text, g_captionBuffer, kWarningStyle); }

const wchar_t* ResultMessage(UpdateResult result, UINT* style) {
    const wchar_t* text = nullptr;
    switch (result) {
    case UpdateOk: text = kCompletedText; break;
    case UpdateDamaged:
    case UpdateTooManyEntries:
    case UpdateReserved: text = kDamagedText; break;
    case UpdateInstallFailed: text = kCannotUpdateText; break;
    case UpdateUninstallListFailed: text = kUninstallListText; break;
    default: return nullptr;
    }
    *style = result == UpdateOk ? kInfoStyle : kWarningStyle;
    return text;
}
