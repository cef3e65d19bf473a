// Looking into patches and version lists without installing anything.
//
// Each returns the command's exit code. `verify` reads the payload the way the patcher does (same
// index reader, same version-list load and lookup, the same checks per entry) and exits with the low
// byte of the code the patcher would stop with, or 0 when every entry would pass.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

int ListPatch(const std::string& path, std::ostream& out, std::ostream& err);
int VerifyPatch(const std::string& path, std::ostream& out, std::ostream& err);
int PrintVersionList(const std::string& path, std::ostream& out, std::ostream& err);

// "UpdateDamaged (0x80000001)".
std::string DescribeResult(std::uint32_t result);
