// Writing the planned parts of a build: the stub, zero fill to 0x60000, the archive's index, every
// file streamed through the copy buffer and checksummed on the way, and last the version list.
//
// Each part is written beside its name as "<name>.partial"; only when every part is complete do they
// take their names, all or none, in the publishing step that a build from releases shares.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/format/part_plan.h"
#include "kit/format/version_list_file.h"

struct PartWriting {
    const std::string* stub = nullptr;
    const std::vector<PackedFile>* files = nullptr;
    bool legacyIndex = false;
    // Every file's checksum goes into its record as it is copied.
    VersionListFile* list = nullptr;
    // Told the bytes of the files copied so far and their total, after every chunk.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// Writes parts[k] as names[k] (UTF-8). On failure returns false with a one-line reason and leaves
// no output file; existing files under the names stay as they were, unless renaming a finished part
// over one failed after others had been renamed over theirs: those are then removed.
bool WriteParts(const PartWriting& writing, const std::vector<Part>& parts, const std::vector<std::string>& names,
                std::string* error);

// The names of a build's parts: the output itself, or with --split always "<stem>.partKofN<ext>",
// even for one part.
std::vector<std::string> OutputNames(const std::string& out, bool split, std::size_t count);

// Gives the finished files (UTF-8 paths) the names, in order, all or none: should a rename fail, the
// files already renamed are removed again, and so are the finished files left.
bool PublishParts(const std::vector<std::string>& finished, const std::vector<std::string>& names, std::string* error);
