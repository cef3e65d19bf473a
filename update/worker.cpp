// The update worker: extract and verify every payload entry, then commit them all, then record.
//
// Two phases keep the update all-or-nothing: nothing in the install folder is replaced until every
// entry has been written to its temporary file and has passed its checksum. Only the rename phase
// touches the targets, and it does not roll back. The worker tests the cancel and window-closed flags
// at fixed points and pumps the dialog after every unit of work.
#include "update/worker.h"

#include <memory>

#include "support/file.h"
#include "support/os.h"
#include "support/text.h"
#include "update/archive.h"
#include "update/entry_check.h"
#include "update/install_name.h"
#include "update/uninstall_list.h"
#include "update/version_list.h"

namespace {

constexpr char16_t kTempFormat[] = u"%s.tmp";  // the target's path and this suffix
constexpr char16_t kStatusFormat[] = u"%sをインストール中";

// InstalledNames: one wide on-disk name per entry in index order, plus a final null slot.
using NameSlots = std::unique_ptr<std::unique_ptr<char16_t[]>[]>;

struct Run {
    const char16_t* folder;
    ProgressView& view;
    UpdateResult result = UpdateDamaged;
    // Which entries' temporary files this run created: the clean-up removes those and nothing else.
    std::unique_ptr<bool[]> created{};

    bool Stopped() const { return view.WindowClosed() || view.CancelRequested(); }
    // Pumps the dialog; true when the window is gone (a quit request or a failed dispatch).
    bool Pump() {
        const bool gone = view.PumpMessages() == 1;
        if (gone) view.SetWindowClosed();
        return gone;
    }
};

// Composes "<folder>\<name>.tmp" and "<folder>\<name>" into 780-unit buffers; false when either
// does not fit.
bool ComposePaths(const char16_t* folder, const char16_t* name, char16_t* temp, char16_t* target) {
    return InstallPath(target, kPathUnits, folder, name) && FormatWide(temp, kPathUnits, kTempFormat, target) >= 0;
}

// Extracts one entry into its temporary file while checksumming it, verifies and counts it.
// UpdateOk when the loop goes on; otherwise why it stops.
UpdateResult ExtractEntry(Run& run, CFileDX& own, const PayloadIndex& index, const VersionList& versions,
                          std::uint32_t i, std::uint8_t* buffer, NameSlots& names) {
    ProgressView& view = run.view;
    const UpdateResult stopped = UpdateCancelled;  // the flags decide the run's result in the end

    // Positioned.
    if (!own.Seek(static_cast<std::int32_t>(index.Position(i)))) return UpdateDamaged;

    // Named: the version record, when there is one, decides the on-disk name and the checksum. A
    // name that would leave the install folder is a damaged patch; nothing is created for it.
    ResolvedEntry entry;
    ResolveEntry(index, versions, i, &entry);
    if (!entry.onDisk) return UpdateDamaged;
    const char16_t* name = entry.onDisk.get();
    char16_t temp[kPathUnits];
    char16_t target[kPathUnits];
    char16_t status[kPathUnits];
    if (!ComposePaths(run.folder, name, temp, target) || FormatWide(status, kPathUnits, kStatusFormat, name) < 0) {
        return UpdateInstallFailed;
    }
    names[i] = std::move(entry.onDisk);

    view.SetStatus(status);
    view.SetFilePos(0);
    if (run.Pump()) return stopped;

    // Writing, into a file this run creates, never through a link planted there.
    RemoveLeftover(temp);
    CFileDX out;
    if (!out.CreateNew(temp)) return UpdateInstallFailed;
    run.created[i] = true;
    // The dialog follows the copy: the file bar after each chunk, a pump, and the flags before the next.
    const std::uint32_t size = index.Size(i);
    StepOf step([&](std::uint32_t done) {
        if (done > 0) {
            view.SetFilePos(static_cast<std::uint32_t>(std::uint64_t(done) * 0xFFFF / size));
            if (run.Pump()) return false;
        }
        return !run.Stopped();
    });
    const StreamedBytes copied = StreamBytes(own, size, &out, buffer, &step);
    if (copied.end == StreamEnd::Stopped) return stopped;
    if (copied.end == StreamEnd::ReadFailed) return UpdateDamaged;
    // Flushed before it is closed, so a power cut after the commit cannot leave an empty target.
    if (copied.end == StreamEnd::WriteFailed || !out.Flush()) return UpdateInstallFailed;
    out.Close();

    // Verified and counted.
    if (JudgeBytes(copied.checksum, entry.Expected()) == EntryVerdict::Mismatch) return UpdateDamaged;
    view.SetTotalPos(i + 1);
    return run.Pump() ? stopped : UpdateOk;
}

// Renames every temporary file over its target in index order; stops at the first failure. A target
// held open for a moment by another program is waited for, about a second at most.
bool Commit(const char16_t* folder, const NameSlots& names, std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        char16_t temp[kPathUnits];
        char16_t target[kPathUnits];
        if (!ComposePaths(folder, names[j].get(), temp, target)) return false;
        os::Current().SetAttributes(target, os::kAttrNormal);
        if (!os::ReplaceHeldFile(temp, target)) return false;
    }
    return true;
}

void RemoveTemporaryFiles(const Run& run, const NameSlots& names, std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        char16_t temp[kPathUnits];
        char16_t target[kPathUnits];
        if (run.created[j] && ComposePaths(run.folder, names[j].get(), temp, target))
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

    NameSlots names(new std::unique_ptr<char16_t[]>[index.count + 1]);
    run.created.reset(new bool[index.count]());
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
            run.result = ExtractEntry(run, own, index, versions, done, buffer.get(), names);
            if (run.result != UpdateOk) break;
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
    RemoveTemporaryFiles(run, names, index.count);
}

}  // namespace

UpdateResult RunUpdate(const char16_t* installFolder, ProgressView& view, const char16_t* payloadPath) {
    // Nothing below the install folder is reached through a link another user planted there.
    os::FolderGuard guard(installFolder);
    Run run{installFolder, view};
    Update(run, payloadPath);
    if (view.WindowClosed()) run.result = UpdateWindowClosed;
    if (view.CancelRequested()) run.result = UpdateCancelled;
    return run.result;
}
