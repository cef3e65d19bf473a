// Detection, decoding, search, lower-casing, comparison and copying of multibyte names.
//
// Every input is placed in a heap block of exactly its bytes plus the terminator, so that a walk
// which reads past the terminator is caught by AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/text.h"
#include "unit/test_util.h"

using testing::PrintToString;
using testutil::Bytes;

namespace {

// The bytes and their terminator, nothing more.
std::unique_ptr<char[]> Exact(const std::string& bytes) {
    std::unique_ptr<char[]> p(new char[bytes.size() + 1]);
    std::memcpy(p.get(), bytes.data(), bytes.size());
    p[bytes.size()] = 0;
    return p;
}

const std::string kNihongo = Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC, 0xE8, 0xAA, 0x9E});  // 日本語

TEST(TextDetect, ClassifiesByTheRulesOfTheScan) {
    const std::pair<std::string, TextEncoding> cases[] = {
        {"", TE_ASCII},
        {"plain name.txt", TE_ASCII},
        {Bytes({0x7F}), TE_ASCII},
        // Detection stops after the third multi-byte sequence, whatever follows.
        {kNihongo + Bytes({0x80}), TE_UTF8},
        {kNihongo + Bytes({0xC0, 0x81, 0x20}), TE_UTF8},
        {Bytes({0xC3, 0xBD, 0x41, 0xC3, 0xBD, 0x41, 0xC3, 0xBD, 0x80}), TE_UTF8},
        // The third character cut short by the terminator.
        {Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C}), TE_CODEPAGE},
        {Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC, 0xE8, 0xAA}), TE_CODEPAGE},
        {Bytes({0xC3}), TE_CODEPAGE},
        {Bytes({0x41, 0xE6}), TE_CODEPAGE},
        // Code page 932 lead bytes 0x81 to 0x9F are refused at once.
        {Bytes({0x82, 0xA0}), TE_CODEPAGE},
        {Bytes({0x41, 0x81, 0x40}), TE_CODEPAGE},
        // Code page 932 bytes that happen to be valid UTF-8.
        {Bytes({0xC3, 0xBD, 0xC3, 0xBD, 0xC3, 0xBD}), TE_UTF8},
        {Bytes({0xC3, 0xBD, 0x41}), TE_UTF8},
        {Bytes({0xC3, 0xBD, 0xC3, 0xBD, 0x80}), TE_CODEPAGE},
        {Bytes({0xC3, 0xBD, 0xC3, 0x41}), TE_CODEPAGE},
        // 0xC0 and 0xC1 are the only refused would-be lead bytes; 0xC2 is the first accepted one.
        {Bytes({0xC0, 0xAF}), TE_CODEPAGE},
        {Bytes({0xC1, 0xBF}), TE_CODEPAGE},
        {Bytes({0xC2, 0x80}), TE_UTF8},
        {Bytes({0xBF}), TE_CODEPAGE},
        // Overlong forms, encoded surrogates and values above the Unicode range pass.
        {Bytes({0xE0, 0x80, 0x80}), TE_UTF8},
        {Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80}), TE_UTF8},
        {Bytes({0xF4, 0x90, 0x80, 0x80}), TE_UTF8},
        {Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), TE_UTF8},
        {Bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), TE_UTF8},
        {Bytes({0xFE, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}), TE_UTF8},
        {Bytes({0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}), TE_UTF8},
        // The lead byte's length is taken at its word: one trail byte short is refused.
        {Bytes({0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x41}), TE_CODEPAGE},
        {Bytes({0xF8, 0x88, 0x80, 0x80}), TE_CODEPAGE},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(DetectTextEncoding(Exact(bytes).get()), expected) << PrintToString(bytes);
}

struct Utf8Case {
    std::string bytes;
    std::uint32_t code;
    std::uint32_t length;
};

