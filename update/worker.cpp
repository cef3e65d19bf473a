// The update worker: extract and verify every payload entry, then commit them all, then record.
//
// Two phases keep the update all-or-nothing: nothing in the install folder is replaced until every
// entry has been written to its temporary file and has passed its checksum. Only the rename phase
// touches the targets, and it does not roll back. The worker tests the cancel and window-closed flags
// at fixed points and pumps the dialog after every unit of work.
#include "update/worker.h"

#include <cstring>
#include <memory>

#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/uninstall_list.h"
#include "update/version_list.h"

namespace {

constexpr char16_t kTempFormat[] = u"%s\\%s.tmp";
constexpr char16_t kTargetFormat[] = u"%s\\%s";
constexpr char16_t kStatusFormat[] = u"%sをインストール中";

// InstalledNames: one wide on-disk name per entry in index order, plus a final null slot.
using NameSlots = std::unique_ptr<std::unique_ptr<char16_t[]>[]>;

struct Run {
    const char16_t* folder;
    ProgressView& view;
    UpdateResult result = UpdateDamaged;

    bool Stopped() const { return view.WindowClosed() || view.CancelRequested(); }
    // Pumps the dialog; true when the window is gone (a quit request or a failed dispatch).
    bool Pump() {
        if (view.PumpMessages() == 1) {
            view.SetWindowClosed();
            return true;
        }
        return false;
    }
};

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Composes "<folder>\<name>.tmp" and "<folder>\<name>" into 780-unit buffers; false when either
// does not fit.
bool ComposePaths(const char16_t* folder, const char16_t* name, char16_t* temp, char16_t* target) {
    return FormatWide(temp, kPathUnits, kTempFormat, folder, name) >= 0 &&
           FormatWide(target, kPathUnits, kTargetFormat, folder, name) >= 0;
}

// Extracts one entry into its temporary file while checksumming it. Returns false when the loop
// must stop after this entry (the result says why, or a flag is set).
bool ExtractEntry(Run& run, CFileDX& own, const PayloadIndex& index, const VersionList& versions,
                  std::uint32_t i, std::uint8_t* buffer, NameSlots& names) {
    ProgressView& view = run.view;

    // Positioned.
    if (!own.Seek(static_cast<std::int32_t>(index.Position(i)))) return false;

    // Named: the version record, when there is one, decides the on-disk name and the checksum.
    char stored[kWideNameField + 1];
    index.Name(i, stored);
    char key[kLineBytes];
    const VersionRecord* record = nullptr;
    if (MakeNameKey(key, sizeof key, stored)) record = FindVersionRecord(versions, key);
    const std::uint8_t* expected = record ? record->checksum : nullptr;
    std::uint32_t size = index.Size(i);

    std::unique_ptr<char16_t[]> name = MultiToWide(record ? record->name : stored);
    // A name that would leave the install folder is a damaged patch; nothing is created for it.
    if (!name || !IsSafeInstallName(name.get())) {
        run.result = UpdateDamaged;
        return false;
    }
    char16_t temp[kPathUnits];
    char16_t target[kPathUnits];
    char16_t status[kPathUnits];
    if (!ComposePaths(run.folder, name.get(), temp, target) ||
        FormatWide(status, kPathUnits, kStatusFormat, name.get()) < 0) {
        run.result = UpdateInstallFailed;
        return false;
    }
    names[i] = std::move(name);

    view.SetStatus(status);
    view.SetFilePos(0);
    if (run.Pump()) return false;

    // Writing. A read-only leftover of an earlier run is made writable first.
    os::Current().SetAttributes(temp, os::kAttrNormal);
    CFileDX out;
    if (!out.OpenWrite(temp, 0)) {
        run.result = UpdateInstallFailed;
        return false;
    }
    RollingChecksum checksum;
    bool failed = false;
    std::uint32_t done = 0;
    std::uint32_t chunk = kCopyChunk;
    while (done < size) {
        if (run.Stopped()) break;
        if (chunk > size - done) chunk = size - done;
        if (own.Read(buffer, chunk) != chunk) {
            failed = true;  // the result stays UpdateDamaged
            break;
        }
        UpdateChecksum(checksum, buffer, chunk);
        if (out.Write(buffer, chunk) != chunk) {
            run.result = UpdateInstallFailed;
            failed = true;
            break;
        }
        done += chunk;
        view.SetFilePos(static_cast<std::uint32_t>(std::uint64_t(done) * 0xFFFF / size));
        if (run.Pump()) break;
    }
    // Flushed before it is closed, so a power cut after the commit cannot leave an empty target.
    if (!failed && !run.Stopped() && !out.Flush()) {
        run.result = UpdateInstallFailed;
        failed = true;
    }
    out.Close();

    // Verified and counted.
    if (run.Stopped() || failed) return false;
    if (expected && !ChecksumEquals(checksum, expected)) return false;
    view.SetTotalPos(i + 1);
    return !run.Pump();
}

// Renames every temporary file over its target in index order; stops at the first failure. A target
// held open for a moment by another program is waited for, about a second at most.
bool Commit(const char16_t* folder, const NameSlots& names, std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!names[j]) continue;
        char16_t temp[kPathUnits];
        char16_t target[kPathUnits];
        if (!ComposePaths(folder, names[j].get(), temp, target)) return false;
        os::Current().SetAttributes(target, os::kAttrNormal);
        if (!os::ReplaceHeldFile(temp, target)) return false;
    }
    return true;
}

