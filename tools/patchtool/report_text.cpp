#include "tools/patchtool/report_text.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/format/patch_reading.h"
#include "kit/format/version_list_file.h"
#include "kit/examine/split_check.h"
#include "tools/patchtool/console_io.h"

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

void PrintVerification(const nlohmann::json& doc, std::ostream& out) {
    if (std::string part = DescribeSplit(doc["split"]); !part.empty()) out << "split: " << part << "\n";
    if (!doc.contains("entries")) {  // the patch could not be opened
        out << "verify: FAILED: the patcher would stop with " << Text(doc["result"]) << "\n";
        return;
    }
    out << "caption: " << Text(doc["caption"]["description"]) << "\n";
    for (const nlohmann::json& entry : doc["entries"]) {
        out << StatusLine(Text(entry["status"]), Text(entry["name"])) << ": " << Text(entry["detail"]) << "\n";
    }
    for (const nlohmann::json& part : doc["earlierParts"]) out << DescribeEarlierPart(part) << "\n";
    out << "signature: " << Text(doc["signature"]["description"]) << "\n";
    if (doc["signature"].contains("trust")) out << "signature trust: " << Text(doc["signature"]["trust"]) << "\n";
    out << "verify: " << doc["entries"].size() << " entries: " << doc["verified"] << " OK, " << doc["unverified"]
        << " unverified, " << doc["failed"] << " failed\n";
    if (doc["failed"] > 0) out << "verify: FAILED: the patcher would stop with " << Text(doc["result"]) << "\n";
    if (doc["exitCode"].get<int>() == kExitSignatureChanged) {
        out << "verify: FAILED: the file is not what was signed; Windows will not show it as signed\n";
    }
    if (doc["passed"].get<bool>()) out << "verify: passed: the patcher would accept every entry\n";
}

void PrintCheck(const nlohmann::json& doc, std::ostream& out) {
    for (const nlohmann::json& file : doc["files"]) {
        const std::string& state = Text(file["status"]);
        out << StatusLine(state, Text(file["name"]));
        if (state == "OK") {
            out << ": " << file["size"] << " bytes, checksum " << Text(file["actual"]);
        } else if (state == "MODIFIED") {
            out << ": the record expects " << Text(file["expected"]) << ", the file gives " << Text(file["actual"]);
        } else if (state == "UNREADABLE") {
            out << ": " << Text(file["reason"]);
        }
        out << "\n";
    }
    const nlohmann::json& c = doc["summary"];
    out << "check: " << doc["files"].size() << " files: " << c["ok"] << " OK, " << c["modified"] << " modified, "
        << c["missing"] << " missing, " << c["unreadable"] << " unreadable\n";
    out << (doc["intact"].get<bool>() ? "check: intact\n" : "check: NOT intact: repair or reinstall the files above\n");
}

void PrintRelease(const nlohmann::json& doc, std::ostream& out) {
    const nlohmann::json& c = doc["counts"];
    out << "plan: " << c["changed"] << " changed, " << c["added"] << " added, " << c["removed"] << " removed, "
        << c["unchanged"] << " unchanged\n";
    for (const nlohmann::json& file : doc["files"]) {
        out << "  " << Text(file["why"]) << ": " << Text(file["name"]) << " (" << file["size"] << " bytes)\n";
    }
    for (const nlohmann::json& warning : doc["warnings"]) out << "warning: " << Text(warning) << "\n";
    out << "version list: " << Text(doc["versionList"]) << "\n";
    out << "caption: " << Text(doc["caption"]) << "\n";
    for (const nlohmann::json& proof : doc["proofs"]) out << "proof: " << Text(proof) << "\n";
    for (const nlohmann::json& part : doc["parts"]) {
        out << "wrote " << Text(part["path"]) << ": " << part["size"] << " bytes, " << part["files"] << " files\n";
    }
    if (doc["parts"].size() > 1) out << "run the " << doc["parts"].size() << " parts in order\n";
}

void PrintVersionList(const std::string& path, const VersionListFile& list, std::ostream& out) {
    out << "version list: " << path << " (" << kVersionListHeaderSize + list.records.size() + list.trailing
        << " bytes)\n";
    out << "layout: " << (list.v1 ? "version 1 (\"QHV_____\", 64-byte records)" : "version 2 (\"QHV_V2__\", 256-byte records)")
        << "\n";
    out << "reserved: " << HexBytes(list.reserved, 4, " ") << "\n";
    out << "records: " << list.Count() << "\n";
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        out << "  " << i << "  " << HexBytes(list.Checksum(i), kChecksumSize) << "  " << DisplayName(list.Name(i).c_str());
        if (!list.NameTerminated(i)) out << "  [no terminator in its name field]";
        out << "\n";
    }
    if (list.trailing > 0) out << "trailing: " << list.trailing << " bytes after the last record (ignored)\n";
}
