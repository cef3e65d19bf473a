// patchtool, run in-process: what `build` writes is read back with the patcher's own readers, every
// refusal leaves no file, and list / verify / hvl / apply say and return what they should.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "support/file.h"
#include "support/text.h"
#include "tools/authenticode.h"
#include "tools/console_view.h"
#include "tools/install_check.h"
#include "tools/name_rules.h"
#include "tools/patch_builder.h"
#include "tools/patch_reading.h"
#include "tools/pe_image.h"
#include "tools/patch_format.h"
#include "tools/patchtool.h"
#include "tools/tool_files.h"
#include "tools/version_list_file.h"
#include "unit/fault_os.h"
#include "unit/test_util.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/version_list.h"
#include "update/entry_check.h"
#include "update/worker.h"

namespace {

using testutil::Bytes;
using testutil::MakeStub;
using testutil::RandomBytes;
using testutil::TempDir;
using testutil::ToUtf8;

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

Outcome Patchtool(std::vector<std::string> args, const ConsoleIo& io = {}) {
    args.insert(args.begin(), "patchtool");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    Outcome outcome;
    outcome.code = RunPatchtool(static_cast<int>(argv.size()), argv.data(), out, err, io);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

void Put16(std::string& s, std::size_t at, std::uint32_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    StoreLe32(reinterpret_cast<std::uint8_t*>(s.data()) + at, v);
}

std::string Key(const std::string& stored) {
    char key[800];
    EXPECT_TRUE(MakeNameKey(key, sizeof key, stored.c_str()));
    return key;
}

std::string ChecksumHex(const std::string& data) {
    std::uint8_t sum[8];
    ChecksumOf(data, sum);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t b : sum) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// A version list file written by hand, so tests control every byte of a record.
std::string RawVersionList(bool v1, std::uint32_t reserved, const std::vector<std::string>& recordBytes) {
    std::string list(kVersionListHeaderSize, '\0');
    std::memcpy(list.data(), v1 ? kVersionListMagicV1 : kVersionListMagicV2, 8);
    Put32(list, 8, reserved);
    Put32(list, 12, static_cast<std::uint32_t>(recordBytes.size()));
    for (const std::string& r : recordBytes) list += r;
    return list;
}
std::string RawRecord(bool v1, const std::string& name, const std::string& afterName, std::uint8_t checksumByte) {
    std::string record(v1 ? kRecordSizeV1 : kRecordSizeV2, '\0');
    std::size_t field = v1 ? kNameFieldV1 : kNameFieldV2;
    std::memcpy(record.data(), name.data(), name.size());
    std::memcpy(record.data() + name.size() + 1, afterName.data(), afterName.size());
    std::memset(record.data() + field, checksumByte, 8);
    return record;
}

// The bytes of one payload entry, read back with the patcher's index reader.
struct ReadBack {
    UpdateResult result = UpdateDamaged;
    PayloadIndex index;
    std::vector<std::string> names;
    std::vector<std::string> data;
    VersionList list;
};
ReadBack ReadPatch(const std::u16string& path) {
    ReadBack back;
    CFileDX file;
    EXPECT_TRUE(file.OpenRead(path.c_str()));
    back.result = ReadPayloadIndex(file, back.index);
    if (back.result != UpdateOk) return back;
    for (std::uint32_t i = 0; i < back.index.count; ++i) {
        char name[kWideNameField + 1];
        back.names.push_back(back.index.Name(i, name));
        std::string bytes(back.index.Size(i), '\0');
        EXPECT_TRUE(file.Seek(static_cast<std::int32_t>(back.index.Position(i))));
        if (!bytes.empty()) {
            EXPECT_EQ(file.Read(bytes.data(), back.index.Size(i)), back.index.Size(i));
        }
        back.data.push_back(bytes);
    }
    back.list = LoadVersionList(file, back.index);
    return back;
}

// A folder with a stub and some game files, and the command line that builds a patch of them.
struct Workshop {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string stub = MakeStub();

    Workshop() {
        dir.MakeDir("in");
        dir.MakeDir("in/sub");
        Add("data1.arc", RandomBytes(kCopyChunk * 2 + 17, 1));
        Add("empty.dat", "");
        Add("テスト.dat", RandomBytes(3000, 2));
    }
    void Add(const std::string& name, const std::string& content) {
        files.emplace_back(name, content);
        dir.Write("in/" + name, content);
    }
    std::string In(const std::string& name) const { return ToUtf8(dir.Native("in/" + name)); }
    std::string At(const std::string& rel) const { return ToUtf8(dir.Native(rel)); }
    std::vector<std::string> BuildArgs(const std::string& out = "patch.exe") {
        dir.Write("stub.exe", stub);
        std::vector<std::string> args = {"build", "--stub", At("stub.exe"), "--out", At(out)};
        for (const auto& f : files) args.push_back(In(f.first));
        return args;
    }
};

TEST(PatchtoolBuild, PayloadReadsBackEntryByEntry) {
    Workshop w;
    Outcome built = Patchtool(w.BuildArgs());
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("4 entries"), std::string::npos) << built.out;
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
        std::uint8_t expected[8];
        ChecksumOf(w.files[i].second, expected);
        EXPECT_EQ(std::memcmp(record->checksum, expected, 8), 0);
    }
    EXPECT_EQ(back.names[3], "QMK.hvl");
    EXPECT_EQ(back.index.Offset(3), offset);
    EXPECT_EQ(back.list.count, 3u);
    EXPECT_EQ(FindVersionRecord(back.list, "qmk.hvl"), nullptr);

