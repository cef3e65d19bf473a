// patchtool check: every record's file of an installed game found and judged, a damaged version list,
// every failed OS call, and the progress on a terminal.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "unit/fault_loop.h"
#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

TEST(PatchtoolCheck, FindsEveryRecordsFileAndSaysWhatIsWrong) {
    InstalledGame game;
    Outcome intact = Patchtool({"check", game.Folder()});
    EXPECT_EQ(intact.code, 0) << intact.out << intact.err;
    ExpectContainsAll(intact.out, {"OK          \"BIG.ARC\": " + std::to_string(game.big.size()) + " bytes, checksum " +
                                       ChecksumHex(game.big),
                                   "OK          \"data\\データ.arc\"",
                                   "check: 4 files: 4 OK, 0 modified, 0 missing, 0 unreadable\ncheck: intact\n"});
    EXPECT_EQ(intact.err, "");

    std::string changed = game.big;
    changed[kCopyChunk + 3] ^= 1;
    game.dir.Write("game/big.arc", changed);
    std::filesystem::remove(game.dir.Native("game/empty.dat"));
    game.Add("gone\\missing.arc", "x");
    game.Add("DATA", "");         // a folder
    game.Add("..\\outside", "");  // never read
    game.WriteList();
    Outcome damaged = Patchtool({"check", game.Folder()});
    EXPECT_EQ(damaged.code, kExitNotIntact);
    ExpectContainsAll(damaged.out, {
        "MODIFIED    \"BIG.ARC\": the record expects " + ChecksumHex(game.big) + ", the file gives " +
            ChecksumHex(changed) + "\n",
        "OK          \"data/utf8.dat\"",
        "MISSING     \"empty.dat\"\n",
        "MISSING     \"gone\\missing.arc\"\n",
        "UNREADABLE  \"DATA\": a folder has this name\n",
        "UNREADABLE  \"..\\outside\": the record's name would leave the install folder\n",
        "check: 7 files: 2 OK, 1 modified, 2 missing, 2 unreadable\ncheck: NOT intact",
    });

    Outcome json = Patchtool({"check", "--json", game.Folder()});
    EXPECT_EQ(json.code, kExitNotIntact);
    nlohmann::json doc = nlohmann::json::parse(json.out);
    std::vector<std::string> states;
    for (const auto& file : doc["files"]) states.push_back(file["status"]);
    EXPECT_EQ(states, (std::vector<std::string>{"MODIFIED", "OK", "OK", "MISSING", "MISSING", "UNREADABLE",
                                                 "UNREADABLE"}));
    EXPECT_EQ(doc["files"][1]["name"], "data\\データ.arc");
    EXPECT_EQ(doc["files"][0]["actual"], ChecksumHex(changed));
    EXPECT_EQ(doc["summary"], nlohmann::json({{"ok", 2}, {"modified", 1}, {"missing", 2}, {"unreadable", 2}}));
    EXPECT_EQ(doc["intact"], false);
    EXPECT_EQ(doc["exitCode"], kExitNotIntact);
}

TEST(PatchtoolCheck, AMissingOrDamagedVersionListIsAnError) {
    InstalledGame game;
    std::string list = game.dir.Read("game/QMK.hvl");
    const std::vector<std::pair<std::string, std::string>> lists = {
        {"", "damaged: only 0 bytes, shorter than the 16-byte header"},
        {"QHV_V3__" + list.substr(8), "damaged: not a version list"},
        {list.substr(0, list.size() - 1), "damaged: the header counts 4 records"},
    };
    for (const auto& [bytes, message] : lists) {
        game.dir.Write("game/QMK.hvl", bytes);
        for (bool json : {false, true}) {
            Outcome outcome = json ? Patchtool({"check", "--json", game.Folder()}) : Patchtool({"check", game.Folder()});
            EXPECT_TRUE(ErrSays(outcome, kExitFailed, message));
            if (json) { EXPECT_EQ(nlohmann::json::parse(outcome.out)["intact"], false); }
        }
    }
    std::filesystem::remove(game.dir.Native("game/QMK.hvl"));
    EXPECT_TRUE(Contains(Patchtool({"check", game.Folder()}).err, "no QMK.hvl in it"));
    EXPECT_TRUE(Contains(Patchtool({"check", game.Folder() + "/nowhere"}).err, "no such folder"));
    EXPECT_EQ(Patchtool({"check"}).code, kExitUsage);
}

TEST(PatchtoolCheck, EveryFailedOsCallIsReportedNeverPassed) {
    InstalledGame game;
    for (bool shortReads : {false, true}) {
        SCOPED_TRACE(shortReads ? "short reads" : "failed reads");
        FaultOs fault;
        fault.SetShortTransfers(shortReads);
        ForEachFailedCall(
            fault, [&] { return Patchtool({"check", game.Folder()}); },
            [](const Outcome& outcome) { ASSERT_EQ(outcome.code, 0); },
            [&](int, const Outcome& outcome) {
                if (outcome.code == 0) {
                    // A failed name conversion for display may pass; a failed read of a file's bytes never.
                    EXPECT_TRUE(Contains(outcome.out, "check: 4 files: 4 OK"));
                    if (!shortReads) { EXPECT_NE(fault.FailedKind(), OsCall::Read); }
                } else if (outcome.code == kExitFailed) {
                    EXPECT_NE(outcome.err, "");
                } else {
                    EXPECT_EQ(outcome.code, kExitNotIntact);
                    EXPECT_TRUE(Contains(outcome.out, "check: NOT intact"));
                }
            });
    }
}

TEST(PatchtoolCheck, ProgressOnlyOnATerminal) {
    InstalledGame game;
    ConsoleIo terminal;
    terminal.errIsTerminal = true;
    Outcome drawn = Patchtool({"check", game.Folder()}, terminal);
    EXPECT_TRUE(ErrSays(drawn, 0, "\r[########################] 100%  file 1  BIG.ARC"));
    EXPECT_EQ(drawn.err.back(), '\n');
    EXPECT_EQ(Patchtool({"check", game.Folder()}).err, "");

    Workshop w;
    std::vector<std::string> args = w.BuildArgs();
    EXPECT_TRUE(ErrSays(Patchtool(args, terminal), 0, "] 100%  building\n"));
    EXPECT_EQ(Patchtool(args).err, "");
}

}  // namespace
