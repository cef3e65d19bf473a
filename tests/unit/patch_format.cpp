#include "unit/patch_format.h"

#include <algorithm>
#include <cstring>

#include "update/archive.h"
#include "update/version_list.h"

namespace {

void PutLe32(std::string& out, std::size_t at, std::uint32_t value) {
    StoreLe32(reinterpret_cast<std::uint8_t*>(out.data() + at), value);
}

// Copies as much of name as fits the field; the rest of the field stays zero.
void PutName(std::string& out, std::size_t at, const std::string& name, std::size_t field) {
    std::memcpy(out.data() + at, name.data(), std::min(name.size(), field));
}

}  // namespace

std::string EncodeArchive(const std::vector<PayloadFile>& files, bool legacyIndex) {
    const IndexLayout layout{!legacyIndex};
    const std::size_t entrySize = layout.EntrySize(), nameField = layout.NameField();
    std::string out(kHeaderSize + files.size() * entrySize, '\0');
    std::memcpy(out.data(), layout.Magic(), 12);
    PutLe32(out, 12, static_cast<std::uint32_t>(files.size()));

    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::size_t entry = kHeaderSize + i * entrySize;
        PutName(out, entry, files[i].name, nameField);
        PutLe32(out, entry + nameField, offset);
        PutLe32(out, entry + nameField + 4, static_cast<std::uint32_t>(files[i].data.size()));
        offset += static_cast<std::uint32_t>(files[i].data.size());
    }
    for (const auto& f : files) out += f.data;
    return out;
}

std::string EncodePatch(const std::string& stub, const std::string& archive) {
    std::string out(kPayloadOffset, '\0');
    std::memcpy(out.data(), stub.data(), std::min<std::size_t>(stub.size(), kPayloadOffset));
    out += archive;
    return out;
}

std::string EncodeVersionList(const std::vector<VersionListEntry>& records, bool v1, std::uint32_t reserved) {
    const std::size_t recordSize = v1 ? kRecordSizeV1 : kRecordSizeV2;
    const std::size_t nameField = v1 ? kNameFieldV1 : kNameFieldV2;
    std::string out(kVersionListHeaderSize + records.size() * recordSize, '\0');
    VersionListHeader header{v1, {}, static_cast<std::uint32_t>(records.size())};
    StoreLe32(header.reserved, reserved);
    StoreVersionListHeader(reinterpret_cast<std::uint8_t*>(out.data()), header);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t at = kVersionListHeaderSize + i * recordSize;
        PutName(out, at, records[i].name, nameField);
        std::memcpy(out.data() + at + nameField, records[i].checksum, 8);
    }
    return out;
}

std::string EncodeVersionListOf(const std::vector<PayloadFile>& files, bool v1, std::uint32_t reserved) {
    std::vector<VersionListEntry> records(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        records[i].name = files[i].name;
        ChecksumOf(files[i].data, records[i].checksum);
    }
    return EncodeVersionList(records, v1, reserved);
}

void ChecksumOf(const std::string& data, std::uint8_t out[8]) {
    RollingChecksum state;
    ResetChecksum(state);
    UpdateChecksum(state, data.data(), static_cast<std::uint32_t>(data.size()));
    std::memcpy(out, &state, 8);
}
