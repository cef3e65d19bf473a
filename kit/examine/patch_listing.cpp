#include "kit/examine/patch_listing.h"

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/format/caption_stamp.h"
#include "kit/format/patch_reading.h"
#include "kit/signature/authenticode.h"
#include "update/entry_check.h"
#include "update/version_list.h"

namespace {

std::string MagicText(CFileDX& file) {
    char magic[12];
    if (!file.Seek(static_cast<std::int32_t>(kPayloadOffset)) || file.Read(magic, sizeof magic) != sizeof magic) {
        return "?";
    }
    for (char c : magic) {
        if (c < 0x20 || c > 0x7E) return "magic " + HexBytes(magic, sizeof magic, " ");
    }
    return "magic \"" + std::string(magic, sizeof magic) + "\"";
}

// What the version-list entry holds, in one line.
std::string VersionListSummary(CFileDX& file, const PayloadIndex& index, const VersionList& list) {
    for (std::uint32_t i = 0; i < index.count; ++i) {
        char stored[kWideNameField + 1];
        char key[kNameKeyCapacity];
        if (!MakeNameKey(key, sizeof key, index.Name(i, stored)) || std::string(key) != kVersionListKey) continue;
        std::string where = "entry " + std::to_string(i) + " " + Quoted(stored);
        std::uint8_t bytes[kVersionListHeaderSize];
        VersionListHeader header;
        if (!file.Seek(static_cast<std::int32_t>(index.Position(i))) || file.Read(bytes, sizeof bytes) != sizeof bytes) {
            return where + ", cut short: every entry is installed unverified";
        }
        if (!ParseVersionListHeader(bytes, &header)) {
            return where + ", not a version list (unknown magic): every entry is installed unverified";
        }
        const std::string layout = header.v1 ? "version 1" : "version 2";
        if (list.count == 0 && header.count != 0) {
            return where + ", " + layout + ", its records are cut short: every entry is installed unverified";
        }
        return where + ", " + layout + ", " + std::to_string(list.count) + " records";
    }
    return std::string("none (no entry named ") + kVersionListName + "): every entry is installed unverified";
}

nlohmann::json DescribeEntries(const PayloadIndex& index, const VersionList& list, std::uint32_t fileSize) {
    nlohmann::json entries = nlohmann::json::array();
    for (std::uint32_t i = 0; i < index.count; ++i) {
        ResolvedEntry entry;
        ResolveEntry(index, list, i, &entry);
        bool pastEnd = std::uint64_t(index.dataStart) + index.Offset(i) + index.Size(i) > fileSize;
        nlohmann::json shown = {{"index", i}, {"name", DisplayName(entry.stored)}, {"offset", index.Offset(i)},
                                {"size", index.Size(i)}, {"pastEnd", pastEnd}, {"record", nullptr}};
        if (entry.record) {
            shown["record"] = {{"name", DisplayName(entry.record->name)},
                               {"checksum", HexBytes(entry.record->checksum, kChecksumSize)}};
        }
        entries.push_back(std::move(shown));
    }
    return entries;
}

}  // namespace

bool ListPatch(const std::string& path, nlohmann::json* listing, std::string* problem) {
    FailureWatch watch;
    CFileDX file;
    PayloadIndex index;
    UpdateResult opened = OpenPayload(path, file, index, problem);
    if (opened != UpdateOk) {
        *listing = {{"patch", path}, {"error", DescribeResult(opened)}};
        return false;
    }
    std::uint32_t fileSize = file.GetSize();
    std::string magic = MagicText(file);
    VersionList list = LoadVersionList(file, index);
    *listing = {{"patch", path},
                {"split", SplitJson(path)},
                {"size", fileSize},
                {"layout", {{"magic", magic}, {"legacyIndex", !index.wideLayout}}},
                {"dataStart", index.dataStart},
                {"caption", CaptionJson(file)},
                {"versionList", VersionListSummary(file, index, list)},
                {"signature", SignatureJson(ReadSignature(path))},
                {"entries", DescribeEntries(index, list, fileSize)}};
    return true;
}
