// The built patcher.exe beside this test program: its size, the DLLs it imports and the resources
// the shell and the loader read (manifest, version block, icon).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "res/resource.h"
#include "unit/test_util.h"

namespace {

// <build>/tests/win_tests.exe -> <build>/app/patcher.exe
std::wstring PatcherPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + L"..\\app\\patcher.exe";
}

// The little-endian value at `at`, 0 past the end.
template <typename T>
T Le(const std::vector<std::uint8_t>& b, std::size_t at) {
    T v = 0;
    if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
const auto U32 = Le<std::uint32_t>;
const auto U16 = Le<std::uint16_t>;

// The names of the DLLs in the import directory (data directory `directory`: 1 imports, 13 delay
// imports), lower-cased. Parsed from the file so nothing of the patcher is loaded.
std::vector<std::string> ImportedDlls(const std::vector<std::uint8_t>& pe, int directory) {
    std::vector<std::string> names;
    const std::uint32_t header = U32(pe, 0x3C);
    if (U32(pe, header) != 0x00004550) return names;  // "PE\0\0"
    const std::uint16_t sections = U16(pe, header + 6);
    const std::uint16_t optionalSize = U16(pe, header + 20);
    const std::size_t optional = header + 24;
    const bool pe32plus = U16(pe, optional) == 0x20B;
    const std::size_t dataDirectories = optional + (pe32plus ? 112 : 96);
    const std::uint32_t rva = U32(pe, dataDirectories + 8 * directory);
    auto toOffset = [&](std::uint32_t r) -> std::size_t {
        for (std::uint16_t i = 0; i < sections; ++i) {
            const std::size_t s = optional + optionalSize + 40 * i;
            const std::uint32_t va = U32(pe, s + 12), size = std::max(U32(pe, s + 8), U32(pe, s + 16));
            if (r >= va && r < va + size) return r - va + U32(pe, s + 20);
        }
        return pe.size();
    };
    if (rva == 0) return names;
    const std::size_t entrySize = directory == 1 ? 20 : 32;
    const std::size_t nameField = directory == 1 ? 12 : 4;
    for (std::size_t d = toOffset(rva); d + entrySize <= pe.size(); d += entrySize) {
        const std::uint32_t nameRva = U32(pe, d + nameField);
        if (nameRva == 0) break;
        std::string name;
        for (std::size_t i = toOffset(nameRva); i < pe.size() && pe[i]; ++i) name.push_back(static_cast<char>(tolower(pe[i])));
        names.push_back(name);
    }
    return names;
}

class PatcherExeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code missing;
        if (std::filesystem::is_regular_file(PatcherPath(), missing)) {
            const std::string bytes = testutil::ReadAll(PatcherPath());
            bytes_.assign(bytes.begin(), bytes.end());
        }
        if (bytes_.empty()) GTEST_SKIP() << "patcher.exe is not built beside this test program";
        module_ = LoadLibraryExW(PatcherPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    // The resource's bytes in exactly that language, empty when absent.
    std::vector<std::uint8_t> Resource(LPCWSTR type, LPCWSTR name, WORD language) const {
        HRSRC found = FindResourceExW(module_, type, name, language);
        if (!found) return {};
        const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module_, found)));
        return std::vector<std::uint8_t>(data, data + SizeofResource(module_, found));
    }

    static BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
        reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
        return TRUE;
    }
    std::vector<WORD> Languages(LPCWSTR type, LPCWSTR name) const {
        std::vector<WORD> languages;
        EnumResourceLanguagesW(module_, type, name, AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
        return languages;
    }
    // The resource of numeric type and ID, checked to exist in that language only.
    std::vector<std::uint8_t> OnlyResource(int type, int id, WORD language) const {
        EXPECT_EQ(std::vector<WORD>{language}, Languages(MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id))) << type;
        return Resource(MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), language);
    }

    std::vector<std::uint8_t> bytes_;
    HMODULE module_ = nullptr;
};

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);     // 1041
const WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);    // 1033

