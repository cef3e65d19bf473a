// The patcher's caption (every message box's and the progress dialog's) and the slot in the patcher
// image that holds it, so that the kit can stamp a patch with the game version it brings without a
// compiler: `patchtool build --game-version 1.02`.
//
// The slot is the section ".caption" of the image: it starts with the 8-byte marker "VLMCAPT1",
// followed by the caption as UTF-16LE, zero-terminated and zero-filled to kCaptionSlotUnits units.
// The kit finds it by the section's name and checks the marker; stamping rewrites these bytes in
// place, so nothing in the image moves. A slot whose marker is wrong or whose text is empty or not
// terminated gives the built-in caption, the one of version kBuiltInGameVersion.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr char kCaptionSection[8] = {'.', 'c', 'a', 'p', 't', 'i', 'o', 'n'};
inline constexpr char kCaptionMarker[8] = {'V', 'L', 'M', 'C', 'A', 'P', 'T', '1'};
inline constexpr std::size_t kCaptionSlotUnits = 64;
// The caption is kCaptionBefore, the game version, kCaptionAfter.
inline constexpr char16_t kCaptionBefore[] = u"「ヴェルモラ」 ver ";
inline constexpr char16_t kCaptionAfter[] = u" 更新パッチ";
inline constexpr char kBuiltInGameVersion[] = "1.01";
inline constexpr std::size_t kGameVersionMaxLength = 16;

struct CaptionSlot {
    char marker[8];
    char16_t text[kCaptionSlotUnits];
};
static_assert(sizeof(CaptionSlot) == 8 + 2 * kCaptionSlotUnits);

// The slot holding the caption of version (at most kGameVersionMaxLength ASCII characters).
constexpr CaptionSlot MakeCaptionSlot(std::string_view version) {
    CaptionSlot slot{};
    for (std::size_t i = 0; i < sizeof kCaptionMarker; ++i) slot.marker[i] = kCaptionMarker[i];
    std::size_t at = 0;
    for (std::size_t i = 0; kCaptionBefore[i]; ++i) slot.text[at++] = kCaptionBefore[i];
    for (char c : version.substr(0, kGameVersionMaxLength)) slot.text[at++] = static_cast<char16_t>(c);
    for (std::size_t i = 0; kCaptionAfter[i]; ++i) slot.text[at++] = kCaptionAfter[i];
    return slot;
}

inline constexpr CaptionSlot kBuiltInCaption = MakeCaptionSlot(kBuiltInGameVersion);

// The caption the patcher shows for slot: its text when the slot is sound, else the built-in one.
const char16_t* SlotCaption(const CaptionSlot& slot);
// Whether the slot is sound: the marker, and a text of at least one unit terminated within the slot.
bool CaptionSlotSound(const CaptionSlot& slot);
