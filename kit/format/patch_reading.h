// Opening a patch the way the patcher does, for the commands that look into one, and the facts they
// all show: the update result and the split part.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "support/file.h"
#include "update/archive.h"
#include "update/result.h"

// Opens a patch and reads its index as the patcher does; any failure is explained in *problem.
UpdateResult OpenPayload(const std::string& path, CFileDX& file, PayloadIndex& index, std::string* problem);

// {"part": K, "parts": N} when the file carries a split build's part name, else null.
nlohmann::json SplitJson(const std::string& path);
// "part 2 of 3 (by its name): run the parts in order, ..." from SplitJson's value; empty for null.
std::string DescribeSplit(const nlohmann::json& split);
