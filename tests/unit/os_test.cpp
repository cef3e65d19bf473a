// The native OS backend: the Windows behaviour the engine relies on, the same under Win32 (Wine) and
// on Linux: attributes, read-only files, renames, name lookup, raw handle calls and conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/os.h"
#include "unit/fault_os.h"
#include "unit/os_test_support.h"
#include "unit/test_util.h"

using testutil::TempDir;

namespace {

os::Api& Native() { return os::NativeApi(); }

// Writes dir/ro.bin ("protected") and gives it the read-only attribute; returns its path.
std::u16string MakeReadOnly(const TempDir& dir) {
    dir.Write("ro.bin", "protected");
    const std::u16string path = dir.Path("ro.bin");
    EXPECT_TRUE(Native().SetAttributes(path.c_str(), os::kAttrReadOnly));
    return path;
}

// Up to 64 bytes of the file, read through the backend; "<...>" when it cannot.
std::string ReadPath(const std::u16string& path) {
    std::uint32_t error = 0, done = 0;
    const os::Handle h = Native().OpenRead(path.c_str(), &error);
    if (h == os::kInvalidHandle) return "<cannot open: error " + std::to_string(error) + ">";
    std::string s(64, '\0');
    const bool read = Native().Read(h, s.data(), static_cast<std::uint32_t>(s.size()), &done);
    Native().Close(h);
    s.resize(done);
    return read ? s : "<failed>";
}

TEST(OsSeam, SetApiPutsAWrapperInFrontAndTakesItAway) {
    EXPECT_EQ(&os::Current(), &os::NativeApi());
    {
        FaultOs outer;
        EXPECT_EQ(&os::Current(), &outer);
        {
            FaultOs inner;
            EXPECT_EQ(&os::Current(), &inner);
            os::Current().GetAttributes(u"");
            EXPECT_EQ(inner.Total(), 1);
            EXPECT_EQ(outer.Total(), 1);  // the inner wrapper calls through the outer one
        }
        EXPECT_EQ(&os::Current(), &outer);
        EXPECT_EQ(os::SetApi(nullptr), &outer);
        EXPECT_EQ(&os::Current(), &os::NativeApi());
        EXPECT_EQ(os::SetApi(&outer), &os::NativeApi());
    }
    EXPECT_EQ(&os::Current(), &os::NativeApi());
}

TEST(OsBackend, OpenErrorsAreWin32Codes) {
    TempDir dir;
    dir.MakeDir("folder");
    struct Case {
        const char* name;
        std::u16string path;
        bool forWrite;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"missing file", dir.Path("missing.bin"), false, os::kErrorFileNotFound},
        {"missing folder", dir.Path("nowhere/missing.bin"), false, os::kErrorPathNotFound},
        {"create in missing folder", dir.Path("nowhere/new.bin"), true, os::kErrorPathNotFound},
        {"empty path", u"", false, os::kErrorPathNotFound},
        {"folder for reading", dir.Path("folder"), false, os::kErrorAccessDenied},
        {"folder for writing", dir.Path("folder"), true, os::kErrorAccessDenied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint32_t error = 0;
        os::Handle h = c.forWrite ? Native().OpenWrite(c.path.c_str(), false, &error)
                                  : Native().OpenRead(c.path.c_str(), &error);
        EXPECT_EQ(h, os::kInvalidHandle);
        EXPECT_EQ(error, c.error);
    }
    // A create-new open of a file or folder that is there: ERROR_FILE_EXISTS, and the file untouched.
    dir.Write("there.bin", "kept");
    for (const char* there : {"there.bin", "folder"}) {
        std::uint32_t error = 0;
        EXPECT_EQ(Native().CreateNew(dir.Path(there).c_str(), &error), os::kInvalidHandle) << there;
        EXPECT_EQ(error, os::kErrorFileExists) << there;
    }
    EXPECT_EQ(dir.Read("there.bin"), "kept");
}

TEST(OsBackend, AttributesOfFilesAndFolders) {
    TempDir dir;
    dir.Write("f.bin", "x");
    dir.MakeDir("folder");
    std::uint32_t file = Native().GetAttributes(dir.Path("f.bin").c_str());
    ASSERT_NE(file, os::kInvalidAttributes);
    EXPECT_EQ(file & (os::kAttrReadOnly | os::kAttrDirectory), 0u);
    std::uint32_t folder = Native().GetAttributes(dir.Path("folder").c_str());
    ASSERT_NE(folder, os::kInvalidAttributes);
    EXPECT_NE(folder & os::kAttrDirectory, 0u);
    EXPECT_EQ(Native().GetAttributes(dir.Path("missing").c_str()), os::kInvalidAttributes);
    EXPECT_FALSE(Native().SetAttributes(dir.Path("missing").c_str(), os::kAttrReadOnly));
}

TEST(OsBackend, ReadOnlyAttributeComesAndGoes) {
    TempDir dir;
    const std::u16string path = MakeReadOnly(dir);
    EXPECT_NE(Native().GetAttributes(path.c_str()) & os::kAttrReadOnly, 0u);
    ASSERT_TRUE(Native().SetAttributes(path.c_str(), os::kAttrNormal));
    EXPECT_EQ(Native().GetAttributes(path.c_str()) & os::kAttrReadOnly, 0u);
}

// Windows refuses to write, delete or replace a read-only file, whoever asks (the tests run as root).
TEST(OsBackend, ReadOnlyFileRefusesWrites) {
    SKIP_UNLESS_READ_ONLY_GUARDS(Write);
    TempDir dir;
    const std::u16string ro = MakeReadOnly(dir);
    for (bool keep : {false, true}) {
        std::uint32_t error = 0;
        os::Handle h = Native().OpenWrite(ro.c_str(), keep, &error);
        EXPECT_EQ(h, os::kInvalidHandle);
        EXPECT_EQ(error, os::kErrorAccessDenied);
        if (h != os::kInvalidHandle) Native().Close(h);
    }
    EXPECT_EQ(dir.Read("ro.bin"), "protected");
    EXPECT_EQ(ReadPath(ro), "protected");
    // Writable again once the attribute is gone.
    ASSERT_TRUE(Native().SetAttributes(ro.c_str(), os::kAttrNormal));
    std::uint32_t error = 0;
    os::Handle h = Native().OpenWrite(ro.c_str(), false, &error);
    EXPECT_NE(h, os::kInvalidHandle);
    Native().Close(h);
    EXPECT_EQ(dir.Read("ro.bin"), "");
}

TEST(OsBackend, ReadOnlyFileRefusesDeletion) {
    SKIP_UNLESS_READ_ONLY_GUARDS(Delete);
    TempDir dir;
    const std::u16string ro = MakeReadOnly(dir);
    EXPECT_FALSE(Native().RemoveFile(ro.c_str()));
    EXPECT_EQ(dir.Read("ro.bin"), "protected");
    ASSERT_TRUE(Native().SetAttributes(ro.c_str(), os::kAttrNormal));
    EXPECT_TRUE(Native().RemoveFile(ro.c_str()));
    EXPECT_FALSE(dir.Exists("ro.bin"));
}

TEST(OsBackend, ReadOnlyFileRefusesReplacement) {
    SKIP_UNLESS_READ_ONLY_GUARDS(Replace);
    TempDir dir;
    dir.Write("source.bin", "intruder");
    const std::u16string ro = MakeReadOnly(dir);
    EXPECT_FALSE(Native().ReplaceByRename(dir.Path("source.bin").c_str(), ro.c_str()));
    EXPECT_EQ(dir.Read("ro.bin"), "protected");
    EXPECT_EQ(dir.Read("source.bin"), "intruder");
    ASSERT_TRUE(Native().SetAttributes(ro.c_str(), os::kAttrNormal));
    EXPECT_TRUE(Native().ReplaceByRename(dir.Path("source.bin").c_str(), ro.c_str()));
    EXPECT_EQ(dir.Read("ro.bin"), "intruder");
    EXPECT_FALSE(dir.Exists("source.bin"));
}

TEST(OsBackend, ReplaceByRenameSemantics) {
    TempDir dir;
    dir.MakeDir("folder");
    dir.Write("a.tmp", "new");
    dir.Write("a.bin", "old");
    EXPECT_TRUE(Native().ReplaceByRename(dir.Path("a.tmp").c_str(), dir.Path("a.bin").c_str()));
    EXPECT_EQ(dir.Read("a.bin"), "new");
    EXPECT_FALSE(dir.Exists("a.tmp"));
    // Missing source: nothing happens to the target.
    std::uint32_t error = 0;
    EXPECT_FALSE(Native().ReplaceByRename(dir.Path("a.tmp").c_str(), dir.Path("a.bin").c_str(), &error));
    EXPECT_EQ(error, os::kErrorFileNotFound);
    EXPECT_EQ(dir.Read("a.bin"), "new");
    // A folder is not replaced by a file. Windows calls that access denied, which also means a busy
    // file; no other program holds a file on Linux, so there it is never a busy code.
    error = 0;
    EXPECT_FALSE(Native().ReplaceByRename(dir.Path("a.bin").c_str(), dir.Path("folder").c_str(), &error));
    EXPECT_NE(error, 0u);
    if (std::filesystem::path::preferred_separator != '\\') {
        EXPECT_FALSE(os::IsBusyError(error)) << error;
    }
    EXPECT_TRUE(dir.Exists("a.bin"));
    // A missing target is simply created.
    EXPECT_TRUE(Native().ReplaceByRename(dir.Path("a.bin").c_str(), dir.Path("folder/b.bin").c_str()));
    EXPECT_EQ(dir.Read("folder/b.bin"), "new");
}

// Failed calls keep their code for LastError, and the system has words for it.
TEST(OsBackend, RemoveFileAndLastError) {
    TempDir dir;
    dir.MakeDir("sub");
    EXPECT_FALSE(Native().RemoveFile(dir.Path("sub").c_str()));
    EXPECT_EQ(Native().LastError(), os::kErrorAccessDenied);
    EXPECT_FALSE(Native().RemoveFile(dir.Path("missing").c_str()));
    EXPECT_EQ(Native().LastError(), os::kErrorFileNotFound);
    std::uint32_t done = 1;
    EXPECT_FALSE(Native().Write(os::kInvalidHandle, "x", 1, &done));
    EXPECT_EQ(Native().LastError(), os::kErrorInvalidHandle);
    for (std::uint32_t code : {os::kErrorFileNotFound, os::kErrorAccessDenied, os::kErrorDiskFull}) {
        EXPECT_NE(os::ErrorText(code), "error " + std::to_string(code));
        EXPECT_FALSE(os::ErrorText(code).empty());
    }
    EXPECT_EQ(os::ErrorText(0xDEAD0001u), "error " + std::to_string(0xDEAD0001u));
    dir.Write("sub/f.bin", "x");
    EXPECT_TRUE(Native().RemoveFile(dir.Path("sub/f.bin").c_str()));
    EXPECT_FALSE(dir.Exists("sub/f.bin"));
}

// Windows finds names without regard to ASCII case and takes '\' as the separator.
TEST(OsBackend, NamesAreFoundWithoutRegardToCaseAndThroughBackslashes) {
    TempDir dir;
    dir.Write("Data/Sub/Mixed.Txt", "contents");
    std::u16string root = dir.Folder();
    std::replace(root.begin(), root.end(), u'/', u'\\');

    EXPECT_EQ(ReadPath(root + u"\\DATA\\sub\\mixed.TXT"), "contents");
    EXPECT_NE(Native().GetAttributes((root + u"\\data\\SUB").c_str()) & os::kAttrDirectory, 0u);

    // Writing to a differently spelt existing file writes that file; a new name goes into the
    // existing folder as it was spelt.
    for (const char16_t* name : {u"\\data\\sub\\MIXED.TXT", u"\\DATA\\SUB\\New.Bin"}) {
        std::uint32_t error = 0;
        const os::Handle h = Native().OpenWrite((root + name).c_str(), false, &error);
        ASSERT_NE(h, os::kInvalidHandle) << error;
        Native().Close(h);
    }
    EXPECT_EQ(testutil::ListFolder(dir.Native("Data/Sub")), (std::vector<std::string>{"Mixed.Txt", "New.Bin"}));
    EXPECT_EQ(dir.Read("Data/Sub/Mixed.Txt"), "");

    // Renames and deletes find their files the same way.
    dir.Write("Data/Sub/Mixed.Txt", "old");
    dir.Write("Data/update.tmp", "new");
    EXPECT_TRUE(Native().ReplaceByRename((root + u"\\data\\UPDATE.TMP").c_str(), (root + u"\\data\\sub\\mixed.txt").c_str()));
    EXPECT_FALSE(dir.Exists("Data/update.tmp"));
    EXPECT_TRUE(Native().RemoveFile((root + u"\\DATA\\SUB\\NEW.BIN").c_str()));
    const auto files = testutil::FileTree(dir.Native("Data/Sub"));
    EXPECT_EQ(files.size(), 1u);
    for (const auto& [name, bytes] : files) EXPECT_EQ(bytes, "new") << name;
}

TEST(OsBackend, HandleCallsBehaveLikeWin32) {
    TempDir dir;
    dir.Write("f.bin", "0123456789");
    char buffer[16];
    std::uint32_t done = 99;
    // The invalid handle fails everywhere.
    EXPECT_FALSE(Native().Read(os::kInvalidHandle, buffer, 4, &done));
    EXPECT_FALSE(Native().Write(os::kInvalidHandle, "abcd", 4, &done));
    EXPECT_FALSE(Native().Seek(os::kInvalidHandle, 0));
    EXPECT_FALSE(Native().Flush(os::kInvalidHandle));
    EXPECT_EQ(Native().GetSize(os::kInvalidHandle), 0xFFFFFFFFu);
    EXPECT_EQ(Native().LastError(), os::kErrorInvalidHandle);  // GetFileSize's code

    std::uint32_t error = 0;
    os::Handle h = Native().OpenRead(dir.Path("f.bin").c_str(), &error);
    ASSERT_NE(h, os::kInvalidHandle);
    EXPECT_TRUE(Native().Seek(h, 8));
    EXPECT_TRUE(Native().Read(h, buffer, sizeof buffer, &done));
    EXPECT_EQ(done, 2u);
    // At the end ReadFile succeeds with nothing read.
    done = 99;
    EXPECT_TRUE(Native().Read(h, buffer, sizeof buffer, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(Native().Seek(h, 1 << 20));
    EXPECT_FALSE(Native().Seek(h, INT32_MIN));
    EXPECT_FALSE(Native().Seek(h, -1));
    EXPECT_FALSE(Native().Write(h, "x", 1, &done));
    EXPECT_FALSE(Native().Flush(h));  // no write access
    EXPECT_EQ(Native().GetSize(h), 10u);
    Native().Close(h);

    h = Native().OpenWrite(dir.Path("f.bin").c_str(), true, &error);
    ASSERT_NE(h, os::kInvalidHandle);
    EXPECT_FALSE(Native().Read(h, buffer, 4, &done));  // no read access
    EXPECT_TRUE(Native().Seek(h, 12));  // writing past the end fills the gap with zeros
    EXPECT_TRUE(Native().Write(h, "AB", 2, &done));
    EXPECT_EQ(done, 2u);
    EXPECT_TRUE(Native().Flush(h));
    EXPECT_EQ(Native().GetSize(h), 14u);
    Native().Close(h);
    EXPECT_EQ(dir.Read("f.bin"), std::string("0123456789\0\0AB", 14));
}

TEST(OsBackend, SizeOfAFileBeyondFourGiBIsItsLow32Bits) {
    TempDir dir;
    if (!ostest::MakeFileBeyondFourGiB(dir, 0x1234)) GTEST_SKIP() << "no sparse 4 GiB file here";
    std::uint32_t error = 0;
    os::Handle h = Native().OpenRead(dir.Path("big.bin").c_str(), &error);
    ASSERT_NE(h, os::kInvalidHandle);
    EXPECT_EQ(Native().GetSize(h), 0x1234u);
    Native().Close(h);
}

TEST(OsBackend, ModulePathIsTheTestProgramTruncatedLikeGetModuleFileName) {
    char16_t path[1024];
    std::uint32_t length = Native().GetModulePath(path, 1024);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, 1024u);
    EXPECT_EQ(path[length], u'\0');
    std::u16string full(path, length);
    std::u16string name = full.substr(full.find_last_of(u"\\/") + 1);
    for (char16_t& c : name) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    EXPECT_EQ(name.substr(0, 10), u"unit_tests");
    EXPECT_NE(Native().GetAttributes(path), os::kInvalidAttributes);

    char16_t small[6];
    std::fill(std::begin(small), std::end(small), u'#');
    EXPECT_EQ(Native().GetModulePath(small, 5), 5u);
    EXPECT_EQ(std::u16string(small, 4), full.substr(0, 4));
    EXPECT_EQ(small[4], u'\0');
    EXPECT_EQ(small[5], u'#');
    EXPECT_EQ(Native().GetModulePath(small, 0), 0u);
}

// A path far beyond MAX_PATH, with Japanese names and '/' between them, works for every call that
// takes one (Windows needs it in its \\?\ form, which the backend makes). Wine has no such limit,
// so there this shows only that the long form reaches the same files.
TEST(OsBackend, EveryPathCallTakesAPathBeyondMaxPath) {
    TempDir dir;
    std::string rel;
    for (int i = 0; i < 20; ++i) rel += "ヴェルモラ-データ-フォルダ-" + std::to_string(i) + "/";
    std::filesystem::path folder = dir.Native(rel);
#ifdef _WIN32
    std::filesystem::create_directories(L"\\\\?\\" + std::filesystem::path(folder).make_preferred().wstring());
#else
    std::filesystem::create_directories(folder);
#endif
    const std::u16string file = dir.Path(rel + "ファイル.bin"), moved = dir.Path(rel + "移動.bin");
    ASSERT_GT(file.size(), 300u);
    std::uint32_t done = 0, error = 0;
    os::Handle h = Native().OpenWrite(file.c_str(), false, &error);
    ASSERT_NE(h, os::kInvalidHandle) << error;
    EXPECT_TRUE(Native().Write(h, "long", 4, &done));
    Native().Close(h);
    EXPECT_TRUE(Native().SetAttributes(file.c_str(), os::kAttrReadOnly));
    EXPECT_EQ(Native().GetAttributes(file.c_str()) & os::kAttrReadOnly, os::kAttrReadOnly);
    EXPECT_TRUE(Native().SetAttributes(file.c_str(), os::kAttrNormal));
    EXPECT_TRUE(Native().ReplaceByRename(file.c_str(), moved.c_str(), &error)) << error;
    EXPECT_EQ(ReadPath(moved), "long");
    EXPECT_TRUE(Native().RemoveFile(moved.c_str()));
    EXPECT_EQ(Native().GetAttributes(moved.c_str()), os::kInvalidAttributes);
    EXPECT_EQ(Native().GetAttributes(file.c_str()), os::kInvalidAttributes);
}

// A view outlives its handle. A file that shrinks under a view: Windows refuses to shrink it; Linux
// takes the pages away, and the backend shows zeros there instead of dying of SIGBUS, and says so
// when the view ends.
TEST(OsBackend, MappedViewOutlivesItsHandleAndSurvivesTheFileShrinking) {
    TempDir dir;
    const std::uint32_t size = 3 * os::kMapAlignment;
    dir.Write("mapped.bin", std::string(size, 'v'));
    std::uint32_t error = 0;
    const os::Handle h = Native().OpenRead(dir.Path("mapped.bin").c_str(), &error);
    ASSERT_NE(h, os::kInvalidHandle);
    const std::uint8_t* view = Native().MapRead(h, os::kMapAlignment, 2 * os::kMapAlignment, &error);
    Native().Close(h);
    ASSERT_NE(view, nullptr) << error;
    EXPECT_EQ(view[0], 'v');
    std::error_code ec;
    std::filesystem::resize_file(dir.Native("mapped.bin"), 4096, ec);
    const bool shrank = !ec;
    EXPECT_EQ(shrank, std::filesystem::path::preferred_separator == '/') << "only Linux lets a mapped file shrink";
    EXPECT_EQ(view[2 * os::kMapAlignment - 1], shrank ? 0 : 'v');
    EXPECT_EQ(Native().Unmap(view, 2 * os::kMapAlignment), !shrank);
}

// --- conversions ---

std::u16string ToWide(std::uint32_t codePage, const std::string& text) {
    int n = Native().MultiToWide(codePage, text.c_str(), nullptr, 0);
    if (n < 1) return u"<failed>";
    std::u16string out(static_cast<std::size_t>(n), u'#');
    if (Native().MultiToWide(codePage, text.c_str(), out.data(), n) != n) return u"<size changed>";
    if (out.back() != u'\0') return out + u"<unterminated>";
    out.pop_back();
    return out;
}

std::string ToMulti(std::uint32_t codePage, const std::u16string& text) {
    int n = Native().WideToMulti(codePage, text.c_str(), nullptr, 0);
    if (n < 1) return "<failed>";
    std::string out(static_cast<std::size_t>(n), '#');
    if (Native().WideToMulti(codePage, text.c_str(), out.data(), n) != n) return "<size changed>";
    if (out.back() != '\0') return "<unterminated>";
    out.pop_back();
    return out;
}

TEST(OsConversion, MultiToWideSubstitutesInvalidInput) {
    using testutil::Bytes;
    struct Case {
        std::uint32_t codePage;
        std::string in;
        std::u16string out;
        const char16_t* wine = nullptr;  // what Wine gives instead, where it differs from Windows
    };
    const bool wine = ostest::RunsUnderWine();
    const Case cases[] = {
        {os::kCodePageUtf8, "plain", u"plain"},
        {os::kCodePageUtf8, "", u""},
        {os::kCodePageUtf8, Bytes({0xE3, 0x81, 0x82}), u"\u3042"},
        {os::kCodePageUtf8, Bytes({0xF0, 0x9F, 0x98, 0x80}), u"\U0001F600"},
        {os::kCodePageUtf8, Bytes({0x80, 'a'}), u"\uFFFDa"},
        {os::kCodePageUtf8, Bytes({'a', 0xC3, 'b'}), u"a\uFFFDb"},
        {os::kCodePageUtf8, Bytes({0xE3, 0x81, 'x'}), u"\uFFFDx"},               // cut short: one
        {os::kCodePageUtf8, Bytes({0xC0, 0x80}), u"\uFFFD\uFFFD"},                // overlong
        {os::kCodePageUtf8, Bytes({0xED, 0xA0, 0x80}), u"\uFFFD\uFFFD"},          // a surrogate
        {os::kCodePageUtf8, Bytes({0xF4, 0x90, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {os::kCodePageUtf8, Bytes({0xF5, 0x80, 'z'}), u"\uFFFD\uFFFDz"},
        {os::kCodePageUtf8, Bytes({0xFF}), u"\uFFFD"},
        {os::kCodePageUtf8, Bytes({'-', 0xED, 0xA0, 0x80, '-'}), u"-\uFFFD\uFFFD-"},
        {os::kCodePageUtf8, Bytes({'-', 0xE0, 0x80, 0xAD, '-'}), u"-\uFFFD\uFFFD-"},
        {os::kCodePageUtf8, Bytes({'-', 0xF4, 0x90, 0x80, 0x80, '-'}), u"-\uFFFD\uFFFD\uFFFD-"},
        {os::kCodePageUtf8, Bytes({0xFF, '@', 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}),
         u"\uFFFD@\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        // A lead byte that announces more bytes than remain (the terminator counted): Windows cuts
        // as above, and so do Wine's own conformance tests (ntdll rtlstr.c). Wine 8.0 itself gives one
        // U+FFFD and stops there, terminator included (measured under wine64 and 32-bit wine).
        {os::kCodePageUtf8, Bytes({'X', 0xC2, 0x80, 0xF0, 0x90}), u"X\u0080\uFFFD",
         u"X\u0080\uFFFD<unterminated>"},
        {os::kCodePageUtf8, Bytes({0xF3, 0xF3}), u"\uFFFD\uFFFD", u"\uFFFD<unterminated>"},
        {os::kCodePage932, "plain\\~", u"plain\\~"},
        {os::kCodePage932, Bytes({0x82, 0xA0, 0x83, 0x41}), u"\u3042\u30A2"},
        {os::kCodePage932, Bytes({0xB1, 0xDF}), u"\uFF71\uFF9F"},                 // half-width katakana
        {os::kCodePage932, Bytes({0x87, 0x90, 0xFA, 0x40, 0xF0, 0x40}), u"\u2252\u2170\uE000"},
        {os::kCodePage932, Bytes({0x85, 0x40}), u"\u30FB"},                       // unassigned pair
        {os::kCodePage932, Bytes({0x81, 0x20, 'a'}), u"\u30FBa"},                 // bad trail byte taken
        {os::kCodePage932, Bytes({'a', 0x81}), u"a\u30FB"},                       // lead byte at the end
        {os::kCodePage932, Bytes({0x80, 0xA0, 0xFD, 0xFF}), u"\u0080\uF8F0\uF8F1\uF8F3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.codePage << " case " << (&c - cases));
        EXPECT_EQ(ToWide(c.codePage, c.in), wine && c.wine ? std::u16string(c.wine) : c.out);
    }
}

TEST(OsConversion, WideToMultiSubstitutesWhatHasNoBytes) {
    using testutil::Bytes;
    struct Case {
        std::uint32_t codePage;
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {os::kCodePageUtf8, u"plain", "plain"},
        {os::kCodePageUtf8, u"\u3042\u00E9", Bytes({0xE3, 0x81, 0x82, 0xC3, 0xA9})},
        {os::kCodePageUtf8, u"\U0001F600", Bytes({0xF0, 0x9F, 0x98, 0x80})},
        {os::kCodePageUtf8, std::u16string{0xD800, u'a'}, Bytes({0xEF, 0xBF, 0xBD, 'a'})},
        {os::kCodePageUtf8, std::u16string{u'a', 0xDC00}, Bytes({'a', 0xEF, 0xBF, 0xBD})},
        {os::kCodePage932, u"plain", "plain"},
        {os::kCodePage932, u"\u3042\uFF71", Bytes({0x82, 0xA0, 0xB1})},
        // Characters with several byte pairs get the one Windows writes.
        {os::kCodePage932, u"\u2252\u2170\uFFE2", Bytes({0x81, 0xE0, 0xFA, 0x40, 0x81, 0xCA})},
        {os::kCodePage932, u"\u00E9\u00A5\u00B7", Bytes({'e', 0x5C, 0x81, 0x45})},  // best fit
        {os::kCodePage932, u"\u2016\u0100", "??"},
        {os::kCodePage932, u"\U0001F600", "??"},
        {os::kCodePage932, std::u16string{0xD800, u'a'}, "?a"},
        {os::kCodePage932, u"\uF8F0\u0080", Bytes({0xA0, 0x80})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.codePage << " case " << (&c - cases));
        EXPECT_EQ(ToMulti(c.codePage, c.in), c.out);
    }
}

TEST(OsConversion, CapacityIsHonoured) {
    char16_t wide[8];
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(Native().MultiToWide(os::kCodePageUtf8, "abc", nullptr, 0), 4);
    EXPECT_EQ(Native().MultiToWide(os::kCodePageUtf8, "abc", wide, 3), 0);
    EXPECT_EQ(wide[3], u'#');
    EXPECT_EQ(Native().MultiToWide(os::kCodePageUtf8, "abc", wide, 4), 4);
    EXPECT_EQ(std::u16string(wide, 4), std::u16string(u"abc\0", 4));
    EXPECT_EQ(Native().MultiToWide(12345, "abc", nullptr, 0), 0);

    char multi[8];
    std::fill(std::begin(multi), std::end(multi), '#');
    // A double-byte character needs room for both bytes.
    EXPECT_EQ(Native().WideToMulti(os::kCodePage932, u"\u3042", nullptr, 0), 3);
    EXPECT_EQ(Native().WideToMulti(os::kCodePage932, u"\u3042", multi, 2), 0);
    EXPECT_EQ(multi[2], '#');
    EXPECT_EQ(Native().WideToMulti(os::kCodePage932, u"\u3042", multi, 3), 3);
    EXPECT_EQ(Native().WideToMulti(os::kCodePageUtf8, u"\u3042", nullptr, 0), 4);
    EXPECT_EQ(Native().WideToMulti(os::kCodePageUtf8, u"\u3042", multi, 3), 0);
    EXPECT_EQ(multi[3], '#');
    EXPECT_EQ(Native().WideToMulti(12345, u"abc", nullptr, 0), 0);
}

// Every double-byte character of code page 932 comes back to a byte pair that means the same.
TEST(OsConversion, Cp932PairsSurviveARoundTrip) {
    int checked = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead > 0x9F && lead < 0xE0) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            const char pair[3] = {static_cast<char>(lead), static_cast<char>(trail), 0};
            std::u16string wide = ToWide(os::kCodePage932, pair);
            ASSERT_EQ(wide.size(), 1u) << lead << "/" << trail;
            if (wide[0] == 0x30FB) continue;  // unassigned (or the middle dot itself)
            std::string back = ToMulti(os::kCodePage932, wide);
            ASSERT_EQ(back.size(), 2u) << lead << "/" << trail;
            EXPECT_EQ(ToWide(os::kCodePage932, back), wide) << lead << "/" << trail;
            ++checked;
        }
    }
    EXPECT_GT(checked, 7000);
}

}  // namespace
