// Building a patch: the patcher stub, zero fill to 0x60000, then the payload archive.
//
// The payload holds the given files under their base names, in the given order, and last the
// version list "QMK.hvl" carrying every file's rolling checksum. File data is streamed through one
// 1 MiB buffer and checksummed on the way; the index can be written first because every size, the
// version list's included, is known before any data is copied. The patch appears under its name only
// when it is complete: it is written beside it as "<out>.partial" and renamed at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The 12 bytes that open an archive with the legacy 32-byte index entries. The patcher reads any
// magic other than "MORVEN ARC20" as that layout; this one says what the archive is to a person.
inline constexpr char kLegacyArchiveMagic[12] = {'M', 'O', 'R', 'V', 'E', 'N', ' ', 'A', 'R', 'C', '1', '0'};

struct BuildRequest {
    std::string stubPath;         // all paths in UTF-8
    std::string outPath;
    std::string versionListPath;  // empty: a new version-2 list with a record per file
    bool legacyIndex = false;
    std::vector<std::string> files;
    // Told the bytes of the files copied so far and their total, after every chunk.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct BuildSummary {
    std::uint32_t entries = 0;         // files and the version list
    std::uint64_t patchSize = 0;
    std::uint32_t recordsUpdated = 0;  // records of the given list that got a new checksum
    std::uint32_t recordsAdded = 0;
};

// Builds the patch. On failure returns false with a one-line reason and leaves no output file
// (an existing file at outPath stays as it was).
bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error);

// Where the stub's PE image ends in the file (the end of its headers or of its last section's raw
// data, whichever is later). False, with a reason, when the bytes are not a PE image or are cut short.
bool FindImageEnd(const std::uint8_t* data, std::size_t size, std::uint32_t* end, std::string* error);

// Why a name may not be installed, or empty when it may. An entry name is a single file name that
// Windows can hold; a record name may also name subfolders, but never leaves the install folder.
std::string EntryNameProblem(const std::string& utf8Name);
std::string RecordNameProblem(const std::string& utf8Name);
