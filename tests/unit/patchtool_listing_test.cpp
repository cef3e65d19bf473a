// patchtool list / verify / hvl: what they say of a patch or a version list, and what they return.
#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

TEST(PatchtoolInspect, ListShowsLayoutEntriesAndRecords) {
    HandMadePatch p;
    Outcome listed = Patchtool({"list", p.Make(false)});
    ASSERT_EQ(listed.code, 0) << listed.err;
    ExpectContainsAll(listed.out,
                      {"layout: magic \"MORVEN ARC20\", 128-byte index entries", "entries: 3\n", "data start: 0x60190\n",
                       "version list: entry 2 \"QMK.hvl\", version 2, 2 records",
                       "  0  データ.arc  offset 0  size 5000  -> record \"data\\データ.arc\" checksum " +
                           ChecksumHex(p.first) + "\n",
                       "  1  B.BIN  offset 5000  size 70  -> record \"b.bin\" checksum " + ChecksumHex(p.second) + "\n",
                       "  2  QMK.hvl  offset 5070  size 528  -> no record: installed unverified\n"});

    nlohmann::json doc = nlohmann::json::parse(Patchtool({"list", "--json", p.Make(false)}).out);
    EXPECT_EQ(doc["entries"].size(), 3u);
    EXPECT_EQ(doc["entries"][0]["record"]["name"], "data\\データ.arc");
    EXPECT_EQ(doc["entries"][2]["record"], nullptr);
    EXPECT_EQ(doc["signature"]["state"], "none");

    Outcome legacy = Patchtool({"list", p.Make(true)});
    ASSERT_EQ(legacy.code, 0);
    ExpectContainsAll(legacy.out, {"legacy 32-byte index entries", "data start: 0x60070\n"});
}

TEST(PatchtoolInspect, VerifyPassesAGoodPatchAndFailsDamage) {
    HandMadePatch p;
    Outcome good = Patchtool({"verify", p.Make(false)});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    ExpectContainsAll(good.out, {"OK          \"データ.arc\": checksum " + ChecksumHex(p.first), "unverified  \"QMK.hvl\"",
                                 "3 entries: 2 OK, 1 unverified, 0 failed"});

    Outcome tampered = Patchtool({"verify", p.Make(false, 77)});
    EXPECT_EQ(tampered.code, 1);
    ExpectContainsAll(tampered.out, {"MISMATCH    \"データ.arc\": record \"data\\データ.arc\" expects " +
                                         ChecksumHex(p.first),
                                     "OK          \"B.BIN\"", "the patcher would stop with UpdateDamaged (0x80000001)"});

    // Damage to the archive itself, with the patcher's result.
    std::string patch = p.dir.Read("patch.exe");
    std::string tooMany = patch;
    Put32(tooMany, kPayloadOffset + 12, 33);
    std::string shortIndex = patch.substr(0, kIndexOffset + 200);
    std::string pastEnd = patch.substr(0, patch.size() - 1);
    std::string unsafe = EncodePatch(MakeStub(), EncodeArchive({{"..", "x"}}, false));
    const std::vector<std::tuple<const char*, std::string, int, const char*>> damaged = {
        {"33 entries", tooMany, 2, "UpdateTooManyEntries (0x80000002): the header counts 33 entries"},
        {"short index", shortIndex, 1, "UpdateDamaged (0x80000001): the index of 3 entries needs 384 bytes"},
        {"no payload", MakeStub(), 1, "holds no payload"},
        {"entry past the end", pastEnd, 1, "DAMAGED     \"QMK.hvl\": its 528 bytes run past the end"},
        {"name leaving the folder", unsafe, 1, "would leave the install folder"},
    };
    for (const auto& [what, bytes, code, message] : damaged) {
        SCOPED_TRACE(what);
        p.dir.Write("damaged.exe", bytes);
        Outcome outcome = Patchtool({"verify", ToUtf8(p.dir.Native("damaged.exe"))});
        EXPECT_EQ(outcome.code, code);
        EXPECT_TRUE(Contains(outcome.out + outcome.err, message));
    }
    EXPECT_EQ(Patchtool({"list", ToUtf8(p.dir.Native("damaged.exe"))}).code, 0);
    p.dir.Write("damaged.exe", tooMany);
    EXPECT_EQ(Patchtool({"list", ToUtf8(p.dir.Native("damaged.exe"))}).code, 1);
}

TEST(PatchtoolInspect, HvlPrintsEveryRecord) {
    TempDir dir;
    std::string sjis = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";
    std::string unterminated(kNameFieldV1, 'u');
    std::string list = RawVersionList(true, 0x04030201,
                                      {RawRecord(true, sjis, "", 0xAB), RawRecord(true, "sub\\b.exe", "", 0x01)});
    list += unterminated + std::string(8, '\0');
    Put32(list, 12, 3);
    dir.Write("v1.hvl", list + "xyz");
    Outcome shown = Patchtool({"hvl", ToUtf8(dir.Native("v1.hvl"))});
    ASSERT_EQ(shown.code, 0) << shown.err;
    ExpectContainsAll(shown.out, {"layout: version 1 (\"QHV_____\", 64-byte records)\n", "reserved: 01 02 03 04\n",
                                  "records: 3\n", "  0  abababababababab  データ.arc\n", "  1  0101010101010101  sub\\b.exe\n",
                                  "  2  0000000000000000  " + unterminated + "  [no terminator", "trailing: 3 bytes"});

    dir.Write("short.hvl", list.substr(0, list.size() - 1));
    EXPECT_TRUE(ErrSays(Patchtool({"hvl", ToUtf8(dir.Native("short.hvl"))}), 1,
                        "counts 3 records (192 bytes) but only 191 bytes"));
    EXPECT_EQ(Patchtool({"hvl", ToUtf8(dir.Native("missing.hvl"))}).code, 1);
}

}  // namespace
