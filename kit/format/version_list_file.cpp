#include "kit/format/version_list_file.h"

#include <algorithm>
#include <cstring>

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "support/text.h"

std::string VersionListFile::Name(std::uint32_t i) const {
    const char* field = records.data() + std::size_t(i) * RecordSize();
    return std::string(field, std::find(field, field + NameField(), '\0'));
}

bool VersionListFile::NameTerminated(std::uint32_t i) const { return Name(i).size() < NameField(); }

const std::uint8_t* VersionListFile::Checksum(std::uint32_t i) const {
    return reinterpret_cast<const std::uint8_t*>(records.data()) + std::size_t(i) * RecordSize() + NameField();
}

void VersionListFile::SetChecksum(std::uint32_t i, const std::uint8_t checksum[kChecksumSize]) {
    records.replace(std::size_t(i) * RecordSize() + NameField(), kChecksumSize, reinterpret_cast<const char*>(checksum),
                    kChecksumSize);
}

bool VersionListFile::Append(const std::string& storedName) {
    if (storedName.size() + 1 > NameField() || storedName.find('\0') != std::string::npos) return false;
    records.append(storedName).append(RecordSize() - storedName.size(), '\0');
    return true;
}

std::string VersionListFile::EncodeFirst(std::uint32_t count) const {
    count = std::min(count, Count());
    std::string bytes(kVersionListHeaderSize, '\0');
    VersionListHeader header{v1, {}, count};
    std::memcpy(header.reserved, reserved, 4);
    StoreVersionListHeader(reinterpret_cast<std::uint8_t*>(bytes.data()), header);
    return bytes.append(records, 0, std::size_t(count) * RecordSize());
}

bool ToEngineList(const VersionListFile& list, VersionList* engine, std::string* error) {
    engine->count = list.Count();
    engine->records = std::make_unique<VersionRecord[]>(engine->count);
    for (std::uint32_t i = 0; i < engine->count; ++i) {
        VersionRecord& record = engine->records[i];
        if (!ConvertText(record.name, sizeof record.name, list.Name(i).c_str(), TE_UTF8)) {
            return Fail(error, "record " + std::to_string(i + 1) + ": its name cannot be converted to UTF-8");
        }
        std::memcpy(record.checksum, list.Checksum(i), kChecksumSize);
    }
    return true;
}

namespace {

// The version list in the bytes read from path, or a reason that names the path.
bool ParseAt(const std::string& path, const std::string& bytes, VersionListFile* list, std::string* error) {
    const auto damaged = [&](const std::string& why) { return Fail(error, path + ": damaged: " + why); };
    if (bytes.size() < kVersionListHeaderSize) {
        return damaged("only " + std::to_string(bytes.size()) + " bytes, shorter than the 16-byte header");
    }
    VersionListHeader header;
    if (!ParseVersionListHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()), &header)) {
        return damaged("not a version list (magic is neither \"QHV_V2__\" nor \"QHV_____\")");
    }
    VersionListFile parsed;
    parsed.v1 = header.v1;
    std::memcpy(parsed.reserved, header.reserved, 4);
    const std::uint64_t needed = std::uint64_t(header.count) * parsed.RecordSize();
    const std::uint64_t present = bytes.size() - kVersionListHeaderSize;
    if (needed > present) {
        return damaged("the header counts " + std::to_string(header.count) + " records (" + std::to_string(needed) +
                       " bytes) but only " + std::to_string(present) + " bytes follow it");
    }
    parsed.records = bytes.substr(kVersionListHeaderSize, static_cast<std::size_t>(needed));
    parsed.trailing = static_cast<std::uint32_t>(present - needed);
    *list = std::move(parsed);
    return true;
}

}  // namespace

bool LoadVersionListFile(const std::string& path, VersionListFile* list, std::string* error) {
    std::string bytes;
    return ReadWholeFile(path, kMaxVersionListBytes, &bytes, error) && ParseAt(path, bytes, list, error);
}

bool LoadVersionListFile(CFileDX& file, const std::string& path, VersionListFile* list, std::string* error) {
    std::string bytes;
    return ReadOpenFile(file, path, kMaxVersionListBytes, &bytes, error) && ParseAt(path, bytes, list, error);
}
