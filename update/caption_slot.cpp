#include "update/caption_slot.h"

#include <cstring>

bool CaptionSlotSound(const CaptionSlot& slot) {
    if (std::memcmp(slot.marker, kCaptionMarker, sizeof kCaptionMarker) != 0 || slot.text[0] == 0) return false;
    for (char16_t unit : slot.text) {
        if (unit == 0) return true;
    }
    return false;
}

const char16_t* SlotCaption(const CaptionSlot& slot) {
    return CaptionSlotSound(slot) ? slot.text : kBuiltInCaption.text;
}