TEST(TextDecodeUtf8, DecodesWithoutValidation) {
    const Utf8Case cases[] = {
        {"A", 0x41, 1},
        {Bytes({0xC3, 0xBD}), 0xFD, 2},
        {Bytes({0xE6, 0x97, 0xA5}), 0x65E5, 3},
        {Bytes({0xF0, 0x9F, 0x98, 0x80}), 0x1F600, 4},
        {Bytes({0xC0, 0xAF}), 0x2F, 2},
        {Bytes({0xED, 0xA0, 0x80}), 0xD800, 3},
        // A stray trail byte opens a sequence as well, and trail bytes are taken as they come.
        {Bytes({0x80, 0x41}), 0x01, 2},
        {Bytes({0xA0, 0x80, 0x80}), 0x00, 3},
        {Bytes({0xC3, 0x7D}), 0xFD, 2},
        {Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), 0x200000, 5},
        {Bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}), 0x7FFFFFFF, 6},
        // Seven and eight byte forms carry no payload in the lead byte and lose the top bits.
        {Bytes({0xFE, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}), 0xFFFFFFFF, 7},
        {Bytes({0xFF, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81}), 0x41041041, 8},
        // Cut short by the terminator: only the bytes before it belong to the character.
        {Bytes({0xC3}), 0xFFFD, 1},
        {Bytes({0xE6, 0x97}), 0xFFFD, 2},
        {Bytes({0xFF, 0x80, 0x80}), 0xFFFD, 3},
    };
    for (const Utf8Case& c : cases) {
        auto text = Exact(c.bytes);
        std::uint32_t code = 0x12345678;
        EXPECT_EQ(DecodeUtf8Char(&code, text.get()), c.length) << PrintToString(c.bytes);
        EXPECT_EQ(code, c.code) << PrintToString(c.bytes);
        EXPECT_EQ(DecodeUtf8Char(nullptr, text.get()), c.length) << PrintToString(c.bytes);
    }
}

TEST(TextLeadByte, MatchesCodePage932Ranges) {
    const std::pair<int, int> cases[] = {
        {0x00, 0}, {0x41, 0}, {0x5C, 0}, {0x80, 0}, {0x81, 1}, {0x9F, 1}, {0xA0, 0}, {0xA1, 0},
        {0xDF, 0}, {0xE0, 1}, {0xEF, 1}, {0xFC, 1}, {0xFD, 0}, {0xFE, 0}, {0xFF, 1},
    };
    for (auto [byte, expected] : cases) {
        char b[2] = {static_cast<char>(byte), 0};
        EXPECT_EQ(IsCp932LeadByte(b), expected) << std::hex << byte;
    }
}

TEST(TextFullWidth, HalfWidthKatakanaAndAsciiAreNarrow) {
    const std::pair<std::uint32_t, int> cases[] = {
        {0x00, 0}, {0x41, 0}, {0x7F, 0}, {0x80, 1}, {0xFD, 1}, {0x65E5, 1}, {0xFF60, 1},
        {0xFF61, 0}, {0xFF83, 0}, {0xFF9F, 0}, {0xFFA0, 1}, {0x10000, 1}, {0x955C, 1},
    };
    for (auto [code, expected] : cases) EXPECT_EQ(IsFullWidthCode(code), expected) << std::hex << code;
}

struct CharCase {
    std::string bytes;
    TextEncoding mode;
    std::uint32_t code;
    std::uint32_t length;
    int fullWidth;
};

