// The payload index: both layouts, the entry limit, short files, names as stored, 32-bit positions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/file.h"
#include "unit/patch_format.h"
#include "unit/test_util.h"
#include "update/archive.h"
#include "update/version_list.h"

namespace {

using testutil::TempDir;

// The patch written to dir and read back.
ReadBack ReadIndex(const TempDir& dir, const std::string& patch, bool indexOnly = true) {
    dir.Write("patch.exe", patch);
    return ReadPatch(dir.Path("patch.exe"), indexOnly);
}

std::vector<PayloadFile> Files(std::size_t n) {
    std::vector<PayloadFile> files;
    for (std::size_t i = 0; i < n; ++i) files.push_back({"f" + std::to_string(i), std::string(i % 3, char('a' + i))});
    return files;
}

TEST(Archive, ReadsBothLayouts) {
    TempDir dir;
    const std::vector<PayloadFile> files = {{"data1.arc", "first"}, {"empty.dat", ""}, {"QMK.hvl", "list"}};
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "wide");
        ReadBack o = ReadIndex(dir, EncodePatch("MZ stub", EncodeArchive(files, legacy)), false);
        ASSERT_EQ(o.result, UpdateOk);
        EXPECT_EQ(o.index.wideLayout, !legacy);
        EXPECT_EQ(o.index.count, 3u);
        EXPECT_EQ(o.index.EntrySize(), legacy ? 32u : 128u);
        EXPECT_EQ(o.index.dataStart, 0x60010u + 3 * o.index.EntrySize());
        std::uint32_t offset = 0;
        for (std::uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(o.names[i], files[i].name);
            EXPECT_EQ(o.index.Offset(i), offset);
            EXPECT_EQ(o.index.Size(i), files[i].data.size());
            EXPECT_EQ(o.index.Position(i), o.index.dataStart + offset);
            EXPECT_EQ(o.data[i], files[i].data);
            offset += static_cast<std::uint32_t>(files[i].data.size());
        }
    }
}

TEST(Archive, EntryLimitIsTestedBeforeTheMagic) {
    TempDir dir;
    struct Case {
        std::size_t count;
        bool legacy;
        UpdateResult expected;
    } cases[] = {{0, false, UpdateOk}, {0, true, UpdateOk},   {32, false, UpdateOk},
                 {32, true, UpdateOk}, {33, false, UpdateTooManyEntries}, {33, true, UpdateTooManyEntries}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + (c.legacy ? " legacy" : " wide"));
        ReadBack o = ReadIndex(dir, EncodePatch("MZ", EncodeArchive(Files(c.count), c.legacy)));
        EXPECT_EQ(o.result, c.expected);
        EXPECT_EQ(o.index.count, c.expected == UpdateOk ? c.count : 0u);
        if (c.expected == UpdateOk) {
            EXPECT_EQ(o.index.dataStart, 0x60010u + c.count * o.index.EntrySize());
        }
    }
    // A huge count with no index after it is refused as too many, not as damaged, whatever the magic.
    for (const char* magic : {"MORVEN ARC20", "xxxxxxxxxxxx"}) {
        std::string header(magic, 12);
        header += testutil::Bytes({0xFF, 0xFF, 0xFF, 0xFF});
        EXPECT_EQ(ReadIndex(dir, EncodePatch("MZ", header)).result, UpdateTooManyEntries);
    }
}

TEST(Archive, OnlyTheExactMagicSelectsWideEntries) {
    TempDir dir;
    std::string archive = EncodeArchive(Files(2), false);
    for (const char* magic : {"morven arc20", "MORVEN ARC2O", "MORVEN ARC20"}) {
        std::memcpy(archive.data(), magic, 12);
        ReadBack o = ReadIndex(dir, EncodePatch("MZ", archive));
        ASSERT_EQ(o.result, UpdateOk);
        EXPECT_EQ(o.index.wideLayout, std::strcmp(magic, "MORVEN ARC20") == 0) << magic;
    }
}

