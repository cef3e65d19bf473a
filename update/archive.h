// The payload archive: the new game files carried in the patcher's own executable from 0x60000.
//
// A 16-byte header (12-byte magic, entry count), an index of at most 32 entries in one of two layouts
// (128-byte entries when the magic is "MORVEN ARC20", 32-byte entries otherwise), then the data area
// holding each entry's bytes verbatim. All integers are unsigned 32-bit little-endian, and positions
// are formed in 32 bits: an entry at or beyond 2 GiB cannot be reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "support/file.h"
#include "support/little_endian.h"
#include "update/result.h"

inline constexpr std::uint32_t kPayloadOffset = 0x60000;
inline constexpr std::uint32_t kHeaderSize = 16;
inline constexpr std::uint32_t kIndexOffset = kPayloadOffset + kHeaderSize;
inline constexpr std::uint32_t kMaxEntries = 32;
// Positions are formed in 32 bits and sought as signed: nothing at or beyond this offset is read.
inline constexpr std::uint64_t kPositionLimit = 0x80000000ull;  // 2 GiB
inline constexpr char kArchiveMagic[12] = {'M', 'O', 'R', 'V', 'E', 'N', ' ', 'A', 'R', 'C', '2', '0'};
// Any other magic selects the legacy 32-byte layout; patchtool writes this one, which tells a person
// what the archive is.
inline constexpr char kLegacyArchiveMagic[12] = {'M', 'O', 'R', 'V', 'E', 'N', ' ', 'A', 'R', 'C', '1', '0'};
inline constexpr std::uint32_t kWideEntrySize = 128;   // name field 96 bytes, offset at 96, size at 100
inline constexpr std::uint32_t kLegacyEntrySize = 32;  // name field 16 bytes, offset at 16, size at 20
inline constexpr std::uint32_t kWideNameField = 96;
inline constexpr std::uint32_t kLegacyNameField = 16;

// The index layout: the one an archive's magic selects, or the one a writer picks.
struct IndexLayout {
    bool wide = true;  // 128-byte entries
    std::uint32_t EntrySize() const { return wide ? kWideEntrySize : kLegacyEntrySize; }
    // The name field; the entry's offset and size follow it.
    std::uint32_t NameField() const { return wide ? kWideNameField : kLegacyNameField; }
    const char* Magic() const { return wide ? kArchiveMagic : kLegacyArchiveMagic; }
    // From the archive header's first 12 bytes.
    static IndexLayout Of(const std::uint8_t* magic) {
        return {std::memcmp(magic, kArchiveMagic, sizeof kArchiveMagic) == 0};
    }
};

struct PayloadIndex {
    std::uint32_t count = 0;
    bool wideLayout = false;  // true for 128-byte entries
    std::unique_ptr<std::uint8_t[]> entries;  // count * EntrySize() bytes as read
    std::uint32_t dataStart = 0;  // 0x60010 + count * EntrySize()

    std::uint32_t EntrySize() const { return IndexLayout{wideLayout}.EntrySize(); }
    std::uint32_t NameField() const { return IndexLayout{wideLayout}.NameField(); }
    const std::uint8_t* Entry(std::uint32_t i) const { return entries.get() + std::size_t(i) * EntrySize(); }
    // The stored name, always zero-terminated within the returned buffer's NameField()+1 bytes.
    // Copies into out (at least NameField()+1 bytes) so a name filling its field is terminated.
    const char* Name(std::uint32_t i, char* out) const;
    // 0 for an entry beyond the count.
    std::uint32_t Offset(std::uint32_t i) const { return i < count ? LoadLe32(Entry(i) + NameField()) : 0; }
    std::uint32_t Size(std::uint32_t i) const { return i < count ? LoadLe32(Entry(i) + NameField() + 4) : 0; }
    // data area start + offset, formed modulo 2^32 and handed to Seek as a signed value.
    std::uint32_t Position(std::uint32_t i) const { return dataStart + Offset(i); }
};

// Reads header and index from an open own file. UpdateOk on success; UpdateDamaged when the file is
// shorter than 0x60000 or header or index are short; UpdateTooManyEntries for a count above 32
// (tested before the magic). On failure index is left empty.
UpdateResult ReadPayloadIndex(CFileDX& file, PayloadIndex& index);
