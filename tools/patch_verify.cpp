// `patchtool verify`: every entry checked with the worker's own per-entry steps, nothing installed.
#include <memory>
#include <ostream>

#include <nlohmann/json.hpp>

#include "tools/authenticode.h"
#include "tools/caption_stamp.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/patch_listing.h"
#include "tools/patch_reading.h"
#include "tools/console_io.h"
#include "tools/read_ahead.h"
#include "tools/split_check.h"
#include "update/entry_check.h"

namespace {

// One entry's verdict: {"name", "status", "detail"} and, when its bytes were read, "checksum" (and
// "expected" for a mismatch).
nlohmann::json VerifyEntry(CFileDX& file, const PayloadIndex& index, const VersionList& list, std::uint32_t i,
                           ReadAhead& reader) {
    ResolvedEntry entry;
    ResolveEntry(index, list, i, &entry);
    nlohmann::json json = {{"name", DisplayName(entry.stored)}, {"status", "DAMAGED"}};
    if (!entry.onDisk) {
        json["detail"] = "its on-disk name " + Quoted(entry.OnDiskName()) + " would leave the install folder";
        return json;
    }
    const std::uint64_t mark = FailureMark();
    if (!file.Seek(static_cast<std::int32_t>(index.Position(i)))) {
        json["detail"] = FailureText("its data at " + HexValue(index.Position(i)) +
                                         " cannot be reached (the patcher reads below 2 GiB only)",
                                     mark);
        return json;
    }
    const StreamedBytes read = reader.Stream(file, index.Size(i), nullptr);
    if (read.end != StreamEnd::Complete) {
        json["detail"] = FailureText("its " + std::to_string(index.Size(i)) + " bytes run past the end of the file", mark);
        return json;
    }
    const std::string checksum = HexBytes(&read.checksum, 8);
    json["checksum"] = checksum;
    switch (JudgeBytes(read.checksum, entry.Expected())) {
    case EntryVerdict::Unverified:
        json["status"] = "unverified";
        json["detail"] = "no record in the version list";
        break;
    case EntryVerdict::Verified:
        json["status"] = "OK";
        json["detail"] = "checksum " + checksum;
        break;
    case EntryVerdict::Mismatch:
        json["status"] = "MISMATCH";
        json["expected"] = HexBytes(entry.record->checksum, 8);
        json["detail"] = "record " + Quoted(entry.record->name) + " expects " + HexBytes(entry.record->checksum, 8) +
                         ", the payload gives " + checksum;
        break;
    }
    return json;
}

// The text form of a verification: every line from the document.
void PrintVerification(const nlohmann::json& doc, std::ostream& out) {
    out << "caption: " << Text(doc["caption"]["description"]) << "\n";
    for (const nlohmann::json& entry : doc["entries"]) {
        out << StatusLine(Text(entry["status"]), Text(entry["name"])) << ": " << Text(entry["detail"]) << "\n";
    }
    for (const nlohmann::json& part : doc["earlierParts"]) out << DescribeEarlierPart(part) << "\n";
    out << "signature: " << Text(doc["signature"]["description"]) << "\n";
    if (doc["signature"].contains("trust")) out << "signature trust: " << Text(doc["signature"]["trust"]) << "\n";
    out << "verify: " << doc["entries"].size() << " entries: " << doc["verified"] << " OK, " << doc["unverified"]
        << " unverified, " << doc["failed"] << " failed\n";
    if (doc["failed"].get<std::uint32_t>() > 0) {
        out << "verify: FAILED: the patcher would stop with " << DescribeResult(UpdateDamaged) << "\n";
    }
    if (doc["exitCode"].get<int>() == kExitSignatureChanged) {
        out << "verify: FAILED: the file is not what was signed; Windows will not show it as signed\n";
    }
    if (doc["passed"].get<bool>()) out << "verify: passed: the patcher would accept every entry\n";
}

}  // namespace

int VerifyPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc) {
    FailureWatch watch;
    CFileDX file;
    PayloadIndex index;
    const nlohmann::json split = SplitJson(path);
    if (std::string part = DescribeSplit(split); !part.empty()) out << "split: " << part << "\n";
    UpdateResult result = OpenPayload(path, file, index, err);
    if (result != UpdateOk) {
        out << "verify: FAILED: the patcher would stop with " << DescribeResult(result) << "\n";
        if (doc) *doc = {{"patch", path}, {"passed", false}, {"result", DescribeResult(result)}};
        return static_cast<int>(result & 0xFF);
    }
    VersionList list = LoadVersionList(file, index);
    ReadAhead reader;
    nlohmann::json entries = nlohmann::json::array();
    std::uint32_t counts[3] = {};  // OK, unverified, failed
    for (std::uint32_t i = 0; i < index.count; ++i) {
        entries.push_back(VerifyEntry(file, index, list, i, reader));
        const std::string& status = Text(entries.back()["status"]);
        ++counts[status == "OK" ? 0 : status == "unverified" ? 1 : 2];
    }
    SignatureReport signature = ReadSignature(path);
    const bool signatureBroken = signature.state == SignatureReport::State::Changed ||
                                 signature.state == SignatureReport::State::Damaged;
    const int code = signatureBroken ? kExitSignatureChanged : counts[2] > 0 ? static_cast<int>(UpdateDamaged & 0xFF) : 0;
    nlohmann::json verification = {{"patch", path},
                                   {"split", split},
                                   {"caption", CaptionJson(file)},
                                   {"entries", std::move(entries)},
                                   {"earlierParts", CompareWithEarlierParts(path, list)},
                                   {"verified", counts[0]},
                                   {"unverified", counts[1]},
                                   {"failed", counts[2]},
                                   {"signature", SignatureJson(signature)},
                                   {"result", DescribeResult(counts[2] > 0 ? UpdateDamaged : UpdateOk)},
                                   {"passed", code == 0},
                                   {"exitCode", code}};
    PrintVerification(verification, out);
    if (doc) *doc = std::move(verification);
    return code;
}
