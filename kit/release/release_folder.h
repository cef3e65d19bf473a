// A release folder as the patcher would see it installed: every file under it by its path relative
// to the folder, '\' separated as Windows names it, and compared as the patcher compares names
// (ASCII letter case ignored). An older release may also be given as its version list alone.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class ReadAhead;

struct ReleaseFile {
    std::string rel;   // UTF-8, '\' separated
    std::string path;  // UTF-8, to open it
    std::uint64_t size = 0;
};

struct ReleaseFolder {
    std::string root;
    std::map<std::string, ReleaseFile> files;  // by ReleaseKey(rel); the top-level QMK.hvl and uninst.lst left out
    std::set<std::string> folders;             // ReleaseKey of every subfolder
    std::string versionList;                   // the top-level QMK.hvl; empty when there is none
};

// How names are compared: UTF-8, '/' read as '\', ASCII letters lowercased.
std::string ReleaseKey(const std::string& utf8);
// The folder part of a key ("data\a.arc" gives "data"; a top-level name gives ""), and the file name.
std::string ParentKey(const std::string& key);
std::string FileNameOf(const std::string& rel);

bool ScanRelease(const std::string& root, ReleaseFolder* release, std::string* error);

// Reads file once: its rolling checksum (8 bytes, as stored), and whether each of others holds the
// same bytes (same[k] false for a null one or one of another size). The files are read through
// views of kReleaseWindow bytes, one per file at a time, so nothing is copied and the memory it takes
// does not grow with the release; the views are compared on the helper's thread while this one
// checksums. False with a reason when a file cannot be read, or changed while it was read.
inline constexpr std::uint32_t kReleaseWindow = 4u << 20;
bool ReadAgainst(const ReleaseFile& file, const std::vector<const ReleaseFile*>& others, ReadAhead& helper,
                 std::string* sum, std::vector<bool>* same, std::string* error);
