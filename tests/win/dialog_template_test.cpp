// The compiled progress dialog template, read back from the resource section word by word.
#include <gtest/gtest.h>

#include <windows.h>
#include <cstdint>
#include <cstring>
#include <string>

#include "res/resource.h"

namespace {

// Walks an extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX entries).
class TemplateReader {
public:
    TemplateReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <typename T>
    T Next() {
        T v = 0;
        if (offset_ + sizeof v > size_) {
            failed_ = true;
            return v;
        }
        std::memcpy(&v, data_ + offset_, sizeof v);
        offset_ += sizeof v;
        return v;
    }
    std::uint16_t Word() { return Next<std::uint16_t>(); }
    std::uint32_t Dword() { return Next<std::uint32_t>(); }
    std::int16_t Short() { return Next<std::int16_t>(); }
    // A sz_Or_Ord field: a string, or 0xFFFF and an ordinal (returned as "#<n>").
    std::wstring StringOrOrdinal() {
        std::uint16_t first = Word();
        if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
        std::wstring s;
        for (std::uint16_t c = first; c != 0 && !failed_; c = Word()) s.push_back(static_cast<wchar_t>(c));
        return s;
    }
    void AlignDword() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }
    bool Failed() const { return failed_; }
    bool AtEnd() const { return offset_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    bool failed_ = false;
};

TEST(DialogTemplate, IsTheJapaneseExtendedTemplateWithExactControls) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(IDD_PROGRESS),
                                  MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(nullptr, found) << "IDD_PROGRESS, language 1041";
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(nullptr, data);
    TemplateReader r(data, SizeofResource(module, found));

    EXPECT_EQ(1, r.Word());                    // dlgVer
    EXPECT_EQ(0xFFFF, r.Word());               // signature: extended template
    EXPECT_EQ(0u, r.Dword());                  // help ID
    EXPECT_EQ(0u, r.Dword());                  // extended style
    EXPECT_EQ(0x80C000C0u, r.Dword());         // WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT
    const std::uint16_t count = r.Word();
    EXPECT_EQ(4, count);
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(271, r.Short());
    EXPECT_EQ(109, r.Short());
    EXPECT_EQ(L"", r.StringOrOrdinal());       // no menu
    EXPECT_EQ(L"", r.StringOrOrdinal());       // the default dialog class
    EXPECT_EQ(L"", r.StringOrOrdinal());       // no title
    EXPECT_EQ(9, r.Word());                    // points
    EXPECT_EQ(400, r.Word());                  // weight
    const std::uint16_t italicAndCharset = r.Word();
    EXPECT_EQ(0, italicAndCharset & 0xFF);    // not italic
    EXPECT_EQ(128, italicAndCharset >> 8);    // SHIFTJIS_CHARSET
    EXPECT_EQ(L"MS UI Gothic", r.StringOrOrdinal());
    ASSERT_FALSE(r.Failed());

    struct Control {
        std::uint32_t exStyle;
        std::uint32_t style;
        std::int16_t x, y, cx, cy;
        std::uint32_t id;
        const wchar_t* className;
        const wchar_t* text;
    };
    // Class ordinals 0x80 and 0x82 are the predefined Button and Static.
    const Control expected[] = {
        {0, 0x50010000, 110, 88, 51, 14, IDC_ABORT, L"#128", L"中止"},
        {0x00020000, 0x50020201, 7, 7, 257, 14, IDC_STATUS, L"#130", L""},
        {0, 0x50800001, 7, 33, 257, 16, IDC_FILE_PROGRESS, L"msctls_progress32", L""},
        {0, 0x50800001, 7, 59, 257, 16, IDC_TOTAL_PROGRESS, L"msctls_progress32", L""},
    };
    for (const Control& c : expected) {
        SCOPED_TRACE(c.id);
        r.AlignDword();
        EXPECT_EQ(0u, r.Dword());  // help ID
        EXPECT_EQ(c.exStyle, r.Dword());
        EXPECT_EQ(c.style, r.Dword());
        EXPECT_EQ(c.x, r.Short());
        EXPECT_EQ(c.y, r.Short());
        EXPECT_EQ(c.cx, r.Short());
        EXPECT_EQ(c.cy, r.Short());
        EXPECT_EQ(c.id, r.Dword());
        // The resource compiler stores custom class names in capitals; the window manager
        // compares class names without regard to case.
        const std::wstring className = r.StringOrOrdinal();
        EXPECT_EQ(0, lstrcmpiW(c.className, className.c_str())) << className.c_str();
        EXPECT_EQ(c.text, r.StringOrOrdinal());
        EXPECT_EQ(0, r.Word());  // no creation data
        ASSERT_FALSE(r.Failed());
    }
    r.AlignDword();
    EXPECT_TRUE(r.AtEnd());
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::wstring*>(list)->push_back(static_cast<wchar_t>(language));
    return TRUE;
}

TEST(DialogTemplate, ExistsInJapaneseOnly) {
    std::wstring languages;
    EnumResourceLanguagesW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(IDD_PROGRESS),
                           CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    ASSERT_EQ(1u, languages.size());
    EXPECT_EQ(1041, languages[0]);
}

}  // namespace
