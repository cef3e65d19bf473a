// Code-page conversions of the POSIX backend.
//
// The Windows calls never refuse input: with flags 0 they substitute. Players' file names come from
// Windows, so this side substitutes the same way, decoding UTF-8 by the Windows rules (one U+FFFD per
// broken piece, as Windows and Wine cut them) and code page 932 through a table taken once from
// glibc's iconv "CP932", completed with the Windows choices iconv does not make.
#include "support/posix/codepage_posix.h"

#include <iconv.h>

#include <array>
#include <climits>
#include <cstdint>

#include "support/os.h"

namespace os::posix {

namespace {

constexpr char16_t kReplacement = 0xFFFD;
// What Windows puts for a code page 932 sequence that has no character, and for a character that
// has no code page 932 bytes.
constexpr char16_t kCp932DefaultWide = 0x30FB;
constexpr char kCp932DefaultByte = '?';

// Collects output units; with capacity 0 only counts them.
template <typename Unit>
class Sink {
public:
    Sink(Unit* out, int capacity) : out_(out), capacity_(capacity) {}
    void Put(Unit unit) {
        if (count_ == INT_MAX || (capacity_ > 0 && count_ >= capacity_)) {
            overflow_ = true;
            return;
        }
        if (capacity_ > 0) out_[count_] = unit;
        ++count_;
    }
    int Result() const { return overflow_ ? 0 : count_; }
    // The whole text and its terminator; the result.
    int PutText(const std::basic_string<Unit>& text) {
        for (Unit unit : text) Put(unit);
        Put(0);
        return Result();
    }

private:
    Unit* out_;
    int capacity_;
    int count_ = 0;
    bool overflow_ = false;
};

// One UTF-8 character at p, advancing p past what belongs to it; kReplacement for a broken sequence.
// Follows the Windows cut: a lead byte takes the continuation bytes that still could form a valid
// character, so "E3 81 x" is one replacement and "ED A0 80" (a surrogate) two. The terminator is
// never a continuation byte, so decoding never passes it.
std::uint32_t DecodeUtf8(const unsigned char*& p) {
    unsigned char ch = *p++;
    if (ch < 0x80) return ch;
    int length = (ch >= 0xC2 && ch <= 0xDF) ? 1 : (ch >= 0xE0 && ch <= 0xEF) ? 2 : (ch >= 0xF0 && ch <= 0xF4) ? 3 : 0;
    static constexpr unsigned char kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t code = ch & kMask[length];
    unsigned c;
    switch (length) {
    case 3:
        if ((c = p[0] ^ 0x80u) >= 0x40) return kReplacement;
        code = (code << 6) | c;
        ++p;
        if (code < 0x10) return kReplacement;  // overlong
        [[fallthrough]];
    case 2:
        if ((c = p[0] ^ 0x80u) >= 0x40) return kReplacement;
        code = (code << 6) | c;
        if (code >= (0x110000 >> 6)) return kReplacement;  // beyond Unicode: this byte starts anew
        ++p;
        if (code < 0x20) return kReplacement;  // overlong
        if (code >= (0xD800 >> 6) && code <= (0xDFFF >> 6)) return kReplacement;  // a surrogate
        [[fallthrough]];
    case 1:
        if ((c = p[0] ^ 0x80u) >= 0x40) return kReplacement;
        code = (code << 6) | c;
        ++p;
        return code;
    default:
        return kReplacement;
    }
}

void AppendUtf16(std::u16string& s, std::uint32_t code) {
    if (code >= 0x10000) {
        code -= 0x10000;
        s.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        s.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
        s.push_back(static_cast<char16_t>(code));
    }
}

// One UTF-16 character at p, advancing p; a lone surrogate becomes U+FFFD as on Windows.
std::uint32_t DecodeUtf16(const char16_t*& p) {
    std::uint32_t unit = *p++;
    if (unit >= 0xD800 && unit <= 0xDBFF && *p >= 0xDC00 && *p <= 0xDFFF)
        return 0x10000 + ((unit - 0xD800) << 10) + (*p++ - 0xDC00);
    if (unit >= 0xD800 && unit <= 0xDFFF) return kReplacement;
    return unit;
}

void AppendUtf8(std::string& s, std::uint32_t code) {
    // The lead byte tells how many continuation bytes follow; each of those carries six bits.
    static constexpr std::uint32_t kLead[4] = {0x00, 0xC0, 0xE0, 0xF0};
    const int more = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    s.push_back(static_cast<char>(kLead[more] | (code >> (6 * more))));
    for (int i = more - 1; i >= 0; --i) s.push_back(static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F)));
}

bool IsCp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// Code page 932 both ways. Single bytes are fixed by the code page; pairs come from iconv.
struct Cp932Tables {
    std::array<char16_t, 256> single{};
    std::array<char16_t, 65536> pair{};      // lead << 8 | trail -> UTF-16, 0 when unassigned
    std::array<std::uint16_t, 65536> back{};  // UTF-16 -> byte or byte pair, 0 when none
};

// Extra Windows mappings from UTF-16 to code page 932 that are not round trips ("best fit").
struct BestFit {
    char16_t from;
    std::uint16_t to;
};
#include "support/posix/cp932_bestfit.inc"

// Converts the two bytes a and b on their own; the number of bytes put in out, 0 when iconv fails.
std::size_t IconvPair(iconv_t cd, char a, char b, unsigned char (&out)[4]) {
    char in[2] = {a, b};
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t inLeft = 2, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return 0;
    return sizeof out - outLeft;
}

