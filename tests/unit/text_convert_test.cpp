// Conversions through the OS seam, path splitting and wide formatting.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <string>

#include "support/text.h"
#include "tools/patchtool/utf8_stream.h"
#include "unit/fault_os.h"
#include "unit/test_util.h"

using testutil::Bytes;
using testutil::Text;

namespace {

const std::string kNihongoUtf8 = Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC});  // 日本
const std::string kNihongoSjis = Bytes({0x93, 0xFA, 0x96, 0x7B});              // 日本
constexpr char16_t kFill = 0xAAAA;


// A narrow conversion both ways it is offered: allocated, and into a caller's buffer of exactly the
// size it needs; one byte less is refused and leaves the buffer untouched.
template <class IntoBuffer>
void ExpectNarrow(const std::unique_ptr<char[]>& alloc, const std::string& expected, IntoBuffer&& into) {
    ASSERT_TRUE(alloc);
    EXPECT_EQ(std::string(alloc.get()), expected);
    const std::size_t need = expected.size() + 1;
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(into(buffer, need), buffer);
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(buffer[need], 'x');
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(into(buffer, need - 1), nullptr);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
}

TEST(TextMultiToWide, PicksTheSourceCodePageFromTheBytes) {
    struct Case {
        std::string bytes;
        std::u16string expected;
        const char* what = "";
    };
    const Case cases[] = {
        {"", u"", "EmptyTextGivesAnEmptyWideString"},
        {"abc", u"abc"},
        {kNihongoUtf8, u"日本"},
        {kNihongoSjis, u"日本"},
        {Bytes({0x95, 0x5C, 0x5C}), u"表\\"},
        // Valid UTF-8 by the scan, so read as UTF-8 although meant as code page 932.
        {Bytes({0xC3, 0xBD, 0x41}), u"\u00FDA"},
        {Bytes({0xC3, 0xBD, 0xC3, 0xBD, 0x80}), u"\uFF83\uFF7D\uFF83\uFF7D\u0080"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what + testing::PrintToString(c.bytes));
        auto alloc = MultiToWide(c.bytes.c_str());
        ASSERT_TRUE(alloc);
        EXPECT_EQ(std::u16string(alloc.get()), c.expected);

        char16_t buffer[16];
        EXPECT_EQ(MultiToWide(buffer, 16, c.bytes.c_str()), buffer);
        EXPECT_EQ(std::u16string(buffer), c.expected);
    }
}

TEST(TextMultiToWide, BufferMustHoldTextAndTerminator) {
    for (const std::string& text : {kNihongoUtf8, kNihongoSjis}) {
        char16_t buffer[4];
        std::fill(std::begin(buffer), std::end(buffer), kFill);
        EXPECT_EQ(MultiToWide(buffer, 3, text.c_str()), buffer);
        EXPECT_EQ(std::u16string(buffer), u"日本");
        EXPECT_EQ(buffer[3], kFill);

        std::fill(std::begin(buffer), std::end(buffer), kFill);
        EXPECT_EQ(MultiToWide(buffer, 2, text.c_str()), nullptr);
        for (char16_t u : buffer) EXPECT_EQ(u, kFill);
        EXPECT_EQ(MultiToWide(buffer, 0, text.c_str()), nullptr);
        EXPECT_EQ(buffer[0], kFill);
    }
}

// Stands for a platform that counts and converts without the terminator, as Wine does after a lone
// UTF-8 lead byte of a long sequence at the end of the text.
class TerminatorDroppingOs : public os::ForwardingApi {
public:
    TerminatorDroppingOs() : ForwardingApi(os::NativeApi()) { previous_ = os::SetApi(this); }
    ~TerminatorDroppingOs() override { os::SetApi(previous_); }

    int MultiToWide(std::uint32_t cp, const char* text, char16_t* out, int capacity) override {
        char16_t full[64];
        int n = Next().MultiToWide(cp, text, full, 64);
        if (n < 1) return 0;
        if (capacity == 0) return n - 1;
        if (capacity < n - 1) return 0;
        std::copy(full, full + n - 1, out);
        return n - 1;
    }

private:
    os::Api* previous_ = nullptr;
};

