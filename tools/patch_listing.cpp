#include "tools/patch_listing.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "tools/authenticode.h"
#include "tools/caption_stamp.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/patch_reading.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
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
    return "none (no entry named QMK.hvl): every entry is installed unverified";
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
                               {"checksum", HexBytes(entry.record->checksum, 8)}};
        }
        entries.push_back(std::move(shown));
    }
    return entries;
}

// The text form of a listing: every line from the document.
void PrintListing(const nlohmann::json& doc, std::ostream& out) {
    out << "patch: " << Text(doc["patch"]) << " (" << doc["size"] << " bytes)\n";
    if (std::string part = DescribeSplit(doc["split"]); !part.empty()) out << "split: " << part << "\n";
    out << "layout: " << Text(doc["layout"]["magic"]) << ", "
        << (doc["layout"]["legacyIndex"].get<bool>() ? "legacy 32-byte index entries (names up to 15 bytes)"
                                                      : "128-byte index entries (names up to 95 bytes)")
        << "\n";
    out << "entries: " << doc["entries"].size() << "\n";
    out << "data start: " << HexValue(doc["dataStart"].get<std::uint32_t>()) << "\n";
    out << "caption: " << Text(doc["caption"]["description"]) << "\n";
    out << "version list: " << Text(doc["versionList"]) << "\n";
    out << "signature: " << Text(doc["signature"]["description"]) << "\n";
    if (doc["signature"].contains("trust")) out << "signature trust: " << Text(doc["signature"]["trust"]) << "\n";
    for (const nlohmann::json& entry : doc["entries"]) {
        out << "  " << entry["index"] << "  " << Text(entry["name"]) << "  offset " << entry["offset"] << "  size "
            << entry["size"];
        if (entry["pastEnd"].get<bool>()) out << "  [past the end of the file]";
        if (entry["record"].is_null()) {
            out << "  -> no record: installed unverified";
        } else {
            const nlohmann::json& record = entry["record"];
            out << "  -> record \"" << Text(record["name"]) << "\" checksum " << Text(record["checksum"]);
        }
        out << "\n";
    }
}

}  // namespace

int ListPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc) {
    FailureWatch watch;
    CFileDX file;
    PayloadIndex index;
    UpdateResult opened = OpenPayload(path, file, index, err);
    if (opened != UpdateOk) {
        if (doc) *doc = {{"patch", path}, {"error", DescribeResult(opened)}};
        return 1;
    }
    std::uint32_t fileSize = file.GetSize();
    std::string magic = MagicText(file);
    VersionList list = LoadVersionList(file, index);
    nlohmann::json listing = {{"patch", path},
                              {"split", SplitJson(path)},
                              {"size", fileSize},
                              {"layout", {{"magic", magic}, {"legacyIndex", !index.wideLayout}}},
                              {"dataStart", index.dataStart},
                              {"caption", CaptionJson(file)},
                              {"versionList", VersionListSummary(file, index, list)},
                              {"signature", SignatureJson(ReadSignature(path))},
                              {"entries", DescribeEntries(index, list, fileSize)}};
    PrintListing(listing, out);
    if (doc) *doc = std::move(listing);
    return 0;
}

int PrintVersionList(const std::string& path, std::ostream& out, std::ostream& err) {
    FailureWatch watch;
    std::string bytes, error;
    VersionListFile list;
    const bool read = ReadWholeFile(path, kMaxVersionListBytes, &bytes, &error);
    if (!read || !ParseVersionListFile(bytes, &list, &error)) {
        err << "patchtool: " << (read ? path + ": " : "") << error << "\n";
        return 1;
    }
    out << "version list: " << path << " (" << bytes.size() << " bytes)\n";
    out << "layout: " << (list.v1 ? "version 1 (\"QHV_____\", 64-byte records)" : "version 2 (\"QHV_V2__\", 256-byte records)")
        << "\n";
    out << "reserved: " << HexBytes(list.reserved, 4, " ") << "\n";
    out << "records: " << list.Count() << "\n";
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        out << "  " << i << "  " << HexBytes(list.Checksum(i), 8) << "  " << DisplayName(list.Name(i).c_str());
        if (!list.NameTerminated(i)) out << "  [no terminator in its name field]";
        out << "\n";
    }
    if (list.trailing > 0) out << "trailing: " << list.trailing << " bytes after the last record (ignored)\n";
    return 0;
}
