// Looking into a patch without installing anything: its layout, caption, version list, signature
// and every entry, as one document.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

// False, with why in *problem, when the patcher could not read the patch's index; then *listing
// holds the patch's path and the update result it would stop with.
bool ListPatch(const std::string& path, nlohmann::json* listing, std::string* problem);