TEST(TextDecodeChar, DecodesPerMode) {
    const CharCase cases[] = {
        // Surrogates written as their own sequences join into one character.
        {Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80}), TE_UTF8, 0x10000, 6, 1},
        {Bytes({0xED, 0xAF, 0xBF, 0xED, 0xBF, 0xBF}), TE_UTF8, 0x10FFFF, 6, 1},
        {Bytes({0xED, 0xA0, 0x80, 0x41}), TE_UTF8, 0xD800, 3, 1},
        {Bytes({0xED, 0xA0, 0x80}), TE_UTF8, 0xD800, 3, 1},
        {Bytes({0xED, 0xA0, 0x80, 0xED, 0xA0, 0x80}), TE_UTF8, 0xD800, 3, 1},
        {Bytes({0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80}), TE_UTF8, 0xDC00, 3, 1},
        // The low half cut short by the terminator does not join.
        {Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0}), TE_UTF8, 0xD800, 3, 1},
        {Bytes({0xEF, 0xBE, 0x83}), TE_UTF8, 0xFF83, 3, 0},
        {Bytes({0xE6, 0x97, 0xA5}), TE_UTF8, 0x65E5, 3, 1},
        {"A", TE_UTF8, 0x41, 1, 0},
        {Bytes({0xFF, 0x41}), TE_CODEPAGE, 0xFF41, 2, 1},
        {Bytes({0xC3}), TE_CODEPAGE, 0xC3, 1, 0},
        {Bytes({0x95, 0x5C}), TE_CODEPAGE, 0x955C, 2, 1},
        {Bytes({0xB1, 0x5C}), TE_CODEPAGE, 0xB1, 1, 0},
        // A lead byte right before the terminator stands alone.
        {Bytes({0x81}), TE_CODEPAGE, 0x81, 1, 0},
        // TE_AUTO detects the mode from the bytes, as StrFindChar does.
        {Bytes({0x95, 0x5C}), TE_AUTO, 0x955C, 2, 1},
        {Bytes({0xE6, 0x97, 0xA5}), TE_AUTO, 0x65E5, 3, 1},
        {Bytes({0xB1, 0x5C}), TE_AUTO, 0xB1, 1, 0},
        {"A", TE_AUTO, 0x41, 1, 0},
        {Bytes({0x95, 0x5C}), TE_ASCII, 0x95, 1, 0},
        {Bytes({0xE6, 0x97, 0xA5}), TE_ASCII, 0xE6, 1, 0},
        {"A", static_cast<TextEncoding>(2), 0, 0, 0},
        {"A", static_cast<TextEncoding>(0x7FFFFFFF), 0, 0, 0},
    };
    for (const CharCase& c : cases) {
        auto text = Exact(c.bytes);
        std::uint32_t code = 0xDEADBEEF;
        std::uint32_t length = DecodeChar(&code, text.get(), c.mode);
        EXPECT_EQ(length, c.length) << PrintToString(c.bytes) << " mode " << c.mode;
        EXPECT_EQ(code, c.code) << PrintToString(c.bytes) << " mode " << c.mode;
        // Full width: a code-page byte pair, or a UTF-8 character of a full-width code.
        TextEncoding mode = c.mode == TE_AUTO ? DetectTextEncoding(text.get()) : c.mode;
        int fullWidth = mode == TE_UTF8 ? IsFullWidthCode(code) : (mode == TE_CODEPAGE && length == 2);
        EXPECT_EQ(fullWidth, c.fullWidth) << PrintToString(c.bytes) << " mode " << c.mode;
        EXPECT_EQ(DecodeChar(nullptr, text.get(), c.mode), c.length);
    }
}

struct FindCase {
    std::string bytes;
    std::uint32_t code;
    TextEncoding mode;
    int offset;  // -1: not found
};

TEST(TextFindChar, NeverMatchesATrailByte) {
    const std::string sjis = Bytes({0x95, 0x5C, 0x41, 0x5C});  // 表A\ in code page 932
    const std::string pair = Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80, 0x5C});
    const FindCase cases[] = {
        {sjis, 0x5C, TE_AUTO, 3},
        {sjis, 0x5C, TE_CODEPAGE, 3},
        {sjis, 0x5C, TE_ASCII, 1},
        {sjis, 0x955C, TE_CODEPAGE, 0},
        {sjis, 0x41, TE_AUTO, 2},
        {sjis, 0, TE_AUTO, 4},
        {sjis, 0, TE_ASCII, 4},
        {Bytes({0x95, 0x5C}), 0x5C, TE_AUTO, -1},
        {"abc", 'z', TE_AUTO, -1},
        {"abc", 'b', static_cast<TextEncoding>(2), -1},
        {"abc", 0, static_cast<TextEncoding>(2), -1},
        {"", 0, TE_AUTO, 0},
        {"", 'a', TE_AUTO, -1},
        // strchr compares the low 8 bits of the code.
        {"a\\b", 0x15C, TE_ASCII, 1},
        {"a\\b", 0x15C, TE_AUTO, 1},
        {kNihongo + "/x", '/', TE_AUTO, 9},
        {kNihongo + "/x", 0x672C, TE_AUTO, 3},
        {kNihongo + "/x", 0x672C, TE_CODEPAGE, -1},
        {pair, 0x10000, TE_UTF8, 0},
        {pair, 0xD800, TE_UTF8, -1},
        {pair, 0xDC00, TE_UTF8, -1},
        {pair, 0x5C, TE_UTF8, 6},
        // Walks that end inside a character stop at the terminator.
        {Bytes({0x41, 0x81}), 0, TE_CODEPAGE, 2},
        {Bytes({0x41, 0x81}), 0x81, TE_CODEPAGE, 1},
        {Bytes({0x41, 0x81}), 0x8100, TE_CODEPAGE, -1},
        {Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C}), 0, TE_UTF8, 5},
        {Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C}), 0x41, TE_UTF8, -1},
        {Bytes({0xE6, 0x97, 0xA5, 0xE6, 0x9C}), 0, TE_AUTO, 5},
    };
    for (const FindCase& c : cases) {
        auto text = Exact(c.bytes);
        const char* found = StrFindChar(static_cast<const char*>(text.get()), c.code, c.mode);
        int offset = found ? static_cast<int>(found - text.get()) : -1;
        EXPECT_EQ(offset, c.offset) << PrintToString(c.bytes) << " code " << std::hex << c.code << " mode " << c.mode;
        // The mutable overload finds the same place.
        EXPECT_EQ(StrFindChar(text.get(), c.code, c.mode), found);
    }
}

