// The version list "QMK.hvl": the game's files with the rolling checksum of their correct content.
//
// File: 16-byte header (8-byte magic "QHV_V2__" or "QHV_____", 4 reserved bytes, 32-bit count), then
// count records of 256 bytes (name 248, checksum 8) or, in the version-1 layout, 64 bytes (name 56,
// checksum 8). In memory every record has the 256-byte layout and a UTF-8 name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/ascii.h"
#include "support/file.h"
#include "update/archive.h"
#include "update/checksum_state.h"

inline constexpr char kVersionListMagicV2[8] = {'Q', 'H', 'V', '_', 'V', '2', '_', '_'};
inline constexpr char kVersionListMagicV1[8] = {'Q', 'H', 'V', '_', '_', '_', '_', '_'};
inline constexpr std::uint32_t kVersionListHeaderSize = 16;
inline constexpr std::uint32_t kRecordSizeV2 = 256;
inline constexpr std::uint32_t kRecordSizeV1 = 64;
inline constexpr std::uint32_t kNameFieldV2 = 248;
inline constexpr std::uint32_t kNameFieldV1 = 56;
// The lookup key of an archive entry's stored name: its UTF-8 form, up to three bytes per byte.
inline constexpr std::size_t kNameKeyCapacity = 3 * kWideNameField + 1;
inline constexpr char kVersionListName[] = "QMK.hvl";
inline constexpr auto kVersionListWide = WidenAscii(kVersionListName);
inline constexpr auto kVersionListKeyText = LowerAscii(kVersionListName);
inline constexpr const char* kVersionListKey = kVersionListKeyText.data();  // the name as compared

// The 16-byte header: the magic decides the layout; 4 reserved bytes; the record count.
struct VersionListHeader {
    bool v1 = false;
    std::uint8_t reserved[4] = {};
    std::uint32_t count = 0;

    std::uint32_t RecordSize() const { return v1 ? kRecordSizeV1 : kRecordSizeV2; }
    std::uint32_t NameField() const { return v1 ? kNameFieldV1 : kNameFieldV2; }
};
// Reads the header from its 16 bytes; false when the magic is neither layout's.
bool ParseVersionListHeader(const std::uint8_t* bytes, VersionListHeader* header);
// Writes the header's 16 bytes.
void StoreVersionListHeader(std::uint8_t* bytes, const VersionListHeader& header);

struct VersionRecord {
    char name[kNameFieldV2];
    std::uint8_t checksum[kChecksumSize];
};
static_assert(sizeof(VersionRecord) == kRecordSizeV2);

struct VersionList {
    std::uint32_t count = 0;
    std::unique_ptr<VersionRecord[]> records;
};

// Makes the lookup key of a stored name: UTF-8, ASCII letters lowercased. False when the name cannot
// be converted or does not fit capacity bytes.
bool MakeNameKey(char* out, std::size_t capacity, const char* storedName);

// Loads the list from the first payload entry whose key is "qmk.hvl". Never fails: any problem gives
// an empty list. The file position is left wherever the load left it.
VersionList LoadVersionList(CFileDX& file, const PayloadIndex& index);
// The first record whose final path component, as a key, equals key; null when none does. A record
// whose name fails to convert while it is split is looked at as the patcher looks at it then; with
// passedOver, the tools that must not miss one without a word are told.
const VersionRecord* FindVersionRecord(const VersionList& list, const char* key, bool* passedOver = nullptr);
// Rewrites "<folder>\QMK.hvl" keeping only the records whose file or folder exists (a record whose
// name would leave the folder is kept without looking). Silent on failure.
void PruneVersionList(const char16_t* installFolder);
