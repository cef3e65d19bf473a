// Multibyte text helpers: detection, character walking, case folding, conversion through the OS
// seam, path splitting and wide formatting.
//
// Every byte read here is guarded by a terminator check first, so a string that ends inside a
// character (a lone lead byte, a UTF-8 sequence cut short) never leads a walk into the memory that
// follows it.
#include "support/text.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>

#include "support/ascii.h"
#include "support/os.h"

namespace {

inline unsigned char Byte(const char* p) { return static_cast<unsigned char>(*p); }

// Number of 1-bits from the top of a UTF-8 lead byte: the sequence length it announces.
int LeadOnes(unsigned char b) {
    int n = 0;
    while (n < 8 && (b & (0x80u >> n)) != 0) ++n;
    return n;
}

// ASCII text converts as UTF-8.
std::uint32_t SourceCodePage(const char* text) {
    return DetectTextEncoding(text) == TE_CODEPAGE ? kDefaultCodePage : os::kCodePageUtf8;
}

std::uint32_t TargetCodePage(TextEncoding target) {
    return target == TE_UTF8 ? os::kCodePageUtf8 : kDefaultCodePage;
}

// A converted text must end in its terminator. Wine's MultiByteToWideChar loses it after a UTF-8
// lead byte of a three- or four-byte sequence that stands right before the end, and counts one unit
// less: such a result is closed here when the buffer has room, and refused when it has not.
template <typename Unit>
bool EndsTerminated(Unit* out, int written, std::size_t capacity) {
    if (out[written - 1] == 0) return true;
    if (static_cast<std::size_t>(written) >= capacity) return false;
    out[written] = 0;
    return true;
}

// The two directions of the OS conversion, so that one template serves both.
int Convert(os::Api& api, std::uint32_t codePage, const char* text, char16_t* out, int capacity) {
    return api.MultiToWide(codePage, text, out, capacity);
}
int Convert(os::Api& api, std::uint32_t codePage, const char16_t* text, char* out, int capacity) {
    return api.WideToMulti(codePage, text, out, capacity);
}

// Converts text into out (capacity units) in two steps, size first, so that a result that does not
// fit is refused before anything is written.
template <typename From, typename To>
To* ConvertInto(std::uint32_t codePage, const From* text, To* out, std::size_t capacity) {
    os::Api& api = os::Current();
    int n = Convert(api, codePage, text, static_cast<To*>(nullptr), 0);
    if (n < 1 || static_cast<std::size_t>(n) > capacity) return nullptr;
    int written = Convert(api, codePage, text, out, n);
    if (written < 1 || !EndsTerminated(out, written, capacity)) {
        out[0] = 0;
        return nullptr;
    }
    return out;
}

template <typename From, typename To>
std::unique_ptr<To[]> ConvertAlloc(std::uint32_t codePage, const From* text) {
    os::Api& api = os::Current();
    int n = Convert(api, codePage, text, static_cast<To*>(nullptr), 0);
    if (n < 1) return nullptr;
    // One unit more than the count, zeroed, so the result is terminated even when the platform
    // drops the terminator (see EndsTerminated).
    auto buffer = std::make_unique<To[]>(static_cast<std::size_t>(n) + 1);
    if (Convert(api, codePage, text, buffer.get(), n) < 1) return nullptr;
    return buffer;
}

}  // namespace

