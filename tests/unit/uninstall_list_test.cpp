#include "update/uninstall_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/text.h"
#include "unit/fault_loop.h"
#include "unit/test_util.h"

namespace {

using testutil::Bytes;
using testutil::TempDir;
using Strings = std::vector<std::string>;

// Japanese in UTF-8 and code page 932.
const std::string kTesutoUtf8 = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";  // テスト
const std::string kTesutoCp932 = "\x83\x65\x83\x58\x83\x67";
const std::string kHyouUtf8 = "\xE8\xA1\xA8";  // 表: its code page 932 form 0x95 0x5C ends in a backslash
const std::string kHyouCp932 = "\x95\x5C";

Strings ToStrings(const UninstallChain& chain) {
    Strings out;
    for (const UninstallNode* n = chain.head.get(); n != nullptr; n = n->next.get()) out.emplace_back(n->text.get());
    return out;
}

struct Parsed {
    Strings names;
    Strings dollars;
};

Parsed Parse(const std::string& text) {
    UninstallList list;
    ParseUninstallList(text.c_str(), list);
    return {ToStrings(list.names), ToStrings(list.dollars)};
}

// A scratch folder for the list, and merges of names into it.
struct MergeRun {
    TempDir dir;

    bool Merge(const std::vector<std::u16string>& names) {
        std::vector<const char16_t*> slots;
        for (const auto& n : names) slots.push_back(n.c_str());
        slots.push_back(nullptr);
        return MergeUninstallList(dir.Folder().c_str(), slots.data());
    }
    std::string List() const { return dir.Read(kUninstallListName); }
};

std::string Z(const std::string& s) { return s + std::string(1, '\0'); }
std::string Times(int n, const std::string& s) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// ---- parsing ----

struct ParseCase {
    const char* what;
    std::string text;
    Strings names;
    Strings dollars;
};

TEST(UninstallListParse, NormalisesLines) {
    const ParseCase cases[] = {
        {"CR LF and lower case", "Data\\A.PAK\r\nB.Txt\r\n", {"data\\a.pak", "b.txt"}, {}},
        {"leading blanks dropped", " \t a.txt\n\t\tb.txt\n", {"a.txt", "b.txt"}, {}},
        {"trailing blanks kept", "a.txt \na.txt\na.txt\t\n", {"a.txt ", "a.txt", "a.txt\t"}, {}},
        {"ASCII case duplicates keep the first position", "B.txt\nA.txt\nb.TXT\na.txt\n", {"b.txt", "a.txt"}, {}},
        {"non-ASCII case stays apart", "\xC3\x84.txt\n\xC3\xA4.txt\n\xEF\xBC\xA1\n\xEF\xBD\x81\n",
         {"\xC3\x84.txt", "\xC3\xA4.txt", "\xEF\xBC\xA1", "\xEF\xBD\x81"}, {}},
        {"code page 932 equals UTF-8", kTesutoCp932 + ".PAK\n" + kTesutoUtf8 + ".pak\n", {kTesutoUtf8 + ".pak"}, {}},
        {"trail byte 0x5C kept whole", kHyouCp932 + "\\A.txt\n", {kHyouUtf8 + "\\a.txt"}, {}},
        {"dollar lines apart, in order, once", "$X\na\n  $y\nb\n\t$x\n$z\n",
         {"a", "b"}, {"$x", "$y", "$z"}},
        {"blank lines yield nothing", " \t\n\r\n\na\n   \n\t\r\nb", {"a", "b"}, {}},
        {"blank-only text", "  \t ", {}, {}},
        {"CR and LF only", "\r\n\n\r\r", {}, {}},
        {"empty text", "", {}, {}},
        {"no final line break", "a\r\nb", {"a", "b"}, {}},
        {"lone CR separates", "a\rb\r\rc", {"a", "b", "c"}, {}},
        {"dollar only after blanks", "x$\n $\n", {"x$"}, {"$"}},
        // 0xFF walks as a lead byte and takes the CR with it, but converts as a byte of its own, so the
        // converted line would hold a CR. Written back it would read as two lines; it is two lines now.
        {"LineThatConvertsToALineBreakIsSplit", Bytes({0xFF, '\r', ' ', '$', 'x', '\n', 'B', '\n'}), {"\xEF\xA3\xB3", "b"},
         {"$x"}},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.text);
        EXPECT_EQ(p.names, c.names) << c.what;
        EXPECT_EQ(p.dollars, c.dollars) << c.what;
    }
}

