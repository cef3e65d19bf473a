// Parts of a split build, checked against each other.
//
// A part's list must carry every earlier part's files with the checksums those parts install; a
// part of another build would leave a list that does not match the folder.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "update/version_list.h"

// Compares the list of the part at path with the lists of the earlier parts that lie beside it
// under their part names: one object per earlier part, {"part", "path", "state" ("agrees",
// "differs" or "missing"), "files" (agreeing files), "differs" (the first file that does not)}.
// An empty array when path is not named as a part.
nlohmann::json CompareWithEarlierParts(const std::string& path, const VersionList& list);
// The line people read for one of those objects.
std::string DescribeEarlierPart(const nlohmann::json& part);
