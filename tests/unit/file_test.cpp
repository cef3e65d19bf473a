// CFileDX's state machine and results, and ReplaceFileContents under failures of each OS call.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "support/file.h"
#include "unit/fault_loop.h"
#include "unit/fault_os.h"
#include "unit/os_test_support.h"
#include "unit/test_util.h"

using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

std::string ReadRest(CFileDX& file, std::uint32_t count) {
    std::string s(count, '\0');
    s.resize(file.Read(s.data(), count));
    return s;
}

TEST(FileHandle, OpenReadOfMissingFileKeepsTheOsError) {
    TempDir dir;
    CFileDX file;
    EXPECT_EQ(file.OpenRead(dir.Path("missing.bin").c_str()), 0);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.LastError(), os::kErrorFileNotFound);
    EXPECT_EQ(file.OpenRead(dir.Path("no-folder/missing.bin").c_str()), 0);
    EXPECT_EQ(file.LastError(), os::kErrorPathNotFound);
    // A failed write open leaves the error of the last read open.
    EXPECT_EQ(file.OpenWrite(dir.Path("no-folder/new.bin").c_str(), 0), 0);
    EXPECT_EQ(file.LastError(), os::kErrorPathNotFound);
    // A failed open leaves the object usable.
    dir.Write("there.bin", "x");
    EXPECT_EQ(file.OpenRead(dir.Path("there.bin").c_str()), 1);
    EXPECT_EQ(ReadRest(file, 4), "x");
}

TEST(FileHandle, OpensAreRefusedWhileAFileIsOpen) {
    TempDir dir;
    dir.Write("a.bin", "abcdef");
    dir.Write("b.bin", "keep me");
    for (bool openedForWrite : {false, true}) {
        SCOPED_TRACE(openedForWrite ? "open for writing" : "open for reading");
        CFileDX file;
        if (openedForWrite) {
            ASSERT_EQ(file.OpenWrite(dir.Path("a.bin").c_str(), 1), 1);
            ASSERT_EQ(file.Write("AB", 2), 2u);
        } else {
            ASSERT_EQ(file.OpenRead(dir.Path("a.bin").c_str()), 1);
            ASSERT_EQ(ReadRest(file, 2), "ab");
        }
        EXPECT_EQ(file.OpenRead(dir.Path("b.bin").c_str()), 0);
        EXPECT_EQ(file.OpenWrite(dir.Path("b.bin").c_str(), 0), 0);
        EXPECT_EQ(file.OpenWrite(dir.Path("a.bin").c_str(), 0), 0);
        EXPECT_TRUE(file.IsOpen());
        EXPECT_EQ(file.LastError(), 0u);
        // Same file, same position.
        if (openedForWrite)
            EXPECT_EQ(file.Write("CD", 2), 2u);
        else
            EXPECT_EQ(ReadRest(file, 2), "cd");
        file.Close();
        EXPECT_EQ(dir.Read("b.bin"), "keep me");
    }
    EXPECT_EQ(dir.Read("a.bin"), "ABCDef");
}

TEST(FileHandle, WriteModeOneKeepsContentsEveryOtherModeTruncates) {
    struct Case {
        std::int32_t mode;
        std::string after;
    };
    const Case cases[] = {{0, "XY"}, {1, "XYcdef"}, {2, "XY"}, {-1, "XY"}, {INT32_MIN, "XY"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        TempDir dir;
        dir.Write("f.bin", "abcdef");
        CFileDX file;
        ASSERT_EQ(file.OpenWrite(dir.Path("f.bin").c_str(), c.mode), 1);
        EXPECT_EQ(file.Write("XY", 2), 2u);
        file.Close();
        EXPECT_EQ(dir.Read("f.bin"), c.after);
        // Both dispositions create a missing file.
        ASSERT_EQ(file.OpenWrite(dir.Path("new.bin").c_str(), c.mode), 1);
        file.Close();
        EXPECT_EQ(dir.Read("new.bin"), "");
    }
}

TEST(FileHandle, ReadsAndSeeksAtAndPastTheEnd) {
    TempDir dir;
    dir.Write("f.bin", "0123456789");
    CFileDX file;
    ASSERT_EQ(file.OpenRead(dir.Path("f.bin").c_str()), 1);
    EXPECT_EQ(file.GetSize(), 10u);
    EXPECT_EQ(ReadRest(file, 100), "0123456789");  // a short count tells the end
    EXPECT_EQ(ReadRest(file, 1), "");
    EXPECT_EQ(file.Seek(4), 1);
    EXPECT_EQ(ReadRest(file, 3), "456");
    EXPECT_EQ(file.Seek(1000), 1);
    EXPECT_EQ(ReadRest(file, 1), "");
    EXPECT_EQ(file.Seek(INT32_MIN), 0);
    EXPECT_EQ(file.Seek(-1), 0);
    EXPECT_EQ(file.Seek(0), 1);
    EXPECT_EQ(ReadRest(file, 2), "01");
    EXPECT_EQ(file.Write("x", 1), 0u);  // opened for reading only
    EXPECT_EQ(file.Flush(), 0);
}

TEST(FileHandle, ClosedObjectGivesFailureResults) {
    TempDir dir;
    dir.Write("f.bin", "abc");
    CFileDX file;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "never opened" : "after Close");
        char buffer[4] = {};
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.GetSize(), 0xFFFFFFFFu);
        EXPECT_EQ(file.Seek(0), 0);
        EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
        EXPECT_EQ(file.Write("abc", 3), 0u);
        EXPECT_EQ(file.Flush(), 0);
        ASSERT_EQ(file.OpenRead(dir.Path("f.bin").c_str()), 1);
        file.Close();
    }
    EXPECT_EQ(dir.Read("f.bin"), "abc");
}