    // Byte for byte the layout the in-memory encoders make: stub, zero fill, header, index, data.
    std::vector<VersionListEntry> records;
    std::vector<PayloadFile> payload;
    for (const auto& f : w.files) {
        VersionListEntry record{f.first, {}};
        ChecksumOf(f.second, record.checksum);
        records.push_back(record);
        payload.push_back({f.first, f.second});
    }
    payload.push_back({"QMK.hvl", EncodeVersionList(records, false)});
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
    Outcome refused = Patchtool(args);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("at most 15 bytes"), std::string::npos) << refused.err;
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
        args.push_back("--version-list");
        args.push_back(w.At("given.hvl"));
        Outcome built = Patchtool(args);
        ASSERT_EQ(built.code, 0) << built.err;
        EXPECT_NE(built.out.find("1 records updated, 2 added"), std::string::npos) << built.out;

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
        std::uint8_t sum[8];
        ChecksumOf(w.files[0].second, sum);
        EXPECT_EQ(first.substr(field), std::string(reinterpret_cast<char*>(sum), 8));
        EXPECT_EQ(packed.substr(kVersionListHeaderSize + recordSize, recordSize), other);
        std::string appended = packed.substr(kVersionListHeaderSize + 3 * recordSize, recordSize);
        EXPECT_EQ(appended.substr(0, field), std::string("テスト.dat") + std::string(field - 13, '\0'));

        // The patcher finds the same records.
        const VersionRecord* record = FindVersionRecord(back.list, "data1.arc");
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, "data\\DATA1.ARC");
        EXPECT_EQ(std::memcmp(record->checksum, sum, 8), 0);
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
    };
    const std::vector<Case> cases = {
        {"stub longer than 0x60000",
         [](Workshop& w, auto&) { w.stub = MakeStub(kPayloadOffset - 0x200 + 1); },
         "must end by 0x60000"},
        {"nonzero bytes after the image",
         [](Workshop& w, auto&) { w.stub = MakeStub(0x400, std::string(100, '\0') + "\x01"); },
         "1 nonzero bytes after the image end 0x600"},
        {"stub that is no PE file", [](Workshop& w, auto&) { w.stub = "MZ but nothing else"; }, "not a Windows executable"},
        {"stub whose section runs past its end",
         [](Workshop& w, auto&) { w.stub = MakeStub(0x400).substr(0, 0x500); },
         "past the end of the file"},
        {"33 entries",
         [](Workshop& w, auto&) {
             for (int i = 0; w.files.size() < 32; ++i) w.Add("f" + std::to_string(i), "x");
         },
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
        {"record for ../x",
         [](Workshop& w, auto& args) {
             w.dir.Write("list.hvl", RawVersionList(false, 0, {RawRecord(false, "..\\data1.arc", "", 0)}));
             args.insert(args.end(), {"--version-list", w.At("list.hvl")});
         },
         "would leave the install folder"},
        {"list with a record for itself",
         [](Workshop& w, auto& args) {
             w.dir.Write("list.hvl", RawVersionList(false, 0, {RawRecord(false, "QMK.hvl", "", 0)}));
             args.insert(args.end(), {"--version-list", w.At("list.hvl")});
         },
         "record for the version list itself"},
        {"list that is none",
         [](Workshop& w, auto& args) {
             w.dir.Write("list.hvl", std::string(16, 'Q'));
             args.insert(args.end(), {"--version-list", w.At("list.hvl")});
         },
         "not a version list"},
        {"list cut short",
         [](Workshop& w, auto& args) {
             w.dir.Write("list.hvl", RawVersionList(true, 0, {RawRecord(true, "a", "", 0)}).substr(0, 40));
             args.insert(args.end(), {"--version-list", w.At("list.hvl")});
         },
         "counts 1 records (64 bytes) but only 24 bytes"},
        {"name too long for a version-1 record",
         [](Workshop& w, auto& args) {
             w.Add(std::string(56, 'v'), "x");
             w.dir.Write("list.hvl", RawVersionList(true, 0, {}));
             args.insert(args.end(), {"--version-list", w.At("list.hvl")});
         },
         "does not fit a version-1 record"},
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
        c.setup(w, extra);
        std::vector<std::string> args = w.BuildArgs();
        args.insert(args.end(), extra.begin(), extra.end());
        Outcome refused = Patchtool(args);
        EXPECT_EQ(refused.code, 1);
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
        for (const std::string& name : w.dir.List()) EXPECT_EQ(name.find("patch"), std::string::npos) << name;
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
    Outcome refused = Patchtool(args);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("would be 2147483648 bytes; it must stay below 2 GiB"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(w.dir.Exists("patch.exe"));
    EXPECT_FALSE(w.dir.Exists("patch.exe.partial"));
    std::filesystem::remove(w.dir.Native("in/huge.arc"));
}

TEST(PatchtoolBuild, EveryFailedOsCallLeavesNoPatch) {
    // One patch, and a split into two parts (every part is complete before any takes its name).
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "split" : "one patch");
        Workshop w;
        w.files.resize(2);
        w.BuildArgs();  // writes the stub
        std::vector<std::string> outputs = {"patch.exe"};
        BuildRequest request;
        request.stubPath = w.At("stub.exe");
        request.outPath = w.At("patch.exe");
        request.split = split;
        request.limits.maxFiles = 1;
        request.files = {w.In(w.files[0].first), w.In(w.files[1].first)};
        if (split) outputs = {"patch.part1of2.exe", "patch.part2of2.exe"};
        auto build = [&] {
            BuildSummary summary;
            std::string error;
            bool built = BuildPatch(request, &summary, &error);
            EXPECT_EQ(built, error.empty()) << error;
            return built ? 0 : 1;
        };
        int calls = 0;
        {
            FaultOs counting;
            ASSERT_EQ(build(), 0);
            calls = counting.Total();
        }
        std::vector<std::string> good;
        for (const std::string& out : outputs) good.push_back(w.dir.Read(out));
        for (int n = 1; n <= calls; ++n) {
            SCOPED_TRACE("failing OS call " + std::to_string(n));
            for (const std::string& out : outputs) std::filesystem::remove(w.dir.Native(out));
            FaultOs faults;
            faults.FailCallNumber(n);
            int code = build();
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
            // Only a failed delete of a partial file can leave it behind.
            EXPECT_EQ(partialsLeft, faults.FailedKind() == OsCall::RemoveFile ? 1 : 0);
        }
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
    ASSERT_TRUE(FindImageEnd(reinterpret_cast<const std::uint8_t*>(stub.data()), stub.size(), &end, &error));
    EXPECT_EQ(end, 0x500u);
    std::string noPe = stub;
    noPe[0x41] = 'X';
    EXPECT_FALSE(FindImageEnd(reinterpret_cast<const std::uint8_t*>(noPe.data()), noPe.size(), &end, &error));
    EXPECT_NE(error.find("no PE header"), std::string::npos);
    std::string farHeader = stub;
    Put32(farHeader, 0x3C, 0xFFFFFFF0u);
    EXPECT_FALSE(FindImageEnd(reinterpret_cast<const std::uint8_t*>(farHeader.data()), farHeader.size(), &end, &error));
    std::string manySections = stub;
    Put16(manySections, 0x46, 0xFFFF);
    EXPECT_FALSE(
        FindImageEnd(reinterpret_cast<const std::uint8_t*>(manySections.data()), manySections.size(), &end, &error));
    EXPECT_NE(error.find("section table is cut short"), std::string::npos);
}

TEST(PatchtoolCommandLine, UsageAndWrongArguments) {
    Outcome help = Patchtool({"help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("patchtool build [--stub PATCHER.exe] --out PATCH.exe"), std::string::npos);
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
    Outcome bare = Patchtool({});
    EXPECT_EQ(bare.code, kExitUsage);
    EXPECT_EQ(bare.err, help.out);

    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"build", "--stub", "s.exe", "a"}, "--out PATCH.exe is missing"},
        {{"build", "--stub"}, "--stub needs a file name"},
        {{"build", "--stub", "a", "--stub", "b"}, "--stub given twice"},
        {{"build", "--stub", "s", "--out", "o", "--fast"}, "unknown option --fast"},
        {{"list"}, "list: needs exactly one file"},
        {{"verify", "a", "b"}, "verify: needs exactly one file"},
        {{"apply", "p.exe"}, "apply: needs PATCH.exe and FOLDER"},
    };
    for (const auto& [args, message] : wrong) {
        Outcome outcome = Patchtool(args);
        EXPECT_EQ(outcome.code, kExitUsage) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
}

// A patch made by the in-memory encoders, with a code page 932 name and a record in a subfolder.
struct HandMadePatch {
    TempDir dir;
    std::string sjisName = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";  // データ.arc
    std::string first = RandomBytes(5000, 3);
    std::string second = RandomBytes(70, 4);

    std::string Make(bool legacy, std::uint8_t tamperAt = 0) {
        std::vector<VersionListEntry> records(2);
        records[0].name = "data\\" + sjisName;
        ChecksumOf(first, records[0].checksum);
        records[1].name = "b.bin";
        ChecksumOf(second, records[1].checksum);
        std::string firstData = first;
        if (tamperAt) firstData[tamperAt] ^= 0x40;
        std::vector<PayloadFile> files = {{sjisName, firstData}, {"B.BIN", second},
                                          {"QMK.hvl", EncodeVersionList(records, false)}};
        std::string name = legacy ? "legacy.exe" : tamperAt ? "tampered.exe" : "patch.exe";
        dir.Write(name, EncodePatch(MakeStub(), EncodeArchive(files, legacy)));
        return ToUtf8(dir.Native(name));
    }
};

TEST(PatchtoolInspect, ListShowsLayoutEntriesAndRecords) {
    HandMadePatch p;
    Outcome listed = Patchtool({"list", p.Make(false)});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("layout: magic \"MORVEN ARC20\", 128-byte index entries"), std::string::npos);
    EXPECT_NE(listed.out.find("entries: 3\n"), std::string::npos);
    EXPECT_NE(listed.out.find("data start: 0x60190\n"), std::string::npos);
    EXPECT_NE(listed.out.find("version list: entry 2 \"QMK.hvl\", version 2, 2 records"), std::string::npos);
    EXPECT_NE(listed.out.find("  0  データ.arc  offset 0  size 5000  -> record \"data\\データ.arc\" checksum " +
                              ChecksumHex(p.first) + "\n"),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("  1  B.BIN  offset 5000  size 70  -> record \"b.bin\" checksum " +
                              ChecksumHex(p.second) + "\n"),
              std::string::npos);
    EXPECT_NE(listed.out.find("  2  QMK.hvl  offset 5070  size 528  -> no record: installed unverified\n"),
              std::string::npos);

    nlohmann::json doc = nlohmann::json::parse(Patchtool({"list", "--json", p.Make(false)}).out);
    EXPECT_EQ(doc["entries"].size(), 3u);
    EXPECT_EQ(doc["entries"][0]["record"]["name"], "data\\データ.arc");
    EXPECT_EQ(doc["entries"][2]["record"], nullptr);
    EXPECT_EQ(doc["signature"]["state"], "none");

    Outcome legacy = Patchtool({"list", p.Make(true)});
    ASSERT_EQ(legacy.code, 0);
    EXPECT_NE(legacy.out.find("legacy 32-byte index entries"), std::string::npos);
    EXPECT_NE(legacy.out.find("data start: 0x60070\n"), std::string::npos);
}