TEST(UninstallListParse, AppendsToListsAlreadyHolding) {
    UninstallList list;
    ParseUninstallList("a\n$b\n", list);
    ParseUninstallList("A\nc\n$B\n$d\n", list);
    EXPECT_EQ(ToStrings(list.names), (Strings{"a", "c"}));
    EXPECT_EQ(ToStrings(list.dollars), (Strings{"$b", "$d"}));
}

TEST(UninstallListParse, LeadByteSwallowsFollowingCr) {
    // In code page 932 text a lead byte takes the next byte as its second half, even a CR; the line
    // then ends at the LF. The pair converts to something, but "b" must stay a line of its own.
    Parsed p = Parse(Bytes({'a', 0x81, '\r', '\n', 'b', '\n'}));
    ASSERT_EQ(p.names.size(), 2u);
    EXPECT_EQ(p.names[1], "b");
    EXPECT_TRUE(testutil::Contains(p.names[0], "a"));
}

TEST(UninstallListParse, LinesAroundTheFormatLimitStayWhole) {
    // 779 bytes is the longest line of the format; longer ones are kept whole rather than cut,
    // as a cut line would name another file.
    for (std::size_t length : {std::size_t{778}, std::size_t{779}, std::size_t{780}, std::size_t{781}, std::size_t{5000}}) {
        std::string line(length, 'A');
        Parsed p = Parse("x\n" + line + "\r\ny");
        EXPECT_EQ(p.names, (Strings{"x", std::string(length, 'a'), "y"})) << length;
    }
    // 300 double-byte characters: 600 bytes read, 900 bytes of UTF-8.
    EXPECT_EQ(Parse(Times(100, kTesutoCp932) + "\n").names, (Strings{Times(100, kTesutoUtf8)}));
}

TEST(UninstallListParse, UnconvertibleLineIsSkipped) {
    FaultOs fault;
    fault.FailNth(OsCall::MultiToWide, 1, /*persistent=*/true);
    // ASCII and UTF-8 lines are copied as they are; only the code page 932 line needs the platform.
    Parsed p = Parse("a\n" + kTesutoCp932 + "\n" + kTesutoUtf8 + "\n$B\n");
    EXPECT_GT(fault.Failed(), 0);
    EXPECT_EQ(p.names, (Strings{"a", kTesutoUtf8}));
    EXPECT_EQ(p.dollars, (Strings{"$b"}));
}

// The line splitting as first defined: for each line, classify the rest of the text and search it for
// CR and for LF separately. The parse gets there in one walk; on any text both must agree.
Parsed ReferenceParse(const std::string& input) {
    UninstallList list;
    const char* p = input.c_str();
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        const char* cr = StrFindChar(p, '\r', TE_AUTO);
        const char* lf = StrFindChar(p, '\n', TE_AUTO);
        const char* end = cr && lf ? (cr < lf ? cr : lf) : cr ? cr : lf ? lf : p + std::strlen(p);
        if (end > p) {
            std::string line(p, end);
            auto converted = ConvertText(line.c_str(), TE_UTF8);
            if (converted) {
                StrToLower(converted.get());
                // A converted line that holds line breaks is taken as the lines it holds.
                std::string rest = converted.get();
                std::size_t at = 0;
                while (at <= rest.size()) {
                    std::size_t stop = rest.find_first_of("\r\n", at);
                    if (stop == std::string::npos) stop = rest.size();
                    std::string piece = rest.substr(at, stop - at);
                    piece.erase(0, piece.find_first_not_of(" \t") == std::string::npos ? piece.size()
                                                                                      : piece.find_first_not_of(" \t"));
                    if (!piece.empty()) (piece[0] == '$' ? list.dollars : list.names).AppendUnique(piece.c_str());
                    at = stop + 1;
                }
            }
        }
        const char* next = end;
        while (*next == '\r' || *next == '\n') ++next;
        if (next == p && *next != '\0') {
            std::uint32_t n = DecodeChar(nullptr, next, DetectTextEncoding(next));
            std::uint32_t i = 1;
            while (i < n && next[i] != '\0') ++i;
            next += i;
        }
        p = next;
    }
    return {ToStrings(list.names), ToStrings(list.dollars)};
}

