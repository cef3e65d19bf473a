// patchtool build, run in-process: what it writes is read back with the patcher's own readers, every
// refusal and every failed OS call leaves no patch; and the command line's usage and wrong arguments.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <nlohmann/json.hpp>

#include "kit/release/release_build.h"
#include "unit/fault_loop.h"
#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

TEST(PatchtoolBuild, PayloadReadsBackEntryByEntry) {
    Workshop w;
    ASSERT_TRUE(OutSays(Patchtool(w.BuildArgs()), 0, "4 entries"));
    EXPECT_EQ(w.dir.List(), (std::vector<std::string>{"in", "patch.exe", "stub.exe"}));

    ReadBack back = ReadPatch(w.dir.Path("patch.exe"));
    ASSERT_EQ(back.result, UpdateOk);
    EXPECT_TRUE(back.index.wideLayout);
    ASSERT_EQ(back.index.count, 4u);
    std::uint32_t offset = 0;
    for (std::uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(w.files[i].first);
        EXPECT_EQ(back.names[i], w.files[i].first);
        EXPECT_EQ(back.index.Offset(i), offset);
        EXPECT_EQ(back.data[i], w.files[i].second);
        offset += back.index.Size(i);
        const VersionRecord* record = FindVersionRecord(back.list, Key(back.names[i]).c_str());
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, w.files[i].first.c_str());
        EXPECT_EQ(HexBytes(record->checksum, 8), ChecksumHex(w.files[i].second));
    }
    EXPECT_EQ(back.names[3], "QMK.hvl");
    EXPECT_EQ(back.index.Offset(3), offset);
    EXPECT_EQ(back.list.count, 3u);
    EXPECT_EQ(FindVersionRecord(back.list, "qmk.hvl"), nullptr);

    // Byte for byte the layout the in-memory encoders make: stub, zero fill, header, index, data.
    std::vector<PayloadFile> payload;
    for (const auto& f : w.files) payload.push_back({f.first, f.second});
    payload.push_back({"QMK.hvl", EncodeVersionListOf(payload)});
    EXPECT_TRUE(w.dir.Read("patch.exe") == EncodePatch(w.stub, EncodeArchive(payload, false)));
}

TEST(PatchtoolBuild, LegacyIndexHoldsShortNamesOnly) {
    Workshop w;
    std::vector<std::string> args = w.BuildArgs();
    args.insert(args.begin() + 1, "--legacy-index");
    Outcome built = Patchtool(args);
    ASSERT_EQ(built.code, 0) << built.err;
    std::string patch = w.dir.Read("patch.exe");
    EXPECT_EQ(patch.substr(kPayloadOffset, 12), "MORVEN ARC10");
    ReadBack back = ReadPatch(w.dir.Path("patch.exe"));
    ASSERT_EQ(back.result, UpdateOk);
    EXPECT_FALSE(back.index.wideLayout);
    EXPECT_EQ(back.index.dataStart, kIndexOffset + 4 * kLegacyEntrySize);
    EXPECT_EQ(back.names, (std::vector<std::string>{"data1.arc", "empty.dat", "テスト.dat", "QMK.hvl"}));
    EXPECT_EQ(back.data[2], w.files[2].second);
    EXPECT_EQ(patch.size(), back.index.dataStart + back.index.Offset(3) + back.index.Size(3));

    // 15 bytes fit the legacy field with its terminator, 16 do not; the wide index takes both.
    Workshop fits, tooLong;
    fits.Add("fifteen-bytes.x", "a");
    tooLong.Add("sixteen-bytes.xy", "b");
    args = fits.BuildArgs();
    args.push_back("--legacy-index");
    EXPECT_EQ(Patchtool(args).code, 0);
    args = tooLong.BuildArgs();
    EXPECT_EQ(Patchtool(args).code, 0);
    args.push_back("--legacy-index");
    args[4] = tooLong.At("legacy.exe");
    EXPECT_TRUE(ErrSays(Patchtool(args), 1, "at most 15 bytes"));
}