TEST(PatchtoolInspect, VerifyPassesAGoodPatchAndFailsDamage) {
    HandMadePatch p;
    Outcome good = Patchtool({"verify", p.Make(false)});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("OK          \"データ.arc\": checksum " + ChecksumHex(p.first)), std::string::npos)
        << good.out;
    EXPECT_NE(good.out.find("unverified  \"QMK.hvl\""), std::string::npos);
    EXPECT_NE(good.out.find("3 entries: 2 OK, 1 unverified, 0 failed"), std::string::npos);

    Outcome tampered = Patchtool({"verify", p.Make(false, 77)});
    EXPECT_EQ(tampered.code, 1);
    EXPECT_NE(tampered.out.find("MISMATCH    \"データ.arc\": record \"data\\データ.arc\" expects " +
                                ChecksumHex(p.first)),
              std::string::npos)
        << tampered.out;
    EXPECT_NE(tampered.out.find("OK          \"B.BIN\""), std::string::npos);
    EXPECT_NE(tampered.out.find("the patcher would stop with UpdateDamaged (0x80000001)"), std::string::npos);

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
        EXPECT_NE((outcome.out + outcome.err).find(message), std::string::npos) << outcome.out << outcome.err;
    }
    Outcome listed = Patchtool({"list", ToUtf8(p.dir.Native("damaged.exe"))});
    EXPECT_EQ(listed.code, 0);
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
    EXPECT_NE(shown.out.find("layout: version 1 (\"QHV_____\", 64-byte records)\n"), std::string::npos);
    EXPECT_NE(shown.out.find("reserved: 01 02 03 04\n"), std::string::npos);
    EXPECT_NE(shown.out.find("records: 3\n"), std::string::npos);
    EXPECT_NE(shown.out.find("  0  abababababababab  データ.arc\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("  1  0101010101010101  sub\\b.exe\n"), std::string::npos);
    EXPECT_NE(shown.out.find("  2  0000000000000000  " + unterminated + "  [no terminator"), std::string::npos);
    EXPECT_NE(shown.out.find("trailing: 3 bytes"), std::string::npos);

    dir.Write("short.hvl", list.substr(0, list.size() - 1));
    Outcome cut = Patchtool({"hvl", ToUtf8(dir.Native("short.hvl"))});
    EXPECT_EQ(cut.code, 1);
    EXPECT_NE(cut.err.find("counts 3 records (192 bytes) but only 191 bytes"), std::string::npos) << cut.err;
    EXPECT_EQ(Patchtool({"hvl", ToUtf8(dir.Native("missing.hvl"))}).code, 1);
}

TEST(PatchtoolApply, InstallsAndReportsTheResult) {
    Workshop w;
    w.files.resize(2);
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    w.dir.MakeDir("game");
    w.dir.Write("game/uninst.lst", std::string("game.exe\n") + '\0');
    w.dir.Write("game/data1.arc", "old");

    Outcome applied = Patchtool({"apply", w.At("patch.exe"), w.At("game")});
    EXPECT_EQ(applied.code, 0) << applied.err;
    EXPECT_NE(applied.out.find("result: UpdateOk (0x00000000)"), std::string::npos);
    EXPECT_NE(applied.err.find("data1.arcをインストール中\n"), std::string::npos) << applied.err;
    EXPECT_EQ(applied.err.find('\r'), std::string::npos);
    EXPECT_TRUE(w.dir.Read("game/data1.arc") == w.files[0].second);
    EXPECT_EQ(w.dir.List().size(), 4u);

    // On a terminal the progress is one redrawn line.
    ConsoleIo terminal;
    terminal.errIsTerminal = true;
    Outcome drawn = Patchtool({"apply", w.At("patch.exe"), w.At("game")}, terminal);
    EXPECT_EQ(drawn.code, 0);
    EXPECT_NE(drawn.err.find("\rdata1.arcをインストール中  [########################] 100%"), std::string::npos)
        << drawn.err;

    // A damaged patch installs nothing and exits with the result's low byte.
    std::string patch = w.dir.Read("patch.exe");
    patch[patch.size() - 1] ^= 1;  // the version list's last byte: empty.dat's checksum
    w.dir.Write("bad.exe", patch);
    w.dir.Write("game/empty.dat", "keep");
    Outcome damaged = Patchtool({"apply", w.At("bad.exe"), w.At("game")});
    EXPECT_EQ(damaged.code, 1);
    EXPECT_NE(damaged.out.find("result: UpdateDamaged (0x80000001)"), std::string::npos);
    EXPECT_EQ(w.dir.Read("game/empty.dat"), "keep");

    std::filesystem::remove(w.dir.Native("game/uninst.lst"));
    Outcome noList = Patchtool({"apply", w.At("patch.exe"), w.At("game")});
    EXPECT_EQ(noList.code, 5);
    EXPECT_NE(noList.out.find("UpdateUninstallListFailed (0x80000005)"), std::string::npos);
}

TEST(PatchtoolApply, CtrlCAsksBeforeCancelling) {
    struct Case {
        const char* what;
        const char* input;
        bool interactive;
        bool cancelled;
    };
    const Case cases[] = {
        {"yes", " y\n", true, true},
        {"no", "n\n", true, false},
        {"just enter", "\n", true, false},
        {"end of input", "", true, true},
        {"nobody at the keyboard", "n\n", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.input);
        std::ostringstream err;
        ConsoleIo io;
        io.in = &in;
        io.inInteractive = c.interactive;
        ConsoleView view(err, io);
        EXPECT_EQ(view.PumpMessages(), 0);
        EXPECT_FALSE(view.CancelRequested());
        std::raise(SIGINT);  // the handler only notes it
        EXPECT_FALSE(view.CancelRequested());
        EXPECT_EQ(view.PumpMessages(), 0);
        EXPECT_EQ(view.CancelRequested(), c.cancelled);
        EXPECT_NE(err.str().find("Cancel the update? [y/N]"), std::string::npos);
        EXPECT_FALSE(view.WindowClosed());
    }

    // Confirmed during a real run: nothing is installed and the run ends cancelled.
    Workshop w;
    w.files.resize(1);
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    w.dir.MakeDir("game");
    w.dir.Write("game/uninst.lst", std::string("x\n") + '\0');
    std::istringstream in("y\n");
    std::ostringstream err;
    ConsoleIo io{&in, true, false, {}};
    ConsoleView view(err, io);
    ConsoleView::Interrupt();
    EXPECT_EQ(RunUpdate(w.dir.Path("game").c_str(), view, w.dir.Path("patch.exe").c_str()), UpdateCancelled);
    EXPECT_EQ(w.dir.List().size(), 4u);
    EXPECT_FALSE(w.dir.Exists("game/data1.arc"));
}

// ---- Updates split into several patches ----

// `patchtool check` of folder, shortened: the count of OK records and "STATE name" for the others.
struct FolderCheck {
    int ok = 0;
    std::vector<std::string> bad;
};
FolderCheck CheckFolder(const std::u16string& folder) {
    FolderCheck result;
    InstallCheck check;
    std::string error;
    if (!CheckInstallation(ToUtf8(std::filesystem::path(folder)), &check, &error)) {
        result.bad.push_back("LIST " + error);
        return result;
    }
    for (const CheckedFile& file : check.files) {
        if (file.state == FileState::Ok) {
            ++result.ok;
        } else {
            result.bad.push_back(std::string(FileStateName(file.state)) + " " + file.name);
        }
    }
    return result;
}

// Every file under root with its bytes, uninst.lst as its sorted lines (parts append their names in
// their own order), so two folders compare as one update would leave them.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root, bool sortUninstallList) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::string rel = ToUtf8(std::filesystem::relative(entry.path(), root));
        std::string bytes = testutil::ReadAll(entry.path());
        if (sortUninstallList && rel == "uninst.lst") {
            std::vector<std::string> lines;
            std::istringstream in(bytes);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            std::sort(lines.begin(), lines.end());
            bytes.clear();
            for (const std::string& line : lines) bytes += line + "\n";
        }
        files[rel] = bytes;
    }
    return files;
}