TEST(FileHandle, TheHandleIsClosedExactlyOnce) {
    TempDir dir;
    dir.Write("f.bin", "abc");
    FaultOs fault;
    {
        CFileDX file;
        ASSERT_EQ(file.OpenRead(dir.Path("f.bin").c_str()), 1);
        file.Close();
        file.Close();
    }
    EXPECT_EQ(fault.Count(OsCall::Close), 1);
    {
        CFileDX file;
        ASSERT_EQ(file.OpenWrite(dir.Path("f.bin").c_str(), 0), 1);
    }
    EXPECT_EQ(fault.Count(OsCall::Close), 2);
    {
        auto* file = new CFileDX;  // deleted through the object's virtual destructor
        ASSERT_EQ(file->OpenRead(dir.Path("f.bin").c_str()), 1);
        delete file;
    }
    EXPECT_EQ(fault.Count(OsCall::Close), 3);
    { CFileDX neverOpened; }
    EXPECT_EQ(fault.Count(OsCall::Close), 3);
    // The write handle is gone: the file can be opened without sharing again.
    CFileDX again;
    EXPECT_EQ(again.OpenWrite(dir.Path("f.bin").c_str(), 0), 1);
}

TEST(FileHandle, ReadThenRewriteThroughOneObject) {
    TempDir dir;
    dir.Write("list.txt", "old contents");
    CFileDX file;
    ASSERT_EQ(file.OpenRead(dir.Path("list.txt").c_str()), 1);
    EXPECT_EQ(ReadRest(file, 100), "old contents");
    file.Close();
    ASSERT_EQ(file.OpenWrite(dir.Path("list.txt").c_str(), 0), 1);
    EXPECT_EQ(file.Write("new", 3), 3u);
    EXPECT_EQ(file.Flush(), 1);
    EXPECT_EQ(file.GetSize(), 3u);
    file.Close();
    EXPECT_EQ(dir.Read("list.txt"), "new");
}

TEST(FileHandle, ReadOnlyFileCannotBeOpenedForWriting) {
    SKIP_UNLESS_READ_ONLY_GUARDS(Write);
    TempDir dir;
    dir.Write("ro.bin", "protected");
    dir.SetReadOnly("ro.bin", true);
    CFileDX file;
    EXPECT_EQ(file.OpenWrite(dir.Path("ro.bin").c_str(), 0), 0);
    EXPECT_EQ(file.OpenWrite(dir.Path("ro.bin").c_str(), 1), 0);
    EXPECT_FALSE(file.IsOpen());
    ASSERT_EQ(file.OpenRead(dir.Path("ro.bin").c_str()), 1);
    EXPECT_EQ(ReadRest(file, 100), "protected");
}

TEST(FileHandle, SizeOfAFileBeyondFourGiBIsItsLow32Bits) {
    TempDir dir;
    if (!ostest::MakeFileBeyondFourGiB(dir, 5)) GTEST_SKIP() << "no sparse 4 GiB file here";
    CFileDX file;
    ASSERT_EQ(file.OpenRead(dir.Path("big.bin").c_str()), 1);
    EXPECT_EQ(file.GetSize(), 5u);
}

// --- ReplaceFileContents ---

