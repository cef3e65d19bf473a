// The update worker end to end on payloads built here: results, what lies on disk afterwards, the
// progress it shows, cancellation at every pump point and a failure of every OS call of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "kit/common/failure_watch.h"
#include "kit/examine/install_check.h"
#include "support/os.h"
#include "unit/fault_loop.h"
#include "unit/fault_os.h"
#include "unit/patch_format.h"
#include "unit/scripted_view.h"
#include "unit/test_util.h"
#include "update/install_name.h"
#include "update/worker.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using testutil::TempDir;

// A record names a file and the content whose checksum it holds.
using Record = PayloadFile;

std::string VersionList(const std::vector<Record>& records) { return EncodeVersionListOf(records); }

// A game folder at 1.00 and a patch to 1.01: three archives and the version list.
class Fixture {
public:
    // b.arc takes two chunks unless small is set (for tests that run the update hundreds of times).
    explicit Fixture(bool small = false) {
        newFiles = {{"a.arc", testutil::RandomBytes(3000, 1)},
                    {"b.arc", testutil::RandomBytes(small ? 5000 : 0x100001, 2)},
                    {"c.arc", testutil::RandomBytes(17, 3)}};
        for (const auto& [name, data] : newFiles) game.Write(name, "old " + name);
        game.Write("game.exe", "exe");
        game.Write("QMK.hvl", "old list");
        game.Write("uninst.lst", "game.exe\r\n$reg\r\na.arc\r\n");
        std::vector<Record> records = {{"game.exe", "exe"}, {"gone.arc", "x"}};
        records.insert(records.end(), newFiles.begin(), newFiles.end());
        list = VersionList(records);
        std::vector<PayloadFile> files = newFiles;
        files.push_back({"QMK.hvl", list});
        WritePatch(files);
    }

    void WritePatch(const std::vector<PayloadFile>& files, bool legacy = false) {
        patchDir.Write("patch.exe", EncodePatch("MZ stub", EncodeArchive(files, legacy)));
    }

    UpdateResult Run(ProgressView& view) {
        std::u16string folder = game.Folder();
        std::u16string patch = patchDir.Path("patch.exe");
        return RunUpdate(folder.c_str(), view, patch.c_str());
    }
    UpdateResult Run() {
        ScriptedView view;
        return Run(view);
    }

    std::map<std::string, std::string> Snapshot() const { return testutil::FileTree(game.Root()); }
    // Runs the update, which must end as `expected` and leave the game folder as it was.
    void ExpectUnchangedBy(UpdateResult expected, ProgressView* view = nullptr) {
        const auto before = Snapshot();
        ScriptedView plain;
        EXPECT_EQ(Run(view ? *view : plain), expected);
        EXPECT_EQ(Snapshot(), before);
    }
    bool HasTemporaryFiles() const {
        return std::ranges::any_of(game.List(), [](const std::string& name) { return name.ends_with(".tmp"); });
    }
    bool AllNew() const {
        return std::ranges::all_of(newFiles, [&](const PayloadFile& f) { return game.Read(f.name) == f.data; });
    }

    TempDir game;
    TempDir patchDir;
    std::vector<PayloadFile> newFiles;
    std::string list;
};

std::string PrunedList(const Fixture& f) {
    std::vector<Record> kept = {{"game.exe", "exe"}};
    kept.insert(kept.end(), f.newFiles.begin(), f.newFiles.end());
    return VersionList(kept);
}

