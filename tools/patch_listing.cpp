#include "tools/patch_listing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>

#include <nlohmann/json.hpp>

#include "support/file.h"
#include "support/text.h"
#include "tools/authenticode.h"
#include "tools/patch_builder.h"
#include "tools/patchtool.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/result.h"
#include "update/version_list.h"
#include "update/worker.h"

namespace {

constexpr std::uint32_t kMaxVersionListBytes = 64u << 20;
constexpr std::size_t kKeyBytes = 3 * kNameFieldV2 + 1;

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// Why the index reader refused the file, in words, read from the file itself.
std::string ArchiveProblem(CFileDX& file, UpdateResult result) {
    std::uint32_t size = file.GetSize();
    if (size == 0xFFFFFFFFu || size < kPayloadOffset) {
        return "the file is " + std::to_string(size) + " bytes and holds no payload (it starts at " +
               Hex(kPayloadOffset) + ")";
    }
    std::uint8_t header[kHeaderSize];
    if (!file.Seek(static_cast<std::int32_t>(kPayloadOffset)) || file.Read(header, kHeaderSize) != kHeaderSize) {
        return "the archive header at " + Hex(kPayloadOffset) + " is cut short";
    }
    std::uint32_t count = LoadLe32(header + 12);
    if (result == UpdateTooManyEntries) {
        return "the header counts " + std::to_string(count) + " entries; the patcher reads at most " +
               std::to_string(kMaxEntries);
    }
    std::uint64_t entrySize = std::memcmp(header, kArchiveMagic, sizeof kArchiveMagic) == 0 ? kWideEntrySize
                                                                                           : kLegacyEntrySize;
    return "the index of " + std::to_string(count) + " entries needs " + std::to_string(count * entrySize) +
           " bytes after the header; the file ends " + std::to_string(size - kIndexOffset) + " bytes after it";
}

// Opens a patch and reads its index as the patcher does; explains any failure on err.
UpdateResult OpenPayload(const std::string& path, CFileDX& file, PayloadIndex& index, std::ostream& err) {
    std::u16string wide = WidenUtf8(path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) {
        err << "patchtool: " << path << ": cannot open it (error " << file.LastError() << ")\n";
        return UpdateDamaged;
    }
    UpdateResult result = ReadPayloadIndex(file, index);
    if (result != UpdateOk) {
        err << "patchtool: " << path << ": " << DescribeResult(result) << ": " << ArchiveProblem(file, result)
            << "\n";
    }
    return result;
}

struct EntryInfo {
    std::string stored;
    bool hasKey = false;
    std::string key;
    const VersionRecord* record = nullptr;
};

EntryInfo DescribeEntry(const PayloadIndex& index, const VersionList& list, std::uint32_t i) {
    char stored[kWideNameField + 1];
    EntryInfo info;
    info.stored = index.Name(i, stored);
    char key[kKeyBytes];
    if (MakeNameKey(key, sizeof key, stored)) {
        info.hasKey = true;
        info.key = key;
        info.record = FindVersionRecord(list, key);
    }
    return info;
}

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
        EntryInfo entry = DescribeEntry(index, list, i);
        if (!entry.hasKey || entry.key != kVersionListKey) continue;
        std::string where = "entry " + std::to_string(i) + " \"" + DisplayName(entry.stored.c_str()) + "\"";
        std::uint8_t header[kVersionListHeaderSize];
        if (!file.Seek(static_cast<std::int32_t>(index.Position(i))) ||
            file.Read(header, sizeof header) != sizeof header) {
            return where + ", cut short: every entry is installed unverified";
        }
        const char* layout = std::memcmp(header, kVersionListMagicV2, 8) == 0   ? "version 2"
                             : std::memcmp(header, kVersionListMagicV1, 8) == 0 ? "version 1"
                                                                                 : nullptr;
        if (!layout) return where + ", not a version list (unknown magic): every entry is installed unverified";
        if (list.count == 0 && LoadLe32(header + 12) != 0) {
            return where + ", " + layout + ", its records are cut short: every entry is installed unverified";
        }
        return where + ", " + layout + ", " + std::to_string(list.count) + " records";
    }
    return "none (no entry named QMK.hvl): every entry is installed unverified";
}

// "part 2 of 3" when the file carries a split build's part name; the payload itself does not say.
std::string PartOfSplit(const std::string& path) {
    std::uint32_t part = 0, parts = 0;
    if (!ParsePartName(path, &part, &parts)) return {};
    return "part " + std::to_string(part) + " of " + std::to_string(parts) +
           " (by its name): run the parts in order, each after the one before";
}

// The same for --json: {"part": K, "parts": N}, or null when the name does not say.
nlohmann::json SplitJson(const std::string& path) {
    std::uint32_t part = 0, parts = 0;
    if (!ParsePartName(path, &part, &parts)) return nullptr;
    return {{"part", part}, {"parts", parts}};
}