TEST(UninstallListParse, AgreesWithSearchingEachLineAfresh) {
    // Bytes that matter: line breaks, blanks, '$', letters, lead bytes of both encodings, UTF-8
    // continuation bytes and overlong encodings of CR (C0 8D, E0 80 8D).
    const unsigned char alphabet[] = {'\r', '\n', ' ', '\t', '$', 'A', 'b', '\\', 0x81, 0x95, 0x5C, 0x83,
                                      0xE3, 0x82, 0x80, 0x8D, 0xC0, 0xE0, 0xC3, 0xBD, 0xFF, 0x0D};
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 60, '\0');
        for (auto& c : text) c = static_cast<char>(alphabet[rng() % sizeof alphabet]);
        Parsed expected = ReferenceParse(text);
        Parsed got = Parse(text);
        ASSERT_EQ(got.names, expected.names) << "round " << round;
        ASSERT_EQ(got.dollars, expected.dollars) << "round " << round;
    }
    // Three valid sequences make the rest UTF-8, so the overlong CR there ends a line.
    const std::string overlong = "\xC3\xBD\xC3\xBD\xC3\xBD" "a\xE0\x80\x8D" "b\n\xE0\x80\x8D\xC3\xBD\xC3\xBD\xC3\xBD\n";
    Parsed expected = ReferenceParse(overlong);
    Parsed got = Parse(overlong);
    EXPECT_EQ(got.names, expected.names);
    EXPECT_EQ(got.dollars, expected.dollars);
}

// ---- the chain ----

TEST(UninstallChain, AppendsOnceAndStartsOverAfterClear) {
    UninstallChain chain;
    EXPECT_FALSE(chain.Contains("a"));
    chain.AppendUnique("a");
    chain.AppendUnique("b");
    chain.AppendUnique("a");
    EXPECT_TRUE(chain.Contains("b"));
    EXPECT_FALSE(chain.Contains("B"));
    EXPECT_EQ(ToStrings(chain), (Strings{"a", "b"}));
    chain.Clear();
    EXPECT_TRUE(chain.head == nullptr);
    EXPECT_FALSE(chain.Contains("a"));
    chain.AppendUnique("c");
    chain.AppendUnique("d");
    EXPECT_EQ(ToStrings(chain), (Strings{"c", "d"}));
}

TEST(UninstallChain, LongChainIsFreedWithoutDeepRecursion) {
    // Freed node by node, a chain this long would overflow the stack.
    auto chain = std::make_unique<UninstallChain>();
    chain->AppendUnique("first");
    for (int i = 0; i < 1000000; ++i) {
        auto node = std::make_unique<UninstallNode>();
        node->text = std::make_unique<char[]>(1);
        UninstallNode* raw = node.get();
        chain->tail->next = std::move(node);
        chain->tail = raw;
    }
    std::size_t count = 0;
    for (const UninstallNode* n = chain->head.get(); n != nullptr; n = n->next.get()) ++count;
    EXPECT_EQ(count, 1000001u);
    chain.reset();
}

// ---- write and merge ----

TEST(UninstallListWrite, NamesThenDollarsAndReleasesTheLists) {
    TempDir dir;
    UninstallList list;
    list.dollars.AppendUnique("$run");
    list.names.AppendUnique("a.txt");
    list.names.AppendUnique("b.txt");
    std::u16string path = dir.Path("out.lst");
    dir.Write("out.lst", "old");
    ASSERT_TRUE(WriteUninstallList(path.c_str(), list));
    EXPECT_EQ(dir.Read("out.lst"), Z("a.txt\nb.txt\n$run\n"));
    EXPECT_TRUE(list.names.head == nullptr);
    EXPECT_TRUE(list.dollars.head == nullptr);

    // Empty lists: a single zero byte. A failed write releases the lists too.
    ASSERT_TRUE(WriteUninstallList(path.c_str(), list));
    EXPECT_EQ(dir.Read("out.lst"), std::string(1, '\0'));
    list.names.AppendUnique("x");
    std::u16string missing = dir.Path("no/such/folder.lst");
    EXPECT_FALSE(WriteUninstallList(missing.c_str(), list));
    EXPECT_TRUE(list.names.head == nullptr);
    EXPECT_TRUE(list.names.tail == nullptr);
}

