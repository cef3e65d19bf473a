// The conversion corpus: byte strings and wide strings whose conversions must come out the same on
// every backend. One expectation file serves the Windows build (run under Wine) and the POSIX one.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/text.h"
#include "unit/test_util.h"

namespace {

namespace fs = std::filesystem;

template <typename Unit>
std::basic_string<Unit> ParseHex(const std::string& field) {
    std::istringstream in(field);
    std::basic_string<Unit> out;
    std::string token;
    while (in >> token) out.push_back(static_cast<Unit>(std::stoul(token, nullptr, 16)));
    return out;
}

template <typename Unit>
std::string ToHex(const std::basic_string<Unit>& s) {
    std::string out;
    char buf[8];
    for (Unit u : s) {
        std::snprintf(buf, sizeof buf, sizeof(Unit) == 1 ? "%02X " : "%04X ",
                      static_cast<unsigned>(static_cast<std::make_unsigned_t<Unit>>(u)));
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

struct Entry {
    int line;
    char kind;                  // 'M': bytes in; 'W': UTF-16 in
    std::string bytes;          // M
    std::u16string wide;        // M: expected from MultiToWide; W: the input
    std::string utf8, cp932;    // WideToMulti of the wide string
};

std::vector<Entry> LoadCorpus(const fs::path& file) {
    std::vector<Entry> entries;
    std::ifstream in(file, std::ios::binary);
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty() || text[0] == '#') continue;
        // M lines have three fields after '=', W lines two.
        std::vector<std::string> fields;
        std::size_t eq = text.find('=');
        if (eq != std::string::npos) {
            std::size_t start = eq + 1;
            for (std::size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
                fields.push_back(text.substr(start, bar - start));
            fields.push_back(text.substr(start));
        }
        const char kind = text[0];
        if (!((kind == 'M' && fields.size() == 3) || (kind == 'W' && fields.size() == 2))) {
            ADD_FAILURE() << "malformed corpus line " << number << ": " << text;
            continue;
        }
        Entry e{.line = number, .kind = kind};
        std::string input = text.substr(1, eq - 1);
        if (kind == 'M') {
            e.bytes = ParseHex<char>(input);
            e.wide = ParseHex<char16_t>(fields[0]);
            fields.erase(fields.begin());
        } else {
            e.wide = ParseHex<char16_t>(input);
        }
        e.utf8 = ParseHex<char>(fields[0]);
        e.cp932 = ParseHex<char>(fields[1]);
        entries.push_back(e);
    }
    return entries;
}

// Both forms of a narrow conversion, to UTF-8 and to code page 932: allocated, and into a buffer of
// exactly the size the expected bytes need, while one byte less is refused.
template <class Convert>
void ExpectNarrowForms(Convert convert, const std::string& utf8, const std::string& cp932) {
    for (auto [mode, expected] : {std::pair{TE_UTF8, &utf8}, std::pair{TE_CODEPAGE, &cp932}}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        auto alloc = convert(mode);
        ASSERT_TRUE(alloc);
        EXPECT_EQ(ToHex(std::string(alloc.get())), ToHex(*expected));
        std::vector<char> buffer(expected->size() + 1);
        EXPECT_EQ(convert(mode, buffer.data(), buffer.size()), buffer.data());
        EXPECT_EQ(ToHex(testutil::Text(buffer.data())), ToHex(*expected));
        if (!expected->empty()) {
            EXPECT_EQ(convert(mode, buffer.data(), expected->size()), nullptr);
        }
    }
}

class TextCorpus : public ::testing::Test {
protected:
    void SetUp() override {
        fs::path file = testutil::DataFolder() / "conversion_corpus.txt";
        ASSERT_TRUE(fs::exists(file)) << file.string();
        entries_ = LoadCorpus(file);
        ASSERT_GT(entries_.size(), 100u);
    }
    std::vector<Entry> entries_;
};

TEST_F(TextCorpus, MultiToWideGivesTheExpectedUnits) {
    for (const Entry& e : entries_) {
        if (e.kind != 'M') continue;
        SCOPED_TRACE("corpus line " + std::to_string(e.line) + ": " + ToHex(e.bytes));
        auto alloc = MultiToWide(e.bytes.c_str());
        ASSERT_TRUE(alloc);
        EXPECT_EQ(ToHex(std::u16string(alloc.get())), ToHex(e.wide));

        // The exact size is enough for the buffer form, one unit less is refused.
        std::vector<char16_t> buffer(e.wide.size() + 2, 0xAAAA);
        EXPECT_EQ(MultiToWide(buffer.data(), e.wide.size() + 1, e.bytes.c_str()), buffer.data());
        EXPECT_EQ(ToHex(testutil::Text(buffer.data())), ToHex(e.wide));
        EXPECT_EQ(buffer[e.wide.size() + 1], 0xAAAA);
        if (!e.wide.empty()) {
            EXPECT_EQ(MultiToWide(buffer.data(), e.wide.size(), e.bytes.c_str()), nullptr);
        }
    }
}

TEST_F(TextCorpus, WideToMultiGivesTheExpectedBytes) {
    for (const Entry& e : entries_) {
        SCOPED_TRACE("corpus line " + std::to_string(e.line) + ": " + ToHex(e.wide));
        ExpectNarrowForms([&](TextEncoding mode, auto... out) { return WideToMulti(out..., e.wide.c_str(), mode); },
                          e.utf8, e.cp932);
    }
}

// ConvertText goes the same way as MultiToWide then WideToMulti, except that text already in the
// target code page (or plain ASCII) is copied as it is.
TEST_F(TextCorpus, ConvertTextCopiesOrConvertsByTheSourceEncoding) {
    for (const Entry& e : entries_) {
        if (e.kind != 'M') continue;
        SCOPED_TRACE("corpus line " + std::to_string(e.line) + ": " + ToHex(e.bytes));
        TextEncoding source = DetectTextEncoding(e.bytes.c_str());
        ExpectNarrowForms([&](TextEncoding mode, auto... out) { return ConvertText(out..., e.bytes.c_str(), mode); },
                          source == TE_CODEPAGE ? e.utf8 : e.bytes, source == TE_UTF8 ? e.cp932 : e.bytes);
    }
}

}  // namespace
