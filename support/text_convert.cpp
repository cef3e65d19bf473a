// Conversions between multibyte names and UTF-16, done by the OS seam.
#include "support/text.h"

#include <cstring>

#include "support/os.h"

namespace {

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
int Convert(std::uint32_t codePage, const char* text, char16_t* out, int capacity) {
    return os::Current().MultiToWide(codePage, text, out, capacity);
}
int Convert(std::uint32_t codePage, const char16_t* text, char* out, int capacity) {
    return os::Current().WideToMulti(codePage, text, out, capacity);
}

// Converts text into out (capacity units) in two steps, size first, so that a result that does not
// fit is refused before anything is written.
template <typename From, typename To>
To* ConvertInto(std::uint32_t codePage, const From* text, To* out, std::size_t capacity) {
    if (out == nullptr || text == nullptr) return nullptr;
    int n = Convert(codePage, text, static_cast<To*>(nullptr), 0);
    if (n < 1 || static_cast<std::size_t>(n) > capacity) return nullptr;
    int written = Convert(codePage, text, out, n);
    if (written < 1 || !EndsTerminated(out, written, capacity)) {
        out[0] = 0;
        return nullptr;
    }
    return out;
}

template <typename From, typename To>
std::unique_ptr<To[]> ConvertAlloc(std::uint32_t codePage, const From* text) {
    if (text == nullptr) return nullptr;
    int n = Convert(codePage, text, static_cast<To*>(nullptr), 0);
    if (n < 1) return nullptr;
    // One unit more than the count, zeroed, so the result is terminated even when the platform
    // drops the terminator (see EndsTerminated).
    auto buffer = std::make_unique<To[]>(static_cast<std::size_t>(n) + 1);
    if (Convert(codePage, text, buffer.get(), n) < 1) return nullptr;
    return buffer;
}

// True when the text can be handed over as it is: plain ASCII reads the same in every code page,
// and text already in the target code page needs no conversion.
bool CopiesUnchanged(const char* text, TextEncoding target) {
    TextEncoding source = DetectTextEncoding(text);
    return source == TE_ASCII || TargetCodePage(source) == TargetCodePage(target);
}

}  // namespace

char16_t* MultiToWide(char16_t* out, std::size_t capacity, const char* text) {
    return ConvertInto(SourceCodePage(text), text, out, capacity);
}

std::unique_ptr<char16_t[]> MultiToWide(const char* text) {
    return ConvertAlloc<char, char16_t>(SourceCodePage(text), text);
}

char* WideToMulti(char* out, std::size_t capacity, const char16_t* text, TextEncoding target) {
    return ConvertInto(TargetCodePage(target), text, out, capacity);
}

std::unique_ptr<char[]> WideToMulti(const char16_t* text, TextEncoding target) {
    return ConvertAlloc<char16_t, char>(TargetCodePage(target), text);
}

char* ConvertText(char* out, std::size_t capacity, const char* text, TextEncoding target) {
    if (out == nullptr || text == nullptr) return nullptr;
    if (CopiesUnchanged(text, target)) return StrCopy(out, capacity, text);
    return WideToMulti(out, capacity, MultiToWide(text).get(), target);
}

std::unique_ptr<char[]> ConvertText(const char* text, TextEncoding target) {
    if (text == nullptr) return nullptr;
    if (CopiesUnchanged(text, target)) {
        std::size_t size = std::strlen(text) + 1;
        auto copy = std::make_unique<char[]>(size);
        std::memcpy(copy.get(), text, size);
        return copy;
    }
    return WideToMulti(MultiToWide(text).get(), target);
}
