// Showing bytes and stored names to people: hex and printable UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Hex of bytes, "06b4500012cc2660" or, with a separator, "00 00 00 00".
std::string HexBytes(const void* data, std::size_t size, const char* separator = "");
// A number in hex with its prefix: "0x60000".
std::string HexValue(std::uint64_t value);
// A stored name (ASCII, UTF-8 or code page 932) as printable UTF-8: converted, with control
// characters and unconvertible names shown as \xNN escapes.
std::string DisplayName(const char* storedName);
// The same in double quotes.
std::string Quoted(const std::string& storedName);
