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
    bool CommitAs(const std::u16string& target) {
        bool flushed = file_.Flush() != 0;
        file_.Close();
        if (!flushed || !os::Current().ReplaceByRename(path_.c_str(), target.c_str())) return false;
        committed_ = true;
        return true;
    }

private:
    std::u16string path_;
    CFileDX file_;
    bool opened_ = false;
    bool committed_ = false;
};

bool CheckNames(const BuildRequest& request, std::vector<Input>* inputs, std::string* error) {
    const std::uint32_t nameField = request.legacyIndex ? kLegacyNameField : kWideNameField;
    if (request.files.size() + 1 > kMaxEntries) {
        *error = std::to_string(request.files.size() + 1) + " entries (" + std::to_string(request.files.size()) +
                 " files and " + kVersionListName + "); a payload holds at most " + std::to_string(kMaxEntries);
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

std::string ArchiveHead(const std::string& stub, const std::vector<Input>& inputs, std::uint64_t versionListSize,
                        bool legacy) {
    const std::uint32_t count = static_cast<std::uint32_t>(inputs.size() + 1);
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
        const std::string& name = i < inputs.size() ? inputs[i].name : std::string(kVersionListName);
        std::uint32_t size = static_cast<std::uint32_t>(i < inputs.size() ? inputs[i].size : versionListSize);
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

bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error) {
    *summary = BuildSummary{};
    std::vector<Input> inputs;
    if (!CheckNames(request, &inputs, error)) return false;
    for (Input& input : inputs) {
        if (!RegularFileSize(input.path, &input.size, error)) return false;
    }
    VersionListFile list;
    if (!PrepareVersionList(request, &inputs, &list, summary, error)) return false;
    const std::uint64_t listSize = kVersionListHeaderSize + std::uint64_t(list.records.size());

    const std::uint32_t entrySize = request.legacyIndex ? kLegacyEntrySize : kWideEntrySize;
    std::uint64_t total = kIndexOffset + std::uint64_t(inputs.size() + 1) * entrySize + listSize;
    for (const Input& input : inputs) total += input.size;
    if (total >= kPatchLimit) {
        *error = "the patch would be " + std::to_string(total) + " bytes; it must stay below 2 GiB (" +
                 std::to_string(kPatchLimit) + " bytes), the most the patcher can read";
        return false;
    }

    std::string stub;
    if (!ReadStub(request.stubPath, &stub, error)) return false;

    std::u16string target = WidenUtf8(request.outPath);
    std::u16string partialPath = WidenUtf8(request.outPath + ".partial");
    if (target.empty() || partialPath.empty()) {
        *error = request.outPath + ": not a usable path";
        return false;
    }
    PartialOutput out(partialPath);
    if (!out.Open()) {
        *error = request.outPath + ".partial: cannot create it";
        return false;
    }
    std::string head = ArchiveHead(stub, inputs, listSize, request.legacyIndex);
    if (!out.Write(head.data(), static_cast<std::uint32_t>(head.size()))) {
        *error = "cannot write the patch (disk full?)";
        return false;
    }
    auto buffer = std::make_unique<std::uint8_t[]>(kStreamChunk);
    CopyProgress progress{request};
    for (const Input& input : inputs) progress.total += input.size;
    for (const Input& input : inputs) {
        if (!CopyEntry(input, buffer.get(), out, list, progress, error)) return false;
    }
    std::string listBytes = list.Encode();
    if (!out.Write(listBytes.data(), static_cast<std::uint32_t>(listBytes.size()))) {
        *error = "cannot write the patch (disk full?)";
        return false;
    }
    if (!out.CommitAs(target)) {
        *error = request.outPath + ": cannot put the finished patch in place";
        return false;
    }
    summary->entries = static_cast<std::uint32_t>(inputs.size() + 1);
    summary->patchSize = total;
    return true;
}
