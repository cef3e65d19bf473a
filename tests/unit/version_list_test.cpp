// The version list: loading it from a payload in both layouts, the lookup by final path component,
// records outside the format, and the prune of the installed copy including failures of its rewrite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "unit/fault_loop.h"
#include "unit/patch_format.h"
#include "unit/test_util.h"
#include "update/archive.h"
#include "update/version_list.h"

namespace {

using testutil::Bytes;
using testutil::TempDir;

VersionListEntry Entry(const std::string& name, std::uint8_t tag) {
    VersionListEntry e;
    e.name = name;
    for (int i = 0; i < 8; ++i) e.checksum[i] = static_cast<std::uint8_t>(tag * 16 + i);
    return e;
}

std::string Sum(const VersionRecord& r) { return std::string(reinterpret_cast<const char*>(r.checksum), 8); }
std::string Sum(const VersionListEntry& e) { return std::string(reinterpret_cast<const char*>(e.checksum), 8); }

VersionList Load(const std::vector<PayloadFile>& files, bool legacyIndex = false) {
    TempDir dir;
    dir.Write("patch.exe", EncodePatch("MZ", EncodeArchive(files, legacyIndex)));
    ReadBack back = ReadPatch(dir.Path("patch.exe"));
    EXPECT_EQ(back.result, UpdateOk);
    return std::move(back.list);
}

VersionList LoadList(const std::string& list) { return Load({{"a.arc", "aaa"}, {"QMK.hvl", list}}); }

const char* FoundName(const VersionList& list, const char* key) {
    const VersionRecord* r = FindVersionRecord(list, key);
    return r ? r->name : "(none)";
}

TEST(VersionList, LoadsBothLayoutsIntoWideRecords) {
    const std::vector<VersionListEntry> entries = {Entry("game.exe", 1), Entry("a.arc", 2), Entry("b.arc", 3)};
    for (bool v1 : {false, true}) {
        for (bool legacyIndex : {false, true}) {
            SCOPED_TRACE(std::string(v1 ? "v1" : "v2") + (legacyIndex ? " legacy index" : ""));
            VersionList list = Load({{"a.arc", "x"}, {"QMK.hvl", EncodeVersionList(entries, v1, 0xDEADBEEF)}},
                                    legacyIndex);
            ASSERT_EQ(list.count, 3u);
            for (std::uint32_t i = 0; i < 3; ++i) {
                EXPECT_STREQ(list.records[i].name, entries[i].name.c_str());
                EXPECT_EQ(Sum(list.records[i]), Sum(entries[i]));
            }
            const VersionRecord* found = FindVersionRecord(list, "b.arc");
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found, &list.records[2]);
            EXPECT_EQ(FindVersionRecord(list, "qmk.hvl"), nullptr);  // the list has no record for itself
        }
    }
}

