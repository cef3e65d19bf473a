// Detection of a name's encoding and the walk over its characters: decoding, search, lower-casing,
// comparison and copying.
//
// Every byte read here is guarded by a terminator check first, so a string that ends inside a
// character (a lone lead byte, a UTF-8 sequence cut short) never leads a walk into the memory that
// follows it.
#include "support/text.h"

#include <bit>
#include <cstring>

#include "support/ascii.h"

namespace {

inline unsigned char Byte(const char* p) { return static_cast<unsigned char>(*p); }

}  // namespace

TextEncoding DetectTextEncoding(const char* text) {
    if (text == nullptr) return TE_ASCII;
    int sequences = 0;
    const char* p = text;
    while (*p != 0) {
        unsigned char b = Byte(p);
        if (b < 0x80) {
            ++p;
            continue;
        }
        if (b < 0xC2) return TE_CODEPAGE;
        // The 1-bits from the top of a lead byte: the sequence length it announces.
        const int length = std::countl_one(b);
        for (int i = 1; i < length; ++i) {
            // The terminator fails this test too, so the scan never passes it.
            unsigned char t = Byte(p + i);
            if (t < 0x80 || t > 0xBF) return TE_CODEPAGE;
        }
        // Three well-formed sequences are taken as proof enough; the rest is not looked at.
        if (++sequences == 3) return TE_UTF8;
        p += length;
    }
    return sequences == 0 ? TE_ASCII : TE_UTF8;
}

std::uint32_t DecodeUtf8Char(std::uint32_t* code, const char* text) {
    unsigned char first = Byte(text);
    if (first < 0x80) {
        if (code) *code = first;
        return 1;
    }
    std::uint32_t n = 2;
    for (int bit = 5; bit >= 0 && (first & (1u << bit)) != 0; --bit) ++n;

    std::uint32_t value = 0;
    for (std::uint32_t i = 1; i < n; ++i) {
        unsigned char b = Byte(text + i);
        if (b == 0) {
            // Cut short by the terminator: the bytes up to it form one character of their own,
            // and since they name no value it decodes as the replacement character.
            if (code) *code = 0xFFFD;
            return i;
        }
        value = (value << 6) + (b & 0x3Fu);
    }
    std::uint32_t payload = first & (0xFFu >> (n + 1));
    if (payload != 0) value += payload << (6 * (n - 1));
    if (code) *code = value;
    return n;
}

int IsCp932LeadByte(const char* p) {
    unsigned char b = Byte(p);
    return ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) || b == 0xFF) ? 1 : 0;
}

int IsFullWidthCode(std::uint32_t code) {
    // Neither ASCII nor a half-width katakana.
    return (code >= 0x80 && !(code >= 0xFF61 && code <= 0xFF9F)) ? 1 : 0;
}

std::uint32_t DecodeChar(std::uint32_t* code, const char* text, TextEncoding mode) {
    if (mode == TE_AUTO) mode = DetectTextEncoding(text);
    std::uint32_t value = Byte(text);
    std::uint32_t length = 1;
    switch (mode) {
    case TE_CODEPAGE:
        // A lead byte right before the terminator has no partner; it stands alone.
        if (IsCp932LeadByte(text) && text[1] != 0) {
            value = value * 256u + Byte(text + 1);
            length = 2;
        }
        break;
    case TE_UTF8:
        length = DecodeUtf8Char(&value, text);
        if (value >= 0xD800 && value <= 0xDBFF && text[length] != 0) {
            std::uint32_t low = 0;
            std::uint32_t lowLength = DecodeUtf8Char(&low, text + length);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
                length += lowLength;
            }
        }
        break;
    case TE_ASCII:
        break;
    default:  // a mode outside the table
        value = 0;
        length = 0;
        break;
    }
    if (code) *code = value;
    return length;
}

const char* StrFindChar(const char* text, std::uint32_t code, TextEncoding mode) {
    if (text == nullptr) return nullptr;
    if (mode == TE_AUTO) mode = DetectTextEncoding(text);
    if (mode == TE_ASCII) return std::strchr(text, static_cast<int>(code & 0xFF));
    if (mode != TE_CODEPAGE && mode != TE_UTF8) return nullptr;

    const char* p = text;
    while (*p != 0) {
        std::uint32_t c = 0;
        std::uint32_t length = DecodeChar(&c, p, mode);
        if (c == code && code != 0) return p;
        p += length;
    }
    return code == 0 ? p : nullptr;
}

char* StrToLower(char* text) {
    if (text == nullptr) return nullptr;
    TextEncoding mode = DetectTextEncoding(text);
    // Bytes are lowered as in the "C" locale, which the program never leaves; in ASCII text every
    // byte is a character of its own.
    for (char* p = text; *p != 0;) {
        std::uint32_t length = DecodeChar(nullptr, p, mode);
        if (length == 1) *p = AsciiLower(*p);
        p += length;
    }
    return text;
}

int StrCompare(const char* a, const char* b) {
    // strcmp compares the bytes as unsigned char; only the sign of its result is defined.
    int order = std::strcmp(a, b);
    return (order > 0) - (order < 0);
}

char* StrCopy(char* destination, std::size_t capacity, const char* source) {
    if (destination == nullptr || source == nullptr) return nullptr;
    std::size_t length = std::strlen(source);
    if (length >= capacity) return nullptr;
    std::memcpy(destination, source, length + 1);
    return destination;
}
