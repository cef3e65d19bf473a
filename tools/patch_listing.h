// Looking into patches and version lists without installing anything.
//
// Each returns the command's exit code. `verify` reads the payload the way the patcher does (same
// index reader, same version-list load and lookup, the same checks per entry) and exits with the low
// byte of the code the patcher would stop with, or 0 when every entry would pass.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json_fwd.hpp>

// With doc, the same facts also go into it as one JSON document.
int ListPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc = nullptr);
// Also reads the Authenticode signature: a file changed after it was signed fails with
// kExitSignatureChanged even when every entry passes.
int VerifyPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc = nullptr);
int PrintVersionList(const std::string& path, std::ostream& out, std::ostream& err);