void RemoveTemporaryFiles(const char16_t* folder, const NameSlots& names, std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        char16_t temp[kPathUnits];
        if (names[j] && FormatWide(temp, kPathUnits, kTempFormat, folder, names[j].get()) >= 0)
            os::Current().RemoveFile(temp);
    }
}

// Everything from the index read to the clean-up; the result is left in run.result.
void Update(Run& run, const char16_t* payloadPath) {
    ProgressView& view = run.view;
    char16_t ownPath[kPathUnits];
    if (!payloadPath) {
        if (os::Current().GetModulePath(ownPath, kPathUnits) == 0) ownPath[0] = 0;
        payloadPath = ownPath;
    }
    CFileDX own;
    own.OpenRead(payloadPath);  // a failed open shows as a failed size query below
    PayloadIndex index;
    run.result = ReadPayloadIndex(own, index);
    if (run.result != UpdateOk) return;
    run.result = UpdateDamaged;

    NameSlots names(new std::unique_ptr<char16_t[]>[index.count + 1]);
    VersionList versions = LoadVersionList(own, index);

    view.SetFileRange(0, 0xFFFF);
    view.SetFilePos(0);
    view.SetTotalRange(0, index.count);
    view.SetTotalPos(0);
    run.Pump();

    std::uint32_t done = 0;
    {
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCopyChunk]);
        while (done < index.count && !run.Stopped()) {
            if (!ExtractEntry(run, own, index, versions, done, buffer.get(), names)) break;
            ++done;
        }
    }

    if (done == index.count && !run.Stopped()) {
        if (!Commit(run.folder, names, index.count)) {
            run.result = UpdateInstallFailed;
        } else {
            PruneVersionList(run.folder);
            // The slots hold every name, so the array ends at its final null slot.
            std::unique_ptr<const char16_t*[]> plain(new const char16_t*[index.count + 1]);
            for (std::uint32_t j = 0; j <= index.count; ++j) plain[j] = names[j].get();
            run.result = MergeUninstallList(run.folder, plain.get()) ? UpdateOk : UpdateUninstallListFailed;
        }
    }
    RemoveTemporaryFiles(run.folder, names, index.count);
}

}  // namespace

bool IsSafeInstallName(const char16_t* name) {
    if (!name || !name[0] || IsSeparator(name[0])) return false;
    const char16_t* component = name;
    for (const char16_t* p = name;; ++p) {
        if (*p == u':') return false;
        if (*p == 0 || IsSeparator(*p)) {
            if (p - component == 2 && component[0] == u'.' && component[1] == u'.') return false;
            if (*p == 0) return true;
            component = p + 1;
        }
    }
}

UpdateResult RunUpdate(const char16_t* installFolder, ProgressView& view, const char16_t* payloadPath) {
    Run run{installFolder, view};
    Update(run, payloadPath);
    if (view.WindowClosed()) run.result = UpdateWindowClosed;
    if (view.CancelRequested()) run.result = UpdateCancelled;
    return run.result;
}