TEST(PatchtoolBuild, UpdatesAGivenVersionListInItsLayout) {
    for (bool v1 : {false, true}) {
        SCOPED_TRACE(v1 ? "version 1" : "version 2");
        Workshop w;
        // data\DATA1.ARC matches data1.arc by its final component in any ASCII case; other.exe is
        // no file of the patch and keeps every byte, those after its terminator included.
        std::string matched = RawRecord(v1, "data\\DATA1.ARC", "junk", 0x11);
        std::string other = RawRecord(v1, "other.exe", "\x7f\x01", 0x22);
        std::string given = RawVersionList(v1, 0xA1B2C3D4, {matched, other});
        w.dir.Write("given.hvl", given);
        std::vector<std::string> args = w.BuildArgs();
        args.insert(args.end(), {"--version-list", w.At("given.hvl")});
        ASSERT_TRUE(OutSays(Patchtool(args), 0, "1 records updated, 2 added"));

        ReadBack back = ReadPatch(w.dir.Path("patch.exe"));
        ASSERT_EQ(back.result, UpdateOk);
        std::string packed = back.data.back();
        std::uint32_t recordSize = v1 ? kRecordSizeV1 : kRecordSizeV2;
        ASSERT_EQ(packed.size(), kVersionListHeaderSize + 4 * recordSize);
        EXPECT_EQ(packed.substr(0, 12), given.substr(0, 12));  // magic and reserved bytes
        EXPECT_EQ(LoadLe32(reinterpret_cast<const std::uint8_t*>(packed.data()) + 12), 4u);

        std::uint32_t field = recordSize - 8;
        std::string first = packed.substr(kVersionListHeaderSize, recordSize);
        EXPECT_EQ(first.substr(0, field), matched.substr(0, field));
        const std::string sum = ChecksumHex(w.files[0].second);
        EXPECT_EQ(HexBytes(first.data() + field, 8), sum);
        EXPECT_EQ(packed.substr(kVersionListHeaderSize + recordSize, recordSize), other);
        std::string appended = packed.substr(kVersionListHeaderSize + 3 * recordSize, recordSize);
        EXPECT_EQ(appended.substr(0, field), std::string("テスト.dat") + std::string(field - 13, '\0'));

        // The patcher finds the same records.
        const VersionRecord* record = FindVersionRecord(back.list, "data1.arc");
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, "data\\DATA1.ARC");
        EXPECT_EQ(HexBytes(record->checksum, 8), sum);
        EXPECT_NE(FindVersionRecord(back.list, Key("empty.dat").c_str()), nullptr);
    }
}

TEST(PatchtoolBuild, SameInputsGiveTheSameBytes) {
    Workshop w;
    ASSERT_EQ(Patchtool(w.BuildArgs("one.exe")).code, 0);
    ASSERT_EQ(Patchtool(w.BuildArgs("two.exe")).code, 0);
    EXPECT_TRUE(w.dir.Read("one.exe") == w.dir.Read("two.exe"));
    // Building over an existing patch replaces it.
    w.dir.Write("two.exe", "old");
    ASSERT_EQ(Patchtool(w.BuildArgs("two.exe")).code, 0);
    EXPECT_TRUE(w.dir.Read("one.exe") == w.dir.Read("two.exe"));
}

