// Conversions of the POSIX backend between UTF-16 and UTF-8 or code page 932, made to give what the
// Windows calls (MultiByteToWideChar / WideCharToMultiByte with flags 0) give for the same input.
#pragma once

#include <string>

namespace os::posix {

// Both follow the os::Api contract: zero-terminated input, terminator converted too; capacity 0 asks
// for the size; 0 when the result does not fit or the code page is not 932 or 65001.
int MultiToWide(unsigned codePage, const char* text, char16_t* out, int capacity);
int WideToMulti(unsigned codePage, const char16_t* text, char* out, int capacity);

// UTF-8 <-> UTF-16 for paths (no terminator handling; invalid input substituted with U+FFFD).
std::string Utf16ToUtf8(const char16_t* text);
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace os::posix
