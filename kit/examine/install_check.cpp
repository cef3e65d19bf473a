#include "kit/examine/install_check.h"

#include <memory>

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/common/read_ahead.h"
#include "kit/format/version_list_file.h"
#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "update/entry_check.h"
#include "update/install_name.h"

namespace {

void Refuse(CheckedFile* file, FileState state, std::string reason) {
    file->state = state;
    file->reason = std::move(reason);
}

// The record's file, found the way the patcher names it; empty when the record names none.
std::u16string RecordPath(const std::u16string& folder, const VersionListFile& list, std::uint32_t i,
                          CheckedFile* file) {
    auto unreadable = [file](const char* reason) {
        Refuse(file, FileState::Unreadable, reason);
        return std::u16string();
    };
    if (!list.NameTerminated(i)) return unreadable("the record's name has no terminator");
    std::unique_ptr<char16_t[]> wide = MultiToWide(list.Name(i).c_str());
    if (!wide || !IsSafeInstallName(wide.get())) return unreadable("the record's name would leave the install folder");
    std::u16string path = InstallPath(folder, wide.get());
    std::uint32_t attributes = os::Current().GetAttributes(path.c_str());
    // A path through a link another user made is not missing: the open that follows says why.
    if (attributes == os::kInvalidAttributes && os::Current().LastError() != os::kErrorUntrustedLink) {
        file->state = FileState::Missing;
        return {};
    }
    if (attributes != os::kInvalidAttributes && (attributes & os::kAttrDirectory)) return unreadable("a folder has this name");
    return path;
}

void CheckOne(const std::u16string& folder, const VersionListFile& list, std::uint32_t i, ReadAhead& reader,
              CheckedFile* file, const CheckProgress& progress) {
    file->name = DisplayName(list.Name(i).c_str());
    file->expected = HexBytes(list.Checksum(i), kChecksumSize);
    if (progress) progress(i, file->name, 0, 0);
    const std::u16string path = RecordPath(folder, list, i, file);
    if (path.empty()) return;
    const std::uint64_t mark = FailureMark();
    CFileDX in;
    if (!in.OpenRead(path.c_str())) {
        const std::uint32_t code = in.LastError();
        const bool missing = code == os::kErrorFileNotFound || code == os::kErrorPathNotFound;
        return Refuse(file, missing ? FileState::Missing : FileState::Unreadable,
                      FailureText("cannot open it (error " + std::to_string(code) + ")", mark));
    }
    // The low 32 bits of the size: the patcher never installs a file of 4 GiB or more.
    const std::uint32_t size = in.GetSize();
    if (size == os::kInvalidSize) return Refuse(file, FileState::Unreadable, FailureText("cannot read its size", mark));
    StepOf step([&](std::uint32_t done) {
        if (done > 0 && progress) progress(i, file->name, done, size);
        return true;
    });
    const StreamedBytes read = reader.Stream(in, size, nullptr, &step);
    if (read.end != StreamEnd::Complete) {
        return Refuse(file, FileState::Unreadable,
                      FailureText("reading stopped after " + std::to_string(read.done) + " of " +
                                      std::to_string(size) + " bytes",
                                  mark));
    }
    file->size = read.done;
    file->actual = HexBytes(&read.checksum, kChecksumSize);
    file->state = JudgeBytes(read.checksum, list.Checksum(i)) == EntryVerdict::Verified ? FileState::Ok
                                                                                      : FileState::Modified;
}

}  // namespace

const char* FileStateName(FileState state) {
    static const char* const names[] = {"OK", "MODIFIED", "MISSING", "UNREADABLE"};
    return state <= FileState::Unreadable ? names[static_cast<int>(state)] : "?";
}

bool CheckInstallation(const std::string& folder, InstallCheck* check, std::string* error,
                       const CheckProgress& progress) {
    *check = InstallCheck{};
    FailureWatch watch;
    std::u16string wideFolder = WidenUtf8(folder);
    std::u16string listPath = InstallPath(wideFolder, kVersionListWide.data());
    check->versionList = folder + "/" + kVersionListName;
    if (wideFolder.empty()) return Fail(error, folder + ": not a usable path");
    // Read as the patcher reads it: nothing below the folder through a link another user made.
    os::FolderGuard guard(wideFolder.c_str());
    if (os::Current().GetAttributes(wideFolder.c_str()) == os::kInvalidAttributes) {
        return Fail(error, folder + ": no such folder");
    }
    // Opened as the patcher opens it, so the name's case does not matter.
    CFileDX file;
    if (!file.OpenRead(listPath.c_str())) {
        return Fail(error, folder + ": no " + kVersionListName + " in it (error " + std::to_string(file.LastError()) +
                               "): not an installed game, or its version list was removed");
    }
    VersionListFile list;
    if (!LoadVersionListFile(file, check->versionList, &list, error)) return false;
    ReadAhead reader;
    check->files.resize(list.Count());
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        CheckOne(wideFolder, list, i, reader, &check->files[i], progress);
        ++check->counts[static_cast<int>(check->files[i].state)];
    }
    return true;
}

nlohmann::json DescribeCheck(const std::string& folder, const InstallCheck& check) {
    nlohmann::json files = nlohmann::json::array();
    for (const CheckedFile& file : check.files) {
        nlohmann::json json = {{"name", file.name}, {"status", FileStateName(file.state)}, {"expected", file.expected}};
        if (!file.actual.empty()) {
            json["actual"] = file.actual;
            json["size"] = file.size;
        }
        if (!file.reason.empty()) json["reason"] = file.reason;
        files.push_back(std::move(json));
    }
    const auto& c = check.counts;
    return {{"folder", folder},
            {"versionList", check.versionList},
            {"files", std::move(files)},
            {"summary", {{"ok", c[0]}, {"modified", c[1]}, {"missing", c[2]}, {"unreadable", c[3]}}},
            {"intact", check.Intact()}};
}