TEST(ReplaceFileContents, ReplacesOrCreatesAndLeavesNoTemporaryFile) {
    TempDir dir;
    dir.Write("list.txt", "old contents that are longer");
    const std::string data = testutil::RandomBytes(70000, 7);
    EXPECT_EQ(ReplaceFileContents(dir.Path("list.txt").c_str(), data.data(), static_cast<std::uint32_t>(data.size())),
              1);
    EXPECT_EQ(dir.Read("list.txt"), data);
    EXPECT_EQ(ReplaceFileContents(dir.Path("fresh.txt").c_str(), "abc", 3), 1);
    EXPECT_EQ(ReplaceFileContents(dir.Path("empty.txt").c_str(), nullptr, 0), 1);
    EXPECT_EQ(dir.Read("fresh.txt"), "abc");
    EXPECT_EQ(dir.Read("empty.txt"), "");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"empty.txt", "fresh.txt", "list.txt"}));
}

TEST(ReplaceFileContents, ReadOnlyOrFolderTargetIsLeftAsItWas) {
    TempDir dir;
    dir.Write("list.txt", "old");
    dir.SetReadOnly("list.txt", true);
    dir.MakeDir("folder");
    EXPECT_EQ(ReplaceFileContents(dir.Path("list.txt").c_str(), "new", 3), 0);
    EXPECT_EQ(ReplaceFileContents(dir.Path("folder").c_str(), "new", 3), 0);
    EXPECT_EQ(dir.Read("list.txt"), "old");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"folder", "list.txt"}));
}

TEST(ReplaceFileContents, ReadOnlyLeftoverTemporaryFileIsOverwritten) {
    TempDir dir;
    dir.Write("list.txt", "old");
    dir.Write("list.txt.new", "stale leftover");
    dir.SetReadOnly("list.txt.new", true);
    EXPECT_EQ(ReplaceFileContents(dir.Path("list.txt").c_str(), "new", 3), 1);
    EXPECT_EQ(dir.Read("list.txt"), "new");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"list.txt"});
}

// A path that fits the engine's 780 units is rewritten although "<path>.new" is longer; one that
// does not fit is refused before any OS call.
TEST(ReplaceFileContents, PathThatFitsIsRewrittenWhateverItsTemporaryName) {
    TempDir dir;
    const fs::path folder = testutil::MakeFolderOfLength(dir.Root(), 779 - 9);
    const std::u16string longest = (folder / "list.txt").u16string();
    ASSERT_EQ(longest.size(), 779u);
    testutil::WriteAll(folder / "list.txt", "old");
    EXPECT_EQ(ReplaceFileContents(longest.c_str(), "new", 3), 1);
    EXPECT_EQ(testutil::ReadAll(folder / "list.txt"), "new");
    EXPECT_FALSE(fs::exists(folder / "list.txt.new"));

    const std::u16string tooLong = longest + u"x";
    FaultOs fault;
    EXPECT_EQ(ReplaceFileContents(tooLong.c_str(), "x", 1), 0);
    EXPECT_EQ(ReplaceFileContents(u"", "x", 1), 0);
    EXPECT_EQ(ReplaceFileContents(nullptr, "x", 1), 0);
    EXPECT_EQ(fault.Total(), 0);
}

TEST(ReplaceFileContents, EachFailingCallLeavesTheOldFile) {
    TempDir dir;
    ForEachFailedKind(kRewriteFailures, [&](FaultOs&) {
        dir.Write("list.txt", "old");
        EXPECT_EQ(ReplaceFileContents(dir.Path("list.txt").c_str(), "new data", 8), 0);
        EXPECT_EQ(dir.Read("list.txt"), "old");
        EXPECT_EQ(dir.List(), std::vector<std::string>{"list.txt"});
    });
}

// Every call of a run failed in turn: the file is whole, old or new, and matches the result.
TEST(ReplaceFileContents, AnySingleFailureKeepsTheFileWhole) {
    TempDir dir;
    FaultOs fault;
    const int calls = ForEachFailedCall(
        fault,
        [&] {
            dir.Write("list.txt", "old");
            dir.Write("list.txt.new", "leftover");
            return ReplaceFileContents(dir.Path("list.txt").c_str(), "new", 3);
        },
        [](int result) { ASSERT_EQ(result, 1); },
        [&](int, int result) {
            EXPECT_EQ(dir.Read("list.txt"), result == 1 ? "new" : "old");
            // Only a leftover whose removal failed stays, as it was: the call removes what it made.
            if (dir.Exists("list.txt.new")) EXPECT_EQ(dir.Read("list.txt.new"), "leftover");
        });
    EXPECT_GE(calls, 5);
}

}  // namespace
