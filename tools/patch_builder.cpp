#include "tools/patch_builder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "tools/authenticode.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/version_list.h"

namespace {

// Positions in the patcher are signed 32-bit: nothing at or beyond 2 GiB can be read back.
constexpr std::uint64_t kPatchLimit = 0x80000000ull;
constexpr std::uint32_t kStreamChunk = 0x100000;
// A version list names a game's files; anything near this size is not one.
constexpr std::uint32_t kMaxVersionListBytes = 64u << 20;
// A name's UTF-8 form: a code page 932 byte becomes at most 3 bytes.
constexpr std::size_t kKeyBytes = 3 * kNameFieldV2 + 1;

std::uint32_t Le16(const std::uint8_t* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }

std::string Hex32(std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[value & 15]);
        value >>= 4;
    } while (value != 0);
    return "0x" + hex;
}

std::string Quoted(const std::string& name) { return "\"" + DisplayName(name.c_str()) + "\""; }

struct Input {
    std::string path;
    std::string name;  // stored bytes of the entry name
    std::string key;   // the name as the engine compares it
    std::uint64_t size = 0;
    std::uint32_t record = 0;  // its record in the version list
};

// "<out>.partial" while the patch is written: removed on every way out unless it became the patch.
class PartialOutput {
public:
    explicit PartialOutput(std::u16string path) : path_(std::move(path)) {}
    ~PartialOutput() {
        file_.Close();
        if (opened_ && !committed_) os::Current().RemoveFile(path_.c_str());
    }
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;

    bool Open() { return opened_ = file_.OpenWrite(path_.c_str(), 0) != 0; }
    bool Write(const void* data, std::uint32_t size) { return file_.Write(data, size) == size; }
    // Flushes and closes the complete file; it stays "<out>.partial" until committed.
    bool Finish() {
        bool flushed = file_.Flush() != 0;
        file_.Close();
        return finished_ = flushed;
    }
    bool CommitAs(const std::u16string& target) {
        if (!finished_ || !os::Current().ReplaceByRename(path_.c_str(), target.c_str())) return false;
        committed_ = true;
        return true;
    }

private:
    std::u16string path_;
    CFileDX file_;
    bool opened_ = false;
    bool finished_ = false;
    bool committed_ = false;
};

// One patch of a build: a run of consecutive inputs and how much of the version list it carries.
struct Part {
    std::size_t first = 0;
    std::size_t count = 0;
    std::uint32_t records = 0;  // the list's first records: the given ones and those appended so far
    std::uint64_t size = 0;     // of the whole patch file
};

constexpr char kSplitHint[] = "; build --split cuts the update into patches that fit";

bool CheckNames(const BuildRequest& request, std::vector<Input>* inputs, std::string* error) {
    const std::uint32_t nameField = request.legacyIndex ? kLegacyNameField : kWideNameField;
    if (!request.split && request.files.size() + 1 > kMaxEntries) {
        *error = std::to_string(request.files.size() + 1) + " entries (" + std::to_string(request.files.size()) +
                 " files and " + kVersionListName + "); a payload holds at most " + std::to_string(kMaxEntries) +
                 kSplitHint;
        return false;
    }
    for (const std::string& path : request.files) {
        Input input;
        input.path = path;
        input.name = BaseName(path);
        std::unique_ptr<char[]> utf8 = ConvertText(input.name.c_str(), TE_UTF8);
        std::string problem = utf8 ? EntryNameProblem(utf8.get()) : "cannot be read as text";
        if (!problem.empty()) {
            *error = path + ": entry name " + Quoted(input.name) + " " + problem;
            return false;
        }
        if (input.name.size() + 1 > nameField) {
            *error = path + ": entry name " + Quoted(input.name) + " is " + std::to_string(input.name.size()) +
                     " bytes; the " + (request.legacyIndex ? "legacy " : "") + "index holds names of at most " +
                     std::to_string(nameField - 1) + " bytes";
            return false;
        }
        char key[kKeyBytes];
        if (!MakeNameKey(key, sizeof key, input.name.c_str())) {
            *error = path + ": entry name " + Quoted(input.name) + " cannot be read as text";
            return false;
        }
        input.key = key;
        if (input.key == kVersionListKey) {
            *error = path + ": entry name " + Quoted(input.name) + " is the name of the version list entry " +
                     kVersionListName + ", which patchtool writes itself";
            return false;
        }
        for (const Input& earlier : *inputs) {
            if (earlier.key == input.key) {
                *error = "entry names " + Quoted(earlier.name) + " (" + earlier.path + ") and " + Quoted(input.name) +
                         " (" + path + ") are the same name apart from letter case";
                return false;
            }
        }
        inputs->push_back(std::move(input));
    }
    return true;
}

