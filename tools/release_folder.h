// A release folder as the patcher would see it installed: every file under it by its path relative
// to the folder, '\' separated as Windows names it, and compared as the patcher compares names
// (ASCII letter case ignored). An older release may also be given as its version list alone.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct ReleaseFile {
    std::string rel;   // UTF-8, '\' separated
    std::string path;  // UTF-8, to open it
    std::uint64_t size = 0;
};

struct ReleaseFolder {
    std::string root;
    std::map<std::string, ReleaseFile> files;  // by ReleaseKey(rel); the top-level QMK.hvl and uninst.lst left out
    std::set<std::string> folders;             // ReleaseKey of every subfolder
    bool hasVersionList = false;               // a top-level QMK.hvl, at versionList
    std::string versionList;
};

// How names are compared: UTF-8, '/' read as '\', ASCII letters lowercased.
std::string ReleaseKey(const std::string& utf8);
// The folder part of a key ("data\a.arc" gives "data"; a top-level name gives "").
std::string ParentKey(const std::string& key);

bool ScanRelease(const std::string& root, ReleaseFolder* release, std::string* error);
// Whether two files hold the same bytes; false with a reason when one cannot be read.
bool SameBytes(const std::string& a, const std::string& b, bool* same, std::string* error);