TEST(TextMultiToWide, ResultThatLostItsTerminatorIsClosedOrRefused) {
    TerminatorDroppingOs dropping;
    auto alloc = MultiToWide(kNihongoUtf8.c_str());
    ASSERT_TRUE(alloc);
    EXPECT_EQ(Text(alloc.get()), u"日本");

    char16_t buffer[4];
    std::fill(std::begin(buffer), std::end(buffer), kFill);
    EXPECT_EQ(MultiToWide(buffer, 3, kNihongoUtf8.c_str()), buffer);
    EXPECT_EQ(Text(buffer), u"日本");
    // The platform said two units were enough; without room for the terminator that is refused.
    EXPECT_EQ(MultiToWide(buffer, 2, kNihongoUtf8.c_str()), nullptr);
    EXPECT_EQ(buffer[0], 0);
}

TEST(TextWideToMulti, TargetCodePageFollowsTheMode) {
    // Only UTF-8 is asked for by name; every other mode means the code page, 932.
    for (TextEncoding mode : {TE_UTF8, TE_CODEPAGE, TE_ASCII, TE_AUTO}) {
        SCOPED_TRACE(mode);
        ExpectNarrow(WideToMulti(u"日本", mode), mode == TE_UTF8 ? kNihongoUtf8 : kNihongoSjis,
                     [&](char* buffer, std::size_t size) { return WideToMulti(buffer, size, u"日本", mode); });
    }
}

// Text already in the target code page (or plain ASCII) is copied as it is; a UTF-8 text with a broken
// tail proves the copy, as a conversion would substitute the tail.
TEST(TextConvert, CopiesWhenNothingNeedsConverting) {
    const std::string brokenUtf8 = Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC, 0xE8, 0xAA, 0x9E, 0x80});
    const std::string brokenSjis = Bytes({0x81, 0x20, 0x41});
    struct Case {
        std::string bytes;
        TextEncoding target;
        std::string converted = {};  // empty: the bytes copied
    };
    const Case cases[] = {
        {"Data\\File.PAK", TE_UTF8},   {"Data\\File.PAK", TE_CODEPAGE},
        {"Data\\File.PAK", TE_ASCII},  {"Data\\File.PAK", TE_AUTO},
        {"", TE_UTF8},                 {brokenUtf8, TE_UTF8},
        {brokenSjis, TE_CODEPAGE},     {brokenSjis, TE_ASCII},
        {kNihongoSjis, TE_UTF8, kNihongoUtf8},
        {kNihongoUtf8, TE_CODEPAGE, kNihongoSjis},
        {kNihongoUtf8, TE_ASCII, kNihongoSjis},
        {Bytes({0x95, 0x5C, 0x5C, 0x41}), TE_UTF8, Bytes({0xE8, 0xA1, 0xA8, 0x5C, 0x41})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.converted.empty() ? "copied " : "ConvertsBetweenCodePages ")
                                        << testing::PrintToString(c.bytes) << " to " << c.target);
        ExpectNarrow(ConvertText(c.bytes.c_str(), c.target), c.converted.empty() ? c.bytes : c.converted,
                     [&](char* buffer, std::size_t size) { return ConvertText(buffer, size, c.bytes.c_str(), c.target); });
    }
}

