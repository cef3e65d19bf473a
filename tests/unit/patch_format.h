// Patches and version lists made in memory for the tests, in the layouts patchtool writes (its build
// streams large files; these hold everything in a string, and cut names that are too long, so tests
// can also make odd archives), and a patch file read back with the patcher's own readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/archive.h"
#include "update/checksum.h"
#include "update/version_list.h"

struct PayloadFile {
    std::string name;  // stored bytes of the name (ASCII, UTF-8 or code page 932)
    std::string data;
};

// Header, index and data back to back in the given order, the first entry at offset 0. No checks:
// names longer than their field are cut (tests use this to build odd archives).
std::string EncodeArchive(const std::vector<PayloadFile>& files, bool legacyIndex);
// The stub, zero fill up to 0x60000, then the archive. A stub longer than 0x60000 is cut.
std::string EncodePatch(const std::string& stub, const std::string& archive);

struct VersionListEntry {
    std::string name;  // stored bytes
    std::uint8_t checksum[8] = {};
};
// A version list file: header (reserved bytes as given) and records in the chosen layout.
std::string EncodeVersionList(const std::vector<VersionListEntry>& records, bool v1, std::uint32_t reserved = 0);
// A record named `name` that holds the checksum of data.
VersionListEntry RecordOf(const std::string& name, const std::string& data);
// A version list with one record per file, named as the file and holding its content's checksum.
std::string EncodeVersionListOf(const std::vector<PayloadFile>& files, bool v1 = false, std::uint32_t reserved = 0);
// The 8 checksum bytes of data.
void ChecksumOf(const std::string& data, std::uint8_t out[8]);

// A patch file read back: the index, each entry's name and, unless indexOnly, its bytes (read the way
// the worker reaches them) and the version list.
struct ReadBack {
    UpdateResult result = UpdateDamaged;
    PayloadIndex index;
    std::vector<std::string> names;
    std::vector<std::string> data;
    VersionList list;
};
ReadBack ReadPatch(const std::u16string& path, bool indexOnly = false);