struct MergeCase {
    const char* what;
    std::string before;
    std::vector<std::u16string> names;
    std::string after;  // without the final zero byte
};

TEST(UninstallListMerge, RewritesTheFile) {
    const std::u16string tesuto = u"\u30C7\u30FC\u30BF\\\u30C6\u30B9\u30C8.PAK";  // データ\テスト.PAK
    const std::string tesutoUtf8 = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\" + kTesutoUtf8 + ".pak";
    const std::string l779(779, 'x'), l780(780, 'y'), l4000(4000, 'z');
    const MergeCase cases[] = {
        {"CR LF to LF, lower case, zero byte", "Data\\A.PAK\r\nSave\\B.DAT\r\n", {u"data\\A.pak"},
         "data\\a.pak\nsave\\b.dat\n"},
        {"text after the first zero byte is dropped", Z("a\n") + "b\n", {}, "a\n"},
        {"listed in any case not added; new ones before the dollar lines", "A.txt\n$cmd\nb.txt\n",
         {u"a.TXT", u"Sub\\C.txt", u"B.TXT", u"sub\\c.TXT"}, "a.txt\nb.txt\nsub\\c.txt\n$cmd\n"},
        {"a name beginning with a dollar joins the names", "a\n$x\n", {u"$x"}, "a\n$x\n$x\n"},
        {"CR and LF only", "\r\n\r\n\n", {u"A.pak", u"QMK.hvl"}, "a.pak\nqmk.hvl\n"},
        {"both groups empty", "\n", {}, ""},
        {"wide Japanese name as UTF-8", kTesutoCp932 + "\n", {tesuto}, kTesutoUtf8 + "\n" + tesutoUtf8 + "\n"},
        {"code page 932 line matches a wide name", "\x83\x66\x81\x5B\x83\x5E\\" + kTesutoCp932 + ".PAK\n",
         {u"\u30C7\u30FC\u30BF\\\u30C6\u30B9\u30C8.pak"}, tesutoUtf8 + "\n"},
        {"empty name skipped", "a\n", {u"", u"b"}, "a\nb\n"},
        {"LongLinesAreKeptWhole", l779 + "\r\n" + l780 + "\r\n" + Times(100, kTesutoCp932) + "\r\n" + l4000, {u"n"},
         l779 + "\n" + l780 + "\n" + Times(100, kTesutoUtf8) + "\n" + l4000 + "\nn\n"},
    };
    for (const auto& c : cases) {
        MergeRun run;
        run.dir.Write(kUninstallListName, c.before);
        EXPECT_TRUE(run.Merge(c.names)) << c.what;
        EXPECT_EQ(run.List(), Z(c.after)) << c.what;
        EXPECT_EQ(run.dir.List(), (Strings{kUninstallListName})) << c.what;
    }
}

// The list's own path fits the engine's 780 units, so it is rewritten (its temporary name is longer).
TEST(UninstallListMerge, ListAtTheLengthLimitIsRewritten) {
    TempDir dir;
    const auto folder = testutil::MakeFolderOfLength(dir.Root(), 768);  // "\\uninst.lst" ends at 779 units
    testutil::WriteAll(folder / kUninstallListName, "A\r\n");
    const char16_t* names[] = {u"b", nullptr};
    EXPECT_TRUE(MergeUninstallList(folder.u16string().c_str(), names));
    EXPECT_EQ(testutil::ReadAll(folder / kUninstallListName), Z("a\nb\n"));
}

