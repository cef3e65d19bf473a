// Opening a patch the way the patcher does, for the commands that look into one, and the facts they
// all show: the update result, the split part and the signature.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "support/file.h"
#include "update/archive.h"
#include "update/result.h"

struct SignatureReport;

// Opens a patch and reads its index as the patcher does; explains any failure on err.
UpdateResult OpenPayload(const std::string& path, CFileDX& file, PayloadIndex& index, std::ostream& err);

// "UpdateDamaged (0x80000001)".
std::string DescribeResult(std::uint32_t result);
// {"part": K, "parts": N} when the file carries a split build's part name, else null.
nlohmann::json SplitJson(const std::string& path);
// "part 2 of 3 (by its name): run the parts in order, ..." from SplitJson's value; empty for null.
std::string DescribeSplit(const nlohmann::json& split);
// The signature as a JSON object; "description" holds the line people read.
nlohmann::json SignatureJson(const SignatureReport& report);
