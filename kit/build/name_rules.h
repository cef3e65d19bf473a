// Which names a patch may carry: what the patcher can install, and Windows can hold.
#pragma once

#include <string>

// Why a name may not be installed, or empty when it may. An entry name is a single file name that
// Windows can hold; a record name may also name subfolders, but never leaves the install folder.
std::string EntryNameProblem(const std::string& utf8Name);
std::string RecordNameProblem(const std::string& utf8Name);