// A game of 1.00 and an update of `count` files of base + 7 * i bytes: every fourth and the last replace
// files the installed list names (f103 in a subfolder), the rest are new; the list also names a file
// that is not installed.
struct SplitShop : Workshop {
    std::vector<std::string> given;  // names of the given list's records
    std::vector<bool> matched;       // per file: the given list has its record
    explicit SplitShop(int count, std::size_t base = 40) {
        files.clear();
        std::vector<std::string> records;
        dir.MakeDir("game/data");
        dir.Write("game/game.exe", "exe");
        records.push_back(Record("game.exe", "exe"));
        records.push_back(Record("movie.arc", "not installed"));
        for (int i = 0; i < count; ++i) {
            std::string name = "f" + std::to_string(100 + i) + ".arc";
            Add(name, RandomBytes(base + 7 * i, 1000 + i));
            matched.push_back(i % 4 == 3 || i == count - 1);
            if (matched.back()) {
                std::string folder = i == 3 ? "data/" : "";
                dir.Write("game/" + folder + name, "old " + name);
                records.push_back(Record((i == 3 ? "data\\" : "") + name, "old " + name));
            }
        }
        dir.Write("given.hvl", RawVersionList(false, 0x01020304, records));
        dir.Write("game/QMK.hvl", dir.Read("given.hvl"));
        dir.Write("game/uninst.lst", std::string("Game.exe\r\n$Registry\r\n") + '\0');
    }
    // Records in a part's list: the given ones and one appended per new file up to its last.
    std::size_t RecordsThrough(std::size_t files) const {
        return given.size() + static_cast<std::size_t>(std::count(matched.begin(), matched.begin() + files, false));
    }
    std::string Record(const std::string& name, const std::string& content) {
        given.push_back(name);
        std::string record = RawRecord(false, name, "", 0);
        std::uint8_t sum[8];
        ChecksumOf(content, sum);
        std::memcpy(record.data() + kNameFieldV2, sum, 8);
        return record;
    }
    BuildRequest Request(const std::string& out, bool split) {
        dir.Write("stub.exe", stub);
        BuildRequest request;
        request.stubPath = At("stub.exe");
        request.outPath = At(out);
        request.versionListPath = At("given.hvl");
        request.split = split;
        for (const auto& f : files) request.files.push_back(In(f.first));
        return request;
    }
    // A fresh copy of the installed game.
    std::string Game(const std::string& name) {
        std::filesystem::copy(dir.Native("game"), dir.Native(name), std::filesystem::copy_options::recursive);
        return At(name);
    }
};

