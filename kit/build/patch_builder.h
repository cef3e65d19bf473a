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

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/format/part_plan.h"

struct BuildRequest {
    std::string stubPath;         // all paths in UTF-8
    std::string outPath;
    std::string versionListPath;  // empty: a new version-2 list with a record per file
    std::string gameVersion;      // stamped into the stub's caption slot; empty: the stub's caption as it is
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
    std::string caption;               // the patcher's caption, as CaptionJson's description
};

// Builds the patch, or every part of a split. On failure returns false with a one-line reason and
// leaves no output file. Existing files under the output names stay as they were, unless renaming a
// finished part over one failed after others had been renamed over theirs: those are then removed.
bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error);