TextEncoding DetectTextEncoding(const char* text) {
    if (text == nullptr) return TE_ASCII;
    int sequences = 0;
    bool allAscii = true;
    const char* p = text;
    while (*p != 0) {
        unsigned char b = Byte(p);
        if (b < 0x80) {
            ++p;
            continue;
        }
        if (b < 0xC2) return TE_CODEPAGE;
        int length = LeadOnes(b);
        for (int i = 1; i < length; ++i) {
            // The terminator fails this test too, so the scan never passes it.
            unsigned char t = Byte(p + i);
            if (t < 0x80 || t > 0xBF) return TE_CODEPAGE;
        }
        // Three well-formed sequences are taken as proof enough; the rest is not looked at.
        if (++sequences == 3) return TE_UTF8;
        allAscii = false;
        p += length;
    }
    return allAscii ? TE_ASCII : TE_UTF8;
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

char16_t* MultiToWide(char16_t* out, std::size_t capacity, const char* text) {
    if (out == nullptr || text == nullptr) return nullptr;
    return ConvertInto(SourceCodePage(text), text, out, capacity);
}

std::unique_ptr<char16_t[]> MultiToWide(const char* text) {
    if (text == nullptr) return nullptr;
    return ConvertAlloc<char, char16_t>(SourceCodePage(text), text);
}

char* WideToMulti(char* out, std::size_t capacity, const char16_t* text, TextEncoding target) {
    if (out == nullptr || text == nullptr) return nullptr;
    return ConvertInto(TargetCodePage(target), text, out, capacity);
}

std::unique_ptr<char[]> WideToMulti(const char16_t* text, TextEncoding target) {
    if (text == nullptr) return nullptr;
    return ConvertAlloc<char16_t, char>(TargetCodePage(target), text);
}

namespace {

// True when the text can be handed over as it is: plain ASCII reads the same in every code page,
// and text already in the target code page needs no conversion.
bool CopiesUnchanged(const char* text, std::uint32_t targetCodePage) {
    TextEncoding source = DetectTextEncoding(text);
    return source == TE_ASCII || TargetCodePage(source) == targetCodePage;
}

}  // namespace

char* ConvertText(char* out, std::size_t capacity, const char* text, TextEncoding target) {
    if (out == nullptr || text == nullptr) return nullptr;
    std::uint32_t codePage = TargetCodePage(target);
    if (CopiesUnchanged(text, codePage)) return StrCopy(out, capacity, text);
    std::unique_ptr<char16_t[]> wide = MultiToWide(text);
    if (!wide) return nullptr;
    return ConvertInto(codePage, wide.get(), out, capacity);
}

std::unique_ptr<char[]> ConvertText(const char* text, TextEncoding target) {
    if (text == nullptr) return nullptr;
    std::uint32_t codePage = TargetCodePage(target);
    if (CopiesUnchanged(text, codePage)) {
        std::size_t size = std::strlen(text) + 1;
        auto copy = std::make_unique<char[]>(size);
        std::memcpy(copy.get(), text, size);
        return copy;
    }
    std::unique_ptr<char16_t[]> wide = MultiToWide(text);
    if (!wide) return nullptr;
    return ConvertAlloc<char16_t, char>(codePage, wide.get());
}

std::size_t WideLength(const char16_t* text) {
    return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

// --- path splitting ---

namespace {

constexpr std::size_t kDriveLimit = 2;
constexpr std::size_t kPartLimit = 255;

// One part of a split path and the output it goes to.
struct Part {
    char16_t* out;
    std::size_t capacity;
    std::size_t limit;
    const char16_t* start;
    std::size_t length;
};

}  // namespace

bool SplitPathWide(const WideSplitOutputs& out, const char* path) {
    // An unconvertible path splits as the empty one.
    char16_t work[kPathUnits];
    const bool converted = path != nullptr && MultiToWide(work, kPathUnits, path) != nullptr;
    if (!converted) work[0] = 0;
    const char16_t* p = work;
    const char16_t* end = p + WideLength(p);

    const char16_t* drive = p;
    if (end - p >= 2 && p[1] == u':') p += 2;
    const char16_t* lastSeparator = nullptr;
    const char16_t* lastDot = nullptr;
    for (const char16_t* q = p; q < end; ++q) {
        if (*q == u'\\' || *q == u'/') {
            lastSeparator = q;
            lastDot = nullptr;  // a dot in a folder name does not start the extension
        } else if (*q == u'.') {
            lastDot = q;
        }
    }
    const char16_t* nameStart = lastSeparator != nullptr ? lastSeparator + 1 : p;
    const char16_t* extStart = lastDot != nullptr ? lastDot : end;
    const Part parts[] = {
        {out.drive, out.driveCapacity, kDriveLimit, drive, static_cast<std::size_t>(p - drive)},
        {out.dir, out.dirCapacity, kPartLimit, p, static_cast<std::size_t>(nameStart - p)},
        {out.fname, out.fnameCapacity, kPartLimit, nameStart, static_cast<std::size_t>(extStart - nameStart)},
        {out.ext, out.extCapacity, kPartLimit, extStart, static_cast<std::size_t>(end - extStart)},
    };
    // An output that is not requested always fits; one that is must hold the part and its
    // terminator, and the part must be within the run-time's limit for it. When one does not fit,
    // every requested output is emptied.
    bool fits = true;
    for (const Part& part : parts)
        if (part.out != nullptr && (part.length > part.limit || part.length >= part.capacity)) fits = false;
    for (const Part& part : parts) {
        if (part.out == nullptr || part.capacity == 0) continue;
        std::size_t length = fits ? part.length : 0;
        std::copy_n(part.start, length, part.out);
        part.out[length] = 0;
    }
    return converted || path == nullptr;
}

bool SplitPath(char* drive, char* dir, char* fname, char* ext, const char* path) {
    char16_t parts[4][kPathUnits];
    bool converted =
        SplitPathWide({parts[0], kPathUnits, parts[1], kPathUnits, parts[2], kPathUnits, parts[3], kPathUnits}, path);
    char* outputs[4] = {drive, dir, fname, ext};
    for (int i = 0; i < 4; ++i) {
        if (outputs[i] == nullptr) continue;
        if (ConvertInto(os::kCodePageUtf8, parts[i], outputs[i], kSplitPartBytes) == nullptr) {
            outputs[i][0] = 0;
            converted = false;
        }
    }
    return converted;
}

// --- wide formatting ---

namespace {

class WideWriter {
public:
    WideWriter(char16_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void Put(char16_t c) {
        // Room is kept for the terminator.
        if (length_ + 1 < capacity_) {
            out_[length_] = c;
        } else {
            overflow_ = true;
        }
        ++length_;
    }
    void PutWide(const char16_t* s) {
        while (*s != 0) Put(*s++);
    }
    void PutUnsigned(std::uint32_t value, unsigned base, bool upper) {
        const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char buffer[16];
        int n = 0;
        do {
            buffer[n++] = digits[value % base];
            value /= base;
        } while (value != 0);
        while (n > 0) Put(static_cast<char16_t>(buffer[--n]));
    }
    int Finish() {
        if (overflow_ || length_ > static_cast<std::size_t>(INT_MAX)) {
            out_[0] = 0;
            return -1;
        }
        out_[length_] = 0;
        return static_cast<int>(length_);
    }

private:
    char16_t* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

}  // namespace

int FormatWide(char16_t* out, std::size_t capacity, const char16_t* format, ...) {
    if (out == nullptr || capacity == 0) return -1;
    if (format == nullptr) {
        out[0] = 0;
        return -1;
    }
    WideWriter w(out, capacity);
    va_list args;
    va_start(args, format);
    for (const char16_t* f = format; *f != 0; ++f) {
        if (*f != u'%') {
            w.Put(*f);
            continue;
        }
        char16_t conversion = f[1];
        switch (conversion) {
        case u's': {
            const char16_t* s = va_arg(args, const char16_t*);
            w.PutWide(s != nullptr ? s : u"(null)");
            break;
        }
        case u'd': {
            int v = va_arg(args, int);
            if (v < 0) w.Put(u'-');
            w.PutUnsigned(v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v), 10, false);
            break;
        }
        case u'u':
            w.PutUnsigned(va_arg(args, unsigned), 10, false);
            break;
        case u'x':
        case u'X':
            w.PutUnsigned(va_arg(args, unsigned), 16, conversion == u'X');
            break;
        case u'c':
            // char16_t is promoted to int when passed through the ellipsis.
            w.Put(static_cast<char16_t>(va_arg(args, int)));
            break;
        case u'%':
            w.Put(u'%');
            break;
        case 0:
            // A lone '%' at the end is kept as it is.
            w.Put(u'%');
            --f;
            break;
        default:
            // Unknown conversions are copied, not interpreted: no argument is taken for them.
            w.Put(u'%');
            w.Put(conversion);
            break;
        }
        ++f;
    }
    va_end(args);
    return w.Finish();
}