TEST(PatchtoolSplit, SeventyFiveFilesRunAsThreeParts) {
    SplitShop w(75);
    std::vector<std::string> args = w.BuildArgs();
    args.insert(args.begin() + 1, {"--split", "--version-list", w.At("given.hvl")});
    Outcome built = Patchtool(args);
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("patch.part2of3.exe: "), std::string::npos) << built.out;
    EXPECT_NE(built.out.find(" 32 entries (files 32 to 62)\n"), std::string::npos);
    EXPECT_NE(built.out.find("version list: 19 records updated, 56 added; run the 3 parts in order"),
              std::string::npos);
    for (const std::string& name : w.dir.List()) EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
    EXPECT_FALSE(w.dir.Exists("patch.exe"));

    const std::size_t files[] = {31, 31, 13};
    std::string game = w.Game("run");
    std::size_t first = 0;
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE("part " + std::to_string(k));
        std::string part = "patch.part" + std::to_string(k) + "of3.exe";
        ReadBack back = ReadPatch(w.dir.Path(part));
        ASSERT_EQ(back.result, UpdateOk);
        ASSERT_EQ(back.index.count, files[k - 1] + 1);
        for (std::size_t i = 0; i < files[k - 1]; ++i) EXPECT_EQ(back.names[i], w.files[first + i].first);
        EXPECT_EQ(back.names.back(), "QMK.hvl");
        first += files[k - 1];
        // The list as it must read after this part: the given records and one per file so far.
        EXPECT_EQ(back.list.count, w.RecordsThrough(first));

        Outcome listed = Patchtool({"list", w.At(part)});
        EXPECT_NE(listed.out.find("split: part " + std::to_string(k) + " of 3 (by its name)"), std::string::npos);
        Outcome verified = Patchtool({"verify", w.At(part)});
        EXPECT_EQ(verified.code, 0) << verified.out;
        EXPECT_NE(verified.out.find("split: part " + std::to_string(k) + " of 3"), std::string::npos);
        EXPECT_NE(verified.out.find(std::to_string(files[k - 1]) + " OK, 1 unverified, 0 failed"), std::string::npos);
        // The earlier parts beside it installed what its list says they did.
        for (int j = 1; j <= 3; ++j) {
            std::string line = "split: part " + std::to_string(j) + " (" + w.At("patch.part" + std::to_string(j) +
                               "of3.exe") + ") agrees: its " + std::to_string(files[j - 1]) + " files";
            EXPECT_EQ(verified.out.find(line) != std::string::npos, j < k) << verified.out;
        }

        Outcome applied = Patchtool({"apply", w.At(part), game});
        ASSERT_EQ(applied.code, 0) << applied.out;
        FolderCheck check = CheckFolder(w.dir.Path("run"));
        EXPECT_EQ(check.bad, std::vector<std::string>{});
        // movie.arc is pruned; every other record's file is there.
        EXPECT_EQ(check.ok, static_cast<int>(back.list.count) - 1);
    }
    for (const auto& [name, content] : w.files) {
        EXPECT_TRUE(w.dir.Read(name == "f103.arc" ? "run/data/f103.arc" : "run/" + name) == content) << name;
    }
    std::string lines = w.dir.Read("run/uninst.lst");
    EXPECT_TRUE(lines.starts_with("game.exe\nf100.arc\nf101.arc\nf102.arc\ndata\\f103.arc\nf104.arc\n")) << lines;
    EXPECT_NE(lines.find("\nf130.arc\nqmk.hvl\nf131.arc\n"), std::string::npos);  // after part 1's names
    EXPECT_TRUE(lines.ends_with("\nf174.arc\n$registry\n" + std::string(1, '\0')));

    // The latest part again changes nothing; the same inputs give the same parts.
    auto before = Snapshot(w.dir.Native("run"), false);
    ASSERT_EQ(Patchtool({"apply", w.At("patch.part3of3.exe"), game}).code, 0);
    EXPECT_TRUE(Snapshot(w.dir.Native("run"), false) == before);
    args[std::find(args.begin(), args.end(), "--out") - args.begin() + 1] = w.At("again.exe");
    ASSERT_EQ(Patchtool(args).code, 0);
    for (int k = 1; k <= 3; ++k) {
        std::string suffix = ".part" + std::to_string(k) + "of3.exe";
        EXPECT_TRUE(w.dir.Read("again" + suffix) == w.dir.Read("patch" + suffix)) << k;
    }

    // A part beside parts of another build, or without them, is told apart by the lists.
    w.dir.Write("in/f100.arc", "changed");
    args[std::find(args.begin(), args.end(), "--out") - args.begin() + 1] = w.At("mixed.exe");
    ASSERT_EQ(Patchtool(args).code, 0);
    w.dir.Write("mixed.part2of3.exe", w.dir.Read("patch.part2of3.exe"));
    Outcome mixed = Patchtool({"verify", w.At("mixed.part2of3.exe")});
    EXPECT_EQ(mixed.code, 0);  // the patcher itself would take it
    EXPECT_NE(mixed.out.find("split: part 1 (" + w.At("mixed.part1of3.exe") + ") DIFFERS: \"f100.arc\""),
              std::string::npos)
        << mixed.out;
    std::filesystem::remove(w.dir.Native("again.part1of3.exe"));
    Outcome alone = Patchtool({"verify", w.At("again.part3of3.exe")});
    EXPECT_NE(alone.out.find("split: part 1 (" + w.At("again.part1of3.exe") + ") is not beside it"),
              std::string::npos);
    EXPECT_NE(alone.out.find("split: part 2 (" + w.At("again.part2of3.exe") + ") agrees"), std::string::npos);
}

