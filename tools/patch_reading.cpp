#include "tools/patch_reading.h"

#include <cstdio>
#include <ostream>

#include <nlohmann/json.hpp>

#include "tools/authenticode.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/part_plan.h"
#include "tools/tool_files.h"

namespace {

// Why the index reader refused the file, in words, read from the file itself.
std::string ArchiveProblem(CFileDX& file, UpdateResult result) {
    std::uint32_t size = file.GetSize();
    if (size == 0xFFFFFFFFu || size < kPayloadOffset) {
        return FailureText("the file is " + std::to_string(size) + " bytes and holds no payload (it starts at " +
                           HexValue(kPayloadOffset) + ")");
    }
    std::uint8_t header[kHeaderSize];
    if (!file.Seek(static_cast<std::int32_t>(kPayloadOffset)) || file.Read(header, kHeaderSize) != kHeaderSize) {
        return FailureText("the archive header at " + HexValue(kPayloadOffset) + " is cut short");
    }
    std::uint32_t count = LoadLe32(header + 12);
    if (result == UpdateTooManyEntries) {
        return "the header counts " + std::to_string(count) + " entries; the patcher reads at most " +
               std::to_string(kMaxEntries);
    }
    const std::uint64_t entrySize = IndexLayout::Of(header).EntrySize();
    return FailureText("the index of " + std::to_string(count) + " entries needs " +
                       std::to_string(count * entrySize) + " bytes after the header; the file ends " +
                       std::to_string(size - kIndexOffset) + " bytes after it");
}

}  // namespace

UpdateResult OpenPayload(const std::string& path, CFileDX& file, PayloadIndex& index, std::ostream& err) {
    std::u16string wide = WidenUtf8(path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) {
        err << "patchtool: " << FailureText(path + ": cannot open it") << "\n";
        return UpdateDamaged;
    }
    UpdateResult result = ReadPayloadIndex(file, index);
    if (result != UpdateOk) {
        err << "patchtool: " << path << ": " << DescribeResult(result) << ": " << ArchiveProblem(file, result)
            << "\n";
    }
    return result;
}

std::string DescribeResult(std::uint32_t result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    return std::string(UpdateResultName(result)) + " (" + code + ")";
}

nlohmann::json SplitJson(const std::string& path) {
    std::uint32_t part = 0, parts = 0;
    if (!ParsePartName(path, &part, &parts)) return nullptr;
    return {{"part", part}, {"parts", parts}};
}

std::string DescribeSplit(const nlohmann::json& split) {
    if (split.is_null()) return {};
    return "part " + split["part"].dump() + " of " + split["parts"].dump() +
           " (by its name): run the parts in order, each after the one before";
}

nlohmann::json SignatureJson(const SignatureReport& report) {
    nlohmann::json doc = {{"state", SignatureStateName(report.state)}};
    if (!report.subject.empty()) doc["subject"] = report.subject;
    if (!report.algorithm.empty()) doc["algorithm"] = report.algorithm;
    if (!report.signedDigest.empty()) doc["signedDigest"] = report.signedDigest;
    if (!report.fileDigest.empty()) doc["fileDigest"] = report.fileDigest;
    if (!report.problem.empty()) doc["problem"] = report.problem;
    if (!report.trust.empty()) {
        doc["trusted"] = report.trusted;
        doc["trust"] = report.trust;
    }
    doc["description"] = DescribeSignature(report);
    return doc;
}
