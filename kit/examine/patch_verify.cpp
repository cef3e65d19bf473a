// `patchtool verify`: every entry checked with the worker's own per-entry steps, nothing installed.
#include "kit/examine/patch_verify.h"

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/read_ahead.h"
#include "kit/format/caption_stamp.h"
#include "kit/format/patch_reading.h"
#include "kit/examine/split_check.h"
#include "kit/signature/authenticode.h"
#include "update/entry_check.h"

namespace {

// One entry's verdict: {"name", "status", "detail"} and, when its bytes were read, "checksum" (and
// "expected" for a mismatch).
nlohmann::json VerifyEntry(CFileDX& file, const PayloadIndex& index, const VersionList& list, std::uint32_t i,
                           ReadAhead& reader) {
    ResolvedEntry entry;
    ResolveEntry(index, list, i, &entry);
    nlohmann::json json = {{"name", DisplayName(entry.stored)}, {"status", "DAMAGED"}};
    const auto damaged = [&json](std::string detail) {
        json["detail"] = std::move(detail);
        return json;
    };
    if (!entry.onDisk) return damaged("its on-disk name " + Quoted(entry.OnDiskName()) + " would leave the install folder");
    const std::uint64_t mark = FailureMark();
    if (!file.Seek(static_cast<std::int32_t>(index.Position(i)))) {
        return damaged(FailureText("its data at " + HexValue(index.Position(i)) +
                                       " cannot be reached (the patcher reads below 2 GiB only)",
                                   mark));
    }
    const StreamedBytes read = reader.Stream(file, index.Size(i), nullptr);
    if (read.end != StreamEnd::Complete) {
        return damaged(FailureText("its " + std::to_string(index.Size(i)) + " bytes run past the end of the file", mark));
    }
    const std::string checksum = HexBytes(&read.checksum, kChecksumSize);
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
        json["expected"] = HexBytes(entry.record->checksum, kChecksumSize);
        json["detail"] = "record " + Quoted(entry.record->name) + " expects " + Text(json["expected"]) +
                         ", the payload gives " + checksum;
        break;
    }
    return json;
}

}  // namespace

Verification VerifyPatch(const std::string& path) {
    FailureWatch watch;
    Verification verification;
    CFileDX file;
    PayloadIndex index;
    const nlohmann::json split = SplitJson(path);
    verification.result = OpenPayload(path, file, index, &verification.problem);
    if (verification.result != UpdateOk) {
        verification.doc = {{"patch", path}, {"split", split}, {"passed", false},
                            {"result", DescribeResult(verification.result)}};
        return verification;
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
    verification.signatureSound = signature.state != SignatureReport::State::Changed &&
                                  signature.state != SignatureReport::State::Damaged;
    verification.result = counts[2] > 0 ? UpdateDamaged : UpdateOk;
    verification.doc = {{"patch", path},
                        {"split", split},
                        {"caption", CaptionJson(file)},
                        {"entries", std::move(entries)},
                        {"earlierParts", CompareWithEarlierParts(path, list)},
                        {"verified", counts[0]},
                        {"unverified", counts[1]},
                        {"failed", counts[2]},
                        {"signature", SignatureJson(signature)},
                        {"result", DescribeResult(verification.result)},
                        {"passed", verification.Passed()}};
    return verification;
}
