// Cutting an update into patches the patcher can read, in the files' order, and naming the parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/archive.h"

// What one patch may hold: the patcher reads at most kMaxEntries entries (the version list is one of
// them) and nothing at or beyond kPositionLimit.
struct PatchLimits {
    std::uint32_t maxFiles = kMaxEntries - 1;
    std::uint64_t maxBytes = kPositionLimit - 1;  // the largest patch file
};

// One file that goes into a patch.
struct PackedFile {
    std::string path;  // UTF-8
    std::string name;  // stored bytes of the entry name
    std::string key;   // the name as the engine compares it
    std::uint64_t size = 0;
    std::uint32_t record = 0;  // its record in the version list
};

// What a patch carries besides its files' bytes.
struct PatchLayout {
    std::uint32_t givenRecords = 0;  // records the list had before any were appended
    std::uint32_t recordSize = 0;
    std::uint32_t entrySize = 0;
    // Stub area, archive header, index of files + 1 entries and a list of records records.
    std::uint64_t Overhead(std::size_t files, std::uint32_t records) const;
};

// One patch of a build: a run of consecutive files and how much of the version list it carries.
struct Part {
    std::size_t first = 0;
    std::size_t count = 0;
    std::uint32_t records = 0;  // the list's first records: the given ones and those appended so far
    std::uint64_t size = 0;     // of the whole patch file
};

// Cuts the files, in their order, into parts within the limits. Each part's size counts its index
// and its version list, which holds the given records and those appended up to its last file.
bool PlanParts(const std::vector<PackedFile>& files, const PatchLayout& layout, const PatchLimits& limits,
               std::vector<Part>* parts, std::string* error);

// The name of part `part` of `parts` for the output name out: ".partKofN" goes before the file name's
// extension ("up.exe" gives "up.part2of3.exe"; "up" gives "up.part2of3"), K zero-padded to N's width
// so the parts sort in order ("up.part02of12.exe").
std::string PartName(const std::string& out, std::uint32_t part, std::uint32_t parts);
// Reads the part number and count back from a path named by PartName, and the output name it was
// made from (with the path's folder); false for any other name.
bool ParsePartName(const std::string& path, std::uint32_t* part, std::uint32_t* parts, std::string* out = nullptr);
