// Links another user planted in the game folder before the update, through the Win32 backend: each
// planted place must leave everything outside the folder as it was, end the update with its defined
// result, and the update must succeed once the link is gone.
//
// Wine deviations, marked per case below: Wine makes no links itself (CreateSymbolicLinkW is a stub
// that makes nothing), so the test plants Unix symbolic links, which Wine follows whatever the flags
// and never reports as reparse points through a handle; the backend catches them because the
// handle's own path is not in the folder it was opened in. Wine keeps no owners for links (every
// object is owned by the user running Wine), so the administrator's exception cannot be shown here,
// and Wine has no redirection guard (it accepts the policy and does nothing).
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "support/os.h"
#include "unit/patch_format.h"
#include "unit/scripted_view.h"
#include "unit/test_util.h"
#include "update/worker.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;

// The Linux path of a Windows path under Wine, empty elsewhere.
std::string UnixPath(const fs::path& path) {
    using Fn = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    std::string unix = name != nullptr ? name : "";
    if (name != nullptr) HeapFree(GetProcessHeap(), 0, name);
    return unix;
}

// Runs a Linux shell command under Wine (Wine starts ELF files natively) and waits for it; true
// when it exits with 0. Wine gives no usable handle of such a process, so the command leaves its
// status in a file, which is waited for.
bool Shell(const std::string& command, const fs::path& status) {
    fs::remove(status);
    std::wstring line = L"Z:\\bin\\sh -c \"exec </dev/null >/dev/null 2>&1; " + testutil::FromUtf8(command).wstring() +
                        L"; echo $? >'" + testutil::FromUtf8(UnixPath(status) + ".part").wstring() + L"' && mv '" +
                        testutil::FromUtf8(UnixPath(status) + ".part").wstring() + L"' '" +
                        testutil::FromUtf8(UnixPath(status)).wstring() + L"'\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    for (int i = 0; i < 2000 && !fs::exists(status); ++i) Sleep(10);
    return fs::exists(status) && testutil::ReadAll(status) == "0\n";
}

struct Place {
    const char* at;      // in the game folder
    const char* target;  // in the folder outside
    UpdateResult wine;   // the result under Wine, with the link in place
    const char* windows; // what Windows does differently
};

const Place kPlaces[] = {
    // Wine does not see the file link and finds the name taken; Windows removes a file symbolic link
    // as itself (never its target) and succeeds; a junction there cannot be removed as a file and
    // fails the same way as here.
    {"a.arc.tmp", "victim", UpdateInstallFailed, "removed as itself: UpdateOk"},
    {"a.arc.tmp", "missing", UpdateInstallFailed, "removed as itself: UpdateOk"},
    {"sound/b.arc.tmp", "victim", UpdateInstallFailed, "removed as itself: UpdateOk"},
    // The version list is pruned when it can be: the unpruned list stays, as on Windows.
    {"QMK.hvl.new", "victim", UpdateOk, "removed as itself, the list pruned"},
    {"uninst.lst.new", "victim", UpdateUninstallListFailed, "removed as itself: UpdateOk"},
    // A link at a target is replaced as itself, on Windows as here.
    {"QMK.hvl", "victim", UpdateOk, nullptr},
    {"a.arc", "victim", UpdateOk, nullptr},
    // The list is read before it is rewritten: through the link it would copy another file's lines.
    {"uninst.lst", "victim", UpdateUninstallListFailed, nullptr},
    // A folder link (on Windows a junction, which any user can make): refused on both.
    {"sound", "elsewhere", UpdateInstallFailed, nullptr},
};

class PlantedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (UnixPath(root_.Root()).empty()) {
            // A test running as administrator on Windows would make links that count as trusted.
            GTEST_SKIP() << "plants Unix links: Wine only";
        }
        const std::string list = EncodeVersionListOf({{"a.arc", "new a"}, {"sound\\b.arc", "new b"}});
        root_.Write("patch.exe",
                    EncodePatch("MZ", EncodeArchive({{"a.arc", "new a"}, {"B.ARC", "new b"}, {"QMK.hvl", list}}, false)));
    }

    // The installed game; files that are there already are kept.
    void FillGame() {
        fs::create_directories(root_.Native("game/sound"));
        for (const auto& [name, data] : std::map<std::string, std::string>{
                 {"a.arc", "old a"}, {"sound/b.arc", "old b"}, {"QMK.hvl", "old list"}, {"uninst.lst", "a.arc\r\n"}}) {
            if (!fs::exists(root_.Native("game/" + name))) root_.Write("game/" + name, data);
        }
    }

    UpdateResult Update() {
        ScriptedView view;
        const std::u16string game = root_.Path("game"), patch = root_.Path("patch.exe");
        return RunUpdate(game.c_str(), view, patch.c_str());
    }

    TempDir root_;
    const fs::path status_ = root_.Native("status");
};

TEST_F(PlantedLinkTest, NothingOutsideTheFolderIsTouchedAndTheUpdateEndsAsDefined) {
    EXPECT_EQ(os::ErrorText(os::kErrorUntrustedLink), "a link made by another user");
    for (const Place& place : kPlaces) {
        SCOPED_TRACE(testing::Message() << place.at << " -> " << place.target << "; on Windows: "
                                        << (place.windows ? place.windows : "the same"));
        for (const char* folder : {"game", "outside"}) fs::remove_all(root_.Native(folder));
        root_.MakeDir("outside/elsewhere");
        root_.Write("outside/victim", "victim");
        root_.Write("outside/elsewhere/b.arc", "elsewhere");
        FillGame();
        const std::string link = "'" + UnixPath(root_.Native("game/" + std::string(place.at))) + "'";
        const std::string target = "'" + UnixPath(root_.Native("outside/" + std::string(place.target))) + "'";
        ASSERT_TRUE(Shell("rm -rf " + link + " && ln -s " + target + " " + link, status_));
        const auto outside = testutil::FileTree(root_.Native("outside"));

        EXPECT_EQ(Update(), place.wine);
        EXPECT_EQ(testutil::FileTree(root_.Native("outside")), outside);

        // The link gone (and what it stood for back), the same update goes through.
        ASSERT_TRUE(Shell("rm " + link, status_));
        FillGame();
        EXPECT_EQ(Update(), UpdateOk);
        EXPECT_EQ(root_.Read("game/sound/b.arc"), "new b");
        EXPECT_EQ(testutil::FileTree(root_.Native("outside")), outside);
    }
}

}  // namespace