bool PrepareVersionList(const BuildRequest& request, std::vector<Input>* inputs, VersionListFile* list,
                        BuildSummary* summary, std::string* error) {
    if (!request.versionListPath.empty()) {
        std::string bytes;
        if (!ReadWholeFile(request.versionListPath, kMaxVersionListBytes, &bytes, error)) return false;
        if (!ParseVersionListFile(bytes, list, error)) {
            *error = request.versionListPath + ": " + *error;
            return false;
        }
    }
    VersionList engine = ToEngineList(*list);
    if (const VersionRecord* self = FindVersionRecord(engine, kVersionListKey)) {
        *error = request.versionListPath + ": has a record for the version list itself (" +
                 Quoted(self->name) + "); the patcher would check the list against it and fail";
        return false;
    }
    for (Input& input : *inputs) {
        const VersionRecord* record = FindVersionRecord(engine, input.key.c_str());
        if (record) {
            std::string problem = RecordNameProblem(record->name);
            if (!problem.empty()) {
                *error = request.versionListPath + ": record " + Quoted(record->name) + " for " + input.path +
                         " " + problem;
                return false;
            }
            input.record = static_cast<std::uint32_t>(record - engine.records.get());
            ++summary->recordsUpdated;
            continue;
        }
        input.record = list->Count();
        if (!list->Append(input.name)) {
            *error = input.path + ": name " + Quoted(input.name) + " does not fit a version-1 record (at most " +
                     std::to_string(list->NameField() - 1) + " bytes)";
            return false;
        }
        ++summary->recordsAdded;
    }
    return true;
}

bool ReadStub(const std::string& path, std::string* stub, std::string* error) {
    std::uint64_t size = 0;
    if (!RegularFileSize(path, &size, error)) return false;
    if (size > kPayloadOffset) {
        *error = path + ": the stub is " + std::to_string(size) + " bytes; it must end by " + Hex32(kPayloadOffset) +
                 " (" + std::to_string(kPayloadOffset) + " bytes), where the payload starts";
        return false;
    }
    if (!ReadWholeFile(path, kPayloadOffset, stub, error)) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stub->data());
    PeSignatureLayout signature;
    std::string ignored;
    if (ReadPeSignatureLayout(bytes, stub->size(), &signature, &ignored) && signature.Signed()) {
        *error = path + ": the stub is signed; sign the patch after it is built instead (the signature must "
                 "cover the payload). Remove the stub's signature first, e.g. with "
                 "\"osslsigncode remove-signature -in STUB.exe -out UNSIGNED.exe\"";
        return false;
    }
    std::uint32_t imageEnd = 0;
    if (!FindImageEnd(bytes, stub->size(), &imageEnd, error)) {
        *error = path + ": " + *error;
        return false;
    }
    auto nonzero = std::count_if(bytes + imageEnd, bytes + stub->size(), [](std::uint8_t b) { return b != 0; });
    if (nonzero > 0) {
        *error = path + ": " + std::to_string(nonzero) + " nonzero bytes after the image end " + Hex32(imageEnd) +
                 "; everything up to " + Hex32(kPayloadOffset) + " must be zero (strip the stub's symbols or "
                 "remove what was appended to it)";
        return false;
    }
    return true;
}

std::string ArchiveHead(const std::string& stub, const Input* inputs, std::size_t files, std::uint64_t versionListSize,
                        bool legacy) {
    const std::uint32_t count = static_cast<std::uint32_t>(files + 1);
    const std::uint32_t entrySize = legacy ? kLegacyEntrySize : kWideEntrySize;
    const std::uint32_t offsetField = legacy ? kLegacyNameField : kWideNameField;
    std::string head(kIndexOffset + std::size_t(count) * entrySize, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(head.data());
    std::memcpy(bytes, stub.data(), stub.size());
    std::memcpy(bytes + kPayloadOffset, legacy ? kLegacyArchiveMagic : kArchiveMagic, 12);
    StoreLe32(bytes + kPayloadOffset + 12, count);
    std::uint32_t offset = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* entry = bytes + kIndexOffset + std::size_t(i) * entrySize;
        const std::string& name = i < files ? inputs[i].name : std::string(kVersionListName);
        std::uint32_t size = static_cast<std::uint32_t>(i < files ? inputs[i].size : versionListSize);
        std::memcpy(entry, name.data(), name.size());
        StoreLe32(entry + offsetField, offset);
        StoreLe32(entry + offsetField + 4, size);
        offset += size;
    }
    return head;
}

