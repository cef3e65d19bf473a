// The caption, the message boxes and the result messages.
#include "app/messages.h"

#include "update/caption_slot.h"

wchar_t g_captionBuffer[kCaptionUnits];

// The caption slot, in a section of its own that patchtool rewrites when it stamps a patch.
[[gnu::section(".caption"), gnu::used]] constinit const CaptionSlot g_captionSlot = kBuiltInCaption;

void LoadCaption(wchar_t* buffer) {
    // The slot is read as the image holds it, never as the compiler knows its initial value.
    const CaptionSlot* slot = &g_captionSlot;
    asm("" : "+r"(slot));
    const char16_t* caption = SlotCaption(*slot);
    std::size_t i = 0;
    do buffer[i] = static_cast<wchar_t>(caption[i]);
    while (caption[i++] != 0);
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
