// A version list file as stored, for tools that edit or print it.
//
// The engine loads a list into 256-byte records with UTF-8 names and forgets the rest; patchtool
// must keep what it does not change: the layout, the reserved header bytes and every record's
// bytes, name encoding and the bytes after the terminator included.
#pragma once

#include <cstdint>
#include <string>

#include "update/version_list.h"

// A version list names a game's files; anything near this size is not one.
inline constexpr std::uint32_t kMaxVersionListBytes = 64u << 20;

struct VersionListFile {
    bool v1 = false;
    std::uint8_t reserved[4] = {};
    std::string records;         // count * RecordSize() bytes, as stored
    std::uint32_t trailing = 0;  // bytes after the last record when it was read (never written)

    std::uint32_t RecordSize() const { return v1 ? kRecordSizeV1 : kRecordSizeV2; }
    std::uint32_t NameField() const { return v1 ? kNameFieldV1 : kNameFieldV2; }
    std::uint32_t Count() const { return static_cast<std::uint32_t>(records.size() / RecordSize()); }
    // The stored name up to its terminator, or the whole field when it has none.
    std::string Name(std::uint32_t i) const;
    bool NameTerminated(std::uint32_t i) const;
    const std::uint8_t* Checksum(std::uint32_t i) const;
    void SetChecksum(std::uint32_t i, const std::uint8_t checksum[kChecksumSize]);
    // Appends a record with this name (zero-filled field) and a zero checksum. False when the name
    // and its terminator do not fit the name field.
    bool Append(const std::string& storedName);
    // Header and the first count records only (count at most Count()), as if the rest were not there.
    std::string EncodeFirst(std::uint32_t count) const;
};

// Reads and parses the version list file at path (UTF-8), or from file, already open, named path.
// False, with a reason that names the path, when it cannot be read, has an unknown magic or a count
// whose records are not all there: "PATH: damaged: not a version list".
bool LoadVersionListFile(const std::string& path, VersionListFile* list, std::string* error);
class CFileDX;
bool LoadVersionListFile(CFileDX& file, const std::string& path, VersionListFile* list, std::string* error);
// The list as the engine holds it after loading: UTF-8 names, so FindVersionRecord applies. False,
// naming the record, when a name cannot be converted: a lookup would then miss it without a word, and
// a build would add a second record for the same file.
bool ToEngineList(const VersionListFile& list, VersionList* engine, std::string* error);