// Bytes of the files copied so far, for the progress callback.
struct CopyProgress {
    const BuildRequest& request;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    void Add(std::uint32_t bytes) {
        done += bytes;
        if (request.progress) request.progress(done, total);
    }
};

bool CopyEntry(const Input& input, std::uint8_t* buffer, PartialOutput& out, VersionListFile& list,
               CopyProgress& progress, std::string* error) {
    CFileDX file;
    std::u16string wide = WidenUtf8(input.path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) {
        *error = input.path + ": cannot open it (error " + std::to_string(file.LastError()) + ")";
        return false;
    }
    RollingChecksum checksum;
    ResetChecksum(checksum);
    for (std::uint64_t done = 0; done < input.size;) {
        std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(kStreamChunk, input.size - done));
        if (file.Read(buffer, chunk) != chunk) {
            *error = input.path + ": became shorter while it was read (it had " + std::to_string(input.size) +
                     " bytes)";
            return false;
        }
        UpdateChecksum(checksum, buffer, chunk);
        if (!out.Write(buffer, chunk)) {
            *error = "cannot write the patch (disk full?)";
            return false;
        }
        done += chunk;
        progress.Add(chunk);
    }
    // The index already holds the size measured before the copy; a file that grew since would
    // put bytes in the payload that the checksum never saw.
    if (file.Read(buffer, 1) != 0) {
        *error = input.path + ": grew while it was read";
        return false;
    }
    std::uint8_t sum[8];
    std::memcpy(sum, &checksum, sizeof sum);
    list.SetChecksum(input.record, sum);
    return true;
}

}  // namespace

std::string EntryNameProblem(const std::string& name) {
    if (name.empty()) return "names no file";
    if (name == "." || name == "..") return "would leave the install folder";
    for (unsigned char c : name) {
        if (c == '/' || c == '\\') return "contains a path separator and would name another folder";
        if (c == ':') return "contains ':' (a drive or a stream name)";
        if (c < 0x20 || std::strchr("<>\"|?*", c)) return "contains a character Windows file names cannot hold";
    }
    if (name.back() == '.' || name.back() == ' ') return "ends with a dot or a space, which Windows drops";
    return {};
}

std::string RecordNameProblem(const std::string& name) {
    if (name.empty()) return "is empty";
    if (name.front() == '/' || name.front() == '\\') return "is an absolute path and would leave the install folder";
    if (name.find(':') != std::string::npos) return "contains ':' (a drive or a stream name)";
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return "has a '..' component and would leave the install folder";
        start = end + 1;
    }
    return {};
}

bool FindImageEnd(const std::uint8_t* data, std::size_t size, std::uint32_t* end, std::string* error) {
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') {
        *error = "not a Windows executable (no MZ header)";
        return false;
    }
    const std::uint64_t pe = LoadLe32(data + 0x3C);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0) {
        *error = "not a PE executable (no PE header)";
        return false;
    }
    const std::uint64_t sections = Le16(data + pe + 6);
    const std::uint64_t optionalSize = Le16(data + pe + 20);
    const std::uint64_t optional = pe + 24;
    if (optionalSize < 64 || optional + optionalSize > size) {
        *error = "its PE optional header is missing or cut short";
        return false;
    }
    const std::uint64_t table = optional + optionalSize;
    if (table + sections * 40 > size) {
        *error = "its section table is cut short";
        return false;
    }
    std::uint64_t imageEnd = LoadLe32(data + optional + 60);  // SizeOfHeaders
    for (std::uint64_t i = 0; i < sections; ++i) {
        const std::uint8_t* section = data + table + i * 40;
        std::uint64_t rawSize = LoadLe32(section + 16);
        std::uint64_t rawStart = LoadLe32(section + 20);
        if (rawSize > 0) imageEnd = std::max(imageEnd, rawStart + rawSize);
    }
    if (imageEnd > size) {
        *error = "its image ends at " + Hex32(imageEnd) + ", past the end of the file (" + std::to_string(size) +
                 " bytes)";
        return false;
    }
    *end = static_cast<std::uint32_t>(imageEnd);
    return true;
}

