#include "tools/install_check.h"

#include <memory>
#include <ostream>

#include <nlohmann/json.hpp>

#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "tools/console_view.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/console_io.h"
#include "tools/read_ahead.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
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
    // The patcher's "%s\%s": the name's own separators and subfolders are kept.
    std::u16string path = folder + u"\\" + wide.get();
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
    file->expected = HexBytes(list.Checksum(i), 8);
    if (progress) progress(i, file->name, 0, 0);
    const std::u16string path = RecordPath(folder, list, i, file);
    if (path.empty()) return;
    const std::uint64_t mark = FailureMark();
    CFileDX in;
    if (!in.OpenRead(path.c_str())) {
        std::uint32_t code = in.LastError();
        Refuse(file, code == os::kErrorFileNotFound || code == os::kErrorPathNotFound ? FileState::Missing
                                                                                      : FileState::Unreadable,
               FailureText("cannot open it (error " + std::to_string(code) + ")", mark));
        return;
    }
    // The low 32 bits of the size: the patcher never installs a file of 4 GiB or more.
    const std::uint32_t size = in.GetSize();
    if (size == 0xFFFFFFFFu) return Refuse(file, FileState::Unreadable, FailureText("cannot read its size", mark));
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
    file->actual = HexBytes(&read.checksum, 8);
    file->state = JudgeBytes(read.checksum, list.Checksum(i)) == EntryVerdict::Verified ? FileState::Ok
                                                                                      : FileState::Modified;
}

// The text form of a check: every line from the document.
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
            {"intact", check.Intact()},
            {"exitCode", check.Intact() ? kExitOk : kExitNotIntact}};
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
    std::u16string listPath = wideFolder + u"\\" + u"QMK.hvl";
    check->versionList = folder + "/QMK.hvl";
    if (wideFolder.empty()) return Fail(error, folder + ": not a usable path");
    // Read as the patcher reads it: nothing below the folder through a link another user made.
    os::FolderGuard guard(wideFolder.c_str());
    if (os::Current().GetAttributes(wideFolder.c_str()) == os::kInvalidAttributes) {
        return Fail(error, folder + ": no such folder");
    }
    // Opened as the patcher opens it, so the name's case does not matter.
    CFileDX file;
    if (!file.OpenRead(listPath.c_str())) {
        return Fail(error, folder + ": no QMK.hvl in it (error " + std::to_string(file.LastError()) +
                               "): not an installed game, or its version list was removed");
    }
    std::uint32_t size = file.GetSize();
    if (size == 0xFFFFFFFFu || size > kMaxVersionListBytes) {
        return Fail(error, FailureText(check->versionList +
                                       ": cannot read its size, or it is too large to be a version list"));
    }
    std::string bytes(size, '\0');
    if (size > 0 && file.Read(bytes.data(), size) != size) {
        return Fail(error, FailureText(check->versionList + ": cannot read it"));
    }
    VersionListFile list;
    if (!ParseVersionListFile(bytes, &list, error)) return Fail(error, check->versionList + ": damaged: " + *error);
    check->v1 = list.v1;
    ReadAhead reader;
    check->files.resize(list.Count());
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        CheckOne(wideFolder, list, i, reader, &check->files[i], progress);
        ++check->counts[static_cast<int>(check->files[i].state)];
    }
    return true;
}

int CheckFolder(const std::string& folder, std::ostream& out, std::ostream& err, bool errIsTerminal,
                nlohmann::json* doc) {
    InstallCheck check;
    std::string error;
    bool read;
    {
        ProgressBar bar(err, errIsTerminal);
        read = CheckInstallation(folder, &check, &error,
                                 [&](std::uint32_t record, const std::string& name, std::uint64_t done,
                                     std::uint64_t size) {
                                     bar.Show("file " + std::to_string(record + 1) + "  " + name, done, size);
                                 });
    }
    if (!read) {
        err << "patchtool: check: " << error << "\n";
        if (doc) *doc = {{"folder", folder}, {"error", error}, {"intact", false}};
        return kExitFailed;
    }
    nlohmann::json description = DescribeCheck(folder, check);
    PrintCheck(description, out);
    if (doc) *doc = std::move(description);
    return check.Intact() ? kExitOk : kExitNotIntact;
}