TEST_F(PatcherExeTest, EndsBeforeThePayloadOffset) { EXPECT_LE(bytes_.size(), 0x60000u); }

TEST_F(PatcherExeTest, ImportsOnlyDllsThatComeFromTheSystemFolder) {
    // Known DLLs: Windows maps them from the system folder whatever the search order says.
    const std::vector<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"};
    const std::vector<std::string> imports = ImportedDlls(bytes_, 1);
    EXPECT_FALSE(imports.empty());
    for (const std::string& dll : imports) EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), dll)) << dll;
    EXPECT_TRUE(ImportedDlls(bytes_, 13).empty()) << "no delay-loaded DLLs";
}

BOOL CALLBACK AddType(HMODULE, LPWSTR type, LONG_PTR list) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

TEST_F(PatcherExeTest, HoldsExactlyTheDialogIconVersionAndManifest) {
    std::vector<ULONG_PTR> types;
    EnumResourceTypesW(module_, AddType, reinterpret_cast<LONG_PTR>(&types));
    std::sort(types.begin(), types.end());
    EXPECT_EQ((std::vector<ULONG_PTR>{3, 5, 14, 16, 24}), types);  // icon, dialog, group icon, version, manifest
    EXPECT_EQ(std::vector<WORD>{kJapanese}, Languages(MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(IDD_PROGRESS)));
}

TEST_F(PatcherExeTest, ManifestAsksForAdministratorAndNamesNoCommonControls) {
    const std::vector<std::uint8_t> data = OnlyResource(24, 1, kEnglish);
    const std::string manifest(data.begin(), data.end());
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(std::string::npos, manifest.find(R"(<assemblyIdentity version="1.0.0.0" processorArchitecture="X86" name="Setup" type="win32"/>)"));
    EXPECT_NE(std::string::npos, manifest.find(R"(<requestedExecutionLevel level="requireAdministrator"/>)"));
    EXPECT_EQ(std::string::npos, manifest.find("uiAccess"));
    EXPECT_EQ(std::string::npos, manifest.find("dependency"));
    EXPECT_EQ(std::string::npos, manifest.find("Common-Controls"));
    const char* systems[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
    };
    for (const char* id : systems) EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>")) << id;
    std::size_t count = 0;
    for (std::size_t at = manifest.find("<supportedOS"); at != std::string::npos; at = manifest.find("<supportedOS", at + 1)) ++count;
    EXPECT_EQ(5u, count);
}

// One node of a VS_VERSIONINFO tree.
struct VersionNode {
    std::wstring key;
    std::vector<std::uint8_t> value;
    bool text = false;
    std::vector<VersionNode> children;

    std::wstring Text() const {
        std::wstring s;
        for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
            const wchar_t c = static_cast<wchar_t>(value[i] | value[i + 1] << 8);
            if (c == 0) break;
            s.push_back(c);
        }
        return s;
    }
};

std::size_t Align4(std::size_t at) { return (at + 3) & ~static_cast<std::size_t>(3); }

VersionNode ParseVersionNode(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t* end) {
    VersionNode node;
    const std::size_t length = U16(b, at);
    const std::size_t valueLength = U16(b, at + 2);
    node.text = U16(b, at + 4) == 1;
    std::size_t p = at + 6;
    for (; p + 2 <= b.size() && U16(b, p); p += 2) node.key.push_back(static_cast<wchar_t>(U16(b, p)));
    p = Align4(p + 2);
    const std::size_t valueBytes = node.text ? valueLength * 2 : valueLength;
    if (p + valueBytes <= b.size()) node.value.assign(b.begin() + p, b.begin() + p + valueBytes);
    p = Align4(p + valueBytes);
    *end = std::min(at + length, b.size());
    while (length >= 6 && p + 6 <= *end) {
        std::size_t childEnd = 0;
        node.children.push_back(ParseVersionNode(b, p, &childEnd));
        if (childEnd <= p) break;
        p = Align4(childEnd);
    }
    return node;
}