// Every failing OS call makes the conversion report null, and the caller's buffer is left either
// untouched (the size question failed) or empty (the conversion itself failed).
TEST(TextConvert, FailedOsCallsGiveNull) {
    struct Step {
        OsCall kind;
        int n;
        char16_t wideFirst;
        char narrowFirst;
    };
    const Step steps[] = {
        {OsCall::MultiToWide, 1, kFill, 'x'},
        {OsCall::MultiToWide, 2, 0, 0},
        {OsCall::WideToMulti, 1, kFill, 'x'},
        {OsCall::WideToMulti, 2, 0, 0},
    };
    for (const Step& s : steps) {
        FaultOs fault;
        auto arm = [&] {
            fault.Reset();
            fault.FailNth(s.kind, s.n);
        };
        arm();
        char16_t wide[8];
        std::fill(std::begin(wide), std::end(wide), kFill);
        char narrow[16];
        std::memset(narrow, 'x', sizeof narrow);
        if (s.kind == OsCall::MultiToWide) {
            EXPECT_EQ(MultiToWide(wide, 8, kNihongoSjis.c_str()), nullptr);
            EXPECT_EQ(wide[0], s.wideFirst);
            arm();
            EXPECT_FALSE(MultiToWide(kNihongoSjis.c_str()));
            arm();
            // The temporary wide string of a conversion between code pages fails.
            EXPECT_EQ(ConvertText(narrow, 16, kNihongoSjis.c_str(), TE_UTF8), nullptr);
            EXPECT_EQ(narrow[0], 'x');
        } else {
            EXPECT_EQ(WideToMulti(narrow, 16, u"日本", TE_UTF8), nullptr);
            EXPECT_EQ(narrow[0], s.narrowFirst);
            arm();
            EXPECT_FALSE(WideToMulti(u"日本", TE_UTF8));
            arm();
            EXPECT_FALSE(ConvertText(kNihongoSjis.c_str(), TE_UTF8));
        }
        EXPECT_EQ(fault.Failed(), 1);
    }
}

// --- path splitting ---

struct SplitCase {
    std::string path;
    std::string drive, dir, fname, ext;
};

void ExpectSplit(const SplitCase& c) {
    char drive[kSplitPartBytes], dir[kSplitPartBytes], fname[kSplitPartBytes], ext[kSplitPartBytes];
    for (char* p : {drive, dir, fname, ext}) std::memset(p, 'x', kSplitPartBytes);
    SplitPath(drive, dir, fname, ext, c.path.c_str());
    EXPECT_EQ(Text(drive), c.drive) << c.path;
    EXPECT_EQ(Text(dir), c.dir) << c.path;
    EXPECT_EQ(Text(fname), c.fname) << c.path;
    EXPECT_EQ(Text(ext), c.ext) << c.path;
}

TEST(TextSplitPath, SplitsByTheRunTimeRules) {
    const SplitCase cases[] = {
        {"C:\\Games\\Velmora\\data.pak", "C:", "\\Games\\Velmora\\", "data", ".pak"},
        {"d:/x/y.tar.gz", "d:", "/x/", "y.tar", ".gz"},
        {"a\\b/c.d", "", "a\\b/", "c", ".d"},
        {"a.b\\c", "", "a.b\\", "c", ""},
        {"dir\\.cfg", "", "dir\\", "", ".cfg"},
        {"name.", "", "", "name", "."},
        {"file", "", "", "file", ""},
        {"", "", "", "", ""},
        {"C:", "C:", "", "", ""},
        {"C:name.ext", "C:", "", "name", ".ext"},
        {"\\\\server\\share\\f", "", "\\\\server\\share\\", "f", ""},
        {"dir\\", "", "dir\\", "", ""},
        // A colon elsewhere than second is not a drive.
        {"ab:c", "", "", "ab:c", ""},
        // UTF-8 in, UTF-8 out.
        {"データ\\ファイル.pak", "", "データ\\", "ファイル", ".pak"},
        // Code page 932 in, UTF-8 out; the trail byte 0x5C of 表 is not a separator.
        {Bytes({0x95, 0x5C, 0x2E, 0x74, 0x78, 0x74}), "", "", "表", ".txt"},
        {Bytes({0x95, 0x5C, 0x5C, 0x78, 0x2E, 0x62}), "", "表\\", "x", ".b"},
    };
    for (const SplitCase& c : cases) ExpectSplit(c);
}

