// Building a patch: the patcher stub, zero fill to 0x60000, then the payload archive.
//
// The payload holds the given files under their base names, in the given order, and last the
// version list "QMK.hvl" carrying every file's rolling checksum. File data is streamed through one
// 1 MiB buffer and checksummed on the way; the index can be written first because every size, the
// version list's included, is known before any data is copied. The patch appears under its name only
// when it is complete: it is written beside it as "<out>.partial" and renamed at the end.
//
// An update too big for one patch (more than 31 files, or 2 GiB) can be split: the files, in the given
// order, are cut into parts that each fit, written as "<stem>.partKofN<ext>". Part k carries the
// version list as it must read after parts 1 to k have run: the records of the files of those parts
// updated or appended, every other record as it was. Run in order, the parts leave the folder as one
// patch of all the files would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The 12 bytes that open an archive with the legacy 32-byte index entries. The patcher reads any
// magic other than "MORVEN ARC20" as that layout; this one says what the archive is to a person.
inline constexpr char kLegacyArchiveMagic[12] = {'M', 'O', 'R', 'V', 'E', 'N', ' ', 'A', 'R', 'C', '1', '0'};

// What one patch may hold: the patcher reads at most 32 entries (the version list is one of them) and
// nothing at or beyond 2 GiB.
struct PatchLimits {
    std::uint32_t maxFiles = 31;
    std::uint64_t maxBytes = 0x7FFFFFFFull;  // the largest patch file
};

struct BuildRequest {
    std::string stubPath;         // all paths in UTF-8
    std::string outPath;
    std::string versionListPath;  // empty: a new version-2 list with a record per file
    bool legacyIndex = false;
    bool split = false;           // write as many parts as the limits need, named by PartName
    PatchLimits limits;           // a split never exceeds these; patches never exceed the defaults
    std::vector<std::string> files;
    // Told the bytes of the files copied so far and their total, after every chunk.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct PartSummary {
    std::string path;
    std::uint32_t firstFile = 0;  // index into BuildRequest::files
    std::uint32_t files = 0;
    std::uint64_t size = 0;
};

struct BuildSummary {
    std::uint32_t entries = 0;         // files and the version list (of the largest part when split)
    std::uint64_t patchSize = 0;       // of the largest part when split
    std::uint32_t recordsUpdated = 0;  // records of the given list that got a new checksum
    std::uint32_t recordsAdded = 0;
    std::vector<PartSummary> parts;    // one per file written, in the order they are to run
};

// Builds the patch, or every part of a split. On failure returns false with a one-line reason and
// leaves no output file. Existing files under the output names stay as they were, unless renaming a
// finished part over one failed after others had been renamed over theirs: those are then removed.
bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error);

// The name of part `part` of `parts` for the output name out: ".partKofN" goes before the file name's
// extension ("up.exe" gives "up.part2of3.exe"; "up" gives "up.part2of3"), K zero-padded to N's width
// so the parts sort in order ("up.part02of12.exe").
std::string PartName(const std::string& out, std::uint32_t part, std::uint32_t parts);
// Reads the part number and count back from a path named by PartName, and the output name it was
// made from (with the path's folder); false for any other name.
bool ParsePartName(const std::string& path, std::uint32_t* part, std::uint32_t* parts, std::string* out = nullptr);

// Where the stub's PE image ends in the file (the end of its headers or of its last section's raw
// data, whichever is later). False, with a reason, when the bytes are not a PE image or are cut short.
bool FindImageEnd(const std::uint8_t* data, std::size_t size, std::uint32_t* end, std::string* error);

// Why a name may not be installed, or empty when it may. An entry name is a single file name that
// Windows can hold; a record name may also name subfolders, but never leaves the install folder.
std::string EntryNameProblem(const std::string& utf8Name);
std::string RecordNameProblem(const std::string& utf8Name);
