#include "kit/examine/split_check.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "kit/format/part_plan.h"
#include "support/file.h"
#include "update/entry_check.h"

namespace {

// The record of list with record's whole name (ASCII case ignored). Not the first of the file name:
// a part may install a file through its own record where a later part's list has another of that
// file name first.
const VersionRecord* SameRecord(const VersionList& list, const VersionRecord& record) {
    char want[kNameKeyCapacity], key[kNameKeyCapacity];
    if (!MakeNameKey(want, sizeof want, record.name)) return nullptr;
    for (std::uint32_t i = 0; i < list.count; ++i) {
        if (MakeNameKey(key, sizeof key, list.records[i].name) && std::strcmp(key, want) == 0) return &list.records[i];
    }
    return nullptr;
}

nlohmann::json CompareWithPart(const std::string& sibling, std::uint32_t part, const VersionList& list) {
    nlohmann::json result = {{"part", part}, {"path", sibling}, {"state", "missing"}};
    std::u16string wide = WidenUtf8(sibling);
    CFileDX file;
    PayloadIndex index;
    if (wide.empty() || !file.OpenRead(wide.c_str()) || ReadPayloadIndex(file, index) != UpdateOk) return result;
    VersionList earlier = LoadVersionList(file, index);
    std::uint32_t same = 0;
    std::string differs;
    for (std::uint32_t i = 0; i < index.count; ++i) {
        ResolvedEntry entry;
        ResolveEntry(index, earlier, i, &entry);
        if (!entry.record) continue;  // unverified there, the version list itself included
        const VersionRecord* here = SameRecord(list, *entry.record);
        if (here && std::memcmp(here->checksum, entry.record->checksum, kChecksumSize) == 0) {
            ++same;
        } else if (differs.empty()) {
            differs = DisplayName(entry.stored);
        }
    }
    result["state"] = differs.empty() ? "agrees" : "differs";
    result["files"] = same;
    if (!differs.empty()) result["differs"] = differs;
    return result;
}

}  // namespace

nlohmann::json CompareWithEarlierParts(const std::string& path, const VersionList& list) {
    nlohmann::json parts = nlohmann::json::array();
    std::uint32_t part = 0, count = 0;
    std::string base;
    if (!ParsePartName(path, &part, &count, &base)) return parts;
    for (std::uint32_t j = 1; j < part; ++j) parts.push_back(CompareWithPart(PartName(base, j, count), j, list));
    return parts;
}

std::string DescribeEarlierPart(const nlohmann::json& part) {
    const std::string& state = Text(part["state"]);
    std::string line = "split: part " + part["part"].dump() + " (" + Text(part["path"]) + ")";
    if (state == "missing") return line + " is not beside it, or cannot be read";
    if (state == "agrees") return line + " agrees: its " + part["files"].dump() + " files have the same checksums here";
    return line + " DIFFERS: \"" + Text(part["differs"]) + "\" has another checksum or none here; the parts come "
           "from different builds and would leave a version list that does not match the folder";
}