// A part's list must carry every earlier part's files with the checksums those parts install; a
// part of another build would leave a list that does not match the folder. Compares this part's
// list with the lists of the earlier parts that lie beside it under their part names.
void CompareWithEarlierParts(const std::string& path, const VersionList& list, std::ostream& out) {
    std::uint32_t part = 0, parts = 0;
    std::string base;
    if (!ParsePartName(path, &part, &parts, &base)) return;
    for (std::uint32_t j = 1; j < part; ++j) {
        std::string sibling = PartName(base, j, parts);
        std::u16string wide = WidenUtf8(sibling);
        CFileDX file;
        PayloadIndex index;
        if (wide.empty() || !file.OpenRead(wide.c_str()) || ReadPayloadIndex(file, index) != UpdateOk) {
            out << "split: part " << j << " (" << sibling << ") is not beside it, or cannot be read\n";
            continue;
        }
        VersionList earlier = LoadVersionList(file, index);
        std::uint32_t same = 0;
        std::string differs;
        for (std::uint32_t i = 0; i < index.count; ++i) {
            EntryInfo entry = DescribeEntry(index, earlier, i);
            if (!entry.record) continue;  // unverified there, the version list itself included
            const VersionRecord* here = FindVersionRecord(list, entry.key.c_str());
            if (here && std::memcmp(here->checksum, entry.record->checksum, 8) == 0) {
                ++same;
            } else if (differs.empty()) {
                differs = DisplayName(entry.stored.c_str());
            }
        }
        out << "split: part " << j << " (" << sibling << ")";
        if (differs.empty()) {
            out << " agrees: its " << same << " files have the same checksums here\n";
        } else {
            out << " DIFFERS: \"" << differs << "\" has another checksum or none here; the parts come from "
                << "different builds and would leave a version list that does not match the folder\n";
        }
    }
}

}  // namespace

std::string DescribeResult(std::uint32_t result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    return std::string(UpdateResultName(result)) + " (" + code + ")";
}

nlohmann::json SignatureJson(const SignatureReport& report) {
    nlohmann::json doc = {{"state", SignatureStateName(report.state)}};
    if (!report.subject.empty()) doc["subject"] = report.subject;
    if (!report.algorithm.empty()) doc["algorithm"] = report.algorithm;
    if (!report.signedDigest.empty()) doc["signedDigest"] = report.signedDigest;
    if (!report.fileDigest.empty()) doc["fileDigest"] = report.fileDigest;
    if (!report.problem.empty()) doc["problem"] = report.problem;
    return doc;
}

int ListPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc) {
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
    std::string listSummary = VersionListSummary(file, index, list);
    SignatureReport signature = ReadSignature(path);

    out << "patch: " << path << " (" << fileSize << " bytes)\n";
    if (std::string part = PartOfSplit(path); !part.empty()) out << "split: " << part << "\n";
    out << "layout: " << magic << ", "
        << (index.wideLayout ? "128-byte index entries (names up to 95 bytes)"
                             : "legacy 32-byte index entries (names up to 15 bytes)")
        << "\n";
    out << "entries: " << index.count << "\n";
    out << "data start: " << Hex(index.dataStart) << "\n";
    out << "version list: " << listSummary << "\n";
    out << "signature: " << DescribeSignature(signature) << "\n";
    nlohmann::json entries = nlohmann::json::array();
    for (std::uint32_t i = 0; i < index.count; ++i) {
        EntryInfo entry = DescribeEntry(index, list, i);
        bool pastEnd = std::uint64_t(index.dataStart) + index.Offset(i) + index.Size(i) > fileSize;
        nlohmann::json shown = {{"index", i}, {"name", DisplayName(entry.stored.c_str())}, {"offset", index.Offset(i)},
                                {"size", index.Size(i)}, {"pastEnd", pastEnd}, {"record", nullptr}};
        out << "  " << i << "  " << DisplayName(entry.stored.c_str()) << "  offset " << index.Offset(i) << "  size "
            << index.Size(i);
        if (pastEnd) out << "  [past the end of the file]";
        if (entry.record) {
            out << "  -> record \"" << DisplayName(entry.record->name) << "\" checksum "
                << HexBytes(entry.record->checksum, 8);
            shown["record"] = {{"name", DisplayName(entry.record->name)},
                               {"checksum", HexBytes(entry.record->checksum, 8)}};
        } else {
            out << "  -> no record: installed unverified";
        }
        out << "\n";
        entries.push_back(std::move(shown));
    }
    if (doc) {
        *doc = {{"patch", path},
                {"split", SplitJson(path)},
                {"size", fileSize},
                {"layout", {{"magic", magic}, {"legacyIndex", !index.wideLayout}}},
                {"dataStart", index.dataStart},
                {"versionList", listSummary},
                {"signature", SignatureJson(signature)},
                {"entries", std::move(entries)}};
    }
    return 0;
}

