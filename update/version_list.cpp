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

bool HasTerminator(const void* field, std::size_t size) { return std::memchr(field, 0, size) != nullptr; }

// The list as stored: the header at the file's position, then the records of its layout, read
// straight after it whatever size an archive entry claims for them; what the file holds from there
// bounds them. Null on a bad magic or a short read, including a count the file cannot hold.
std::unique_ptr<std::uint8_t[]> ReadStoredList(CFileDX& file, std::uint32_t position, VersionListHeader& header) {
    std::uint8_t head[kVersionListHeaderSize];
    if (file.Read(head, sizeof head) != sizeof head || !ParseVersionListHeader(head, &header)) return nullptr;
    const std::uint32_t fileSize = file.GetSize();
    const std::uint64_t bytes = std::uint64_t(header.count) * header.RecordSize();
    // The bound on a record count must come from a real size.
    if (fileSize == os::kInvalidSize || std::uint64_t(position) + sizeof head + bytes > fileSize) return nullptr;
    auto stored = std::make_unique<std::uint8_t[]>(sizeof head + static_cast<std::size_t>(bytes));
    std::memcpy(stored.get(), head, sizeof head);
    if (bytes != 0 && file.Read(stored.get() + sizeof head, static_cast<std::uint32_t>(bytes)) != bytes) return nullptr;
    return stored;
}

}  // namespace

bool ParseVersionListHeader(const std::uint8_t* bytes, VersionListHeader* header) {
    const bool v2 = std::memcmp(bytes, kVersionListMagicV2, 8) == 0;
    if (!v2 && std::memcmp(bytes, kVersionListMagicV1, 8) != 0) return false;
    header->v1 = !v2;
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
    return ConvertText(out, capacity, storedName, TE_UTF8) && StrToLower(out);
}

VersionList LoadVersionList(CFileDX& file, const PayloadIndex& index) {
    VersionList list;
    char name[kWideNameField + 1];
    char key[kNameKeyCapacity];
    std::uint32_t entry = 0;
    for (; entry < index.count; ++entry) {
        if (MakeNameKey(key, sizeof key, index.Name(entry, name)) && StrCompare(key, kVersionListKey) == 0) break;
    }
    if (entry == index.count) return list;

    const std::uint32_t position = index.Position(entry);
    if (!file.Seek(static_cast<std::int32_t>(position))) return list;
    VersionListHeader header;
    const auto stored = ReadStoredList(file, position, header);
    if (!stored || header.count == 0) return list;

    // Every record in the 256-byte layout with its name in UTF-8. A name without a terminator in its
    // field, or whose UTF-8 form does not fit, stays empty, so it is never matched.
    const std::uint32_t recordSize = header.RecordSize(), nameField = header.NameField();
    list.records = std::make_unique<VersionRecord[]>(header.count);
    for (std::uint32_t i = 0; i < header.count; ++i) {
        const std::uint8_t* from = stored.get() + kVersionListHeaderSize + std::size_t(i) * recordSize;
        const char* name = reinterpret_cast<const char*>(from);
        VersionRecord& to = list.records[i];
        if (!HasTerminator(name, nameField) || !ConvertText(to.name, sizeof to.name, name, TE_UTF8)) to.name[0] = '\0';
        std::memcpy(to.checksum, from + nameField, kChecksumSize);
    }
    list.count = header.count;
    return list;
}

const VersionRecord* FindVersionRecord(const VersionList& list, const char* key, bool* passedOver) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const VersionRecord& record = list.records[i];
        if (record.name[0] == '\0' || !HasTerminator(record.name, kNameFieldV2)) continue;

        char fname[kSplitPartBytes] = "";
        char ext[kSplitPartBytes] = "";
        if (!SplitPath(nullptr, nullptr, fname, ext, record.name) && passedOver) *passedOver = true;
        // The final path component: file name, then extension.
        char component[2 * kSplitPartBytes];
        std::strcat(std::strcpy(component, fname), ext);
        if (component[0] == '\0') continue;  // names a folder, not a file
        if (StrCompare(StrToLower(component), key) == 0) return &record;
    }
    return nullptr;
}

void PruneVersionList(const char16_t* installFolder) {
    char16_t listPath[kPathUnits];
    if (!InstallPath(listPath, kPathUnits, installFolder, kVersionListWide.data())) return;

    CFileDX file;
    if (!file.OpenRead(listPath)) return;
    VersionListHeader header;
    const auto stored = ReadStoredList(file, 0, header);
    if (!stored) return;
    file.Close();

    // The new content in place: the header with the new count, then the retained records in order.
    const std::uint32_t recordSize = header.RecordSize(), nameField = header.NameField();
    std::uint8_t* const records = stored.get() + kVersionListHeaderSize;
    std::uint32_t retained = 0;
    for (std::uint32_t i = 0; i < header.count; ++i) {
        const std::uint8_t* record = records + std::size_t(i) * recordSize;
        const char* name = reinterpret_cast<const char*>(record);
        bool keep = true;  // unless the file is known to be missing
        char16_t wideName[kPathUnits];
        char16_t path[kPathUnits];
        // A name that would leave the install folder names no installed file; nothing outside the
        // folder is looked at, and the record is kept as it is.
        if (HasTerminator(name, nameField) && MultiToWide(wideName, kPathUnits, name) &&
            IsSafeInstallName(wideName) && InstallPath(path, kPathUnits, installFolder, wideName)) {
            keep = os::Current().GetAttributes(path) != os::kInvalidAttributes;
        }
        if (keep) std::memmove(records + std::size_t(retained++) * recordSize, record, recordSize);
    }
    StoreLe32(stored.get() + 12, retained);
    ReplaceFileContents(listPath, stored.get(), kVersionListHeaderSize + retained * recordSize);
}
