#include "unit/patch_format.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support/file.h"

// The byte layouts are written out here from the formats' own numbers, not from the engine's
// constants, so that a wrong magic, size or field position in the engine fails the tests that read
// these files instead of being written and read back the same way.

namespace {

void PutLe32(std::string& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> 8 * i);
}

// Copies as much of name as fits the field; the rest of the field stays zero.
void PutName(std::string& out, std::size_t at, const std::string& name, std::size_t field) {
    std::memcpy(out.data() + at, name.data(), std::min(name.size(), field));
}

}  // namespace

std::string EncodeArchive(const std::vector<PayloadFile>& files, bool legacyIndex) {
    // Header: 12-byte magic, entry count at 12. "MORVEN ARC20" selects 128-byte entries (name 96,
    // offset at 96, size at 100); any other magic 32-byte entries (name 16, offset at 16, size at 20).
    const std::size_t entrySize = legacyIndex ? 32 : 128, nameField = legacyIndex ? 16 : 96;
    std::string out(16 + files.size() * entrySize, '\0');
    std::memcpy(out.data(), legacyIndex ? "MORVEN ARC10" : "MORVEN ARC20", 12);
    PutLe32(out, 12, static_cast<std::uint32_t>(files.size()));

    std::uint32_t offset = 0;  // counted from the data area, which follows the index
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::size_t entry = 16 + i * entrySize;
        PutName(out, entry, files[i].name, nameField);
        PutLe32(out, entry + nameField, offset);
        PutLe32(out, entry + nameField + 4, static_cast<std::uint32_t>(files[i].data.size()));
        offset += static_cast<std::uint32_t>(files[i].data.size());
    }
    for (const auto& f : files) out += f.data;
    return out;
}

std::string EncodePatch(const std::string& stub, const std::string& archive) {
    const std::size_t payloadOffset = 0x60000;
    std::string out(payloadOffset, '\0');
    std::memcpy(out.data(), stub.data(), std::min(stub.size(), payloadOffset));
    out += archive;
    return out;
}

std::string EncodeVersionList(const std::vector<VersionListEntry>& records, bool v1, std::uint32_t reserved) {
    // Header: 8-byte magic, reserved at 8, record count at 12. Version 2 records are 256 bytes (name
    // 248, checksum at 248), version 1 records 64 bytes (name 56, checksum at 56).
    const std::size_t recordSize = v1 ? 64 : 256, nameField = v1 ? 56 : 248;
    std::string out(16 + records.size() * recordSize, '\0');
    std::memcpy(out.data(), v1 ? "QHV_____" : "QHV_V2__", 8);
    PutLe32(out, 8, reserved);
    PutLe32(out, 12, static_cast<std::uint32_t>(records.size()));
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t at = 16 + i * recordSize;
        PutName(out, at, records[i].name, nameField);
        std::memcpy(out.data() + at + nameField, records[i].checksum, 8);
    }
    return out;
}

VersionListEntry RecordOf(const std::string& name, const std::string& data) {
    VersionListEntry record{name, {}};
    ChecksumOf(data, record.checksum);
    return record;
}

std::string EncodeVersionListOf(const std::vector<PayloadFile>& files, bool v1, std::uint32_t reserved) {
    std::vector<VersionListEntry> records;
    for (const PayloadFile& f : files) records.push_back(RecordOf(f.name, f.data));
    return EncodeVersionList(records, v1, reserved);
}

void ChecksumOf(const std::string& data, std::uint8_t out[8]) {
    RollingChecksum state;
    ResetChecksum(state);
    UpdateChecksum(state, data.data(), static_cast<std::uint32_t>(data.size()));
    std::memcpy(out, &state, 8);
}

ReadBack ReadPatch(const std::u16string& path, bool indexOnly) {
    ReadBack back;
    CFileDX file;
    EXPECT_TRUE(file.OpenRead(path.c_str()));
    back.result = ReadPayloadIndex(file, back.index);
    for (std::uint32_t i = 0; back.result == UpdateOk && i < back.index.count; ++i) {
        char name[kWideNameField + 1];
        back.names.push_back(back.index.Name(i, name));
        if (indexOnly) continue;
        std::string bytes(back.index.Size(i), '\0');
        EXPECT_TRUE(file.Seek(static_cast<std::int32_t>(back.index.Position(i))));
        if (!bytes.empty()) {
            EXPECT_EQ(file.Read(bytes.data(), back.index.Size(i)), back.index.Size(i));
        }
        back.data.push_back(bytes);
    }
    if (back.result == UpdateOk && !indexOnly) back.list = LoadVersionList(file, back.index);
    return back;
}
