// What the patchtool tests share: patchtool run in-process, version lists and patches written byte by
// byte, a patch read back with the patcher's own readers, and the folders the commands work on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kit/build/name_rules.h"
#include "kit/build/patch_builder.h"
#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "kit/format/patch_reading.h"
#include "kit/format/pe_image.h"
#include "kit/format/version_list_file.h"
#include "kit/examine/install_check.h"
#include "kit/signature/authenticode.h"
#include "support/file.h"
#include "support/text.h"
#include "tools/patchtool/console_view.h"
#include "tools/patchtool/patchtool.h"
#include "unit/patch_format.h"
#include "unit/test_util.h"
#include "update/archive.h"
#include "update/caption_slot.h"
#include "update/checksum.h"
#include "update/entry_check.h"
#include "update/version_list.h"
#include "update/worker.h"

namespace patchtool_test {

using testutil::Bytes;
using testutil::Contains;
using testutil::ExpectContainsAll;
using testutil::MakeStub;
using testutil::RandomBytes;
using testutil::TempDir;
using testutil::ToUtf8;

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};
// `patchtool ARGS...`, in-process.
Outcome Patchtool(std::vector<std::string> args, const ConsoleIo& io = {});
// EXPECT_TRUE(OutSays(outcome, code, part)): it exited with code and printed part on standard output
// (ErrSays: on standard error); the message shows the code and both streams.
testing::AssertionResult OutSays(const Outcome& outcome, int code, const std::string& part);
testing::AssertionResult ErrSays(const Outcome& outcome, int code, const std::string& part);

inline void Put16(std::string& s, std::size_t at, std::uint32_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
inline void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    Put16(s, at, v);
    Put16(s, at + 2, v >> 16);
}

// The key the patcher looks a stored name up by.
inline std::string Key(const std::string& stored) {
    char key[800];
    EXPECT_TRUE(MakeNameKey(key, sizeof key, stored.c_str()));
    return key;
}
inline std::string ChecksumHex(const std::string& data) {
    std::uint8_t sum[8];
    ChecksumOf(data, sum);
    return HexBytes(sum, sizeof sum);
}

// A version list file written by hand, so tests control every byte of a record.
std::string RawVersionList(bool v1, std::uint32_t reserved, const std::vector<std::string>& recordBytes);
std::string RawRecord(bool v1, const std::string& name, const std::string& afterName, std::uint8_t checksumByte);

// A folder with a stub and some game files, and the command line that builds a patch of them.
// Its folder has a Japanese name, as the game's does, so every command meets one.
struct Workshop {
    TempDir dir{"ヴェルモラ"};
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string stub = MakeStub();

    Workshop() {
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

// A patch made by the in-memory encoders, with a code page 932 name and a record in a subfolder.
struct HandMadePatch {
    TempDir dir;
    std::string sjisName = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";  // データ.arc
    std::string first = RandomBytes(5000, 3);
    std::string second = RandomBytes(70, 4);

    // Writes the patch (legacy index, or with a byte of the first file changed) and returns its path.
    std::string Make(bool legacy, std::uint8_t tamperAt = 0);
};

// `patchtool check` of folder, shortened: the count of OK records and "STATE name" for the others.
struct FolderCheck {
    int ok = 0;
    std::vector<std::string> bad;
};
FolderCheck CheckFolder(const std::u16string& folder);

// Every file under root with its bytes, uninst.lst as its sorted lines (parts append their names in
// their own order), so two folders compare as one update would leave them.
inline std::map<std::string, std::string> Snapshot(const std::filesystem::path& root, bool sortUninstallList) {
    std::map<std::string, std::string> files = testutil::FileTree(root);
    auto list = files.find("uninst.lst");
    if (sortUninstallList && list != files.end()) list->second = testutil::SortedLines(list->second);
    return files;
}

// A game of 1.00 and an update of `count` files of base + 7 * i bytes: every fourth and the last replace
// files the installed list names (f103 in a subfolder), the rest are new; the list also names a file
// that is not installed.
struct SplitShop : Workshop {
    std::vector<std::string> given;  // names of the given list's records
    std::vector<bool> matched;       // per file: the given list has its record
    explicit SplitShop(int count, std::size_t base = 40);
    // Records in a part's list: the given ones and one appended per new file up to its last.
    std::size_t RecordsThrough(std::size_t files) const {
        return given.size() + static_cast<std::size_t>(std::count(matched.begin(), matched.begin() + files, false));
    }
    std::string Record(const std::string& name, const std::string& content);
    BuildRequest Request(const std::string& out, bool split);
    // A fresh copy of the installed game.
    std::string Game(const std::string& name) {
        std::filesystem::copy(dir.Native("game"), dir.Native(name), std::filesystem::copy_options::recursive);
        return At(name);
    }
};

// An installed game for `check`: its version list names files the ways the patcher finds them.
struct InstalledGame {
    TempDir dir{"ヴェルモラ"};
    std::string sjis = Bytes({0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}) + ".arc";  // データ.arc in code page 932
    std::string big = RandomBytes(kCopyChunk * 2 + 5, 7);
    std::vector<PayloadFile> records;  // name, content

    InstalledGame();
    void Add(const std::string& name, const std::string& content) { records.push_back({name, content}); }
    void WriteList() { dir.Write("game/QMK.hvl", EncodeVersionListOf(records)); }
    std::string Folder() const { return ToUtf8(dir.Native("game")); }
};

// MakeStub's with a second section, the caption slot of version 1.01 at 0x600, and a CheckSum.
inline constexpr std::uint32_t kStubSlot = 0x600, kStubChecksum = 0x58 + 64;
inline std::string CaptionStub() {
    std::string stub = MakeStub();
    Put16(stub, 0x46, 2);
    const std::size_t header = 0x58 + 0xF0 + 40;
    stub.replace(header, 8, kCaptionSection, 8);
    Put32(stub, header + 16, 0x200);
    Put32(stub, header + 20, kStubSlot);
    std::string raw(0x200, '\0');
    std::memcpy(raw.data(), &kBuiltInCaption, sizeof kBuiltInCaption);
    stub += raw;
    Put32(stub, kStubChecksum, 1);
    return stub;
}

// A stub osslsigncode can sign: CaptionStub's with the optional header's 16 data directories.
inline std::string SignableStub() {
    std::string stub = CaptionStub();
    Put32(stub, 0x58 + 108, 16);
    return stub;
}

// A patch, the patch signed, and the signed patch changed in the zero fill and signed again, all
// with the throwaway certificate "CN=Patchtool Test Signer,O=Test" (make_signed_samples of
// scripts/lib/cert.sh). Linux makes them for this run; the Windows tiers cannot run the signer and
// read the ones scripts/test made for them, from the folder PATCHER_SIGNED_SAMPLES names.
struct SignedSamples {
    std::string patch, signedPatch, resigned;
    // False, with the reason, when there are none to be had.
    bool Load(std::string* why);
};

#ifndef _WIN32
// Signs with osslsigncode and a throwaway self-signed certificate made for this run, both through
// scripts/lib/cert.sh, as the scripts sign.
struct Signer {
    TempDir dir;
    Signer();
    std::string At(const std::string& rel) const { return ToUtf8(dir.Native(rel)); }
    bool Sign(const std::string& in, const std::string& out) const;
};
#endif

}  // namespace patchtool_test