TEST(TextSplitPath, PartsOverTheLimitEmptyEverything) {
    const std::string n255(255, 'n');
    const std::string n256(256, 'n');
    std::string kLongKanji;
    for (int i = 0; i < 255; ++i) kLongKanji += "語";
    const SplitCase cases[] = {
        {"dir\\" + n255, "", "dir\\", n255, ""},
        {"dir\\" + n256, "", "", "", ""},
        {"C:dir\\" + n256 + ".txt", "", "", "", ""},
        {"f." + std::string(254, 'e'), "", "", "f", "." + std::string(254, 'e')},
        {"f." + n255, "", "", "", ""},
        {std::string(254, 'd') + "\\f.txt", "", std::string(254, 'd') + "\\", "f", ".txt"},
        {std::string(255, 'd') + "\\f.txt", "", "", "", ""},
        // 255 characters of three bytes each fit the 780-byte output.
        {"d\\" + kLongKanji, "", "d\\", kLongKanji, ""},
    };
    for (const SplitCase& c : cases) ExpectSplit(c);
}

TEST(TextSplitPath, OnlyRequestedPartsAreWritten) {
    char fname[kSplitPartBytes];
    char ext[kSplitPartBytes];
    SplitPath(nullptr, nullptr, fname, ext, "C:\\dir\\file.txt");
    EXPECT_STREQ(fname, "file");
    EXPECT_STREQ(ext, ".txt");
    // The directory is always asked for inside, so its limit applies even when the caller skips it.
    SplitPath(nullptr, nullptr, fname, ext, (std::string(256, 'd') + "\\file.txt").c_str());
    EXPECT_STREQ(fname, "");
    EXPECT_STREQ(ext, "");
}

TEST(TextSplitPathWide, ChecksOnlyRequestedPartsAndTheirCapacity) {
    char16_t drive[8], dir[kPathUnits], fname[8], ext[8];
    auto fill = [&] {
        for (char16_t* part : {drive, fname, ext}) std::fill(part, part + 8, kFill);
        std::fill(std::begin(dir), std::end(dir), kFill);
    };
    WideSplitOutputs all{drive, 8, dir, kPathUnits, fname, 8, ext, 8};

    fill();
    SplitPathWide(all, "C:\\dir\\file.txt");
    EXPECT_EQ(Text(drive), u"C:");
    EXPECT_EQ(Text(dir), u"\\dir\\");
    EXPECT_EQ(Text(fname), u"file");
    EXPECT_EQ(Text(ext), u".txt");

    // "file.txt" is eight units: its name fits in 5, not in 4.
    WideSplitOutputs tight = all;
    tight.fnameCapacity = 5;
    fill();
    SplitPathWide(tight, "C:\\dir\\file.txt");
    EXPECT_EQ(Text(fname), u"file");
    tight.fnameCapacity = 4;
    fill();
    SplitPathWide(tight, "C:\\dir\\file.txt");
    for (const char16_t* part : {drive, dir, fname, ext}) EXPECT_EQ(Text(part), u"");

    // A directory over the limit does not matter when it is not asked for.
    fill();
    SplitPathWide({.fname = fname, .fnameCapacity = 8}, (std::string(300, 'd') + "\\file.txt").c_str());
    EXPECT_EQ(Text(fname), u"file");
    EXPECT_EQ(dir[0], kFill);

    // A path too long for the work buffer is refused without overflowing it.
    fill();
    SplitPathWide(all, std::string(2000, 'p').c_str());
    EXPECT_EQ(Text(drive), u"");
    EXPECT_EQ(Text(fname), u"");
}

TEST(TextSplitPathWide, FailedConversionGivesEmptyParts) {
    FaultOs fault;
    fault.FailNth(OsCall::MultiToWide, 1, true);
    char16_t fname[8], ext[8];
    for (char16_t* part : {fname, ext}) std::fill(part, part + 8, kFill);
    SplitPathWide({.fname = fname, .fnameCapacity = 8, .ext = ext, .extCapacity = 8}, "file.txt");
    EXPECT_EQ(Text(fname), u"");
    EXPECT_EQ(Text(ext), u"");

    char narrow[kSplitPartBytes];
    std::memset(narrow, 'x', sizeof narrow);
    SplitPath(nullptr, nullptr, narrow, nullptr, "file.txt");
    EXPECT_STREQ(narrow, "");
}

// --- wide formatting ---

