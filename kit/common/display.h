// Showing bytes, stored names and reasons to people: hex, printable UTF-8 and one-line refusals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

// Hex of bytes, "06b4500012cc2660" or, with a separator, "00 00 00 00".
std::string HexBytes(const void* data, std::size_t size, const char* separator = "");
// A number in hex with its prefix: "0x60000".
std::string HexValue(std::uint64_t value);
// An update result by name and number: "UpdateDamaged (0x80000001)".
std::string DescribeResult(std::uint32_t result);
// A stored name (ASCII, UTF-8 or code page 932) as printable UTF-8: converted, with control
// characters and unconvertible names shown as \xNN escapes.
std::string DisplayName(const char* storedName);
// The same in double quotes.
std::string Quoted(const std::string& storedName);

// A string value of a JSON description, for the text printed from it.
const std::string& Text(const nlohmann::json& value);
// A status padded to 12 columns, then the quoted name: "OK          \"a.arc\"".
std::string StatusLine(const std::string& status, const std::string& name);

// Sets *error to reason and returns false: the shape of every refusal with a one-line reason.
inline bool Fail(std::string* error, std::string reason) {
    *error = std::move(reason);
    return false;
}