TEST(PatchtoolBuild, RefusalsWriteNoFile) {
    struct Case {
        const char* what;
        std::function<void(Workshop&, std::vector<std::string>&)> setup;
        const char* message;
        std::string list = {};  // given as --version-list, unless empty
    };
    const std::vector<Case> cases = {
        {"stub longer than 0x60000",
         [](Workshop& w, auto&) { w.stub = MakeStub(kPayloadOffset - 0x200 + 1); },
         "must end by 0x60000"},
        {"nonzero bytes after the image",
         [](Workshop& w, auto&) { w.stub = MakeStub(0x400, std::string(100, '\0') + "\x01"); },
         "1 nonzero bytes after the image end 0x600"},
        {"--game-version and a stub without a caption slot", [](Workshop&, auto& args) { args.insert(args.end(), {"--game-version", "1.02"}); },
         "has no section .caption; build the stub from this kit's source"},
        {"--game-version and a damaged caption slot",
         [](Workshop& w, auto& args) {
             w.stub = CaptionStub();
             w.stub[kStubSlot] ^= 1;
             args.insert(args.end(), {"--game-version", "1.02"});
         },
         "caption slot is damaged (no marker VLMCAPT1)"},
        {"stub that is no PE file", [](Workshop& w, auto&) { w.stub = "MZ but nothing else"; }, "not a Windows executable"},
        {"stub whose section runs past its end",
         [](Workshop& w, auto&) { w.stub = MakeStub(0x400).substr(0, 0x500); },
         "past the end of the file"},
        {"33 entries",
         [](Workshop& w, auto&) { for (int i = 0; w.files.size() < 32; ++i) w.Add("f" + std::to_string(i), "x"); },
         "33 entries (32 files and QMK.hvl); a payload holds at most 32; build --split cuts"},
        {"name longer than its field", [](Workshop& w, auto&) { w.Add(std::string(96, 'n'), "x"); },
         "at most 95 bytes"},
        {"same name in another case",
         [](Workshop& w, auto& args) {
             w.dir.Write("in/sub/DATA1.Arc", "y");
             args.push_back(w.In("sub/DATA1.Arc"));
         },
         "same name apart from letter case"},
        {"a file named like the version list",
         [](Workshop& w, auto& args) {
             w.dir.Write("in/sub/qmk.HVL", "y");
             args.push_back(w.In("sub/qmk.HVL"));
         },
         "name of the version list entry"},
        {"'..' as a name", [](Workshop& w, auto& args) { args.push_back(w.In("sub/..")); },
         "would leave the install folder"},
        {"':' in a name", [](Workshop& w, auto& args) { args.push_back(w.In("a:b")); }, "contains ':'"},
        {"record for ../x", {}, "would leave the install folder",
         RawVersionList(false, 0, {RawRecord(false, "..\\data1.arc", "", 0)})},
        {"list with a record for itself", {}, "record for the version list itself",
         RawVersionList(false, 0, {RawRecord(false, "QMK.hvl", "", 0)})},
        {"list that is none", {}, "not a version list", std::string(16, 'Q')},
        {"list cut short", {}, "counts 1 records (64 bytes) but only 24 bytes",
         RawVersionList(true, 0, {RawRecord(true, "a", "", 0)}).substr(0, 40)},
        {"name too long for a version-1 record", [](Workshop& w, auto&) { w.Add(std::string(56, 'v'), "x"); },
         "does not fit a version-1 record", RawVersionList(true, 0, {})},
        {"missing file", [](Workshop& w, auto& args) { args.push_back(w.In("nothing.arc")); }, "no such file"},
        {"a folder as a file", [](Workshop& w, auto& args) { args.push_back(w.In("sub")); }, "not a regular file"},
        {"split: a file no part can hold",
         [](Workshop& w, auto& args) {
             w.dir.Write("in/huge.arc", "");
             std::filesystem::resize_file(w.dir.Native("in/huge.arc"), 0x7FFFFFFFull - kIndexOffset - 2 * kWideEntrySize);
             args.insert(args.end(), {"--split", w.In("huge.arc")});
         },
         "huge.arc: 2147090159 bytes; a patch of it alone would be 2147484687 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Workshop w;
        std::vector<std::string> extra;
        if (c.setup) c.setup(w, extra);
        if (!c.list.empty()) {
            w.dir.Write("list.hvl", c.list);
            extra.insert(extra.end(), {"--version-list", w.At("list.hvl")});
        }
        std::vector<std::string> args = w.BuildArgs();
        args.insert(args.end(), extra.begin(), extra.end());
        Outcome refused = Patchtool(args);
        EXPECT_TRUE(ErrSays(refused, 1, c.message));
        EXPECT_EQ(refused.out, "");
        for (const std::string& name : w.dir.List()) EXPECT_FALSE(Contains(name, "patch"));
    }
}

TEST(PatchtoolBuild, PatchReachingTwoGigabytesIsRefusedBeforeCopying) {
    Workshop w;
    w.files.clear();
    w.dir.Write("in/huge.arc", "");
    // Stub area, header, two index entries and a one-record list leave exactly this much below 2 GiB.
    std::uintmax_t room = 0x80000000ull - kIndexOffset - 2 * kWideEntrySize - (kVersionListHeaderSize + kRecordSizeV2);
    std::filesystem::resize_file(w.dir.Native("in/huge.arc"), room);
    std::vector<std::string> args = w.BuildArgs();
    args.push_back(w.In("huge.arc"));
    EXPECT_TRUE(ErrSays(Patchtool(args), 1, "would be 2147483648 bytes; it must stay below 2 GiB"));
    EXPECT_FALSE(w.dir.Exists("patch.exe"));
    EXPECT_FALSE(w.dir.Exists("patch.exe.partial"));
    std::filesystem::remove(w.dir.Native("in/huge.arc"));
}

TEST(PatchtoolBuild, EveryFailedOsCallLeavesNoPatch) {
    // One patch, a split into two parts, and a release build (the three files of "in" added to an
    // empty release) split into three: every part is complete, and proved, before any takes its name.
    for (const char* mode : {"one patch", "split", "release"}) {
        SCOPED_TRACE(mode);
        const bool split = mode != std::string("one patch"), release = mode == std::string("release");
        Workshop w;
        w.files.resize(2);
        w.BuildArgs();  // writes the stub
        w.dir.MakeDir("old");
        std::vector<std::string> outputs = {"patch.exe"};
        BuildRequest request;
        request.stubPath = w.At("stub.exe");
        request.outPath = w.At("patch.exe");
        request.split = split;
        request.limits.maxFiles = 1;
        const ReleaseRequest releases{request, {w.At("old")}, w.At("in"), ""};
        request.files = {w.In(w.files[0].first), w.In(w.files[1].first)};
        if (split) outputs = {"patch.part1of2.exe", "patch.part2of2.exe"};
        if (release) outputs = {"patch.part1of3.exe", "patch.part2of3.exe", "patch.part3of3.exe"};
        std::vector<std::string> good;
        FaultOs fault;
        ForEachFailedCall(
            fault,
            [&] {
                for (const std::string& out : outputs) std::filesystem::remove(w.dir.Native(out));
                BuildSummary summary;
                ReleasePlan plan;
                std::string error;
                bool built = release ? BuildFromReleases(releases, &plan, &error) : BuildPatch(request, &summary, &error);
                EXPECT_EQ(built, error.empty()) << error;
                return built ? 0 : 1;
            },
            [&](int code) {
                ASSERT_EQ(code, 0);
                for (const std::string& out : outputs) good.push_back(w.dir.Read(out));
            },
            [&](int, int code) {
                int partialsLeft = 0;
                for (std::size_t k = 0; k < outputs.size(); ++k) {
                    if (code == 0) {
                        EXPECT_TRUE(w.dir.Read(outputs[k]) == good[k]);
                    } else {
                        EXPECT_FALSE(w.dir.Exists(outputs[k]));
                    }
                    if (w.dir.Exists(outputs[k] + ".partial")) {
                        ++partialsLeft;
                        std::filesystem::remove(w.dir.Native(outputs[k] + ".partial"));
                    }
                }
                // Only a failed delete of a partial file can leave it behind (a release build's are staged).
                EXPECT_EQ(partialsLeft, fault.FailedKind() == OsCall::RemoveFile && !release ? 1 : 0);
                EXPECT_FALSE(w.dir.Exists(".patchtool-patch.exe.staging"));
            });
    }
}

TEST(PatchtoolBuild, NameAndImageChecks) {
    const std::vector<std::pair<std::string, bool>> entryNames = {
        {"a.arc", true}, {"テキスト.arc", true}, {"", false}, {".", false}, {"..", false}, {"a/b", false},
        {"a\\b", false}, {"c:x", false}, {"a?b", false}, {"a\tb", false}, {"trailing.", false},
        {"trailing ", false}, {"..x", true},
    };
    for (const auto& [name, ok] : entryNames) EXPECT_EQ(EntryNameProblem(name).empty(), ok) << name;
    const std::vector<std::pair<std::string, bool>> recordNames = {
        {"data\\a.arc", true}, {"data/sub/a.arc", true}, {"a..b", true},    {"", false},
        {"\\a", false},        {"/a", false},             {"c:\\a", false}, {"data\\..\\..\\a", false},
        {"..", false},         {"x/..", false},
    };
    for (const auto& [name, ok] : recordNames) EXPECT_EQ(RecordNameProblem(name).empty(), ok) << name;

    std::string stub = MakeStub(0x300);
    std::uint32_t end = 0;
    std::string error;
    auto imageEnd = [&](const std::string& pe) {
        return FindImageEnd(reinterpret_cast<const std::uint8_t*>(pe.data()), pe.size(), &end, &error);
    };
    ASSERT_TRUE(imageEnd(stub));
    EXPECT_EQ(end, 0x500u);
    std::string noPe = stub;
    noPe[0x41] = 'X';
    EXPECT_FALSE(imageEnd(noPe));
    EXPECT_TRUE(Contains(error, "no PE header"));
    std::string farHeader = stub;
    Put32(farHeader, 0x3C, 0xFFFFFFF0u);
    EXPECT_FALSE(imageEnd(farHeader));
    std::string manySections = stub;
    Put16(manySections, 0x46, 0xFFFF);
    EXPECT_FALSE(imageEnd(manySections));
    EXPECT_TRUE(Contains(error, "section table is cut short"));
}

TEST(PatchtoolCommandLine, UsageAndWrongArguments) {
    Outcome help = Patchtool({"help"});
    EXPECT_TRUE(OutSays(help, 0, "patchtool build [--stub PATCHER.exe] --out PATCH.exe"));
    EXPECT_TRUE(Contains(help.out, "Exit codes"));
    Outcome bare = Patchtool({});
    EXPECT_EQ(bare.code, kExitUsage);
    EXPECT_EQ(bare.err, help.out);

    std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"build", "--stub", "s.exe", "a"}, "--out PATCH.exe is missing"},
        {{"build", "--stub"}, "--stub needs a file name"},
        {{"build", "--stub", "a", "--stub", "b"}, "--stub given twice"},
        {{"build", "--stub", "s", "--out", "o", "--fast"}, "unknown option --fast"},
        {{"list"}, "list: needs exactly one file"},
        {{"verify", "a", "b"}, "verify: needs exactly one file"},
        {{"apply", "p.exe"}, "apply: needs PATCH.exe and FOLDER"},
        {{"build", "--out", "o", "--game-version", "1.02", "--game-version", "1.03"}, "--game-version given twice"},
    };
    for (const char* text : {"", "1.02 beta", "1.02!", "v1/2", "１.０２", "12345678901234567", "1.02;"}) {
        wrong.push_back({{"build", "--out", "o", "--game-version", text}, "build: --game-version \"" + std::string(text) +
                         "\": give 1 to 16 ASCII letters, digits, '.', '-' or '_', as in 1.02"});
    }
    for (const auto& [args, message] : wrong) EXPECT_TRUE(ErrSays(Patchtool(args), kExitUsage, message));
}