std::uint16_t IconvEncode(iconv_t cd, char16_t unit) {
    unsigned char out[4] = {};
    std::size_t n = IconvPair(cd, static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8), out);
    if (n == 1) return out[0];
    if (n == 2) return static_cast<std::uint16_t>(out[0] << 8 | out[1]);
    return 0;
}

void BuildCp932(Cp932Tables& t) {
    for (int b = 0; b < 0x80; ++b) t.single[b] = static_cast<char16_t>(b);
    for (int b = 0xA1; b <= 0xDF; ++b) t.single[b] = static_cast<char16_t>(0xFF61 + (b - 0xA1));
    // The bytes Windows keeps although they name no character.
    t.single[0x80] = 0x0080;
    t.single[0xA0] = 0xF8F0;
    t.single[0xFD] = 0xF8F1;
    t.single[0xFE] = 0xF8F2;
    t.single[0xFF] = 0xF8F3;
    for (int b = 0; b < 256; ++b)
        if (t.single[b] != 0 || b == 0) t.back[t.single[b]] = static_cast<std::uint16_t>(b);

    iconv_t toWide = iconv_open("UTF-16LE", "CP932");
    iconv_t toBytes = iconv_open("CP932", "UTF-16LE");
    if (toWide == reinterpret_cast<iconv_t>(-1) || toBytes == reinterpret_cast<iconv_t>(-1)) {
        if (toWide != reinterpret_cast<iconv_t>(-1)) iconv_close(toWide);
        if (toBytes != reinterpret_cast<iconv_t>(-1)) iconv_close(toBytes);
        return;  // without the glibc module only single bytes convert; pairs become the default
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsCp932Lead(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            unsigned char out[4] = {};
            if (IconvPair(toWide, static_cast<char>(lead), static_cast<char>(trail), out) != 2) continue;
            char16_t unit = static_cast<char16_t>(out[0] | out[1] << 8);
            if (unit == 0) continue;
            std::uint16_t bytes = static_cast<std::uint16_t>(lead << 8 | trail);
            t.pair[bytes] = unit;
            if (t.back[unit] == 0) {
                t.back[unit] = bytes;
            } else if (t.back[unit] != bytes) {
                // Several byte pairs give this character: iconv knows which one Windows writes.
                if (std::uint16_t chosen = IconvEncode(toBytes, unit)) t.back[unit] = chosen;
            }
        }
    }
    iconv_close(toWide);
    iconv_close(toBytes);
    for (const BestFit& f : kCp932BestFit)
        if (t.back[f.from] == 0) t.back[f.from] = f.to;
}

const Cp932Tables& Cp932() {
    static Cp932Tables* tables = [] {
        auto* t = new Cp932Tables;  // kept for the life of the process
        BuildCp932(*t);
        return t;
    }();
    return *tables;
}

// What both directions refuse with 0: no text, a negative capacity, a capacity without a buffer, or
// a code page other than these two.
bool Refused(unsigned codePage, const void* text, const void* out, int capacity) {
    return text == nullptr || capacity < 0 || (capacity > 0 && out == nullptr) ||
           (codePage != kCodePageUtf8 && codePage != kCodePage932);
}

}  // namespace

int MultiToWide(unsigned codePage, const char* text, char16_t* out, int capacity) {
    if (Refused(codePage, text, out, capacity)) return 0;
    Sink<char16_t> sink(out, capacity);
    if (codePage == kCodePageUtf8) return sink.PutText(Utf8ToUtf16(text));
    auto p = reinterpret_cast<const unsigned char*>(text);
    const Cp932Tables& t = Cp932();
    for (;;) {
        unsigned char b = *p++;
        if (!IsCp932Lead(b)) {
            sink.Put(t.single[b]);
            if (b == 0) break;
        } else {
            // A lead byte takes whatever follows it but the terminator, as on Windows.
            char16_t unit = *p != 0 ? t.pair[b << 8 | *p++] : 0;
            sink.Put(unit != 0 ? unit : kCp932DefaultWide);
        }
    }
    return sink.Result();
}

int WideToMulti(unsigned codePage, const char16_t* text, char* out, int capacity) {
    if (Refused(codePage, text, out, capacity)) return 0;
    Sink<char> sink(out, capacity);
    if (codePage == kCodePageUtf8) return sink.PutText(Utf16ToUtf8(text));
    const char16_t* p = text;
    const Cp932Tables& t = Cp932();
    for (;;) {
        // Unit by unit, as Windows does: a pair outside the BMP gives two defaults.
        char16_t unit = *p++;
        std::uint16_t bytes = unit == 0 || t.back[unit] != 0 ? t.back[unit] : kCp932DefaultByte;
        if (bytes >= 0x100) sink.Put(static_cast<char>(bytes >> 8));
        sink.Put(static_cast<char>(bytes & 0xFF));
        if (unit == 0) break;
    }
    return sink.Result();
}

std::string Utf16ToUtf8(const char16_t* text) {
    std::string s;
    if (text == nullptr) return s;
    for (const char16_t* p = text; *p != 0;) {
        AppendUtf8(s, DecodeUtf16(p));
    }
    return s;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string s;
    auto p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (std::uint32_t code = DecodeUtf8(p)) AppendUtf16(s, code);
    return s;
}

}  // namespace os::posix
