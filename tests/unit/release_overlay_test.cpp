// The overlay in front of the OS seam: the engine updates a release folder through it, the folder
// stays as it was, and the view it leaves is what the same update leaves on a plain copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "kit/release/release_overlay.h"
#include "unit/patch_format.h"
#include "unit/scripted_view.h"
#include "unit/test_util.h"
#include "update/worker.h"

namespace {

namespace fs = testutil::fs;
using testutil::TempDir;
using Files = std::map<std::string, std::string>;

// Release 1.00 and the patch to 1.01: a.arc changes, data\new.arc is added to a folder that exists,
// game.exe and data/keep.txt stay; the payload's list names a file that is not there.
struct Release {
    Release() {
        Lay(game);
        std::vector<PayloadFile> payload = {{"a.arc", testutil::RandomBytes(3000, 1)}, {"NEW.ARC", "new"}};
        payload.push_back({"QMK.hvl", EncodeVersionListOf({{"game.exe", "exe"}, {"gone.arc", "x"}, payload[0],
                                                           {"data\\new.arc", "new"}})});
        patch.Write("patch.exe", EncodePatch("MZ stub", EncodeArchive(payload, false)));
    }
    // The files of 1.00, laid out in folder.
    static void Lay(const TempDir& folder) {
        folder.Write("game.exe", "exe");
        folder.Write("a.arc", "old a");
        folder.Write("data/keep.txt", "keep");
        folder.Write("QMK.hvl", EncodeVersionListOf({{"game.exe", "exe"}, {"a.arc", "old a"}}));
        folder.Write("uninst.lst", "game.exe\r\na.arc\r\n$reg\r\n");
    }
    UpdateResult Run(const TempDir& folder) const {
        ScriptedView view;
        return RunUpdate(folder.Folder().c_str(), view, patch.Path("patch.exe").c_str());
    }
    TempDir game, patch, scratch;
};

TEST(ReleaseOverlay, RunLeavesTheFolderAndShowsWhatAPlainRunMakes) {
    Release r;
    const Files before = testutil::FileTree(r.game.Root());
    TempDir plain;
    Release::Lay(plain);
    ASSERT_EQ(r.Run(plain), UpdateOk);
    const Files after = testutil::FileTree(plain.Root());

    OverlayOs overlay(r.game.Folder(), r.scratch.Folder());
    ASSERT_EQ(r.Run(r.game), UpdateOk);
    EXPECT_EQ(testutil::FileTree(r.game.Root()), before);
    Files seen;
    for (const auto& [rel, bytes] : after)
        seen[rel] = testutil::ReadAll(fs::path(overlay.Where(testutil::FromUtf8(rel).u16string())));
    EXPECT_EQ(seen, after);
    EXPECT_EQ(overlay.Where(u"game.exe"), r.game.Path("game.exe"));
    EXPECT_EQ(overlay.Where(u"DATA/New.arc"), overlay.Where(u"data\\new.arc"));
    EXPECT_EQ(overlay.Where(u"a.arc.tmp"), u"");

    std::vector<std::string> differ, touched;
    for (const auto& [rel, bytes] : after)
        if (!before.count(rel) || before.at(rel) != bytes) differ.push_back(rel);
    for (const std::u16string& name : overlay.Touched()) touched.push_back(testutil::ToUtf8(fs::path(name)));
    for (std::string& name : touched) std::replace(name.begin(), name.end(), '\\', '/');
    EXPECT_EQ(touched, differ);
}

TEST(ReleaseOverlay, RefusesAsTheBackendsDo) {
    Release r;
    r.game.SetReadOnly("game.exe", true);
    const Files before = testutil::FileTree(r.game.Root());
    OverlayOs overlay(r.game.Folder(), r.scratch.Folder());
    os::Api& api = os::Current();
    const std::u16string readOnly = r.game.Path("game.exe"), removed = r.game.Path("a.arc"),
                         madeReadOnly = r.game.Path("data/keep.txt"), list = r.game.Path("QMK.hvl");
    ASSERT_TRUE(api.RemoveFile(removed.c_str()));
    ASSERT_TRUE(api.SetAttributes(madeReadOnly.c_str(), os::kAttrReadOnly));
    std::uint32_t e = 0;  // the code the failing call gives
    const struct { const char* what; std::function<bool()> fails; std::uint32_t code; } cases[] = {
        {"create in a missing folder", [&] { return api.OpenWrite(r.game.Path("no/x").c_str(), 0, &e) == -1; },
         os::kErrorPathNotFound},
        {"create a file the view has", [&] { return api.CreateNew(list.c_str(), &e) == -1; }, os::kErrorFileExists},
        {"create new in a missing folder", [&] { return api.CreateNew(r.game.Path("no/x").c_str(), &e) == -1; },
         os::kErrorPathNotFound},
        {"write a read-only file", [&] { return api.OpenWrite(readOnly.c_str(), 1, &e) == -1; },
         os::kErrorAccessDenied},
        {"write a file made read-only", [&] { return api.OpenWrite(madeReadOnly.c_str(), 0, &e) == -1; },
         os::kErrorAccessDenied},
        {"rename over a read-only file", [&] { return !api.ReplaceByRename(list.c_str(), readOnly.c_str(), &e); },
         os::kErrorAccessDenied},
        {"read beside the folder", [&] { return api.OpenRead(r.patch.Path("x").c_str(), &e) == -1; },
         os::kErrorFileNotFound},
        {"read a removed file", [&] { return api.OpenRead(removed.c_str(), &e) == -1; }, os::kErrorFileNotFound},
        {"remove a removed file", [&] { return !api.RemoveFile(removed.c_str()) && (e = api.LastError()); },
         os::kErrorFileNotFound},
    };
    for (const auto& c : cases) {
        e = 0;
        EXPECT_TRUE(c.fails()) << c.what;
        EXPECT_EQ(e, c.code) << c.what;
        EXPECT_EQ(api.LastError(), c.code) << c.what;
    }
    // Opened to be kept, a file is copied first; the read-only bit set through the view stays there.
    api.Close(api.OpenWrite(r.game.Path("uninst.lst").c_str(), true, nullptr));
    EXPECT_EQ(testutil::ReadAll(fs::path(overlay.Where(u"uninst.lst"))), before.at("uninst.lst"));
    EXPECT_EQ(overlay.Touched(), (std::vector<std::u16string>{u"a.arc", u"uninst.lst"}));
    EXPECT_EQ(testutil::FileTree(r.game.Root()), before);
    EXPECT_NE(fs::status(r.game.Native("data/keep.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
}

}  // namespace
