// `verify`: every entry of a patch checked with the worker's own per-entry steps (the same index
// reader, version-list load and lookup, the same checks per entry), and its signature read; nothing
// installed.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "update/result.h"

struct Verification {
    // What the patcher would stop with: UpdateOk when it would accept every entry.
    UpdateResult result = UpdateOk;
    // False when the file changed after it was signed, or its signature is damaged.
    bool signatureSound = true;
    // Why the patch could not be opened; then doc holds only the path and the result.
    std::string problem;
    nlohmann::json doc;  // every fact and verdict, for the text and for --json
    bool Passed() const { return result == UpdateOk && signatureSound; }
};

Verification VerifyPatch(const std::string& path);
