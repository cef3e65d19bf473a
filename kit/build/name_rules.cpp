#include "kit/build/name_rules.h"

#include <algorithm>
#include <cstring>

std::string EntryNameProblem(const std::string& name) {
    if (name.empty()) return "names no file";
    if (name == "." || name == "..") return "would leave the install folder";
    for (unsigned char c : name) {
        if (c == '/' || c == '\\') return "contains a path separator and would name another folder";
        if (c == ':') return "contains ':' (a drive or a stream name)";
        if (c < 0x20 || std::strchr("<>\"|?*", c)) return "contains a character Windows file names cannot hold";
    }
    if (name.back() == '.' || name.back() == ' ') return "ends with a dot or a space, which Windows drops";
    return {};
}

std::string RecordNameProblem(const std::string& name) {
    if (name.empty()) return "is empty";
    if (name.front() == '/' || name.front() == '\\') return "is an absolute path and would leave the install folder";
    if (name.find(':') != std::string::npos) return "contains ':' (a drive or a stream name)";
    std::string slashed = "/" + name + "/";
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    if (slashed.find("/../") != std::string::npos) return "has a '..' component and would leave the install folder";
    return {};
}
