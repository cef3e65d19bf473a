// The registry lookup of the install folder: HKEY_LOCAL_MACHINE only, REG_SZ only, and nothing
// written past the 780-unit destination whatever the value holds.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/install_folder.h"
#include "support/text.h"
#include "unit/test_util.h"
#include "win/win_test_util.h"

namespace {

using wintest::SavedInstallFolder;

class InstallFolderTest : public ::testing::Test {
protected:
    static void Write(HKEY root, DWORD type, const void* data, DWORD bytes) {
        ASSERT_TRUE(SavedInstallFolder::Write(root, type, data, bytes));
    }
    // A string value of `units` units; with `terminated` the stored data includes the zero.
    static void WriteString(HKEY root, DWORD type, const std::u16string& text, bool terminated = true) {
        Write(root, type, text.c_str(), static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * 2));
    }
    static void DeleteValue(HKEY root) { SavedInstallFolder::Delete(root); }

    // Reads into a destination followed by guard units, and checks the guard.
    int Read(std::u16string* folder = nullptr) {
        std::vector<char16_t> buffer(kPathUnits + 64, u'\xAAAA');
        const int found = ReadInstalledFolder(buffer.data(), kBrand, kTitle);
        for (std::size_t i = kPathUnits; i < buffer.size(); ++i) {
            if (buffer[i] != u'\xAAAA') {
                ADD_FAILURE() << "written past the destination at unit " << i;
                break;
            }
        }
        if (found && folder) *folder = std::u16string(buffer.data());
        if (!found) {
            EXPECT_EQ(u'\xAAAA', buffer[0]) << "destination changed without a result";
        }
        return found;
    }

    SavedInstallFolder saved_;
};

TEST_F(InstallFolderTest, StringValueIsCopiedAsStored) {
    // No separator is added or removed, nothing is expanded.
    for (const std::u16string& folder : {std::u16string(u"C:\\Games\\Velmora"), std::u16string(u"D:\\ゲーム\\"),
                                         std::u16string(u"c:/Games/%ProgramFiles%\\V"),
                                         std::u16string(u"\\\\server\\share")}) {
        WriteString(HKEY_LOCAL_MACHINE, REG_SZ, folder);
        std::u16string read;
        EXPECT_EQ(1, Read(&read));
        EXPECT_EQ(folder, read);
    }
}

// Only an absolute folder on a drive or a share: an empty or relative value would resolve against the
// current drive or folder, a device or namespace form reaches any device.
TEST_F(InstallFolderTest, OnlyAnAbsoluteFolderOnADriveOrAShareCounts) {
    for (const char16_t* value : {u"", u"Games\\V", u"\\Games\\V", u"C:Games", u"C:", u"%ProgramFiles%\\V", u"\\\\.\\C:\\V",
                                  u"//./C:/V", u"\\\\?\\C:\\V", u"\\??\\C:\\V", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\V",
                                  u"\\\\server", u"\\\\server\\", u"\\\\\\share\\V"}) {
        WriteString(HKEY_LOCAL_MACHINE, REG_SZ, value);
        EXPECT_EQ(0, Read()) << testutil::ToUtf8(std::filesystem::path(value));
    }
}

TEST_F(InstallFolderTest, OnlyStringTypeCounts) {
    for (DWORD type : {static_cast<DWORD>(REG_EXPAND_SZ), static_cast<DWORD>(REG_MULTI_SZ),
                       static_cast<DWORD>(REG_BINARY)}) {
        WriteString(HKEY_LOCAL_MACHINE, type, u"C:\\Games\\Velmora");
        EXPECT_EQ(0, Read()) << type;
    }
    const DWORD number = 5;
    Write(HKEY_LOCAL_MACHINE, REG_DWORD, &number, sizeof number);
    EXPECT_EQ(0, Read());
}

TEST_F(InstallFolderTest, LengthLimitIs779Units) {
    struct Case {
        std::size_t units;
        bool terminated;
        int found;
    };
    const Case cases[] = {
        {779, true, 1},   {780, true, 0},  {779, false, 1}, {780, false, 0},
        {10, false, 1},   {2000, true, 0}, {4095, true, 0}, {4096, false, 0},
        {4096, true, 0},  // 8194 bytes: larger than the work buffer
        {9000, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.units << (c.terminated ? " terminated" : " unterminated"));
        std::u16string text(c.units, u'a');
        text.replace(0, 3, u"C:\\");
        WriteString(HKEY_LOCAL_MACHINE, REG_SZ, text, c.terminated);
        std::u16string read;
        EXPECT_EQ(c.found, Read(&read));
        if (c.found) {
            EXPECT_EQ(text, read);
        }
    }
}

TEST_F(InstallFolderTest, StringEndsAtItsFirstZero) {
    std::u16string data = u"C:\\A";
    data.push_back(u'\0');
    data += std::u16string(1500, u'x');  // longer than the destination, but after the string
    WriteString(HKEY_LOCAL_MACHINE, REG_SZ, data);
    std::u16string read;
    EXPECT_EQ(1, Read(&read));
    EXPECT_EQ(u"C:\\A", read);
}

TEST_F(InstallFolderTest, MissingValueOrKeyIsNotInstalled) {
    WriteString(HKEY_LOCAL_MACHINE, REG_SZ, u"C:\\x");
    DeleteValue(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(0, Read());
    SavedInstallFolder::Delete(HKEY_LOCAL_MACHINE, true);
    EXPECT_EQ(0, Read());
}

TEST_F(InstallFolderTest, CurrentUserIsNeverRead) {
    DeleteValue(HKEY_LOCAL_MACHINE);
    WriteString(HKEY_CURRENT_USER, REG_SZ, u"C:\\Users\\Games\\Velmora");
    EXPECT_EQ(0, Read());
}

TEST_F(InstallFolderTest, BrandAndTitleNameTheKey) {
    WriteString(HKEY_LOCAL_MACHINE, REG_SZ, u"C:\\Games\\Velmora");
    char16_t buffer[kPathUnits];
    EXPECT_EQ(0, ReadInstalledFolder(buffer, nullptr, kTitle));
    EXPECT_EQ(0, ReadInstalledFolder(buffer, kBrand, nullptr));
    EXPECT_EQ(0, ReadInstalledFolder(buffer, u"OtherBrand", kTitle));
    EXPECT_EQ(1, ReadInstalledFolder(buffer, u"MarbleHollow", u"\u30F4\u30A7\u30EB\u30E2\u30E9"));
}

}  // namespace