TEST_F(PatcherExeTest, VersionBlockIsExactlyAsPublished) {
    const std::vector<std::uint8_t> data = OnlyResource(16, 1, kJapanese);
    ASSERT_FALSE(data.empty());
    std::size_t end = 0;
    const VersionNode root = ParseVersionNode(data, 0, &end);
    EXPECT_EQ(L"VS_VERSION_INFO", root.key);

    ASSERT_EQ(52u, root.value.size());
    const std::uint32_t expected[13] = {0xFEEF04BD, 0x00010000, 0x00020000, 0, 0x00020000, 0,
                                        0x3F,       0,          0x40004,    1, 0,          0, 0};
    for (int i = 0; i < 13; ++i) {
        if (i == 1) continue;  // structure version
        EXPECT_EQ(expected[i], U32(root.value, 4 * i)) << "VS_FIXEDFILEINFO field " << i;
    }

    ASSERT_EQ(2u, root.children.size());
    const VersionNode& strings = root.children[0];
    EXPECT_EQ(L"StringFileInfo", strings.key);
    ASSERT_EQ(1u, strings.children.size());
    EXPECT_EQ(L"041104b0", strings.children[0].key);
    const std::vector<VersionNode>& values = strings.children[0].children;
    ASSERT_EQ(3u, values.size());
    const std::pair<const wchar_t*, const wchar_t*> pairs[] = {
        {L"CompanyName", L"MarbleHollow"}, {L"FileVersion", L"2.0.0.0"}, {L"ProductVersion", L"2.0.0.0"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pairs[i].first, values[i].key);
        EXPECT_EQ(pairs[i].second, values[i].Text());
    }

    const VersionNode& vars = root.children[1];
    EXPECT_EQ(L"VarFileInfo", vars.key);
    ASSERT_EQ(1u, vars.children.size());
    EXPECT_EQ(L"Translation", vars.children[0].key);
    EXPECT_EQ((std::vector<std::uint8_t>{0x11, 0x04, 0xB0, 0x04}), vars.children[0].value);  // 0x0411, 1200
}

TEST_F(PatcherExeTest, IconHasThreeBitmapsAndAPng) {
    const std::vector<std::uint8_t> group = OnlyResource(14, IDI_APP, kJapanese);
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(0, U16(group, 0));
    EXPECT_EQ(1, U16(group, 2));
    ASSERT_EQ(4, U16(group, 4));
    ASSERT_EQ(6u + 4 * 14, group.size());
    const int sizes[] = {16, 32, 48, 256};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(sizes[i]);
        const std::size_t entry = 6 + 14 * i;
        EXPECT_EQ(sizes[i] & 0xFF, group[entry]);      // width (0 means 256)
        EXPECT_EQ(sizes[i] & 0xFF, group[entry + 1]);  // height
        EXPECT_EQ(32, U16(group, entry + 6));          // bits per pixel
        const WORD id = U16(group, entry + 12);
        const std::vector<std::uint8_t> image = Resource(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(id), kJapanese);
        ASSERT_EQ(U32(group, entry + 8), image.size());
        if (sizes[i] < 256) {
            EXPECT_EQ(40u, U32(image, 0));  // BITMAPINFOHEADER
            EXPECT_EQ(static_cast<std::uint32_t>(sizes[i]), U32(image, 4));
            EXPECT_EQ(static_cast<std::uint32_t>(2 * sizes[i]), U32(image, 8));  // colour and mask
            EXPECT_EQ(32, U16(image, 14));
            EXPECT_EQ(0u, U32(image, 16));  // BI_RGB
        } else {
            const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            ASSERT_GE(image.size(), 33u);
            EXPECT_EQ(0, std::memcmp(signature, image.data(), 8));
            EXPECT_EQ(0, std::memcmp("IHDR", image.data() + 12, 4));
            EXPECT_EQ(256u, _byteswap_ulong(U32(image, 16)));
            EXPECT_EQ(256u, _byteswap_ulong(U32(image, 20)));
            EXPECT_EQ(8, image[24]);  // bits per channel
            EXPECT_EQ(6, image[25]);  // RGBA
        }
    }
}

}  // namespace