TEST(UninstallListMerge, SecondMergeRewritesByteForByte) {
    MergeRun run;
    run.dir.Write(kUninstallListName, "  $Setup\r\n" + kTesutoCp932 + "\\A.pak\r\n\tSave \r\n$Setup\r\n");
    const std::vector<std::u16string> names = {u"Data\\New.pak", u"SAVE ", u"QMK.hvl"};
    ASSERT_TRUE(run.Merge(names));
    const std::string first = run.List();
    EXPECT_EQ(first, Z(kTesutoUtf8 + "\\a.pak\nsave \ndata\\new.pak\nqmk.hvl\n$setup\n"));

    // Read back into the same two lists.
    Parsed p = Parse(first);
    EXPECT_EQ(p.names, (Strings{kTesutoUtf8 + "\\a.pak", "save ", "data\\new.pak", "qmk.hvl"}));
    EXPECT_EQ(p.dollars, (Strings{"$setup"}));

    ASSERT_TRUE(run.Merge(names));
    EXPECT_EQ(run.List(), first);
}

TEST(UninstallListMerge, DollarNameIsAddedAgainByEveryMerge) {
    MergeRun run;
    run.dir.Write(kUninstallListName, "a\n");
    ASSERT_TRUE(run.Merge({u"$X"}));
    EXPECT_EQ(run.List(), Z("a\n$x\n"));
    EXPECT_EQ(Parse(run.List()).dollars, (Strings{"$x"}));
    ASSERT_TRUE(run.Merge({u"$X"}));
    EXPECT_EQ(run.List(), Z("a\n$x\n$x\n"));
}

TEST(UninstallListMerge, FailsWithoutTouchingAMissingEmptyOrReadOnlyList) {
    for (const char* before : {static_cast<const char*>(nullptr), "", "Old\r\n"}) {
        SCOPED_TRACE(before ? testing::PrintToString(before) : "no list");
        MergeRun run;
        if (before) run.dir.Write(kUninstallListName, before);
        if (before && *before) run.dir.SetReadOnly(kUninstallListName, true);
        EXPECT_FALSE(run.Merge({u"a"}));
        EXPECT_EQ(run.dir.List(), before ? Strings{kUninstallListName} : Strings{});
        if (before) { EXPECT_EQ(run.List(), before); }
    }
    // No names at all, and a folder too long for the path buffer.
    MergeRun run;
    run.dir.Write(kUninstallListName, "A\n");
    EXPECT_TRUE(MergeUninstallList(run.dir.Folder().c_str(), nullptr));
    EXPECT_EQ(run.List(), Z("a\n"));
    FaultOs fault;
    std::u16string longFolder = run.dir.Folder() + u"\\" + std::u16string(770 - run.dir.Folder().size(), u'd');
    const char16_t* none[] = {nullptr};
    EXPECT_FALSE(MergeUninstallList(longFolder.c_str(), none));
    EXPECT_EQ(fault.Count(OsCall::OpenRead), 0);
}

TEST(UninstallListMerge, FailedReadOrWriteKeepsTheOldList) {
    const std::string old = "Keep\r\n" + kTesutoCp932 + "\r\n$Me\r\n";
    std::vector<FailedCall> calls = {{OsCall::OpenRead}, {OsCall::GetSize}, {OsCall::Read}, {OsCall::Read, true}};
    calls.insert(calls.end(), kRewriteFailures.begin(), kRewriteFailures.end());
    MergeRun run;
    ForEachFailedKind(calls, [&](FaultOs&) {
        run.dir.Write(kUninstallListName, old);
        EXPECT_FALSE(run.Merge({u"new.pak"}));
        EXPECT_EQ(run.List(), old);
        EXPECT_EQ(run.dir.List(), (Strings{kUninstallListName}));
    });
}

TEST(UninstallListMerge, UnconvertibleNameIsSkipped) {
    MergeRun run;
    run.dir.Write(kUninstallListName, "a\n");
    FaultOs fault;
    fault.FailNth(OsCall::WideToMulti, 1);
    EXPECT_TRUE(run.Merge({u"b", u"c"}));
    EXPECT_EQ(fault.Failed(), 1);
    EXPECT_EQ(run.List(), Z("a\nc\n"));
}

}  // namespace
