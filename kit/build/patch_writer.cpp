#include "kit/build/patch_writer.h"

#include <cstring>
#include <memory>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/common/read_ahead.h"
#include "support/file.h"
#include "support/os.h"
#include "update/archive.h"
#include "update/entry_check.h"

namespace {

// "<out>.partial" while the patch is written: removed on every way out unless it became the patch.
class PartialOutput {
public:
    PartialOutput(std::string name, std::u16string path) : name_(std::move(name)), path_(std::move(path)) {}
    ~PartialOutput() {
        file_.Close();
        if (opened_ && !handedOver_) os::Current().RemoveFile(path_.c_str());
    }
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;

    CFileDX& File() { return file_; }
    // Created new, after a leftover of an earlier build is removed: never written through a link.
    bool Open() {
        RemoveLeftover(path_.c_str());
        return opened_ = file_.CreateNew(path_.c_str()) != 0;
    }
    bool Write(const std::string& bytes) {
        return file_.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size())) == bytes.size();
    }
    // Flushes and closes the complete file; it stays "<out>.partial" until published.
    bool Finish() {
        bool flushed = file_.Flush() != 0;
        file_.Close();
        return flushed;
    }
    // The complete file, now the publishing step's to rename or remove.
    std::string HandOver() {
        handedOver_ = true;
        return name_;
    }
    // Why the last call failed, in the words of the watch: "cannot write up.exe.partial: ...".
    std::string Failure(const char* operation) const { return FailureText("cannot " + std::string(operation) + " " + name_); }

private:
    std::string name_;  // UTF-8, for messages
    std::u16string path_;
    CFileDX file_;
    bool opened_ = false;
    bool handedOver_ = false;
};

std::string ArchiveHead(const PartWriting& writing, const Part& part, std::uint64_t versionListSize) {
    const std::uint32_t count = static_cast<std::uint32_t>(part.count + 1);
    const IndexLayout layout{!writing.legacyIndex};
    const std::uint32_t entrySize = layout.EntrySize(), offsetField = layout.NameField();
    std::string head(kIndexOffset + std::size_t(count) * entrySize, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(head.data());
    std::memcpy(bytes, writing.stub->data(), writing.stub->size());
    std::memcpy(bytes + kPayloadOffset, layout.Magic(), 12);
    StoreLe32(bytes + kPayloadOffset + 12, count);
    std::uint32_t offset = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const PackedFile* file = i < part.count ? &(*writing.files)[part.first + i] : nullptr;
        const std::string name = file ? file->name : std::string(kVersionListName);
        const auto size = static_cast<std::uint32_t>(file ? file->size : versionListSize);
        std::uint8_t* entry = bytes + kIndexOffset + std::size_t(i) * entrySize;
        std::memcpy(entry, name.data(), name.size());
        StoreLe32(entry + offsetField, offset);
        StoreLe32(entry + offsetField + 4, size);
        offset += size;
    }
    return head;
}

// Bytes of the files copied so far and of them all, for the progress callback.
struct CopyProgress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

bool CopyInput(const PackedFile& input, ReadAhead& reader, PartialOutput& out, const PartWriting& writing,
              CopyProgress& progress, std::string* error) {
    CFileDX file;
    std::u16string wide = WidenUtf8(input.path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) return Fail(error, FailureText(input.path + ": cannot open it"));
    const std::uint64_t mark = FailureMark();
    StepOf step([&](std::uint32_t done) {
        if (done > 0 && writing.progress) writing.progress(progress.done + done, progress.total);
        return true;
    });
    const StreamedBytes copied = reader.Stream(file, static_cast<std::uint32_t>(input.size), &out.File(), &step);
    progress.done += copied.done;
    if (copied.end == StreamEnd::WriteFailed) return Fail(error, out.Failure("write"));
    if (copied.end == StreamEnd::ReadFailed) {
        return Fail(error, FailureText(input.path + ": became shorter while it was read (it had " +
                                           std::to_string(input.size) + " bytes)",
                                       mark));
    }
    // The index already holds the size measured before the copy; a file that grew since would
    // put bytes in the payload that the checksum never saw.
    std::uint8_t probe;
    if (file.Read(&probe, 1) != 0) return Fail(error, input.path + ": grew while it was read");
    writing.list->SetChecksum(input.record, reinterpret_cast<const std::uint8_t*>(&copied.checksum));
    return true;
}

bool WritePart(const PartWriting& writing, const Part& part, ReadAhead& reader, PartialOutput& out,
               CopyProgress& progress, std::string* error) {
    const std::uint64_t listSize = kVersionListHeaderSize + std::uint64_t(part.records) * writing.list->RecordSize();
    if (!out.Write(ArchiveHead(writing, part, listSize))) return Fail(error, out.Failure("write"));
    for (std::size_t i = part.first; i < part.first + part.count; ++i) {
        if (!CopyInput((*writing.files)[i], reader, out, writing, progress, error)) return false;
    }
    // The checksums of this part's files and the earlier parts' are in; later files' records keep
    // what the given list said, and the records appended for them are not there yet.
    if (!out.Write(writing.list->EncodeFirst(part.records))) return Fail(error, out.Failure("write"));
    if (!out.Finish()) return Fail(error, out.Failure("flush"));
    return true;
}

}  // namespace

bool WriteParts(const PartWriting& writing, const std::vector<Part>& parts, const std::vector<std::string>& names,
                std::string* error) {
    std::vector<std::unique_ptr<PartialOutput>> outputs;
    for (const std::string& name : names) {
        std::u16string partialPath = WidenUtf8(name + ".partial");
        if (WidenUtf8(name).empty() || partialPath.empty()) return Fail(error, name + ": not a usable path");
        outputs.push_back(std::make_unique<PartialOutput>(name + ".partial", partialPath));
    }
    ReadAhead reader;
    // One bar over every part: the bytes of all the files.
    CopyProgress progress;
    for (const PackedFile& file : *writing.files) progress.total += file.size;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (!outputs[k]->Open()) return Fail(error, outputs[k]->Failure("create"));
        if (!WritePart(writing, parts[k], reader, *outputs[k], progress, error)) return false;
    }
    std::vector<std::string> finished;
    for (const auto& output : outputs) finished.push_back(output->HandOver());
    return PublishParts(finished, names, error);
}

std::vector<std::string> OutputNames(const std::string& out, bool split, std::size_t count) {
    std::vector<std::string> names(count, out);
    for (std::size_t k = 0; split && k < count; ++k) names[k] = PartName(out, std::uint32_t(k + 1), std::uint32_t(count));
    return names;
}

bool PublishParts(const std::vector<std::string>& finished, const std::vector<std::string>& names, std::string* error) {
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (os::Current().ReplaceByRename(WidenUtf8(finished[k]).c_str(), WidenUtf8(names[k]).c_str())) continue;
        const std::string reason = FailureText(names[k] + ": cannot put the finished patch in place");
        for (std::size_t j = 0; j < names.size(); ++j) os::Current().RemoveFile(WidenUtf8(j < k ? names[j] : finished[j]).c_str());
        return Fail(error, reason);
    }
    return true;
}