TEST(PatchtoolBuild, WithoutStubTheInstalledOneIsUsedAndNamed) {
    Workshop w;
    std::vector<std::string> args = w.BuildArgs();
    args.erase(args.begin() + 1, args.begin() + 3);  // --stub stub.exe
    ConsoleIo io;
    io.defaultStub = w.At("stub.exe");
    EXPECT_TRUE(OutSays(Patchtool(args, io), 0, "stub: " + w.At("stub.exe") + " (the installed patcher stub)\n"));
    EXPECT_EQ(ReadPatch(w.dir.Path("patch.exe")).result, UpdateOk);

    io.defaultStub = w.At("nowhere/patcher.exe");
    EXPECT_TRUE(ErrSays(Patchtool(args, io), kExitFailed, "no --stub given and no installed patcher stub"));
    EXPECT_FALSE(w.dir.Exists("nowhere"));
}

// The caption slot read as the patcher reads it, its checksum, and a stamped build shown by every command.
TEST(PatchtoolBuild, GameVersionStampsTheCaption) {
    CaptionSlot unterminated = MakeCaptionSlot("1.02"), wrongMarker = unterminated, empty = unterminated;
    std::fill(std::begin(unterminated.text), std::end(unterminated.text), u'x');
    wrongMarker.marker[7] ^= 1;
    empty.text[0] = 0;
    const std::u16string builtIn = u"「ヴェルモラ」 ver 1.01 更新パッチ", stamped = u"「ヴェルモラ」 ver 1.02-rc_3 更新パッチ";
    for (const auto& [slot, caption] : {std::pair{MakeCaptionSlot("1.02-rc_3"), stamped}, {unterminated, builtIn},
                                        {wrongMarker, builtIn}, {empty, builtIn}}) {
        EXPECT_EQ(std::u16string(SlotCaption(slot)), caption);
    }
    // Words summed with the carry folded back, the CheckSum field left out, and the length added.
    EXPECT_EQ(PeChecksum(reinterpret_cast<const std::uint8_t*>("\x01\x02\x03\x04\x05"), 5, 8), 0x060Eu);
    EXPECT_EQ(PeChecksum(reinterpret_cast<const std::uint8_t*>("\x01\x02\xAA\xBB\xCC\xDD\x05\x06"), 8, 2), 0x080Eu);
    EXPECT_EQ(PeChecksum(reinterpret_cast<const std::uint8_t*>("\xFF\xFF\x02\x00"), 4, 8), 6u);

    Workshop w;
    w.stub = CaptionStub();
    EXPECT_TRUE(OutSays(Patchtool(w.BuildArgs("plain.exe")), 0, "caption: " + ToUtf8(builtIn) + "\n"));
    std::vector<std::string> args = w.BuildArgs();
    args.insert(args.end(), {"--game-version", "1.02-rc_3"});
    EXPECT_TRUE(OutSays(Patchtool(args), 0, "caption: " + ToUtf8(stamped) + "\n"));
    EXPECT_TRUE(Contains(Patchtool({"verify", w.At("patch.exe")}).out, "caption: " + ToUtf8(stamped) + "\n"));
    EXPECT_EQ(nlohmann::json::parse(Patchtool({"list", "--json", w.At("patch.exe")}).out)["caption"]["text"], ToUtf8(stamped));
    // Only the slot and the CheckSum moved; the CheckSum is the stamped stub's.
    const std::string before = w.dir.Read("plain.exe"), after = w.dir.Read("patch.exe");
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        const bool slot = i >= kStubSlot && i < kStubSlot + sizeof(CaptionSlot), sum = i >= kStubChecksum && i < kStubChecksum + 4;
        if (!slot && !sum) {
            ASSERT_EQ(before[i], after[i]) << i;
        }
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(after.data());
    EXPECT_EQ(LoadLe32(bytes + kStubChecksum), PeChecksum(bytes, w.stub.size(), kStubChecksum));

    // A damaged slot: the patcher shows the built-in caption, and list says so.
    std::fill(w.stub.begin() + kStubSlot + 8, w.stub.begin() + kStubSlot + 8 + 2 * kCaptionSlotUnits, 'x');
    ASSERT_EQ(Patchtool(w.BuildArgs("damaged.exe")).code, 0);
    EXPECT_TRUE(Contains(Patchtool({"list", w.At("damaged.exe")}).out,
                         "caption: " + ToUtf8(builtIn) + " (the built-in one: the caption slot is damaged)\n"));
}

}  // namespace
