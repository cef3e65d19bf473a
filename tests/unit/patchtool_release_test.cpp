// patchtool build --from OLD --to NEW: a patch made from two release folders, proved, and applied by
// patchtool over a copy of each older release; the refusals; a cumulative patch; a repair.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kit/release/release_folder.h"
#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // relative path ('/') to bytes

const std::string kSjisName = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";  // データ.arc in code page 932

// A release folder under dir: the files, a QMK.hvl naming each ('\' separated; recordNames replaces
// a name's bytes), and an uninst.lst.
void WriteRelease(const TempDir& dir, const std::string& folder, const Files& files, const Files& recordNames = {}) {
    std::vector<PayloadFile> records;
    for (const auto& [rel, bytes] : files) {
        dir.Write(folder + "/" + rel, bytes);
        records.push_back({recordNames.count(rel) ? recordNames.at(rel) : rel, bytes});
        std::replace(records.back().name.begin(), records.back().name.end(), '/', '\\');
    }
    dir.Write(folder + "/QMK.hvl", EncodeVersionListOf(records));
    dir.Write(folder + "/uninst.lst", "game.exe\n");
}

struct Releases {
    TempDir dir{"ヴェルモラ"};
    Files old1 = {{"a.arc", RandomBytes(kCopyChunk + 5, 1)}, {"Data/B.arc", "same"}, {"keep.txt", "keep"},
                  {"gone.txt", "old only"}, {"データ.arc", "old jp"}, {"Data/music.ogg", "v1"}};
    Files next = {{"a.arc", RandomBytes(kCopyChunk + 9, 2)}, {"data/b.arc", "same"}, {"keep.txt", "keep"},
                  {"data/new.arc", "added"}, {"new2.arc", "added too"}, {"データ.arc", "new jp"},
                  {"data/music.ogg", "v1"}};
    Releases() {
        dir.Write("stub.exe", CaptionStub());
        WriteRelease(dir, "old", old1);
        WriteRelease(dir, "new", next, {{"データ.arc", kSjisName}});
    }
    std::string At(const std::string& rel) const { return ToUtf8(dir.Native(rel)); }
    // NEW written again with these files changed.
    void ChangeNew(const Files& change) {
        Files files = next;
        for (const auto& [rel, bytes] : change) files[rel] = bytes;
        fs::remove_all(dir.Native("new"));
        WriteRelease(dir, "new", files);
    }
    Outcome Build(std::vector<std::string> args, const std::string& out = "patch.exe") {
        args.insert(args.begin(), {"build", "--stub", At("stub.exe"), "--out", At(out)});
        return Patchtool(args);
    }
    // Applies the patches over a copy of the older release and checks the outcome is the new one.
    void ExpectApplyGivesNew(const std::string& old, const std::vector<std::string>& patches,
                             const std::string& next = "new") {
        fs::remove_all(dir.Native("game"));
        fs::copy(dir.Native(old), dir.Native("game"), fs::copy_options::recursive);
        std::vector<std::string> args = {"apply"};
        for (const std::string& patch : patches) args.push_back(At(patch));
        args.push_back(At("game"));
        Outcome applied = Patchtool(args);
        ASSERT_EQ(applied.code, 0) << applied.out << applied.err;
        // Names compared as the patcher compares them: a folder renamed in case is the same folder.
        const auto tree = [&](const std::string& rel) {
            Files files;
            for (const auto& [name, bytes] : testutil::FileTree(dir.Native(rel))) files[ReleaseKey(name)] = bytes;
            files.erase("uninst.lst");
            return files;
        };
        Files game = tree("game"), want = tree(next);
        for (const auto& [rel, bytes] : tree(old)) want.emplace(rel, bytes);  // removed files stay
        EXPECT_EQ(game, want) << old;
        EXPECT_EQ(Patchtool({"check", At("game")}).code, 0);
    }
};

TEST(PatchtoolRelease, BuildsProvesAndGivesTheNewRelease) {
    Releases r;
    Outcome built = r.Build({"--from", r.At("old"), "--to", r.At("new")});
    ASSERT_EQ(built.code, 0) << built.out << built.err;
    ExpectContainsAll(built.out, {"plan: 2 changed, 2 added, 1 removed, 3 unchanged\n", "changed: a.arc (",
                                  "added: data\\new.arc (5 bytes)", "warning: \"gone.txt\" is in an older release",
                                  "proof: proved on " + r.At("old")});
    r.ExpectApplyGivesNew("old", {"patch.exe"});
    // The same inputs give the same bytes; --json gives the plan as one document.
    const std::string first = r.dir.Read("patch.exe");
    Outcome json = r.Build({"--json", "--from", r.At("old"), "--to", r.At("new")});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_TRUE(r.dir.Read("patch.exe") == first);
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["counts"], nlohmann::json({{"changed", 2}, {"added", 2}, {"removed", 1}, {"unchanged", 3}}));
    EXPECT_EQ(doc["files"].size(), 4u);

    // Cumulative: one patch for players of either release, applied to each.
    WriteRelease(r.dir, "old0", {{"a.arc", "ancient"}, {"data/b.arc", "same"}, {"keep.txt", "k0"},
                                  {"data/music.ogg", "v0"}});
    ASSERT_TRUE(OutSays(r.Build({"--from", r.At("old"), "--from", r.At("old0"), "--to", r.At("new")}, "both.exe"), 0,
                        "plan: 4 changed, 2 added, 1 removed, 1 unchanged\n"));
    r.ExpectApplyGivesNew("old", {"both.exe"});
    r.ExpectApplyGivesNew("old0", {"both.exe"});
}

