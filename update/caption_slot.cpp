#include "update/caption_slot.h"

#include <cstring>
#include <string>

bool CaptionSlotSound(const CaptionSlot& slot) {
    return std::memcmp(slot.marker, kCaptionMarker, sizeof kCaptionMarker) == 0 && slot.text[0] != 0 &&
           std::char_traits<char16_t>::find(slot.text, kCaptionSlotUnits, u'\0') != nullptr;
}

const char16_t* SlotCaption(const CaptionSlot& slot) {
    return CaptionSlotSound(slot) ? slot.text : kBuiltInCaption.text;
}
