// UTF-8 and UTF-16 through the OS seam's conversions, as the kit's paths and messages need them.
#pragma once

#include <string>

// UTF-8 to the UTF-16 path the OS seam takes; empty when the text cannot be converted.
std::u16string WidenUtf8(const std::string& text);
// UTF-16 to UTF-8, for showing wide text.
std::string NarrowToUtf8(const char16_t* text);