TEST(PatchtoolRelease, RefusesWhatThePatcherCouldNotInstallAndWritesNothing) {
    struct Case {
        Files change;  // written into NEW
        std::string message;
    } cases[] = {
        {{{"music/new.ogg", "x"}}, "\"music\\new.ogg\": its folder is not in"},
        {{{"sub/a.arc", "other"}}, "\"sub\\a.arc\": its folder is not in"},
        {{{"data/keep.txt", "x"}, {"keep.txt", "changed"}}, "the first with the file name \"keep.txt\""},
    };
    for (const Case& c : cases) {
        Releases r;
        r.ChangeNew(c.change);
        EXPECT_TRUE(ErrSays(r.Build({"--from", r.At("old"), "--to", r.At("new")}), kExitFailed, c.message));
        EXPECT_EQ(r.dir.List(), (std::vector<std::string>{"new", "old", "stub.exe"}));
    }
    // With --split, the file the patcher would give another's record gets a part of its own whose list
    // puts its record first; the last part carries NEW's list itself.
    Releases same;
    same.ChangeNew({{"data/keep.txt", "x"}, {"keep.txt", "changed"}});
    Outcome parts = same.Build({"--split", "--json", "--from", same.At("old"), "--to", same.At("new")}, "up.exe");
    ASSERT_EQ(parts.code, 0) << parts.err;
    // A part's first file counts the files of the parts that run before it.
    const nlohmann::json built = nlohmann::json::parse(parts.out)["parts"];
    EXPECT_EQ(built[0]["firstFile"], 0);
    EXPECT_EQ(built[1]["firstFile"], 1);
    same.ExpectApplyGivesNew("old", {"up.part1of2.exe", "up.part2of2.exe"});
    EXPECT_TRUE(Contains(Patchtool({"verify", same.At("up.part2of2.exe")}).out, "agrees"));
    // What only running the patch shows: the older release has a folder where NEW has a file.
    Releases proof;
    proof.dir.MakeDir("old/new2.arc");
    EXPECT_TRUE(ErrSays(proof.Build({"--from", proof.At("old"), "--to", proof.At("new")}), kExitFailed,
                        "the proof on " + proof.At("old") + " failed: patch.exe stopped with"));
    EXPECT_EQ(proof.dir.List(), (std::vector<std::string>{"new", "old", "stub.exe"}));
    // A release whose list does not match its files must not ship.
    Releases r;
    r.dir.Write("new/keep.txt", "edited after the list was made");
    EXPECT_TRUE(ErrSays(r.Build({"--from", r.At("old"), "--to", r.At("new")}), kExitFailed,
                        "does not match the release: its records of \"keep.txt\""));
    EXPECT_FALSE(r.dir.Exists("patch.exe"));
}

TEST(PatchtoolRelease, SeventyFiveChangedFilesGoInThreeParts) {
    Releases r;
    Files before, after;
    for (int i = 0; i < 75; ++i) {
        before["f" + std::to_string(i) + ".dat"] = "old " + std::to_string(i);
        after["f" + std::to_string(i) + ".dat"] = "new " + std::to_string(i);
    }
    WriteRelease(r.dir, "o75", before);
    WriteRelease(r.dir, "n75", after);
    EXPECT_TRUE(Contains(r.Build({"--from", r.At("o75"), "--to", r.At("n75")}).err, "--split"));
    ASSERT_TRUE(OutSays(r.Build({"--split", "--from", r.At("o75"), "--to", r.At("n75")}, "up.exe"), 0,
                        "run the 3 parts in order"));
    r.ExpectApplyGivesNew("o75", {"up.part1of3.exe", "up.part2of3.exe", "up.part3of3.exe"}, "n75");
}

TEST(PatchtoolRelease, FromAVersionListAndARepairReport) {
    Releases r;
    Outcome fromList = r.Build({"--from", r.At("old/QMK.hvl"), "--to", r.At("new")});
    ASSERT_EQ(fromList.code, 0) << fromList.err;
    ExpectContainsAll(fromList.out, {"is a version list: there is no folder to run the patch over",
                                     "caption: 「ヴェルモラ」 ver 1.01 更新パッチ\n"});
    r.ExpectApplyGivesNew("old", {"patch.exe"});

    // A player's damaged game: the report lists what is not OK, the fix carries exactly those files.
    fs::copy(r.dir.Native("new"), r.dir.Native("player"), fs::copy_options::recursive);
    r.dir.Write("player/keep.txt", "damaged");
    fs::remove(r.dir.Native("player/data/new.arc"));
    r.dir.Write("report.json", Patchtool({"check", "--json", r.At("player")}).out);
    Outcome fix = r.Build({"--to", r.At("new"), "--repair", r.At("report.json"), "--split", "--game-version", "1.02"}, "fix.exe");
    ASSERT_EQ(fix.code, 0) << fix.err;
    ExpectContainsAll(fix.out, {"plan: 2 changed", "caption: 「ヴェルモラ」 ver 1.02 更新パッチ\n"});
    // With --split the one part is named as the parts of a file build are.
    EXPECT_FALSE(r.dir.Exists("fix.exe"));
    EXPECT_TRUE(Contains(Patchtool({"list", r.At("fix.part1of1.exe")}).out, "caption: 「ヴェルモラ」 ver 1.02 更新パッチ\n"));
    ASSERT_EQ(Patchtool({"apply", r.At("fix.part1of1.exe"), r.At("player")}).code, 0);
    EXPECT_EQ(Patchtool({"check", r.At("player")}).code, 0);
    // A report of another release is refused.
    r.dir.Write("report.json", Patchtool({"check", "--json", r.At("old")}).out);
    EXPECT_TRUE(Contains(r.Build({"--to", r.At("new"), "--repair", r.At("report.json")}, "fix2.exe").err,
                         "the report is of another release"));
}

}  // namespace