TEST(Worker, InstallsVerifiesAndRecords) {
    Fixture f;
    ScriptedView view;
    ASSERT_EQ(f.Run(view), UpdateOk);
    EXPECT_TRUE(f.AllNew());
    EXPECT_EQ(f.game.Read("game.exe"), "exe");
    // The installed list is the payload's, without the record of the file that is not there.
    EXPECT_EQ(f.game.Read("QMK.hvl"), PrunedList(f));
    EXPECT_EQ(f.game.Read("uninst.lst"), std::string("game.exe\na.arc\nb.arc\nc.arc\nqmk.hvl\n$reg\n") + '\0');
    EXPECT_FALSE(f.HasTemporaryFiles());

    EXPECT_EQ(view.fileRange, std::make_pair(0u, 0xFFFFu));
    EXPECT_EQ(view.totalRange, std::make_pair(0u, 4u));
    EXPECT_EQ(view.totalPositions, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    ASSERT_EQ(view.statuses.size(), 4u);
    EXPECT_EQ(view.statuses[0], u"a.arcをインストール中");
    EXPECT_EQ(view.statuses[3], u"QMK.hvlをインストール中");
    // Setup, one per entry after its status, one per chunk (b.arc has two), one per counted entry.
    EXPECT_EQ(view.pumps, 1 + 4 + 5 + 4);
}

TEST(Worker, FileProgressPerChunk) {
    struct Case {
        std::uint32_t size;
        std::vector<std::uint32_t> positions;  // after the set-up's 0 and the entry's own 0
    };
    const Case cases[] = {
        {3000000, {22906, 45812, 65535}},
        {0x100000, {65535}},
        {0x100001, {65534, 65535}},
        {0, {}},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.WritePatch({{"big.bin", std::string(c.size, 'x')}});
        ScriptedView view;
        ASSERT_EQ(f.Run(view), UpdateOk) << c.size;
        std::vector<std::uint32_t> expected = {0, 0};
        expected.insert(expected.end(), c.positions.begin(), c.positions.end());
        EXPECT_EQ(view.filePositions, expected) << c.size;
        EXPECT_EQ(f.game.Read("big.bin").size(), c.size);
    }
}

TEST(Worker, ArchiveFailuresChangeNothing) {
    struct Case {
        const char* what;
        std::string patch;
        UpdateResult result;
    };
    std::string good = EncodeArchive({{"a.arc", "new"}}, false);
    std::string tooMany = good;
    tooMany[12] = 33;
    std::string shortIndex = EncodeArchive({{"a.arc", "new"}, {"b.arc", "new"}}, false).substr(0, 16 + 128 + 5);
    std::string pastEnd = good.substr(0, good.size() - 1);
    std::string list = VersionList({{"a.arc", "new a"}, {"b.arc", "expected b"}});
    const Case cases[] = {
        {"shorter than the payload offset", std::string(0x5FFFF, '\0'), UpdateDamaged},
        {"exactly the payload offset", std::string(0x60000, '\0'), UpdateDamaged},
        {"33 entries", EncodePatch("MZ", tooMany), UpdateTooManyEntries},
        {"short index", EncodePatch("MZ", shortIndex), UpdateDamaged},
        {"entry past the end", EncodePatch("MZ", pastEnd), UpdateDamaged},
        {"ChecksumMismatchInLastEntryTouchesNothing",
         EncodePatch("MZ stub", EncodeArchive({{"QMK.hvl", list}, {"a.arc", "new a"}, {"b.arc", "tampered b"}}, false)),
         UpdateDamaged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        f.patchDir.Write("patch.exe", c.patch);
        f.ExpectUnchangedBy(c.result);
    }

    Fixture missing;
    testutil::fs::remove(missing.patchDir.Native("patch.exe"));
    missing.ExpectUnchangedBy(UpdateDamaged);
}

TEST(Worker, WithoutVersionListEverythingIsInstalledUnverified) {
    Fixture f;
    f.WritePatch({{"a.arc", "new a"}, {"new.dat", "n"}});
    ASSERT_EQ(f.Run(), UpdateOk);
    EXPECT_EQ(f.game.Read("a.arc"), "new a");
    EXPECT_EQ(f.game.Read("new.dat"), "n");
    EXPECT_EQ(f.game.Read("QMK.hvl"), "old list");  // not a version list: the prune leaves it alone
}

TEST(Worker, LegacyIndexAndCaseVariantListName) {
    Fixture f;
    std::string list = VersionList({{"a.arc", "A"}});
    f.WritePatch({{"a.arc", "A"}, {"qMk.HVL", list}}, true);
    ASSERT_EQ(f.Run(), UpdateOk);
    EXPECT_EQ(f.game.Read("a.arc"), "A");
    // Installed under its stored name; the folder already has "QMK.hvl", which is the file meant.
    EXPECT_EQ(f.game.Read("QMK.hvl"), list);
}

TEST(Worker, RecordNameWithFolderInstallsIntoIt) {
    Fixture f;
    f.game.MakeDir("data");
    std::string list = VersionList({{"data\\x.arc", "X"}});
    f.WritePatch({{"X.ARC", "X"}, {"QMK.hvl", list}});
    ASSERT_EQ(f.Run(), UpdateOk);
    EXPECT_EQ(f.game.Read("data/x.arc"), "X");
    EXPECT_FALSE(f.game.Exists("X.ARC"));
    EXPECT_TRUE(testutil::Contains(f.game.Read("uninst.lst"), "data\\x.arc\n"));

    Fixture noFolder;
    noFolder.WritePatch({{"X.ARC", "X"}, {"QMK.hvl", list}});
    noFolder.ExpectUnchangedBy(UpdateInstallFailed);
}

TEST(Worker, ReadOnlyTargetAndLeftoverAreOverwritten) {
    Fixture f;
    f.game.Write("a.arc.tmp", "leftover");
    f.game.SetReadOnly("a.arc.tmp", true);
    f.game.SetReadOnly("a.arc", true);
    ASSERT_EQ(f.Run(), UpdateOk);
    EXPECT_TRUE(f.AllNew());
    EXPECT_FALSE(f.HasTemporaryFiles());
}

TEST(Worker, FailedRenameOfThirdOfFourStopsTheCommit) {
    Fixture f;
    auto before = f.Snapshot();
    FaultOs fault;
    fault.FailNth(OsCall::ReplaceByRename, 3);
    EXPECT_EQ(f.Run(), UpdateInstallFailed);
    EXPECT_EQ(f.game.Read("a.arc"), f.newFiles[0].data);
    EXPECT_EQ(f.game.Read("b.arc"), f.newFiles[1].data);
    EXPECT_EQ(f.game.Read("c.arc"), before["c.arc"]);
    EXPECT_EQ(f.game.Read("QMK.hvl"), before["QMK.hvl"]);
    EXPECT_EQ(f.game.Read("uninst.lst"), before["uninst.lst"]);
    EXPECT_FALSE(f.HasTemporaryFiles());

    // What the player does after the failure message: running the patch again completes the update.
    fault.Reset();
    Fixture clean;
    ASSERT_EQ(clean.Run(), UpdateOk);
    EXPECT_EQ(f.Run(), UpdateOk);
    EXPECT_EQ(f.Snapshot(), clean.Snapshot());
}

// Every rename of a run (the commit's and the two list rewrites') finds its file held by another
// program: held for a few tries, the run ends as if nothing had held it; held for ever, or failing
// with a code that is not a busy one, the run ends as a plain failure of that rename does. The waits
// total about one second at most per file, and none is spent on an error that waiting cannot cure.
TEST(Worker, RenameOfAHeldFileIsTriedAgain) {
    Fixture clean(true);
    ScriptedView cleanView;
    ASSERT_EQ(clean.Run(cleanView), UpdateOk);
    const auto updated = clean.Snapshot();
    int renames = 0;
    {
        Fixture f(true);
        FaultOs count;
        ASSERT_EQ(f.Run(), UpdateOk);
        renames = count.Count(OsCall::ReplaceByRename);
    }
    ASSERT_EQ(renames, 6);  // four entries, QMK.hvl and uninst.lst

    std::uint32_t allWaits = 0;
    for (std::uint32_t w : os::kBusyWaits) allWaits += w;
    EXPECT_LE(allWaits, 1000u);
    const int tries = static_cast<int>(std::size(os::kBusyWaits)) + 1;
    struct Case {
        std::uint32_t code;
        int times;  // tries that find the file held; `tries`: held through all of them
    };
    const Case cases[] = {{os::kErrorSharingViolation, 1},  {os::kErrorLockViolation, 3},
                          {os::kErrorAccessDenied, tries - 1}, {os::kErrorSharingViolation, tries},
                          {os::kErrorLockViolation, tries},  {os::kErrorAccessDenied, tries},
                          {os::kErrorDiskFull, 1}};
    for (int k = 1; k <= renames; ++k) {
        Fixture plain(true);
        UpdateResult failed;
        {
            FaultOs fault;
            fault.FailNth(OsCall::ReplaceByRename, k);
            failed = plain.Run();
        }
        for (const Case& c : cases) {
            SCOPED_TRACE("rename " + std::to_string(k) + ", code " + std::to_string(c.code) + ", busy " +
                         std::to_string(c.times));
            const bool busy = os::IsBusyError(c.code);
            const bool freed = busy && c.times < tries;
            Fixture f(true);
            FaultOs fault;
            fault.SetRenameError(c.code);
            fault.FailNthTimes(OsCall::ReplaceByRename, k, c.times);
            ScriptedView view;
            if (freed) {
                EXPECT_EQ(f.Run(view), UpdateOk);
                EXPECT_TRUE(f.Snapshot() == updated);
            } else {
                EXPECT_EQ(f.Run(view), failed);
                EXPECT_TRUE(f.Snapshot() == plain.Snapshot());
            }
            const int waits = busy ? (freed ? c.times : tries - 1) : 0;
            EXPECT_EQ(fault.Waits(), waits);
            EXPECT_EQ(view.pumps, cleanView.pumps);  // the dialog is not pumped while waiting
            EXPECT_EQ(fault.WaitedMs(), std::accumulate(os::kBusyWaits, os::kBusyWaits + waits, 0u));
            EXPECT_FALSE(f.HasTemporaryFiles());
            EXPECT_FALSE(f.game.Exists("QMK.hvl.new") || f.game.Exists("uninst.lst.new"));
        }
    }
}

TEST(Worker, TwoEntriesWithOneOnDiskName) {
    Fixture f;
    f.WritePatch({{"a.arc", "first"}, {"A.ARC", "second"}});
    EXPECT_EQ(f.Run(), UpdateInstallFailed);
    EXPECT_EQ(f.game.Read("a.arc"), "second");
    EXPECT_FALSE(f.HasTemporaryFiles());
}

TEST(Worker, UninstallListMissingOrEmpty) {
    for (bool empty : {false, true}) {
        Fixture f;
        if (empty)
            f.game.Write("uninst.lst", "");
        else
            testutil::fs::remove(f.game.Native("uninst.lst"));
        EXPECT_EQ(f.Run(), UpdateUninstallListFailed);
        EXPECT_TRUE(f.AllNew());
        EXPECT_EQ(f.game.Read("QMK.hvl"), PrunedList(f));
        EXPECT_EQ(f.game.Exists("uninst.lst"), empty);
    }
}

TEST(Worker, EntryCountLimits) {
    Fixture none;
    none.WritePatch({});
    ScriptedView view;
    EXPECT_EQ(none.Run(view), UpdateOk);
    EXPECT_EQ(view.totalRange, std::make_pair(0u, 0u));
    EXPECT_EQ(none.game.Read("uninst.lst"), std::string("game.exe\na.arc\n$reg\n") + '\0');
    EXPECT_EQ(none.game.Read("QMK.hvl"), "old list");

    Fixture noneNoList;
    noneNoList.WritePatch({});
    testutil::fs::remove(noneNoList.game.Native("uninst.lst"));
    EXPECT_EQ(noneNoList.Run(), UpdateUninstallListFailed);

    Fixture full;
    std::vector<PayloadFile> files;
    for (int i = 0; i < 32; ++i) files.push_back({"f" + std::to_string(i), std::to_string(i)});
    full.WritePatch(files);
    EXPECT_EQ(full.Run(), UpdateOk);
    EXPECT_EQ(full.game.Read("f31"), "31");
}

TEST(Worker, NamesThatLeaveTheFolderAreRefused) {
    // The entry's own name, with no version list (an empty name would make the target the folder), and
    // a version record's name, met through its final component; each run creates one temporary file
    // only, of the entry before it (a.arc, QMK.hvl).
    std::vector<std::pair<std::string, std::vector<PayloadFile>>> patches;
    for (const char* bad : {"..\\evil.dll", "../evil.dll", "sub\\..\\..\\evil", "C:\\evil", "\\\\srv\\share\\x", "\\evil",
                            "/evil", "a:b", "..", ""}) {
        patches.push_back({bad, {{"a.arc", "A"}, {bad, "E"}}});
    }
    for (const char* bad : {"..\\evil.dll", "sub\\..\\..\\evil.dll", "C:\\evil.dll", "\\evil.dll", "/evil.dll",
                            "\\\\srv\\share\\evil.dll", "d:evil.dll"}) {
        patches.push_back({std::string("record ") + bad, {{"QMK.hvl", VersionList({{bad, "E"}})}, {"EVIL.DLL", "E"}}});
    }
    for (const auto& [what, patch] : patches) {
        SCOPED_TRACE(what);
        Fixture f;
        f.WritePatch(patch);
        FaultOs fault;
        f.ExpectUnchangedBy(UpdateDamaged);
        EXPECT_EQ(fault.Count(OsCall::CreateNew), 1);
        EXPECT_FALSE(testutil::fs::exists(f.game.Root().parent_path() / "evil.dll"));
    }
    const char16_t* safe[] = {u"a.arc", u"data\\a.arc", u"data/sub/a.arc", u"..a", u"a..", u"a\\..b\\c"};
    for (const char16_t* name : safe) EXPECT_TRUE(IsSafeInstallName(name));
    EXPECT_FALSE(IsSafeInstallName(u""));
}

TEST(Worker, PathThatDoesNotFitIsRefused) {
    Fixture f;
    f.WritePatch({{std::string(95, 'n'), "N"}, {"a.arc", "A"}});
    // A folder for which "<folder>\\a.arc.tmp" fits 780 units but the 95-byte name does not. The
    // refusal comes before any file is opened, so the folder need not exist.
    std::u16string folder = f.game.Folder() + u"\\";
    folder.append(720 - folder.size(), u'f');
    ScriptedView view;
    std::u16string patch = f.patchDir.Path("patch.exe");
    FaultOs fault;
    EXPECT_EQ(RunUpdate(folder.c_str(), view, patch.c_str()), UpdateInstallFailed);
    EXPECT_EQ(fault.Count(OsCall::CreateNew), 0);
    EXPECT_EQ(fault.Count(OsCall::RemoveFile), 0);
    EXPECT_TRUE(view.statuses.empty());
}

// Cancel, window closed and quit, injected at every pump point of a run.
TEST(Worker, StopAtEveryPumpPoint) {
    int pumps = 0;
    {
        Fixture f;
        ScriptedView view;
        ASSERT_EQ(f.Run(view), UpdateOk);
        pumps = view.pumps;
    }
    using A = ScriptedView::Action;
    for (A action : {A::Cancel, A::Close, A::Quit}) {
        for (int at = 1; at <= pumps; ++at) {
            Fixture f;
            auto before = f.Snapshot();
            ScriptedView view(at, action);
            UpdateResult r = f.Run(view);
            EXPECT_EQ(r, action == A::Cancel ? UpdateCancelled : UpdateWindowClosed) << "pump " << at;
            EXPECT_EQ(f.Snapshot(), before) << "pump " << at;
            // The worker stops at its next flag test, without pumping again.
            EXPECT_EQ(view.pumps, at) << "pump " << at;
        }
    }
}

TEST(Worker, BothFlagsGiveCancelled) {
    Fixture f;
    ScriptedView view;
    view.onPump = [&](int n) {
        if (n == 3) {
            view.Cancel();
            view.SetWindowClosed();
        }
    };
    f.ExpectUnchangedBy(UpdateCancelled, &view);
}

TEST(Worker, CancelWhileTheLastEntryIsCounted) {
    Fixture f;
    ScriptedView view;
    view.onPump = [&](int) {
        if (view.totalPositions.size() == 5) view.Cancel();  // 0, then 1..4: the last entry is counted
    };
    f.ExpectUnchangedBy(UpdateCancelled, &view);
    EXPECT_EQ(view.totalPositions.back(), 4u);
}

// Fails every OS call of a run in turn and checks the invariants after each; then runs the patch
// again, as a player does after the failure message, which must complete the update.
TEST(Worker, FailEveryOsCall) {
    int firstEntryWrite = 0, firstRename = 0, lastRename = 0, renames = 0;
    std::map<std::string, std::string> updated, before;
    std::optional<Fixture> f;
    FaultOs fault;
    ForEachFailedCall(
        fault,
        [&] {
            f.emplace(true);
            before = f->Snapshot();
            return f->Run();
        },
        [&](UpdateResult r) {
            ASSERT_EQ(r, UpdateOk);
            updated = f->Snapshot();
            for (int n = 1; n <= fault.Total(); ++n) {
                OsCall k = fault.KindOfCall(n);
                if (k == OsCall::CreateNew && !firstEntryWrite) firstEntryWrite = n;
                // The commit's renames, one per entry; the list rewrites rename too, later.
                if (k == OsCall::ReplaceByRename && ++renames <= static_cast<int>(f->newFiles.size()) + 1) {
                    if (!firstRename) firstRename = n;
                    lastRename = n;
                }
            }
            ASSERT_GT(firstEntryWrite, 0);
            ASSERT_GT(firstRename, firstEntryWrite);
        },
        [&](int n, UpdateResult r) {
            OsCall kind = fault.KindOfCall(n);
            ASSERT_EQ(fault.Failed(), 1);
            fault.Reset();
            auto after = f->Snapshot();
            bool extracting = n >= firstEntryWrite && n < firstRename;
            bool committing = n >= firstRename && n <= lastRename;

            if (kind != OsCall::RemoveFile) {
                EXPECT_FALSE(f->HasTemporaryFiles());
            }
            std::optional<UpdateResult> must;
            if (extracting && (kind == OsCall::CreateNew || kind == OsCall::Write || kind == OsCall::Flush)) must = UpdateInstallFailed;
            if (extracting && (kind == OsCall::Read || kind == OsCall::Seek)) must = UpdateDamaged;
            if (committing && kind == OsCall::ReplaceByRename) must = UpdateInstallFailed;
            EXPECT_EQ(r, must.value_or(r));

            if (r == UpdateOk || r == UpdateUninstallListFailed) {
                EXPECT_TRUE(f->AllNew());
            } else if (n < firstRename || r != UpdateInstallFailed) {
                // Stopped before the commit: nothing changed.
                EXPECT_EQ(after, before);
            } else {
                // A failed rename: a prefix of the targets is new, the rest old, the lists untouched.
                std::size_t k = 0;
                while (k < f->newFiles.size() && after[f->newFiles[k].name] == f->newFiles[k].data) ++k;
                for (std::size_t j = k; j < f->newFiles.size(); ++j) {
                    EXPECT_EQ(after[f->newFiles[j].name], before[f->newFiles[j].name]);
                }
                EXPECT_EQ(after["uninst.lst"], before["uninst.lst"]);
            }
            if (r != UpdateOk) {
                EXPECT_EQ(after["uninst.lst"], before["uninst.lst"]);
            }
            EXPECT_EQ(f->Run(), UpdateOk);
            auto again = f->Snapshot();
            auto expected = updated;
            if (kind == OsCall::WideToMulti) {
                // A name that cannot be converted is left out of the uninstall list; the run after
                // appends it at the end, so only the order of the lines may differ.
                for (auto* files : {&again, &expected}) {
                    (*files)["uninst.lst"] = testutil::SortedLines((*files)["uninst.lst"]);
                }
            }
            EXPECT_EQ(again, expected);
        });
}

#ifndef _WIN32
// Links in the install folder, on Linux (the Win32 ones have tests of their own). The fixture with a
// subfolder entry, data/d.arc, beside the three archives.
void AddSubfolderEntry(Fixture& f) {
    f.game.Write("data/d.arc", "old d");
    f.newFiles.push_back({"data/d.arc", "new d"});
    std::vector<Record> records = {{"game.exe", "exe"}};
    records.insert(records.end(), f.newFiles.begin(), f.newFiles.end());
    std::vector<PayloadFile> files = f.newFiles;
    files.push_back({"QMK.hvl", VersionList(records)});
    f.WritePatch(files);
}

// A link at `at` to target, made by the given user, in place of whatever was there.
void PlantLink(const testutil::fs::path& at, const testutil::fs::path& target, uid_t owner) {
    testutil::fs::remove_all(at);
    ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
    ASSERT_EQ(lchown(at.c_str(), owner, owner), 0);
}

// A link another user made (nobody's) where the update creates, reads, replaces or walks: nothing it
// leads to is read, written, created or has its mode changed; a refusal is that call's failure, named
// with its path and reason; with the link gone the next run completes the update.
TEST(Worker, LinksAnotherUserMadeAreNeverFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "planting a link owned by another user needs root (lchown)";
    constexpr uid_t kNobody = 65534;
    struct Planted {
        const char* at;
        const char* to;  // in the outside folder
        UpdateResult result;
    };
    const Planted cases[] = {
        {"a.arc.tmp", "victim.bin", UpdateOk},       {"a.arc.tmp", "absent.bin", UpdateOk},
        {"data/d.arc.tmp", "victim.bin", UpdateOk},  {"QMK.hvl.new", "victim.bin", UpdateOk},
        {"uninst.lst.new", "absent.bin", UpdateOk},  {"QMK.hvl", "victim.bin", UpdateOk},
        {"uninst.lst", "victim.bin", UpdateUninstallListFailed},
        {"a.arc", "victim.bin", UpdateOk},           {"data", "dir", UpdateInstallFailed},
    };
    for (const Planted& c : cases) {
        SCOPED_TRACE(std::string(c.at) + " -> " + c.to);
        Fixture f(true);
        AddSubfolderEntry(f);
        TempDir outside;
        outside.Write("victim.bin", "victim");
        outside.Write("dir/d.arc", "theirs");
        outside.SetReadOnly("victim.bin", true);  // a chmod through the link would show
        const auto perms = testutil::fs::status(outside.Native("victim.bin")).permissions();
        const auto theirs = testutil::FileTree(outside.Root());
        const auto before = f.Snapshot();
        PlantLink(f.game.Native(c.at), outside.Native(c.to), kNobody);

        FailureWatch watch;
        EXPECT_EQ(f.Run(), c.result);
        EXPECT_EQ(testutil::FileTree(outside.Root()), theirs);
        EXPECT_EQ(testutil::fs::status(outside.Native("victim.bin")).permissions(), perms);
        EXPECT_FALSE(outside.Exists("absent.bin"));
        for (const auto& e : testutil::fs::recursive_directory_iterator(f.game.Root())) {
            const std::string bytes = e.is_symlink() || !e.is_regular_file() ? "" : testutil::ReadAll(e.path());
            EXPECT_TRUE(bytes != "victim" && bytes != "theirs") << e.path() << " holds their bytes";
        }
        if (c.result != UpdateOk) {
            EXPECT_TRUE(testutil::Contains(watch.Message(), c.at));
            EXPECT_TRUE(testutil::Contains(watch.Message(), ": a link made by another user"));
        }
        // The link taken away, and what it stood in for put back: the update completes.
        if (testutil::fs::is_symlink(testutil::fs::symlink_status(f.game.Native(c.at)))) {
            testutil::fs::remove(f.game.Native(c.at));
            if (before.count(c.at)) f.game.Write(c.at, before.at(c.at));
            if (std::string(c.at) == "data") f.game.Write("data/d.arc", "old d");
        }
        EXPECT_EQ(f.Run(), UpdateOk);
        EXPECT_TRUE(f.AllNew());
    }

    // `patchtool check` reads through the same guard: such a link at a record's file is unreadable.
    Fixture f(true);
    ASSERT_EQ(f.Run(), UpdateOk);
    TempDir outside;
    outside.Write("victim.bin", "victim");
    PlantLink(f.game.Native("c.arc"), outside.Native("victim.bin"), kNobody);
    InstallCheck check;
    std::string error;
    ASSERT_TRUE(CheckInstallation(testutil::ToUtf8(f.game.Root()), &check, &error)) << error;
    const auto c = std::find_if(check.files.begin(), check.files.end(), [](const CheckedFile& file) { return file.name == "c.arc"; });
    ASSERT_NE(c, check.files.end());
    EXPECT_EQ(c->state, FileState::Unreadable);
    EXPECT_TRUE(testutil::Contains(c->reason, "a link made by another user"));
}

// Links this process's user made are followed as before: a subfolder that is a link, and an install
// folder named through one.
TEST(Worker, LinksOfOurOwnAreFollowed) {
    Fixture f(true);
    AddSubfolderEntry(f);
    TempDir elsewhere, named;
    elsewhere.Write("d.arc", "old d");
    PlantLink(f.game.Native("data"), elsewhere.Root(), geteuid());
    PlantLink(named.Native("game"), f.game.Root(), geteuid());
    ScriptedView view;
    const std::u16string folder = named.Path("game"), patch = f.patchDir.Path("patch.exe");
    EXPECT_EQ(RunUpdate(folder.c_str(), view, patch.c_str()), UpdateOk);
    EXPECT_TRUE(f.AllNew());
    EXPECT_EQ(elsewhere.Read("d.arc"), "new d");
}
#endif

}  // namespace
