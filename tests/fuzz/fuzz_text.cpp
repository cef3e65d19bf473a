// The text helpers on arbitrary bytes: no walk, decode, search, conversion, split or format may read
// past a terminator or write past a buffer (the sanitizer build catches both), and every walk ends.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "support/text.h"

namespace {

void Check(bool ok, const char* what) { FuzzCheck(ok, "fuzz_text", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text up to the first zero byte, in a heap block of exactly its length and terminator.
    std::size_t length = size ? strnlen(reinterpret_cast<const char*>(data), size) : 0;
    std::unique_ptr<char[]> text(new char[length + 1]);
    if (length) std::memcpy(text.get(), data, length);
    text[length] = 0;

    DetectTextEncoding(text.get());
    for (TextEncoding mode : {TE_CODEPAGE, TE_UTF8, TE_ASCII, TE_AUTO}) {
        for (const char* p = text.get(); *p;) {
            std::uint32_t code = 0;
            std::uint32_t n = DecodeChar(&code, p, mode);
            Check(n >= 1 && n <= std::strlen(p), "a character runs past the terminator");
            p += n;
        }
        for (std::uint32_t c : {0x0Du, 0x0Au, 0x5Cu, 0u}) {
            const char* hit = StrFindChar(text.get(), c, mode);
            Check(!hit || (hit >= text.get() && hit <= text.get() + length), "search left the text");
        }
    }

    std::unique_ptr<char[]> lower(new char[length + 1]);
    std::memcpy(lower.get(), text.get(), length + 1);
    StrToLower(lower.get());
    Check(std::strlen(lower.get()) == length, "lower-casing changed the length");

    // Conversions into buffers of every small capacity, then allocating.
    for (std::size_t cap = 0; cap < 12; ++cap) {
        std::unique_ptr<char16_t[]> wide(new char16_t[cap ? cap : 1]);
        MultiToWide(cap ? wide.get() : nullptr, cap, text.get());
        std::unique_ptr<char[]> narrow(new char[cap ? cap : 1]);
        ConvertText(cap ? narrow.get() : nullptr, cap, text.get(), TE_UTF8);
    }
    std::unique_ptr<char16_t[]> wide = MultiToWide(text.get());
    if (wide) {
        std::unique_ptr<char[]> back = WideToMulti(wide.get(), TE_CODEPAGE);
        std::unique_ptr<char[]> utf8 = WideToMulti(wide.get(), TE_UTF8);
        char16_t line[64];
        FormatWide(line, sizeof line / sizeof *line, u"%s\\%s.tmp", wide.get(), wide.get());
    }
    std::unique_ptr<char[]> converted = ConvertText(text.get(), TE_UTF8);
    if (converted) Check(DetectTextEncoding(converted.get()) != TE_CODEPAGE, "UTF-8 output detected as code page");

    char drive[kSplitPartBytes], dir[kSplitPartBytes], fname[kSplitPartBytes], ext[kSplitPartBytes];
    SplitPath(drive, dir, fname, ext, text.get());
    SplitPath(nullptr, nullptr, fname, ext, text.get());
    return 0;
}