TEST(TextFormatWide, FormatsTheSupportedConversions) {
    char16_t out[64];
    auto check = [&](int written, const std::u16string& expected) {
        EXPECT_EQ(Text(out), expected);
        EXPECT_EQ(written, static_cast<int>(expected.size()));
    };
    check(FormatWide(out, 64, u"Software\\%s\\%s", u"MarbleHollow", u"ヴェルモラ"),
          u"Software\\MarbleHollow\\ヴェルモラ");
    check(FormatWide(out, 64, u"%s\\%s.tmp", u"C:\\Game", u"data.pak"), u"C:\\Game\\data.pak.tmp");
    check(FormatWide(out, 64, u"%sをインストール中", u"data.pak"), u"data.pakをインストール中");
    check(FormatWide(out, 64, u"%d|%d|%d|%u|%u", 0, -42, INT_MIN, 7u, 4294967295u),
          u"0|-42|-2147483648|7|4294967295");
    check(FormatWide(out, 64, u"%x|%X|%x|%c%c|100%%", 0xBEEFu, 0xBEEFu, 0u, u'ア', u'z'), u"beef|BEEF|0|アz|100%");
    // Unknown conversions and a trailing '%' are copied and take no argument.
    check(FormatWide(out, 64, u"%q%s%", u"arg"), u"%qarg%");
    check(FormatWide(out, 64, u"[%s]", static_cast<const char16_t*>(nullptr)), u"[(null)]");
    check(FormatWide(out, 64, u""), u"");
}

TEST(TextFormatWide, RefusesTextThatDoesNotFit) {
    char16_t out[16];
    std::fill(std::begin(out), std::end(out), kFill);
    EXPECT_EQ(FormatWide(out, 10, u"%s\\%s", u"abcd", u"efgh"), 9);
    EXPECT_EQ(Text(out), u"abcd\\efgh");
    EXPECT_EQ(out[10], kFill);

    std::fill(std::begin(out), std::end(out), kFill);
    EXPECT_EQ(FormatWide(out, 9, u"%s\\%s", u"abcd", u"efgh"), -1);
    EXPECT_EQ(out[0], 0);
    for (int i = 9; i < 16; ++i) EXPECT_EQ(out[i], kFill);

    std::fill(std::begin(out), std::end(out), kFill);
    EXPECT_EQ(FormatWide(out, 0, u"x"), -1);
    EXPECT_EQ(out[0], kFill);
    EXPECT_EQ(FormatWide(out, 1, u""), 0);
    EXPECT_EQ(FormatWide(out, 1, u"%d", 5), -1);
    EXPECT_EQ(out[0], 0);
}

TEST(TextWideLength, CountsUnits) {
    EXPECT_EQ(WideLength(u""), 0u);
    EXPECT_EQ(WideLength(u"abc"), 3u);
    EXPECT_EQ(WideLength(u"日本\U0001F600"), 4u);
}

}  // namespace

// What patchtool.exe hands the console: whole UTF-8 sequences however the text was cut into writes
// and flushes (1- to 4-byte sequences; one text longer than the buffer), and every byte.
TEST(Utf8Stream, HandsOnWholeSequencesWhateverTheCuts) {
    const std::string shortText = "a\xC3\xA9\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\xF0\x9F\x8E\xAEz";
    std::string longText;
    for (int i = 0; i < 1500; ++i) longText += "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.arc ";
    for (const std::string& text : {shortText, longText}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, text.size()}) {
            std::string got;
            {
                Utf8StreamBuffer buffer([&](const char* p, std::size_t n) {
                    EXPECT_EQ(Utf8UnfinishedTail(p, n), 0u);
                    EXPECT_NE(static_cast<unsigned char>(p[0]) & 0xC0, 0x80) << "starts inside a sequence";
                    got.append(p, n);
                });
                std::ostream out(&buffer);
                for (std::size_t at = 0; at < text.size(); at += piece) out << text.substr(at, piece) << std::flush;
            }
            EXPECT_EQ(got, text) << "pieces of " << piece;
        }
    }
    EXPECT_EQ(Utf8UnfinishedTail("ab\xE3\x83", 4), 2u);
    EXPECT_EQ(Utf8UnfinishedTail("\xF0\x9F\x8E", 3), 3u);
}
