// Links another user planted in the game folder, through the Win32 backend: nothing outside the folder
// changes, the update ends with its defined result, and succeeds once the link is gone.
// Wine deviations: CreateSymbolicLinkW makes nothing, so Unix links are planted; Wine follows them
// whatever the flags and shows no reparse point through a handle (the backend sees that the handle's
// own path is not in its folder); every object is owned by the user running Wine, so the
// administrator's exception cannot be shown; the redirection guard is accepted and does nothing.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>

#include "support/os.h"
#include "unit/patch_format.h"
#include "unit/scripted_view.h"
#include "unit/test_util.h"
#include "update/worker.h"

namespace {

namespace fs = std::filesystem;

// The Linux path under Wine, quoted for the shell; empty elsewhere.
std::string UnixPath(const fs::path& path) {
    using Fn = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    const std::string quoted = name != nullptr ? "'" + std::string(name) + "'" : "";
    if (name != nullptr) HeapFree(GetProcessHeap(), 0, name);
    return quoted;
}

// Runs a Linux shell command (Wine starts ELF files itself); true when it exits with 0. Wine gives no
// usable handle of such a process: the command leaves its status in a file, which is waited for.
bool Shell(const std::string& command, const fs::path& status) {
    fs::remove(status);
    const std::string done = UnixPath(status), part = UnixPath(status.wstring() + L".part");
    std::wstring line = testutil::FromUtf8("Z:\\bin\\sh -c \"exec </dev/null >/dev/null 2>&1; " + command +
                                           "; echo $? >" + part + " && mv " + part + " " + done + "\"").wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    for (int i = 0; i < 2000 && !fs::exists(status); ++i) Sleep(10);
    return fs::exists(status) && testutil::ReadAll(status) == "0\n";
}

// A link in the game folder, its target in the folder outside, the result under Wine, and what Windows
// does instead. Wine does not see a file link and finds the name taken; Windows deletes a file symbolic
// link as itself and goes on (a junction there is not deleted as a file, and fails as here).
const struct {
    const char *at, *target;
    UpdateResult wine;
    const char* windows;
} kPlaces[] = {
    {"a.arc.tmp", "victim", UpdateInstallFailed, "deleted as itself, UpdateOk"},
    {"a.arc.tmp", "missing", UpdateInstallFailed, "deleted as itself, UpdateOk"},
    {"sound/b.arc.tmp", "victim", UpdateInstallFailed, "deleted as itself, UpdateOk"},
    {"QMK.hvl.new", "victim", UpdateOk, "deleted as itself, the list pruned"},  // unpruned here
    {"uninst.lst.new", "victim", UpdateUninstallListFailed, "deleted as itself, UpdateOk"},
    // Targets are replaced as themselves; a list read through a link would copy another file's lines.
    {"QMK.hvl", "victim", UpdateOk, nullptr},
    {"a.arc", "victim", UpdateOk, nullptr},
    {"uninst.lst", "victim", UpdateUninstallListFailed, nullptr},
    {"sound", "elsewhere", UpdateInstallFailed, "the same for a junction, which any user can make"},
};

TEST(PlantedLink, NothingOutsideTheFolderIsTouchedAndTheUpdateEndsAsDefined) {
    testutil::TempDir root;
    // A test run as administrator on Windows would make links that count as trusted.
    if (UnixPath(root.Root()).empty()) GTEST_SKIP() << "plants Unix links: Wine only";
    EXPECT_EQ(os::ErrorText(os::kErrorUntrustedLink), "a link made by another user");
    const std::string list = EncodeVersionListOf({{"a.arc", "new a"}, {"sound\\b.arc", "new b"}});
    root.Write("patch.exe", EncodePatch("MZ", EncodeArchive({{"a.arc", "new a"}, {"B.ARC", "new b"}, {"QMK.hvl", list}}, false)));
    const std::u16string game = root.Path("game"), patch = root.Path("patch.exe");
    const auto update = [&] {
        ScriptedView view;
        return RunUpdate(game.c_str(), view, patch.c_str());
    };
    const auto fill = [&] {  // what is missing of the game and of the folder outside
        for (const auto& [name, data] : std::map<std::string, std::string>{
                 {"game/a.arc", "old a"}, {"game/sound/b.arc", "old b"}, {"game/QMK.hvl", "old list"},
                 {"game/uninst.lst", "a.arc\r\n"}, {"outside/victim", "victim"}, {"outside/elsewhere/b.arc", "elsewhere"}})
            if (!root.Exists(name)) root.Write(name, data);
    };
    for (const auto& place : kPlaces) {
        SCOPED_TRACE(testing::Message() << place.at << " -> " << place.target << "; on Windows: "
                                        << (place.windows ? place.windows : "the same"));
        for (const char* folder : {"game", "outside"}) fs::remove_all(root.Native(folder));
        fill();
        const std::string link = UnixPath(root.Native("game/" + std::string(place.at)));
        ASSERT_TRUE(Shell("rm -rf " + link + " && ln -s " + UnixPath(root.Native("outside/" + std::string(place.target))) +
                              " " + link, root.Native("status")));
        const auto outside = testutil::FileTree(root.Native("outside"));
        EXPECT_EQ(update(), place.wine);
        EXPECT_EQ(testutil::FileTree(root.Native("outside")), outside);

        ASSERT_TRUE(Shell("rm " + link, root.Native("status")));  // the link gone, the update goes through
        fill();
        EXPECT_EQ(update(), UpdateOk);
        EXPECT_EQ(root.Read("game/sound/b.arc"), "new b");
        EXPECT_EQ(testutil::FileTree(root.Native("outside")), outside);
    }
}

}  // namespace