TEST(PatchtoolSplit, PartsInOrderLeaveWhatOnePatchLeaves) {
    // Small limits, so the same update also fits one patch to compare with.
    struct Limits {
        const char* what;
        std::size_t base;  // file sizes
        PatchLimits limits;
        std::vector<std::uint32_t> files;
    };
    const std::vector<Limits> table = {
        {"four files a part", 40, {4, 0x7FFFFFFF}, {4, 4, 2}},
        // Three files of about 10000 bytes and the index and list fit, four do not.
        {"34000 bytes of data a part", 10000, {31, kIndexOffset + 34000}, {3, 3, 3, 1}},
    };
    for (const Limits& l : table) {
        SCOPED_TRACE(l.what);
        SplitShop w(10, l.base);
        BuildSummary single, split;
        std::string error;
        ASSERT_TRUE(BuildPatch(w.Request("one.exe", false), &single, &error)) << error;
        BuildRequest request = w.Request("up.exe", true);
        request.limits = l.limits;
        ASSERT_TRUE(BuildPatch(request, &split, &error)) << error;
        std::vector<std::string> parts;
        std::vector<std::uint32_t> files;
        for (const PartSummary& part : split.parts) {
            parts.push_back(part.path);
            files.push_back(part.files);
            EXPECT_LE(part.size, l.limits.maxBytes);
            EXPECT_EQ(std::filesystem::file_size(testutil::FromUtf8(part.path)), part.size);
        }
        ASSERT_EQ(files, l.files);
        ASSERT_EQ(Patchtool({"apply", w.At("one.exe"), w.Game("single")}).code, 0);
        const auto expected = Snapshot(w.dir.Native("single"), true);

        // Runs of parts (1-based; 0 stands for "and every later part") and whether the list then
        // matches the folder. Every part holds a file the installed list names, so a part run out of
        // turn leaves a record that does not match.
        struct Run {
            std::vector<int> parts;
            bool matches;
        };
        std::vector<Run> inOrder;
        for (std::size_t k = 1; k <= parts.size(); ++k) inOrder.push_back({{int(k)}, true});
        inOrder.push_back({{int(parts.size())}, true});
        const std::vector<std::pair<const char*, std::vector<Run>>> sequences = {
            {"in order, the last twice", inOrder},
            {"all in one apply", {{{1, 0}, true}}},
            {"an earlier part again", {{{1, 0}, true}, {{1}, false}, {{2, 0}, true}}},
            {"one skipped", {{{1, 3, 0}, false}, {{2, 0}, true}}},
        };
        for (const auto& [what, runs] : sequences) {
            SCOPED_TRACE(what);
            std::string game = w.Game(std::string("game-") + what);
            for (const Run& run : runs) {
                std::vector<std::string> args = {"apply"};
                std::size_t last = 0;
                for (int k : run.parts) {
                    std::size_t to = k > 0 ? std::size_t(k) : parts.size();
                    for (std::size_t part = k > 0 ? to : last + 1; part <= to; ++part) args.push_back(parts[part - 1]);
                    last = to;
                }
                args.push_back(game);
                Outcome applied = Patchtool(args);
                ASSERT_EQ(applied.code, 0) << applied.out << applied.err;
                FolderCheck check = CheckFolder(testutil::FromUtf8(game).u16string());
                EXPECT_EQ(check.bad.empty(), run.matches) << testing::PrintToString(check.bad);
                EXPECT_GT(check.ok, 0);
            }
            EXPECT_TRUE(Snapshot(testutil::FromUtf8(game), true) == expected);
        }

        // A damaged part stops the run: what came before stays installed, nothing after is tried.
        std::string bad = w.dir.Read("up.part2of" + std::to_string(parts.size()) + ".exe");
        bad[bad.size() - 1] ^= 1;
        w.dir.Write("bad.exe", bad);
        std::string game = w.Game("stopped");
        Outcome stopped = Patchtool({"apply", parts[0], w.At("bad.exe"), parts[2], game});
        EXPECT_EQ(stopped.code, 1);
        EXPECT_NE(stopped.out.find("bad.exe: result: UpdateDamaged (0x80000001)\nstopped: 1 more not applied, from " +
                                   parts[2]),
                  std::string::npos)
            << stopped.out;
        EXPECT_EQ(CheckFolder(testutil::FromUtf8(game).u16string()).bad, std::vector<std::string>{});
        EXPECT_FALSE(w.dir.Exists("stopped/" + w.files[split.parts[2].firstFile].first));
    }
}

TEST(PatchtoolSplit, PartsCrossingTwoGigabytes) {
#if defined(__SANITIZE_ADDRESS__) || (defined(_WIN32) && !defined(_WIN64))
    // About 10 GiB go through the checksum here: minutes under the sanitizers and in the i686 build
    // (emulated here), which the smaller split tests serve; the native and x86_64 builds run it.
    GTEST_SKIP() << "too slow under the sanitizers and emulation";
#endif
    // Sparse files, so only the patches take room on disk: the first fills its part to one byte short
    // of 2 GiB, the largest the patcher can read; the second part holds the other two.
    SplitShop w(0);
    const std::uint64_t first = 0x7FFFFFFFull - kIndexOffset - 2 * kWideEntrySize - kVersionListHeaderSize -
                                std::uint64_t(w.given.size() + 1) * kRecordSizeV2;
    for (auto [name, size] : {std::pair<const char*, std::uint64_t>{"big1.arc", first}, {"big2.arc", 64u << 20}}) {
        w.Add(name, "");
        std::filesystem::resize_file(w.dir.Native(std::string("in/") + name), size);
    }
    w.Add("small.dat", RandomBytes(1000, 5));
    BuildSummary summary;
    std::string error;
    BuildRequest request = w.Request("big.exe", true);
    ASSERT_TRUE(BuildPatch(request, &summary, &error)) << error;
    ASSERT_EQ(summary.parts.size(), 2u);
    EXPECT_EQ(summary.parts[0].size, 0x7FFFFFFFu);
    EXPECT_EQ(std::filesystem::file_size(w.dir.Native("big.part1of2.exe")), 0x7FFFFFFFu);
    EXPECT_EQ(summary.parts[1].files, 2u);

    // Without --split the same files are refused, and the message says what to do.
    Outcome refused = Patchtool(w.BuildArgs("whole.exe"));
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("must stay below 2 GiB (2147483648 bytes), the most the patcher can read; build "
                               "--split cuts"),
              std::string::npos)
        << refused.err;

    std::string game = w.Game("run");
    for (const PartSummary& part : summary.parts) {
        SCOPED_TRACE(part.path);
        Outcome verified = Patchtool({"verify", part.path});
        EXPECT_EQ(verified.code, 0) << verified.out;
        Outcome applied = Patchtool({"apply", part.path, game});
        ASSERT_EQ(applied.code, 0) << applied.out;
        FolderCheck check = CheckFolder(w.dir.Path("run"));
        EXPECT_EQ(check.bad, std::vector<std::string>{});
        EXPECT_EQ(check.ok, part.files == 1 ? 2 : 4);  // game.exe and the files installed so far
    }
    EXPECT_EQ(std::filesystem::file_size(w.dir.Native("run/big1.arc")), first);
}

TEST(PatchtoolSplit, PartNames) {
    const std::vector<std::tuple<std::string, std::uint32_t, std::uint32_t, std::string>> names = {
        {"up.exe", 2, 3, "up.part2of3.exe"},
        {"up.exe", 2, 12, "up.part02of12.exe"},
        {"up.exe", 12, 12, "up.part12of12.exe"},
        {"dir.v2/up", 1, 1, "dir.v2/up.part1of1"},
        {"dir/.hidden", 1, 2, "dir/.hidden.part1of2"},
        {"a.b.exe", 3, 100, "a.b.part003of100.exe"},
    };
    for (const auto& [out, k, n, name] : names) {
        EXPECT_EQ(PartName(out, k, n), name);
        std::uint32_t part = 0, parts = 0;
        EXPECT_TRUE(ParsePartName(name, &part, &parts)) << name;
        EXPECT_EQ(std::make_pair(part, parts), std::make_pair(k, n)) << name;
        std::string madeFrom;
        ASSERT_TRUE(ParsePartName(name, &part, &parts, &madeFrom));
        EXPECT_EQ(madeFrom, out);
    }
    std::uint32_t part = 0, parts = 0;
    EXPECT_TRUE(ParsePartName("UP.PART2OF3.EXE", &part, &parts));
    for (const char* other : {"up.exe", "up.part0of3.exe", "up.part4of3.exe", "up.partof3.exe", "up.part2of.exe",
                              "up.part2of3x.exe", "up.part2of3.exe.bak", "up.part9999999999of9999999999.exe"}) {
        EXPECT_FALSE(ParsePartName(other, &part, &parts)) << other;
    }
}