TEST(VersionList, WhichEntryIsTheList) {
    const std::string good = EncodeVersionList({Entry("a.arc", 1)}, false);
    const std::string other = EncodeVersionList({Entry("a.arc", 2), Entry("b.arc", 3)}, false);
    const std::string badMagic = "QHV_V3__" + good.substr(8);
    struct Case {
        const char* what;
        std::vector<PayloadFile> files;
        std::uint32_t count;
    } cases[] = {
        {"upper case", {{"a.arc", "a"}, {"QMK.HVL", good}}, 1},
        {"lower case", {{"qmk.hvl", good}}, 1},
        {"first of two wins", {{"Qmk.Hvl", good}, {"QMK.hvl", other}}, 1},
        {"first has a bad magic", {{"QMK.hvl", badMagic}, {"qmk.hvl", other}}, 0},
        {"no list", {{"a.arc", good}}, 0},
        {"directory in front", {{"sub\\QMK.hvl", good}}, 0},
        {"full-width letters differ", {{"\xEF\xBC\xB1MK.hvl", good}}, 0},
        {"bad magic", {{"QMK.hvl", badMagic}}, 0},
        {"magic in other case", {{"QMK.hvl", "QHV_v2__" + good.substr(8)}}, 0},
        {"short header", {{"QMK.hvl", good.substr(0, 15)}}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VersionList list = Load(c.files);
        EXPECT_EQ(list.count, c.count);
        if (c.count == 1) {
            EXPECT_EQ(Sum(list.records[0]), Sum(Entry("a.arc", 1)));
        }
    }
}

TEST(VersionList, CountsTheFileCannotHoldGiveAnEmptyList) {
    const std::string two = EncodeVersionList({Entry("a.arc", 1), Entry("b.arc", 2)}, false);
    const std::string twoV1 = EncodeVersionList({Entry("a.arc", 1), Entry("b.arc", 2)}, true);
    auto withCount = [](std::string list, std::uint32_t count) {
        StoreLe32(reinterpret_cast<std::uint8_t*>(list.data()) + 12, count);
        return list;
    };
    EXPECT_EQ(LoadList(withCount(two, 0)).count, 0u);
    EXPECT_EQ(LoadList(withCount(two, 3)).count, 0u);
    // count * record size wraps to one record in 32 bits.
    EXPECT_EQ(LoadList(withCount(two, 0x01000001)).count, 0u);
    EXPECT_EQ(LoadList(withCount(twoV1, 0x04000001)).count, 0u);
    EXPECT_EQ(LoadList(withCount(two, 0xFFFFFFFF)).count, 0u);
    EXPECT_EQ(LoadList(withCount(two, 1)).count, 1u);
    // The stored entry size is not consulted: records may run on into the next entry's bytes.
    const std::string record = two.substr(16 + 256);
    VersionList list = Load({{"QMK.hvl", withCount(two.substr(0, 16 + 256), 2)}, {"b.arc", record}});
    ASSERT_EQ(list.count, 2u);
    EXPECT_STREQ(list.records[1].name, "b.arc");
}

TEST(VersionList, LookupByFinalComponent) {
    const std::string cp932 = "\x83\x65\x83\x58\x83\x67.DAT";  // テスト.DAT
    VersionList list = LoadList(EncodeVersionList({Entry("game.exe", 1), Entry("data\\a.arc", 2), Entry("A.ARC", 3),
                                                   Entry("x/y/B.Arc", 4), Entry("C:sub\\c.arc", 5), Entry(cp932, 6),
                                                   Entry("\xC3\x84.arc", 7), Entry("noext", 8)},
                                                  false));
    ASSERT_EQ(list.count, 8u);
    EXPECT_STREQ(list.records[5].name, "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.DAT");  // held in UTF-8
    struct Case {
        const char* key;
        const char* found;
    } cases[] = {
        {"a.arc", "data\\a.arc"},  // the first of two with the same final component
        {"b.arc", "x/y/B.Arc"},
        {"c.arc", "C:sub\\c.arc"},
        {"\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.dat", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.DAT"},
        {"\xC3\x84.arc", "\xC3\x84.arc"},
        {"\xC3\xA4.arc", "(none)"},  // non-ASCII letters are not folded
        {"noext", "noext"},
        {"data\\a.arc", "(none)"},  // the key is a final component; a directory part never matches
        {"game", "(none)"},
        {"", "(none)"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FoundName(list, c.key), c.found) << c.key;
}

TEST(VersionList, NamesOutsideTheFormatAreNeverMatched) {
    // A v2 name filling all 248 bytes, a cp932 name whose UTF-8 form needs 1.5 times its bytes, and
    // a v1 name filling all 56 bytes; each is followed by a good record.
    std::string kana;
    for (int i = 0; i < 100; ++i) kana += "\x83\x41";  // ア: 2 bytes in cp932, 3 in UTF-8
    std::string v2 = EncodeVersionList({Entry(std::string(248, 'n'), 1), Entry(kana + ".arc", 2), Entry("n", 3)}, false);
    VersionList list = LoadList(v2);
    ASSERT_EQ(list.count, 3u);
    EXPECT_STREQ(list.records[0].name, "");
    EXPECT_STREQ(list.records[1].name, "");
    EXPECT_EQ(FoundName(list, "n"), std::string("n"));
    EXPECT_EQ(FindVersionRecord(list, ""), nullptr);

    VersionList v1 = LoadList(EncodeVersionList({Entry(std::string(56, 'm'), 1), Entry("m", 2)}, true));
    ASSERT_EQ(v1.count, 2u);
    EXPECT_STREQ(v1.records[0].name, "");
    EXPECT_EQ(FindVersionRecord(v1, "m"), &v1.records[1]);
    EXPECT_EQ(Sum(v1.records[0]), Sum(Entry("", 1)));
}

TEST(VersionList, LookupInAListBuiltInMemoryStaysInsideTheRecords) {
    VersionList list;
    list.count = 1;
    list.records = std::make_unique<VersionRecord[]>(1);
    std::memset(list.records[0].name, 'z', sizeof list.records[0].name);  // no terminator
    EXPECT_EQ(FindVersionRecord(list, "z"), nullptr);
}

// --- prune ---

class Prune : public testing::Test {
protected:
    std::string Run(const std::string& list) {
        game.Write("QMK.hvl", list);
        PruneVersionList(game.Folder().c_str());
        return game.Read("QMK.hvl");
    }
    TempDir game;
};

TEST_F(Prune, KeepsRecordsOfFilesAndFolders) {
    game.Write("game.exe", "");
    game.Write("data/a.arc", "");
    game.MakeDir("movies");
    game.Write("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.dat", "");
    const std::vector<VersionListEntry> all = {Entry("game.exe", 1), Entry("gone.arc", 2), Entry("data\\a.arc", 3),
                                               Entry("movies", 4), Entry("data\\gone.arc", 5),
                                               Entry("\x83\x65\x83\x58\x83\x67.dat", 6)};
    for (bool v1 : {false, true}) {
        SCOPED_TRACE(v1 ? "v1" : "v2");
        const std::string before = EncodeVersionList(all, v1, 0x12345678);
        std::string expected = EncodeVersionList({all[0], all[2], all[3], all[5]}, v1, 0x12345678);
        EXPECT_EQ(Run(before), expected);
        // Everything present: the same bytes; anything after the last record is dropped.
        EXPECT_EQ(Run(expected + "trailing"), expected);
    }
}

TEST_F(Prune, RecordBytesAfterTheNameAreKept) {
    game.Write("a.arc", "");
    std::string list = EncodeVersionList({Entry("a.arc", 1), Entry("b.arc", 2)}, false);
    list[16 + 100] = 'q';  // inside the name field, after the terminator
    std::string expected = list.substr(0, 16 + 256);
    StoreLe32(reinterpret_cast<std::uint8_t*>(expected.data()) + 12, 1);
    EXPECT_EQ(Run(list), expected);
}

TEST_F(Prune, EmptyListsAndNothingPresent) {
    const std::string header = EncodeVersionList({}, false, 7);
    EXPECT_EQ(Run(header), header);
    EXPECT_EQ(Run(header + std::string(40, 'x')), header);
    EXPECT_EQ(Run(EncodeVersionList({Entry("gone", 1)}, true, 9)), EncodeVersionList({}, true, 9));
}

TEST_F(Prune, UnreadableListsStayAsTheyAre) {
    const std::string two = EncodeVersionList({Entry("gone", 1), Entry("gone2", 2)}, false);
    std::string wrapped = two;
    StoreLe32(reinterpret_cast<std::uint8_t*>(wrapped.data()) + 12, 0x01000001);
    const std::string cases[] = {"QHV_V9__" + two.substr(8), two.substr(0, 15), two.substr(0, 16 + 300), wrapped, ""};
    for (const auto& list : cases) EXPECT_EQ(Run(list), list);
}

TEST_F(Prune, RecordsThatCannotBeTestedAreKept) {
    game.Write("a", "");
    const std::string list = EncodeVersionList({Entry(std::string(248, 'u'), 1), Entry("a", 2)}, false);
    EXPECT_EQ(Run(list), list);
}

// The list's own path fits the engine's 780 units, so it is rewritten (its temporary name is longer).
TEST_F(Prune, ListAtTheLengthLimitIsRewritten) {
    const auto folder = testutil::MakeFolderOfLength(game.Root(), 771);  // "\\QMK.hvl" ends at 779 units
    testutil::WriteAll(folder / "QMK.hvl", EncodeVersionList({Entry("gone", 1)}, false));
    PruneVersionList(folder.u16string().c_str());
    EXPECT_EQ(testutil::ReadAll(folder / "QMK.hvl"), EncodeVersionList({}, false));
}

TEST_F(Prune, NoListNoFile) {
    PruneVersionList(game.Folder().c_str());
    EXPECT_TRUE(game.List().empty());
}

// The rewrite fails at each of its steps: the installed list keeps its old bytes and nothing is left
// beside it.
TEST_F(Prune, FailedRewriteLeavesTheOldList) {
    game.Write("a.arc", "");
    const std::string list = EncodeVersionList({Entry("a.arc", 1), Entry("gone", 2)}, false);
    ForEachFailedKind(kRewriteFailures, [&](FaultOs&) {
        game.Write("QMK.hvl", list);
        PruneVersionList(game.Folder().c_str());
        EXPECT_EQ(game.Read("QMK.hvl"), list);
        EXPECT_EQ(game.List(), (std::vector<std::string>{"QMK.hvl", "a.arc"}));
    });
}

TEST_F(Prune, FailedReadsLeaveTheListAlone) {
    const std::string list = EncodeVersionList({Entry("gone", 1)}, false);
    for (int n : {1, 2}) {
        game.Write("QMK.hvl", list);
        FaultOs fault;
        fault.FailNth(OsCall::Read, n);
        PruneVersionList(game.Folder().c_str());
        EXPECT_EQ(fault.Count(OsCall::CreateNew), 0) << "read " << n;
        EXPECT_EQ(game.Read("QMK.hvl"), list);
    }
}

}  // namespace
