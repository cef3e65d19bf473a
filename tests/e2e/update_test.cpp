// Whole updates under Wine, answered Yes: what the patcher shows, returns and leaves on disk.
#include <functional>
#include <string>
#include <vector>

#include "expectations.h"

namespace e2e {

// The new files of the good update, deterministic, so the patch that `e2e_driver write-good-patch`
// writes (for scripts/e2e to sign) is byte for byte the one the tests write.
struct GoodUpdate {
    // The payload's files: data1.arc spans three 1 MiB chunks; BGM.ARC is installed in sound\ under
    // its record's name; the list names a file that is not installed (pruned afterwards).
    std::vector<Record> NewRecords() const {
        return {{"game.exe", exe_},   {"data1.arc", data1_}, {"data2.arc", data2_}, {"extra.arc", extra_},
                {"sound\\bgm.arc", bgm_}, {"movie.arc", movie_}, {"patch.arc", "never shipped"}};
    }
    std::vector<PayloadFile> Payload(const std::string& versionList) const {
        return {{"DATA1.ARC", data1_}, {"data2.arc", data2_}, {"extra.arc", extra_}, {"BGM.ARC", bgm_},
                {"QMK.hvl", versionList}};
    }
    void WriteGoodPatch(const fs::path& patch) const { WritePatch(patch, Payload(VersionList(NewRecords(), kReserved))); }

    static constexpr std::uint32_t kReserved = 0x01010000;
    const std::string exe_ = "game 1.00";
    const std::string movie_ = "movie 1.00";
    const std::string data1_ = RandomBytes(2 * 1024 * 1024 + 17, 11);
    const std::string data2_ = RandomBytes(4096, 12);
    const std::string extra_ = RandomBytes(100, 13);
    const std::string bgm_ = RandomBytes(65536, 14);
};

int WriteGoodPatch(const std::wstring& patcher, const std::wstring& out) {
    SetPatcherPath(patcher);
    GoodUpdate().WriteGoodPatch(out);
    return 0;
}

namespace {

// An installed game in a folder with a Japanese name, and the new files of its update.
class UpdateTest : public PatcherTest, protected GoodUpdate {
protected:
    UpdateTest() : PatcherTest(L"ヴェルモラ") {}
    void SetUp() override {
        PatcherTest::SetUp();
        fs::create_directory(game_ / L"sound");
        const std::vector<Record> installed = {{"game.exe", exe_}, {"data1.arc", RandomBytes(3000, 1)},
                                               {"data2.arc", RandomBytes(5000, 2)}, {"movie.arc", movie_},
                                               {"sound\\bgm.arc", RandomBytes(700, 3)}};
        for (const Record& file : installed) WriteAll(game_ / testutil::FromUtf8(file.name), file.data);
        WriteAll(game_ / L"QMK.hvl", VersionList(installed));
        WriteAll(game_ / L"uninst.lst",
                 "Game.exe\r\nDATA1.ARC\r\n\t$registry MarbleHollow\r\n  QMK.hvl\r\nmovie.arc\r\nuninst.lst\r\n");
        ASSERT_TRUE(SetInstalledFolder(game_.wstring()));
    }

    // Runs the patch, answers Yes (after whileAsking, when given), takes the dialog if it was seen
    // and expects the result box; returns the exit code.
    DWORD RunToResult(const fs::path& patch, BoxKind kind, const Message& result,
                      const std::function<void()>& whileAsking = {}) {
        PatcherProcess patcher(patch);
        EXPECT_TRUE(patcher.Started());
        HWND confirm = ExpectBox(patcher, BoxKind::Question, kConfirmText);
        if (!confirm) return STILL_ACTIVE;
        if (whileAsking) whileAsking();
        Press(confirm, IDYES);
        HWND dialog = ExpectDialog(patcher, true);
        HWND box = ExpectBox(patcher, kind, result);
        // The result box comes after the dialog is gone and has no owner.
        EXPECT_FALSE(dialog && IsWindow(dialog)) << "the progress dialog still exists under the result box";
        if (box) Press(box, IDOK);
        return ExpectExitWithoutWindow(patcher);
    }

    // Runs the good update's patch and checks everything it leaves.
    void ExpectGoodUpdate(const fs::path& patch, const std::function<void()>& whileAsking = {});

