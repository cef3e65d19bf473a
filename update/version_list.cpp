// The version list: loading it from the payload, looking records up, pruning the installed copy.
//
// Names that are outside the format (no terminator inside their field, or a UTF-8 form that does not
// fit the 248-byte field) are never trusted: the load empties them and the lookup never matches an
// empty name, so such a record can neither verify an entry nor name a file to install. The prune,
// which only decides whether to keep a record, keeps every record it cannot test: dropping one
// because of our own limits would lose information the game may need.
#include "update/version_list.h"

#include <cstring>

#include "support/os.h"
#include "support/text.h"
#include "update/install_name.h"

namespace {

// What GetSize reports when it fails. The bound on a record count must come from a real size.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;

bool HasTerminator(const char* field, std::size_t size) { return std::memchr(field, 0, size) != nullptr; }

// Replaces the record's stored name by its UTF-8 form, or by an empty name when it has none that fits.
void NormalizeName(VersionRecord& record) {
    char utf8[kNameFieldV2];
    if (!HasTerminator(record.name, kNameFieldV2) || !ConvertText(utf8, sizeof utf8, record.name, TE_UTF8)) {
        record.name[0] = '\0';
        return;
    }
    std::memcpy(record.name, utf8, std::strlen(utf8) + 1);
}

// Reads count records of the layout at the file's position into 256-byte records. False on a short
// read, including a count whose records the file cannot hold.
bool ReadRecords(CFileDX& file, std::uint64_t available, const VersionListHeader& header, VersionList& list) {
    const std::uint32_t count = header.count;
    const bool v1 = header.v1;
    const std::uint64_t bytes = std::uint64_t(count) * header.RecordSize();
    if (bytes > available) return false;
    if (count == 0) return true;

    auto records = std::make_unique<VersionRecord[]>(count);
    if (!v1) {
        if (file.Read(records.get(), static_cast<std::uint32_t>(bytes)) != bytes) return false;
    } else {
        auto old = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(bytes));
        if (file.Read(old.get(), static_cast<std::uint32_t>(bytes)) != bytes) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* from = old.get() + std::size_t(i) * kRecordSizeV1;
            VersionRecord& to = records[i];
            // A name without a terminator in its 56 bytes stays empty, so it is never matched.
            if (HasTerminator(reinterpret_cast<const char*>(from), kNameFieldV1)) {
                std::strcpy(to.name, reinterpret_cast<const char*>(from));
            }
            std::memcpy(to.checksum, from + kNameFieldV1, 8);
        }
    }
    list.count = count;
    list.records = std::move(records);
    return true;
}

}  // namespace

bool ParseVersionListHeader(const std::uint8_t* bytes, VersionListHeader* header) {
    if (std::memcmp(bytes, kVersionListMagicV2, 8) == 0) {
        header->v1 = false;
    } else if (std::memcmp(bytes, kVersionListMagicV1, 8) == 0) {
        header->v1 = true;
    } else {
        return false;
    }
    std::memcpy(header->reserved, bytes + 8, 4);
    header->count = LoadLe32(bytes + 12);
    return true;
}

void StoreVersionListHeader(std::uint8_t* bytes, const VersionListHeader& header) {
    std::memcpy(bytes, header.v1 ? kVersionListMagicV1 : kVersionListMagicV2, 8);
    std::memcpy(bytes + 8, header.reserved, 4);
    StoreLe32(bytes + 12, header.count);
}

bool MakeNameKey(char* out, std::size_t capacity, const char* storedName) {
    if (!ConvertText(out, capacity, storedName, TE_UTF8)) return false;
    StrToLower(out);
    return true;
}

