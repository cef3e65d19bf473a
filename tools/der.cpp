#include "tools/der.h"

bool ReadDerElement(const std::uint8_t* at, const std::uint8_t* end, DerElement* element) {
    if (!at || end - at < 2 || (at[0] & 0x1F) == 0x1F) return false;
    std::size_t length = at[1];
    const std::uint8_t* p = at + 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<std::size_t>(end - p) < bytes || p[0] == 0) return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | *p++;
        if (length < 0x80) return false;
    }
    if (length > static_cast<std::size_t>(end - p)) return false;
    *element = {at[0], p, length, p + length};
    return true;
}

std::string DerOidText(const DerElement& oid) {
    if (oid.size == 0 || (oid.body[oid.size - 1] & 0x80)) return {};
    std::string text;
    std::uint64_t arc = 0;
    for (std::size_t i = 0; i < oid.size; ++i) {
        if (arc >> 56 || (arc == 0 && oid.body[i] == 0x80)) return {};  // too long, or not in its shortest form
        arc = arc << 7 | (oid.body[i] & 0x7F);
        if (oid.body[i] & 0x80) continue;
        if (text.empty()) {
            const std::uint64_t first = arc < 80 ? arc / 40 : 2;
            text = std::to_string(first) + "." + std::to_string(arc - first * 40);
        } else {
            text += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return text;
}