    // Writes the update's patch (version list without reserved bits) into the scratch folder.
    fs::path WriteUpdate() {
        fs::path patch = scratch_.Root() / L"patch.exe";
        WritePatch(patch, Payload(VersionList(NewRecords())));
        return patch;
    }
    // The records of the new list once the one of the file that is not there is pruned.
    std::vector<Record> KeptRecords() const {
        std::vector<Record> kept = NewRecords();
        kept.pop_back();
        return kept;
    }
    // Each file (by its record's name) holds its content.
    void ExpectFiles(const std::vector<Record>& files) {
        for (const Record& f : files) EXPECT_TRUE(FileHolds(game_ / testutil::FromUtf8(f.name), f.data));
    }
    void ExpectUpdatedFolderNames() {
        EXPECT_EQ(ListFolder(game_), (std::vector<std::string>{"QMK.hvl", "data1.arc", "data2.arc", "extra.arc",
                                                                "game.exe", "movie.arc", "sound", "uninst.lst"}));
    }

};

void UpdateTest::ExpectGoodUpdate(const fs::path& patch, const std::function<void()>& whileAsking) {
    EXPECT_EQ(RunToResult(patch, BoxKind::Information, kCompletedText, whileAsking), kExitOk);

    ExpectFiles({{"data1.arc", data1_}, {"data2.arc", data2_}, {"extra.arc", extra_}, {"sound\\bgm.arc", bgm_},
                 {"game.exe", exe_}, {"movie.arc", movie_}});
    ExpectUpdatedFolderNames();
    EXPECT_EQ(ListFolder(game_ / L"sound"), std::vector<std::string>{"bgm.arc"});
    // The new list, less the record of the file that is not there; header and records as stored.
    EXPECT_TRUE(FileHolds(game_ / L"QMK.hvl", VersionList(KeptRecords(), kReserved)));
    // Lower case, LF, no duplicates, new names after the old ones, '$' lines last, a zero byte at the end.
    EXPECT_TRUE(FileHolds(game_ / L"uninst.lst",
              std::string("game.exe\ndata1.arc\nqmk.hvl\nmovie.arc\nuninst.lst\ndata2.arc\nextra.arc\n"
                          "sound\\bgm.arc\n$registry marblehollow\n") +
                  '\0'));
}

TEST_F(UpdateTest, GoodPatchInstallsEveryFileAndRecordsThem) {
    fs::path patch = scratch_.Root() / L"patch.exe";
    WriteGoodPatch(patch);
    ExpectGoodUpdate(patch);
}

// While the confirmation waits, another program of the same user tries to put another valid patch at
// the running patch's name: the patcher holds its own file, so neither the rename nor the copy goes
// through, and the patch that was started is the one installed.
TEST_F(UpdateTest, RunningPatchCannotBeSwappedWhileTheConfirmationWaits) {
    const fs::path patch = scratch_.Root() / L"patch.exe", other = scratch_.Root() / L"other.exe";
    WriteGoodPatch(patch);
    WritePatch(other, {{"data1.arc", "another patch"}});
    ExpectGoodUpdate(patch, [&] {
        EXPECT_FALSE(MoveFileExW(patch.c_str(), (scratch_.Root() / L"away.exe").c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(CopyFileW(other.c_str(), patch.c_str(), FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    });
}

// The same patch as publishers ship it, signed (scripts/e2e signs it with osslsigncode and a throwaway
// certificate): the certificate table behind the payload changes nothing for the patcher.
TEST_F(UpdateTest, SignedPatchInstallsLikeTheUnsignedOne) {
    if (SignedPatchPath().empty()) GTEST_SKIP() << "no --signed-patch given";
    fs::path unsigned_ = scratch_.Root() / L"patch.exe";
    WriteGoodPatch(unsigned_);
    const std::string plain = ReadAll(unsigned_);
    const std::string signedBytes = ReadAll(SignedPatchPath());
    // Signed indeed: the same payload with the certificate table after it, named in the PE header.
    ASSERT_GT(signedBytes.size(), plain.size());
    EXPECT_NE(CertificateTableSize(signedBytes), 0u);
    EXPECT_EQ(CertificateTableSize(plain), 0u);
    EXPECT_EQ(signedBytes.compare(0x60000, plain.size() - 0x60000, plain, 0x60000, plain.size() - 0x60000), 0);

    fs::path patch = scratch_.Root() / L"signed.exe";
    fs::copy_file(SignedPatchPath(), patch);
    ExpectGoodUpdate(patch);
}

TEST_F(UpdateTest, MissingUninstallListIsReportedAfterTheFilesAreInstalled) {
    const fs::path patch = WriteUpdate();
    fs::remove(game_ / L"uninst.lst");

    EXPECT_EQ(RunToResult(patch, BoxKind::Warning, kUninstallListText), kExitUninstallListFailed);

    ExpectFiles({{"data1.arc", data1_}, {"sound\\bgm.arc", bgm_}, {"QMK.hvl", VersionList(KeptRecords())}});
    EXPECT_FALSE(fs::exists(game_ / L"uninst.lst")) << "the merge must not create the list";
}

// Runs that stop before anything is replaced: the folder is exactly as before, no temporary file.
TEST_F(UpdateTest, FailedRunsLeaveTheInstallFolderAsItWas) {
    std::vector<Record> records = NewRecords();
    std::vector<PayloadFile> tooMany;
    for (int i = 0; i < 33; ++i) tooMany.push_back({"file" + std::to_string(i) + ".arc", "x"});

    const struct {
        const char* name;
        std::vector<PayloadFile> payload;
        bool removeSoundFolder;
        const Message& text;
        DWORD exitCode;
    } cases[] = {
        // The checksum of the last archive is wrong: the first three were extracted in vain.
        {"checksum mismatch", Payload(VersionListWithChecksum(records, 4, {1, 2, 3, 4, 5, 6, 7, 8})), false,
         kDamagedText, kExitDamaged},
        {"33 entries", tooMany, false, kDamagedText, kExitTooManyEntries},
        // BGM.ARC goes to sound\, which is gone: its temporary file cannot be created.
        {"target folder missing", Payload(VersionList(records)), true, kCannotUpdateText, kExitInstallFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.removeSoundFolder) fs::remove_all(game_ / L"sound");
        FolderSnapshot before = Snapshot(game_);
        fs::path patch = scratch_.Root() / L"patch.exe";
        WritePatch(patch, c.payload);

        EXPECT_EQ(RunToResult(patch, BoxKind::Warning, c.text), c.exitCode);

        EXPECT_EQ(Snapshot(game_), before);
    }
}

// Another program (a virus scanner, an indexer) holds a target open without delete sharing while
// the patcher commits: a thread of this driver opens extra.arc, waits until the commit has moved
// data1.arc and data2.arc and stands at extra.arc (its temporary file still there, data2.arc's gone),
// keeps it a while longer and lets go.
class Holder {
public:
    Holder(const fs::path& target, const fs::path& before, DWORD holdMs)
        : waitGone_(before.wstring() + L".tmp"), waitThere_(target.wstring() + L".tmp"), holdMs_(holdMs) {
        file_ = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ != INVALID_HANDLE_VALUE) thread_ = CreateThread(nullptr, 0, &Holder::Run, this, 0, nullptr);
    }
    ~Holder() { Release(); }
    bool Holding() const { return thread_ != nullptr; }
    // Waits for the thread; true when the commit was seen standing at the held file.
    bool Release() {
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        return blocked_;
    }

private:
    static DWORD WINAPI Run(void* self) {
        auto* h = static_cast<Holder*>(self);
        for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(2)) {
            if (GetFileAttributesW(h->waitGone_.c_str()) == INVALID_FILE_ATTRIBUTES &&
                GetFileAttributesW(h->waitThere_.c_str()) != INVALID_FILE_ATTRIBUTES) {
                h->blocked_ = true;
                break;
            }
        }
        if (h->blocked_) Sleep(h->holdMs_);
        CloseHandle(h->file_);
        h->file_ = INVALID_HANDLE_VALUE;
        return 0;
    }

    std::wstring waitGone_;
    std::wstring waitThere_;
    DWORD holdMs_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    bool blocked_ = false;
};

TEST_F(UpdateTest, TargetHeldForAMomentIsWaitedFor) {
    const fs::path patch = WriteUpdate();
    WriteAll(game_ / L"extra.arc", "extra 1.00");
    Holder holder(game_ / L"extra.arc", game_ / L"data2.arc", 300);
    ASSERT_TRUE(holder.Holding());

    EXPECT_EQ(RunToResult(patch, BoxKind::Information, kCompletedText), kExitOk);

    EXPECT_TRUE(holder.Release()) << "the commit was never seen waiting for the held file";
    ExpectFiles({{"extra.arc", extra_}, {"sound\\bgm.arc", bgm_}});
    ExpectUpdatedFolderNames();
}

// Held for longer than the patcher waits: the commit stops there, as any failed rename stops it.
TEST_F(UpdateTest, TargetHeldTooLongStopsTheCommit) {
    const fs::path patch = WriteUpdate();
    WriteAll(game_ / L"extra.arc", "extra 1.00");
    const std::string list = ReadAll(game_ / L"QMK.hvl");
    const std::string uninstall = ReadAll(game_ / L"uninst.lst");
    const std::string bgm = ReadAll(game_ / L"sound" / L"bgm.arc");
    Holder holder(game_ / L"extra.arc", game_ / L"data2.arc", 4000);
    ASSERT_TRUE(holder.Holding());

    EXPECT_EQ(RunToResult(patch, BoxKind::Warning, kCannotUpdateText), kExitInstallFailed);

    EXPECT_TRUE(holder.Release()) << "the commit was never seen waiting for the held file";
    ExpectFiles({{"data1.arc", data1_}, {"data2.arc", data2_}, {"extra.arc", "extra 1.00"}, {"sound\\bgm.arc", bgm},
                 {"QMK.hvl", list}, {"uninst.lst", uninstall}});
    ExpectUpdatedFolderNames();
}

}  // namespace
}  // namespace e2e