int VerifyPatch(const std::string& path, std::ostream& out, std::ostream& err, nlohmann::json* doc) {
    CFileDX file;
    PayloadIndex index;
    if (std::string part = PartOfSplit(path); !part.empty()) out << "split: " << part << "\n";
    UpdateResult result = OpenPayload(path, file, index, err);
    if (result != UpdateOk) {
        out << "verify: FAILED: the patcher would stop with " << DescribeResult(result) << "\n";
        if (doc) *doc = {{"patch", path}, {"passed", false}, {"result", DescribeResult(result)}};
        return static_cast<int>(result & 0xFF);
    }
    VersionList list = LoadVersionList(file, index);
    auto buffer = std::make_unique<std::uint8_t[]>(kCopyChunk);
    std::uint32_t verified = 0, unverified = 0, failed = 0;
    nlohmann::json entries = nlohmann::json::array();
    for (std::uint32_t i = 0; i < index.count; ++i) {
        EntryInfo entry = DescribeEntry(index, list, i);
        std::string shown = "\"" + DisplayName(entry.stored.c_str()) + "\"";
        nlohmann::json json = {{"name", DisplayName(entry.stored.c_str())}};
        auto report = [&](const char* status, const std::string& line) {
            out << status << std::string(12 - std::strlen(status), ' ') << shown << ": " << line << "\n";
            json["status"] = status;
            json["detail"] = line;
            entries.push_back(json);
        };
        std::unique_ptr<char16_t[]> onDisk = MultiToWide(entry.record ? entry.record->name : entry.stored.c_str());
        if (!onDisk || !IsSafeInstallName(onDisk.get())) {
            ++failed;
            report("DAMAGED", "its on-disk name \"" +
                                  DisplayName(entry.record ? entry.record->name : entry.stored.c_str()) +
                                  "\" would leave the install folder");
            continue;
        }
        if (!file.Seek(static_cast<std::int32_t>(index.Position(i)))) {
            ++failed;
            report("DAMAGED", "its data at " + Hex(index.Position(i)) +
                                  " cannot be reached (the patcher reads below 2 GiB only)");
            continue;
        }
        RollingChecksum checksum;
        ResetChecksum(checksum);
        bool complete = true;
        for (std::uint32_t done = 0, size = index.Size(i); done < size;) {
            std::uint32_t chunk = std::min(kCopyChunk, size - done);
            if (file.Read(buffer.get(), chunk) != chunk) {
                complete = false;
                break;
            }
            UpdateChecksum(checksum, buffer.get(), chunk);
            done += chunk;
        }
        if (!complete) {
            ++failed;
            report("DAMAGED", "its " + std::to_string(index.Size(i)) + " bytes run past the end of the file");
            continue;
        }
        json["checksum"] = HexBytes(&checksum, 8);
        if (!entry.record) {
            ++unverified;
            report("unverified", "no record in the version list");
        } else if (ChecksumEquals(checksum, entry.record->checksum)) {
            ++verified;
            report("OK", "checksum " + HexBytes(&checksum, 8));
        } else {
            ++failed;
            json["expected"] = HexBytes(entry.record->checksum, 8);
            report("MISMATCH", "record \"" + DisplayName(entry.record->name) + "\" expects " +
                                   HexBytes(entry.record->checksum, 8) + ", the payload gives " +
                                   HexBytes(&checksum, 8));
        }
    }
    CompareWithEarlierParts(path, list, out);
    SignatureReport signature = ReadSignature(path);
    const bool signatureBroken = signature.state == SignatureReport::State::Changed ||
                                 signature.state == SignatureReport::State::Damaged;
    out << "signature: " << DescribeSignature(signature) << "\n";
    out << "verify: " << index.count << " entries: " << verified << " OK, " << unverified << " unverified, " << failed
        << " failed\n";
    int code = 0;
    if (failed > 0) {
        out << "verify: FAILED: the patcher would stop with " << DescribeResult(UpdateDamaged) << "\n";
        code = static_cast<int>(UpdateDamaged & 0xFF);
    }
    if (signatureBroken) {
        out << "verify: FAILED: the file is not what was signed; Windows will not show it as signed\n";
        code = kExitSignatureChanged;
    }
    if (code == 0) out << "verify: passed: the patcher would accept every entry\n";
    if (doc) {
        *doc = {{"patch", path},
                {"split", SplitJson(path)},
                {"entries", std::move(entries)},
                {"verified", verified},
                {"unverified", unverified},
                {"failed", failed},
                {"signature", SignatureJson(signature)},
                {"result", DescribeResult(failed > 0 ? UpdateDamaged : UpdateOk)},
                {"passed", code == 0},
                {"exitCode", code}};
    }
    return code;
}

int PrintVersionList(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string bytes, error;
    VersionListFile list;
    if (!ReadWholeFile(path, kMaxVersionListBytes, &bytes, &error)) {
        err << "patchtool: " << error << "\n";
        return 1;
    }
    if (!ParseVersionListFile(bytes, &list, &error)) {
        err << "patchtool: " << path << ": " << error << "\n";
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