TEST(Archive, ShortFilesAreDamaged) {
    TempDir dir;
    const std::string full = EncodePatch("MZ", EncodeArchive(Files(3), false));
    struct Case {
        const char* what;
        std::size_t size;
    } cases[] = {{"nothing after the stub", 0x5FFFF},
                 {"exactly 0x60000 bytes", 0x60000},
                 {"short header", 0x6000F},
                 {"short index", 0x60010 + 3 * 128 - 1},
                 {"empty file", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ReadBack o = ReadIndex(dir, full.substr(0, c.size));
        EXPECT_EQ(o.result, UpdateDamaged);
        EXPECT_EQ(o.index.count, 0u);
        EXPECT_EQ(o.index.entries, nullptr);
    }
    // The index complete but not the data: the reader does not look at the data.
    EXPECT_EQ(ReadIndex(dir, full.substr(0, 0x60010 + 3 * 128)).result, UpdateOk);
}

TEST(Archive, NamesAreCopiedAsStoredAndTerminated) {
    TempDir dir;
    const std::string cp932 = "\x83\x65\x83\x58\x83\x67.dat";  // テスト.dat
    const std::string utf8 = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.dat";
    const std::string full16(16, 'L'), full96(96, 'W');
    ReadBack legacy = ReadIndex(dir, EncodePatch("MZ", EncodeArchive({{cp932, "1"}, {utf8, "2"}, {full16, "3"}}, true)));
    ASSERT_EQ(legacy.result, UpdateOk);
    EXPECT_EQ(legacy.names, (std::vector<std::string>{cp932, utf8, full16}));  // full16 fills the field

    ReadBack wide = ReadIndex(dir, EncodePatch("MZ", EncodeArchive({{full96, "1"}}, false)));
    ASSERT_EQ(wide.result, UpdateOk);
    EXPECT_EQ(wide.names[0], full96);
    char exact[kWideNameField + 1];
    std::memset(exact, 'x', sizeof exact);
    wide.index.Name(0, exact);
    EXPECT_EQ(exact[kWideNameField], '\0');

    // Keys: UTF-8, ASCII letters lowercased, everything else kept.
    char key[300];
    ASSERT_TRUE(MakeNameKey(key, sizeof key, cp932.c_str()));
    EXPECT_EQ(std::string(key), utf8);
    ASSERT_TRUE(MakeNameKey(key, sizeof key, "QmK.HvL"));
    EXPECT_STREQ(key, "qmk.hvl");
    ASSERT_TRUE(MakeNameKey(key, sizeof key, "\xC3\x84.ARC"));  // Ä stays Ä
    EXPECT_STREQ(key, "\xC3\x84.arc");
    EXPECT_FALSE(MakeNameKey(key, 4, "QMK.hvl"));  // does not fit
}

TEST(Archive, PositionsAre32Bit) {
    TempDir dir;
    std::string archive = EncodeArchive({{"a", "data"}, {"b", "x"}}, false);
    // Entry 0 at offset 0xFFFFFFFF wraps to the byte before the data area; entry 1 lies at 2 GiB.
    const std::uint32_t dataStart = 0x60010 + 2 * 128;
    StoreLe32(reinterpret_cast<std::uint8_t*>(archive.data()) + 16 + 96, 0xFFFFFFFFu);
    StoreLe32(reinterpret_cast<std::uint8_t*>(archive.data()) + 16 + 128 + 96, 0x80000000u - dataStart);
    ReadBack o = ReadIndex(dir, EncodePatch("MZ", archive));
    ASSERT_EQ(o.result, UpdateOk);
    EXPECT_EQ(o.index.Position(0), dataStart - 1);
    EXPECT_EQ(o.index.Position(1), 0x80000000u);

    CFileDX file;
    ASSERT_TRUE(file.OpenRead(dir.Path("patch.exe").c_str()));
    EXPECT_FALSE(file.Seek(static_cast<std::int32_t>(o.index.Position(1))));
    // An entry past the end of the file: the seek works, the read comes up short.
    ASSERT_TRUE(file.Seek(static_cast<std::int32_t>(o.index.dataStart + 100)));
    char buffer[4];
    EXPECT_EQ(file.Read(buffer, 4), 0u);
}

}  // namespace