VersionList LoadVersionList(CFileDX& file, const PayloadIndex& index) {
    VersionList list;
    std::uint32_t entry = index.count;
    for (std::uint32_t i = 0; i < index.count; ++i) {
        char name[kWideNameField + 1];
        char key[kNameKeyCapacity];
        if (MakeNameKey(key, sizeof key, index.Name(i, name)) && StrCompare(key, kVersionListKey) == 0) {
            entry = i;
            break;
        }
    }
    if (entry == index.count) return list;

    const std::uint32_t position = index.Position(entry);
    if (!file.Seek(static_cast<std::int32_t>(position))) return list;
    std::uint8_t bytes[kVersionListHeaderSize];
    VersionListHeader header;
    if (file.Read(bytes, sizeof bytes) != sizeof bytes || !ParseVersionListHeader(bytes, &header)) return list;
    // The records are read straight after the header, whatever the entry's stored size; what the
    // file holds beyond that point bounds them.
    const std::uint32_t fileSize = file.GetSize();
    if (fileSize == kUnknownSize) return list;
    const std::uint64_t recordsAt = std::uint64_t(position) + sizeof bytes;
    const std::uint64_t available = fileSize > recordsAt ? fileSize - recordsAt : 0;
    if (!ReadRecords(file, available, header, list)) return VersionList{};

    for (std::uint32_t i = 0; i < list.count; ++i) NormalizeName(list.records[i]);
    return list;
}

const VersionRecord* FindVersionRecord(const VersionList& list, const char* key) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const VersionRecord& record = list.records[i];
        if (record.name[0] == '\0' || !HasTerminator(record.name, kNameFieldV2)) continue;

        char fname[kSplitPartBytes] = "";
        char ext[kSplitPartBytes] = "";
        SplitPath(nullptr, nullptr, fname, ext, record.name);
        // The final path component: file name, then extension.
        char component[2 * kSplitPartBytes];
        const std::size_t nameLength = std::strlen(fname), extLength = std::strlen(ext);
        std::memcpy(component, fname, nameLength);
        std::memcpy(component + nameLength, ext, extLength + 1);
        if (component[0] == '\0') continue;  // names a folder, not a file
        StrToLower(component);
        if (StrCompare(component, key) == 0) return &record;
    }
    return nullptr;
}

void PruneVersionList(const char16_t* installFolder) {
    char16_t listPath[kPathUnits];
    if (FormatWide(listPath, kPathUnits, u"%s\\QMK.hvl", installFolder) < 0) return;

    CFileDX file;
    if (!file.OpenRead(listPath)) return;
    std::uint8_t header[kVersionListHeaderSize];
    VersionListHeader parsed;
    if (file.Read(header, sizeof header) != sizeof header || !ParseVersionListHeader(header, &parsed)) return;
    const std::uint32_t recordSize = parsed.RecordSize(), nameField = parsed.NameField();
    const std::uint32_t count = parsed.count;
    const std::uint64_t bytes = std::uint64_t(count) * recordSize;
    const std::uint32_t fileSize = file.GetSize();
    if (fileSize == kUnknownSize || fileSize < sizeof header || bytes > fileSize - sizeof header) return;  // a short read

    auto records = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(bytes) + 1);
    if (bytes != 0 && file.Read(records.get(), static_cast<std::uint32_t>(bytes)) != bytes) return;
    file.Close();

    // The new content: the header as read with the new count, then the retained records in order.
    auto kept = std::make_unique<std::uint8_t[]>(sizeof header + static_cast<std::size_t>(bytes));
    std::memcpy(kept.get(), header, sizeof header);
    std::uint32_t retained = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* record = records.get() + std::size_t(i) * recordSize;
        const char* name = reinterpret_cast<const char*>(record);
        bool keep = true;  // unless the file is known to be missing
        char16_t wideName[kPathUnits];
        char16_t path[kPathUnits];
        // A name that would leave the install folder names no installed file; nothing outside the
        // folder is looked at, and the record is kept as it is.
        if (HasTerminator(name, nameField) && MultiToWide(wideName, kPathUnits, name) &&
            IsSafeInstallName(wideName) && FormatWide(path, kPathUnits, u"%s\\%s", installFolder, wideName) >= 0) {
            keep = os::Current().GetAttributes(path) != os::kInvalidAttributes;
        }
        if (keep) {
            std::memcpy(kept.get() + sizeof header + std::size_t(retained) * recordSize, record, recordSize);
            ++retained;
        }
    }
    StoreLe32(kept.get() + 12, retained);
    ReplaceFileContents(listPath, kept.get(), static_cast<std::uint32_t>(sizeof header + std::uint64_t(retained) * recordSize));
}
