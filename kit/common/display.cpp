#include "kit/common/display.h"

#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "support/text.h"
#include "update/result.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, unsigned char byte) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

}  // namespace

std::string HexBytes(const void* data, std::size_t size, const char* separator) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0) hex += separator;
        AppendHex(hex, p[i]);
    }
    return hex;
}

std::string HexValue(std::uint64_t value) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(value));
    return hex;
}

std::string DisplayName(const char* storedName) {
    std::unique_ptr<char[]> utf8 = ConvertText(storedName, TE_UTF8);
    const char* text = utf8 ? utf8.get() : storedName;
    std::string shown;
    for (const char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!utf8 || c < 0x20 || c == 0x7F) {
            shown += "\\x";
            AppendHex(shown, c);
        } else {
            shown += *p;
        }
    }
    return shown;
}

std::string Quoted(const std::string& storedName) { return "\"" + DisplayName(storedName.c_str()) + "\""; }

const std::string& Text(const nlohmann::json& value) { return value.get_ref<const std::string&>(); }

std::string StatusLine(const std::string& status, const std::string& name) {
    return status + std::string(12 - status.size(), ' ') + "\"" + name + "\"";
}

std::string DescribeResult(std::uint32_t result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    return std::string(UpdateResultName(result)) + " (" + code + ")";
}