// An installed game for `check`: its version list names files the ways the patcher finds them.
struct InstalledGame {
    TempDir dir;
    std::string sjis = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";  // データ.arc in code page 932
    std::string big = RandomBytes(kCopyChunk * 2 + 5, 7);
    std::vector<VersionListEntry> records;

    InstalledGame() {
        dir.MakeDir("game");
        dir.MakeDir("game/Data");
        dir.Write("game/big.arc", big);
        dir.Write("game/Data/データ.arc", "sjis");
        dir.Write("game/Data/utf8.dat", "utf8");
        dir.Write("game/empty.dat", "");
        Add("BIG.ARC", big);                // case differs from the file's
        Add("data\\" + sjis, "sjis");       // a subfolder and a code page 932 name
        Add("data/utf8.dat", "utf8");
        Add("empty.dat", "");
        WriteList();
    }
    void Add(const std::string& name, const std::string& content) {
        VersionListEntry record;
        record.name = name;
        ChecksumOf(content, record.checksum);
        records.push_back(record);
    }
    void WriteList() { dir.Write("game/QMK.hvl", EncodeVersionList(records, false)); }
    std::string Folder() const { return ToUtf8(dir.Native("game")); }
};

TEST(PatchtoolCheck, FindsEveryRecordsFileAndSaysWhatIsWrong) {
    InstalledGame game;
    Outcome intact = Patchtool({"check", game.Folder()});
    EXPECT_EQ(intact.code, 0) << intact.out << intact.err;
    EXPECT_NE(intact.out.find("OK          \"BIG.ARC\": " + std::to_string(game.big.size()) + " bytes, checksum " +
                              ChecksumHex(game.big)),
              std::string::npos)
        << intact.out;
    EXPECT_NE(intact.out.find("OK          \"data\\データ.arc\""), std::string::npos);
    EXPECT_NE(intact.out.find("check: 4 files: 4 OK, 0 modified, 0 missing, 0 unreadable\ncheck: intact\n"),
              std::string::npos);
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
    const std::vector<std::string> lines = {
        "MODIFIED    \"BIG.ARC\": the record expects " + ChecksumHex(game.big) + ", the file gives " +
            ChecksumHex(changed) + "\n",
        "OK          \"data/utf8.dat\"",
        "MISSING     \"empty.dat\"\n",
        "MISSING     \"gone\\missing.arc\"\n",
        "UNREADABLE  \"DATA\": a folder has this name\n",
        "UNREADABLE  \"..\\outside\": the record's name would leave the install folder\n",
        "check: 7 files: 2 OK, 1 modified, 2 missing, 2 unreadable\ncheck: NOT intact",
    };
    for (const std::string& line : lines) EXPECT_NE(damaged.out.find(line), std::string::npos) << line << damaged.out;

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
            EXPECT_EQ(outcome.code, kExitFailed);
            EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
            if (json) EXPECT_EQ(nlohmann::json::parse(outcome.out)["intact"], false);
        }
    }
    std::filesystem::remove(game.dir.Native("game/QMK.hvl"));
    EXPECT_NE(Patchtool({"check", game.Folder()}).err.find("no QMK.hvl in it"), std::string::npos);
    EXPECT_NE(Patchtool({"check", game.Folder() + "/nowhere"}).err.find("no such folder"), std::string::npos);
    EXPECT_EQ(Patchtool({"check"}).code, kExitUsage);
}

TEST(PatchtoolCheck, EveryFailedOsCallIsReportedNeverPassed) {
    InstalledGame game;
    int calls = 0;
    {
        FaultOs counting;
        ASSERT_EQ(Patchtool({"check", game.Folder()}).code, 0);
        calls = counting.Total();
    }
    for (bool shortReads : {false, true}) {
        for (int n = 1; n <= calls; ++n) {
            SCOPED_TRACE("failing OS call " + std::to_string(n) + (shortReads ? " (short read)" : ""));
            FaultOs faults;
            faults.SetShortTransfers(shortReads);
            faults.FailCallNumber(n);
            Outcome outcome = Patchtool({"check", game.Folder()});
            if (outcome.code == 0) {
                // A failed name conversion for display may pass; a failed read of a file's bytes never.
                EXPECT_NE(outcome.out.find("check: 4 files: 4 OK"), std::string::npos);
                if (!shortReads) EXPECT_NE(faults.FailedKind(), OsCall::Read);
            } else if (outcome.code == kExitFailed) {
                EXPECT_NE(outcome.err, "");
            } else {
                EXPECT_EQ(outcome.code, kExitNotIntact);
                EXPECT_NE(outcome.out.find("check: NOT intact"), std::string::npos);
            }
        }
    }
}

TEST(PatchtoolCheck, ProgressOnlyOnATerminal) {
    InstalledGame game;
    ConsoleIo terminal;
    terminal.errIsTerminal = true;
    Outcome drawn = Patchtool({"check", game.Folder()}, terminal);
    EXPECT_EQ(drawn.code, 0);
    EXPECT_NE(drawn.err.find("\r[########################] 100%  file 1  BIG.ARC"), std::string::npos) << drawn.err;
    EXPECT_EQ(drawn.err.back(), '\n');
    EXPECT_EQ(Patchtool({"check", game.Folder()}).err, "");

    Workshop w;
    std::vector<std::string> args = w.BuildArgs();
    Outcome built = Patchtool(args, terminal);
    EXPECT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.err.find("] 100%  building\n"), std::string::npos) << built.err;
    EXPECT_EQ(Patchtool(args).err, "");
}

TEST(PatchtoolBuild, WithoutStubTheInstalledOneIsUsedAndNamed) {
    Workshop w;
    std::vector<std::string> args = w.BuildArgs();
    args.erase(args.begin() + 1, args.begin() + 3);  // --stub stub.exe
    ConsoleIo io;
    io.defaultStub = w.At("stub.exe");
    Outcome built = Patchtool(args, io);
    EXPECT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("stub: " + w.At("stub.exe") + " (the installed patcher stub)\n"), std::string::npos);
    EXPECT_EQ(ReadPatch(w.dir.Path("patch.exe")).result, UpdateOk);

    io.defaultStub = w.At("nowhere/patcher.exe");
    Outcome missing = Patchtool(args, io);
    EXPECT_EQ(missing.code, kExitFailed);
    EXPECT_NE(missing.err.find("no --stub given and no installed patcher stub"), std::string::npos);
    EXPECT_FALSE(w.dir.Exists("nowhere"));
}

// A stub osslsigncode can sign: MakeStub's with the optional header's 16 data directories.
std::string SignableStub() {
    std::string stub = MakeStub();
    Put32(stub, 0x58 + 108, 16);
    return stub;
}

