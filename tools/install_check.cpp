#include "tools/install_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>

#include <nlohmann/json.hpp>

#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "tools/console_view.h"
#include "tools/patchtool.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
#include "update/checksum.h"
#include "update/worker.h"

namespace {

constexpr std::uint32_t kMaxVersionListBytes = 64u << 20;

void CheckOne(const std::u16string& folder, const VersionListFile& list, std::uint32_t i, std::uint8_t* buffer,
              CheckedFile* file, const CheckProgress& progress) {
    std::string stored = list.Name(i);
    file->name = DisplayName(stored.c_str());
    file->expected = HexBytes(list.Checksum(i), 8);
    if (progress) progress(i, file->name, 0, 0);
    if (!list.NameTerminated(i)) {
        file->state = FileState::Unreadable;
        file->reason = "the record's name has no terminator";
        return;
    }
    std::unique_ptr<char16_t[]> wide = MultiToWide(stored.c_str());
    if (!wide || !IsSafeInstallName(wide.get())) {
        file->state = FileState::Unreadable;
        file->reason = "the record's name would leave the install folder";
        return;
    }
    // The patcher's "%s\%s": the name's own separators and subfolders are kept.
    std::u16string path = folder + u"\\" + wide.get();
    os::Api& api = os::Current();
    std::uint32_t attributes = api.GetAttributes(path.c_str());
    if (attributes == os::kInvalidAttributes) {
        file->state = FileState::Missing;
        return;
    }
    if (attributes & os::kAttrDirectory) {
        file->state = FileState::Unreadable;
        file->reason = "a folder has this name";
        return;
    }
    CFileDX in;
    if (!in.OpenRead(path.c_str())) {
        std::uint32_t code = in.LastError();
        file->state = code == os::kErrorFileNotFound || code == os::kErrorPathNotFound ? FileState::Missing
                                                                                       : FileState::Unreadable;
        file->reason = "cannot open it (error " + std::to_string(code) + ")";
        return;
    }
    // The low 32 bits of the size: the patcher never installs a file of 4 GiB or more.
    const std::uint32_t size = in.GetSize();
    if (size == 0xFFFFFFFFu) {
        file->state = FileState::Unreadable;
        file->reason = "cannot read its size";
        return;
    }
    RollingChecksum checksum;
    ResetChecksum(checksum);
    std::uint32_t done = 0;
    while (done < size) {
        std::uint32_t chunk = std::min(kCopyChunk, size - done);
        std::uint32_t got = in.Read(buffer, chunk);
        UpdateChecksum(checksum, buffer, got);
        done += got;
        if (progress) progress(i, file->name, done, size);
        if (got != chunk) {
            file->state = FileState::Unreadable;
            file->reason = "reading stopped after " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
            return;
        }
    }
    file->size = done;
    file->actual = HexBytes(&checksum, 8);
    file->state = ChecksumEquals(checksum, list.Checksum(i)) ? FileState::Ok : FileState::Modified;
}

}  // namespace

const char* FileStateName(FileState state) {
    switch (state) {
    case FileState::Ok: return "OK";
    case FileState::Modified: return "MODIFIED";
    case FileState::Missing: return "MISSING";
    case FileState::Unreadable: return "UNREADABLE";
    }
    return "?";
}

bool CheckInstallation(const std::string& folder, InstallCheck* check, std::string* error,
                       const CheckProgress& progress) {
    *check = InstallCheck{};
    std::u16string wideFolder = WidenUtf8(folder);
    std::u16string listPath = wideFolder + u"\\" + u"QMK.hvl";
    check->versionList = folder + "/QMK.hvl";
    if (wideFolder.empty()) {
        *error = folder + ": not a usable path";
        return false;
    }
    if (os::Current().GetAttributes(wideFolder.c_str()) == os::kInvalidAttributes) {
        *error = folder + ": no such folder";
        return false;
    }
    // Opened as the patcher opens it, so the name's case does not matter.
    CFileDX file;
    if (!file.OpenRead(listPath.c_str())) {
        *error = folder + ": no QMK.hvl in it (error " + std::to_string(file.LastError()) +
                 "): not an installed game, or its version list was removed";
        return false;
    }
    std::uint32_t size = file.GetSize();
    if (size == 0xFFFFFFFFu || size > kMaxVersionListBytes) {
        *error = check->versionList + ": cannot read its size, or it is too large to be a version list";
        return false;
    }
    std::string bytes(size, '\0');
    if (size > 0 && file.Read(bytes.data(), size) != size) {
        *error = check->versionList + ": cannot read it";
        return false;
    }
    VersionListFile list;
    if (!ParseVersionListFile(bytes, &list, error)) {
        *error = check->versionList + ": damaged: " + *error;
        return false;
    }
    check->v1 = list.v1;
    auto buffer = std::make_unique<std::uint8_t[]>(kCopyChunk);
    check->files.resize(list.Count());
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        CheckOne(wideFolder, list, i, buffer.get(), &check->files[i], progress);
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
    nlohmann::json files = nlohmann::json::array();
    for (const CheckedFile& file : check.files) {
        const char* state = FileStateName(file.state);
        out << state << std::string(12 - std::strlen(state), ' ') << "\"" << file.name << "\"";
        nlohmann::json json = {{"name", file.name}, {"status", state}, {"expected", file.expected}};
        switch (file.state) {
        case FileState::Ok: out << ": " << file.size << " bytes, checksum " << file.actual; break;
        case FileState::Modified:
            out << ": the record expects " << file.expected << ", the file gives " << file.actual;
            break;
        case FileState::Missing: break;
        case FileState::Unreadable: out << ": " << file.reason; break;
        }
        out << "\n";
        if (!file.actual.empty()) {
            json["actual"] = file.actual;
            json["size"] = file.size;
        }
        if (!file.reason.empty()) json["reason"] = file.reason;
        files.push_back(std::move(json));
    }
    const auto& c = check.counts;
    out << "check: " << check.files.size() << " files: " << c[0] << " OK, " << c[1] << " modified, " << c[2]
        << " missing, " << c[3] << " unreadable\n";
    out << (check.Intact() ? "check: intact\n" : "check: NOT intact: repair or reinstall the files above\n");
    int code = check.Intact() ? kExitOk : kExitNotIntact;
    if (doc) {
        *doc = {{"folder", folder},
                {"versionList", check.versionList},
                {"files", std::move(files)},
                {"summary", {{"ok", c[0]}, {"modified", c[1]}, {"missing", c[2]}, {"unreadable", c[3]}}},
                {"intact", check.Intact()},
                {"exitCode", code}};
    }
    return code;
}