TEST(TextToLower, LowersOnlySingleByteAsciiCapitals) {
    const std::pair<std::string, std::string> cases[] = {  // bytes, lowered
        {"", ""},
        {"ABCXYZ@[`az{ 09", "abcxyz@[`az{ 09"},
        // Code page 932: the trail bytes 0x41 and 0x5A belong to double-byte characters.
        {Bytes({0x83, 0x41, 0x41, 0x42}), Bytes({0x83, 0x41, 0x61, 0x62})},
        {Bytes({0x95, 0x5A, 0x5A}), Bytes({0x95, 0x5A, 0x7A})},
        {Bytes({0xB1, 0x41}), Bytes({0xB1, 0x61})},
        {Bytes({0x41, 0x81}), Bytes({0x61, 0x81})},
        // UTF-8: accented and full-width capitals stay.
        {Bytes({0xC3, 0x84, 0x41, 0x5A, 0x5B}), Bytes({0xC3, 0x84, 0x61, 0x7A, 0x5B})},
        {Bytes({0xC3, 0x89, 0xEF, 0xBC, 0xA1, 0x51}), Bytes({0xC3, 0x89, 0xEF, 0xBC, 0xA1, 0x71})},
        // After the third sequence the walk still decodes without validation: the stray byte 0x80
        // takes the following 'A' with it as one character.
        {kNihongo + Bytes({0x80, 0x41, 0x42}), kNihongo + Bytes({0x80, 0x41, 0x62})},
        {kNihongo + Bytes({0xE6, 0x41}), kNihongo + Bytes({0xE6, 0x41})},
    };
    for (const auto& [bytes, expected] : cases) {
        auto text = Exact(bytes);
        EXPECT_EQ(StrToLower(text.get()), text.get());
        EXPECT_EQ(std::string(text.get()), expected) << PrintToString(bytes);
    }
}

TEST(TextCompare, ComparesUnsignedBytes) {
    struct Case {
        std::string a, b;
        int expected;
    };
    const Case cases[] = {
        {"", "", 0},
        {"abc", "abc", 0},
        {"abc", "abd", -1},
        {"abd", "abc", 1},
        {"ab", "abc", -1},
        {"abc", "ab", 1},
        {"", "a", -1},
        {Bytes({0x80}), "A", 1},
        {"A", Bytes({0x80}), -1},
        {Bytes({0xFF}), Bytes({0xFE}), 1},
        {"A", "a", -1},
    };
    for (const Case& c : cases) {
        auto a = Exact(c.a);
        auto b = Exact(c.b);
        EXPECT_EQ(StrCompare(a.get(), b.get()), c.expected) << PrintToString(c.a) << " vs " << PrintToString(c.b);
    }
}

TEST(TextCopy, RefusesWhatDoesNotFit) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(StrCopy(buffer, 6, "hello"), buffer);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(buffer[6], 'x');

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(StrCopy(buffer, 5, "hello"), nullptr);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, 'x'));

    EXPECT_EQ(StrCopy(buffer, 0, ""), nullptr);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(StrCopy(buffer, 1, ""), buffer);
    EXPECT_EQ(buffer[0], 0);
}

}  // namespace