// A certificate table that is no signature: the table is found and read, the PKCS#7 is not.
TEST(PatchtoolSignature, CertificateTableIsFoundAndCheckedWhereTheBuildCan) {
    Workshop w;
    w.stub = SignableStub();
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    std::string patch = w.dir.Read("patch.exe");
    EXPECT_NE(Patchtool({"verify", w.At("patch.exe")}).out.find("signature: none (unsigned)\n"), std::string::npos);

    patch.resize((patch.size() + 7) / 8 * 8, '\0');
    std::string table(16, '\x5A');
    Put32(table, 0, 16);
    Put16(table, 4, 0x0200);
    Put16(table, 6, 0x0002);
    const std::size_t entry = 0x58 + 112 + 4 * 8;
    Put32(patch, entry, static_cast<std::uint32_t>(patch.size()));
    Put32(patch, entry + 4, 16);
    w.dir.Write("junk.exe", patch + table);
    SignatureReport report = ReadSignature(w.At("junk.exe"));
#ifdef _WIN32
    EXPECT_EQ(report.state, SignatureReport::State::NotChecked);
#else
    EXPECT_EQ(report.state, SignatureReport::State::Damaged);
    EXPECT_EQ(report.problem, "the certificate table holds no PKCS#7 SignedData");
    Outcome verified = Patchtool({"verify", w.At("junk.exe")});
    EXPECT_EQ(verified.code, kExitSignatureChanged);
    EXPECT_NE(verified.out.find("signature: damaged: the certificate table holds no PKCS#7"), std::string::npos);
#endif
    // A table that is not the end of the file leaves bytes outside the signature.
    w.dir.Write("trailing.exe", patch + table + "x");
    EXPECT_EQ(ReadSignature(w.At("trailing.exe")).state, SignatureReport::State::Damaged);
    Put32(table, 0, 17);
    w.dir.Write("overlong.exe", patch + table);
    EXPECT_EQ(ReadSignature(w.At("overlong.exe")).problem,
              "the certificate table's first entry is not a PKCS#7 signature");
}

#ifndef _WIN32
// Signs with osslsigncode and a throwaway self-signed certificate made by openssl for this run.
struct Signer {
    TempDir dir;
    Signer() {
        std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Patchtool Test Signer/O=Test' "
                          "-keyout '" + At("key.pem") + "' -out '" + At("cert.pem") + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << "openssl is needed (scripts/install-deps installs it)";
    }
    std::string At(const std::string& rel) const { return ToUtf8(dir.Native(rel)); }
    bool Sign(const std::string& in, const std::string& out) const {
        std::string cmd = "osslsigncode sign -certs '" + At("cert.pem") + "' -key '" + At("key.pem") + "' -in '" + in +
                          "' -out '" + out + "' >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }
};

TEST(PatchtoolSignature, SignedPatchVerifiesUntilABytesChanges) {
    Signer signer;
    Workshop w;
    w.stub = SignableStub();
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    ASSERT_TRUE(signer.Sign(w.At("patch.exe"), w.At("signed.exe")));
    const std::string matches = "signature: signed by CN=Patchtool Test Signer,O=Test; its sha256 digest matches";
    Outcome good = Patchtool({"verify", w.At("signed.exe")});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    EXPECT_NE(good.out.find(matches), std::string::npos) << good.out;
    EXPECT_NE(Patchtool({"list", w.At("signed.exe")}).out.find(matches), std::string::npos);
    nlohmann::json doc = nlohmann::json::parse(Patchtool({"verify", "--json", w.At("signed.exe")}).out);
    EXPECT_EQ(doc["signature"]["state"], "matches");
    EXPECT_EQ(doc["signature"]["signedDigest"], doc["signature"]["fileDigest"]);
    EXPECT_EQ(doc["passed"], true);

    // After signing: a payload byte, a byte the patcher never reads, and the excluded CheckSum field.
    const std::string signedBytes = w.dir.Read("signed.exe");
    const std::vector<std::tuple<const char*, std::size_t, int, const char*>> changes = {
        {"payload byte", kPayloadOffset + 0x300, kExitSignatureChanged, "MISMATCH    \"data1.arc\""},
        {"zero fill before the payload", kPayloadOffset - 8, kExitSignatureChanged, "3 OK"},
        {"the header's CheckSum field", 0x58 + 64, 0, "digest matches"},
    };
    for (const auto& [what, at, code, also] : changes) {
        SCOPED_TRACE(what);
        std::string bytes = signedBytes;
        bytes[at] ^= 0x01;
        w.dir.Write("changed.exe", bytes);
        Outcome outcome = Patchtool({"verify", w.At("changed.exe")});
        EXPECT_EQ(outcome.code, code);
        EXPECT_NE(outcome.out.find(also), std::string::npos) << outcome.out;
        if (code != 0) {
            EXPECT_NE(outcome.out.find("CHANGED after signing"), std::string::npos) << outcome.out;
            EXPECT_NE(outcome.out.find("verify: FAILED: the file is not what was signed"), std::string::npos);
        }
    }

    // The digest inside the signature replaced by the changed file's: the signer's signature fails.
    std::string changed = signedBytes;
    changed[kPayloadOffset - 8] ^= 0x01;
    w.dir.Write("changed.exe", changed);
    SignatureReport report = ReadSignature(w.At("changed.exe"));
    ASSERT_EQ(report.state, SignatureReport::State::Changed);
    auto binary = [](const std::string& hex) {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        return bytes;
    };
    std::size_t at = changed.rfind(binary(report.signedDigest));
    ASSERT_NE(at, std::string::npos);
    changed.replace(at, report.signedDigest.size() / 2, binary(report.fileDigest));
    w.dir.Write("forged.exe", changed);
    Outcome forged = Patchtool({"verify", w.At("forged.exe")});
    EXPECT_EQ(forged.code, kExitSignatureChanged);
    EXPECT_NE(forged.out.find("signature: damaged: the signer's signature does not cover the signed digest"),
              std::string::npos)
        << forged.out;

    // A signed stub is refused with the way out; without its signature it builds again.
    w.dir.Write("stub.exe", w.stub);
    ASSERT_TRUE(signer.Sign(w.At("stub.exe"), w.At("signed-stub.exe")));
    std::vector<std::string> args = w.BuildArgs();
    args[2] = w.At("signed-stub.exe");
    Outcome refused = Patchtool(args);
    EXPECT_EQ(refused.code, kExitFailed);
    EXPECT_NE(refused.err.find("the stub is signed"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("osslsigncode remove-signature -in STUB.exe -out UNSIGNED.exe"), std::string::npos);
    std::string removed = "osslsigncode remove-signature -in '" + w.At("signed-stub.exe") + "' -out '" +
                          w.At("unsigned-stub.exe") + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(removed.c_str()), 0);
    args[2] = w.At("unsigned-stub.exe");
    EXPECT_EQ(Patchtool(args).code, 0) << Patchtool(args).err;
}
#endif

}  // namespace