std::string PartName(const std::string& out, std::uint32_t part, std::uint32_t parts) {
    std::string count = std::to_string(parts);
    std::string number = std::to_string(part);
    if (number.size() < count.size()) number.insert(0, count.size() - number.size(), '0');
    std::string tag = ".part" + number + "of" + count;
    // The extension is the final component's, from its last dot (a leading dot starts no extension).
    std::size_t nameStart = out.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    std::size_t dot = out.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return out + tag;
    return out.substr(0, dot) + tag + out.substr(dot);
}

bool ParsePartName(const std::string& path, std::uint32_t* part, std::uint32_t* parts, std::string* out) {
    std::string name = BaseName(path);
    const std::size_t folder = path.size() >= name.size() ? path.size() - name.size() : 0;
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    // ".partKofN" ends the name, or the name without its extension.
    std::vector<std::string> candidates = {name};
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) candidates.push_back(name.substr(0, dot));
    for (const std::string& candidate : candidates) {
        std::size_t tag = candidate.rfind(".part");
        if (tag == std::string::npos) continue;
        std::string rest = candidate.substr(tag + 5);
        std::size_t of = rest.find("of");
        if (of == std::string::npos) continue;
        std::string k = rest.substr(0, of), n = rest.substr(of + 2);
        auto isNumber = [](const std::string& digits) {
            return !digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!isNumber(k) || !isNumber(n)) continue;
        std::uint32_t kValue = static_cast<std::uint32_t>(std::stoul(k));
        std::uint32_t nValue = static_cast<std::uint32_t>(std::stoul(n));
        if (kValue < 1 || kValue > nValue) continue;
        *part = kValue;
        *parts = nValue;
        if (out) *out = path.substr(0, folder + tag) + path.substr(folder + tag + 5 + rest.size());
        return true;
    }
    return false;
}

namespace {

// Cuts the inputs, in their order, into parts within the limits. Each part's size counts its index
// and its version list, which holds the given records and those appended up to its last file.
bool PlanParts(const std::vector<Input>& inputs, std::uint32_t givenRecords, std::uint32_t recordSize,
               std::uint32_t entrySize, const PatchLimits& limits, std::vector<Part>* parts, std::string* error) {
    auto overhead = [&](std::size_t files, std::uint32_t records) {
        return kIndexOffset + std::uint64_t(files + 1) * entrySize + kVersionListHeaderSize +
               std::uint64_t(records) * recordSize;
    };
    std::size_t next = 0;
    std::uint32_t records = givenRecords;
    do {
        Part part;
        part.first = next;
        std::uint64_t data = 0;
        while (next < inputs.size() && part.count < limits.maxFiles) {
            const Input& input = inputs[next];
            std::uint32_t withIt = records + (input.record >= givenRecords ? 1 : 0);
            std::uint64_t size = overhead(part.count + 1, withIt) + data + input.size;
            if (size > limits.maxBytes) {
                if (part.count > 0) break;
                *error = input.path + ": " + std::to_string(input.size) + " bytes; a patch of it alone would be " +
                         std::to_string(size) + " bytes, and a patch must stay below " +
                         std::to_string(limits.maxBytes + 1) + " bytes (2 GiB, the most the patcher can read): "
                         "no part can hold it";
                return false;
            }
            records = withIt;
            data += input.size;
            ++part.count;
            ++next;
        }
        part.records = records;
        part.size = overhead(part.count, records) + data;
        parts->push_back(part);
    } while (next < inputs.size());
    return true;
}

bool WritePart(const std::string& stub, const std::vector<Input>& inputs, const Part& part, bool legacy,
               std::uint8_t* buffer, VersionListFile& list, PartialOutput& out, CopyProgress& progress,
               std::string* error) {
    const std::uint64_t listSize = kVersionListHeaderSize + std::uint64_t(part.records) * list.RecordSize();
    std::string head = ArchiveHead(stub, inputs.data() + part.first, part.count, listSize, legacy);
    if (!out.Write(head.data(), static_cast<std::uint32_t>(head.size()))) {
        *error = "cannot write the patch (disk full?)";
        return false;
    }
    for (std::size_t i = part.first; i < part.first + part.count; ++i) {
        if (!CopyEntry(inputs[i], buffer, out, list, progress, error)) return false;
    }
    // The checksums of this part's files and the earlier parts' are in; later files' records keep
    // what the given list said, and the records appended for them are not there yet.
    std::string listBytes = list.EncodeFirst(part.records);
    if (!out.Write(listBytes.data(), static_cast<std::uint32_t>(listBytes.size())) || !out.Finish()) {
        *error = "cannot write the patch (disk full?)";
        return false;
    }
    return true;
}

}  // namespace

bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error) {
    *summary = BuildSummary{};
    std::vector<Input> inputs;
    if (!CheckNames(request, &inputs, error)) return false;
    for (Input& input : inputs) {
        if (!RegularFileSize(input.path, &input.size, error)) return false;
    }
    VersionListFile list;
    if (!PrepareVersionList(request, &inputs, &list, summary, error)) return false;
    const std::uint32_t givenRecords = list.Count() - summary->recordsAdded;

    // A patch never exceeds what the patcher reads; a split may be asked to stay smaller.
    PatchLimits limits;
    if (request.split) {
        limits.maxFiles = std::min(limits.maxFiles, request.limits.maxFiles);
        limits.maxBytes = std::min(limits.maxBytes, request.limits.maxBytes);
    }
    const std::uint32_t entrySize = request.legacyIndex ? kLegacyEntrySize : kWideEntrySize;
    std::vector<Part> parts;
    std::string planError;
    bool planned = PlanParts(inputs, givenRecords, list.RecordSize(), entrySize, limits, &parts, &planError);
    if (!request.split) {
        std::uint64_t total = kIndexOffset + std::uint64_t(inputs.size() + 1) * entrySize + kVersionListHeaderSize +
                              std::uint64_t(list.records.size());
        for (const Input& input : inputs) total += input.size;
        if (total >= kPatchLimit) {
            *error = "the patch would be " + std::to_string(total) + " bytes; it must stay below 2 GiB (" +
                     std::to_string(kPatchLimit) + " bytes), the most the patcher can read" +
                     (planned ? kSplitHint : "");
            return false;
        }
        parts.assign(1, Part{0, inputs.size(), list.Count(), total});
    } else if (!planned) {
        *error = planError;
        return false;
    }

    std::string stub;
    if (!ReadStub(request.stubPath, &stub, error)) return false;

    std::vector<std::string> names;
    std::vector<std::u16string> targets;
    std::vector<std::unique_ptr<PartialOutput>> outputs;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        names.push_back(request.split ? PartName(request.outPath, static_cast<std::uint32_t>(k + 1),
                                                 static_cast<std::uint32_t>(parts.size()))
                                      : request.outPath);
        targets.push_back(WidenUtf8(names[k]));
        std::u16string partialPath = WidenUtf8(names[k] + ".partial");
        if (targets[k].empty() || partialPath.empty()) {
            *error = names[k] + ": not a usable path";
            return false;
        }
        outputs.push_back(std::make_unique<PartialOutput>(partialPath));
    }
    auto buffer = std::make_unique<std::uint8_t[]>(kStreamChunk);
    // One bar over every part: the bytes of all the files.
    CopyProgress progress{request};
    for (const Input& input : inputs) progress.total += input.size;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (!outputs[k]->Open()) {
            *error = names[k] + ".partial: cannot create it";
            return false;
        }
        if (!WritePart(stub, inputs, parts[k], request.legacyIndex, buffer.get(), list, *outputs[k], progress,
                       error)) {
            return false;
        }
    }
    // Every part is complete: only now do they take their names, all or none (should a rename fail,
    // the parts already renamed are removed again).
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (!outputs[k]->CommitAs(targets[k])) {
            for (std::size_t j = 0; j < k; ++j) os::Current().RemoveFile(targets[j].c_str());
            *error = names[k] + ": cannot put the finished patch in place";
            return false;
        }
    }
    for (std::size_t k = 0; k < parts.size(); ++k) {
        PartSummary part{names[k], static_cast<std::uint32_t>(parts[k].first),
                         static_cast<std::uint32_t>(parts[k].count), parts[k].size};
        summary->parts.push_back(part);
        if (part.size >= summary->patchSize) {
            summary->patchSize = part.size;
            summary->entries = part.files + 1;
        }
    }
    return true;
}
