// Multibyte text helpers.
//
// Names reach the engine as zero-terminated byte strings in UTF-8 or code page 932 (Shift-JIS), with
// nothing recording which: the encoding is detected from the bytes each time. These helpers detect
// it, walk strings one character at a time without splitting a double-byte character, search,
// lower-case and compare them, convert them to and from UTF-16, split paths and format wide strings.
//
// Every operation that writes into a caller's buffer is told the buffer's capacity (in units of its
// element type, terminator included) and refuses a result that does not fit: it returns null or a
// failure value and writes nothing past the buffer. No walk or decode reads past a terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum TextEncoding : std::uint32_t {
    TE_CODEPAGE = 0,         // code page kDefaultCodePage
    TE_UTF8 = 1,
    TE_ASCII = 0x80000000u,  // single bytes
    TE_AUTO = 0xFFFFFFFFu,   // detected from the text itself (DetectTextEncoding)
};

inline constexpr std::uint32_t kDefaultCodePage = 932;

// Path work buffers (wide units) and SplitPath outputs (bytes).
inline constexpr std::size_t kPathUnits = 780;
inline constexpr std::size_t kSplitPartBytes = 780;

// TE_ASCII, TE_UTF8 or TE_CODEPAGE.
TextEncoding DetectTextEncoding(const char* text);
// Length in bytes of the UTF-8 sequence at text (no validation); the code in *code when given.
// A sequence cut short by the terminator is decoded up to the terminator only.
std::uint32_t DecodeUtf8Char(std::uint32_t* code, const char* text);
int IsCp932LeadByte(const char* p);
int IsFullWidthCode(std::uint32_t code);
// Length in bytes of the character at text in the given mode, 0 for a mode outside the table.
// TE_AUTO detects the mode from text on, each call: a walk detects once and passes the result.
std::uint32_t DecodeChar(std::uint32_t* code, const char* text, TextEncoding mode);
// First character with the code (the terminator for code 0), or null. TE_AUTO detects the mode
// from text.
const char* StrFindChar(const char* text, std::uint32_t code, TextEncoding mode);
inline char* StrFindChar(char* text, std::uint32_t code, TextEncoding mode) {
    return const_cast<char*>(StrFindChar(static_cast<const char*>(text), code, mode));
}
// Lower-cases ASCII letters that stand as single-byte characters, in place; returns text.
char* StrToLower(char* text);
// -1, 0 or 1, comparing unsigned bytes.
int StrCompare(const char* a, const char* b);
// Copies source with its terminator; null (nothing written) when it does not fit.
char* StrCopy(char* destination, std::size_t capacity, const char* source);

// Conversions. The buffer forms return the buffer on success and null when the conversion fails or
// the result does not fit. The allocating forms return a new buffer the caller owns, or null.
// A target of TE_UTF8 means UTF-8; every other mode means code page kDefaultCodePage.
char16_t* MultiToWide(char16_t* out, std::size_t capacity, const char* text);
std::unique_ptr<char16_t[]> MultiToWide(const char* text);
char* WideToMulti(char* out, std::size_t capacity, const char16_t* text, TextEncoding target);
std::unique_ptr<char[]> WideToMulti(const char16_t* text, TextEncoding target);
char* ConvertText(char* out, std::size_t capacity, const char* text, TextEncoding target);
std::unique_ptr<char[]> ConvertText(const char* text, TextEncoding target);

// Path splitting by the rules of the Windows run-time's _wsplitpath. Each output is optional (null)
// and comes with its capacity; a part that is longer than its limit (drive 2 characters, the others
// 255) or than its output empties every requested output. An unconvertible path gives empty parts.
struct WideSplitOutputs {
    char16_t* drive = nullptr;
    std::size_t driveCapacity = 0;
    char16_t* dir = nullptr;
    std::size_t dirCapacity = 0;
    char16_t* fname = nullptr;
    std::size_t fnameCapacity = 0;
    char16_t* ext = nullptr;
    std::size_t extCapacity = 0;
};
// False when the path could not be converted; it then splits as the empty one.
bool SplitPathWide(const WideSplitOutputs& out, const char* path);
// The same, the parts given in UTF-8 in outputs of kSplitPartBytes bytes each (each optional). False
// also when a part could not be converted back; that part is then empty.
bool SplitPath(char* drive, char* dir, char* fname, char* ext, const char* path);

// Formats into out, which holds capacity units. Supports %s (a wide string), %d, %u, %x, %X, %c
// (a wide character) and %%. Returns the number of units written without the terminator, or -1
// when the text does not fit (out then holds an empty string when capacity > 0).
int FormatWide(char16_t* out, std::size_t capacity, const char16_t* format, ...);

// Length of a wide string, in units.
std::size_t WideLength(const char16_t* text);
