#include "kit/common/utf8_text.h"

#include "support/os.h"

namespace {

// Both directions of the seam's UTF-8 conversion: measure, convert, drop the terminator.
template <typename Unit, typename Convert>
std::basic_string<Unit> ConvertedUtf8(Convert convert) {
    int units = convert(nullptr, 0);
    if (units < 1) return {};
    std::basic_string<Unit> text(static_cast<std::size_t>(units), Unit());
    if (convert(text.data(), units) < 1) return {};
    text.resize(static_cast<std::size_t>(units) - 1);
    return text;
}

}  // namespace

std::u16string WidenUtf8(const std::string& text) {
    return ConvertedUtf8<char16_t>([&](char16_t* out, int capacity) {
        return os::Current().MultiToWide(os::kCodePageUtf8, text.c_str(), out, capacity);
    });
}

std::string NarrowToUtf8(const char16_t* text) {
    return ConvertedUtf8<char>(
        [&](char* out, int capacity) { return os::Current().WideToMulti(os::kCodePageUtf8, text, out, capacity); });
}
