// A failed read, write or rename says which call failed, on which file, in the system's words.
#include <gtest/gtest.h>

#include <filesystem>

#include "unit/fault_os.h"
#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

TEST(PatchtoolFailure, NamesTheOperationThePathAndTheReason) {
    TempDir dir;
    const std::vector<PayloadFile> files = {{"a.arc", "alpha"}, {"QMK.hvl", EncodeVersionListOf({{"a.arc", "alpha"}})}};
    dir.Write("stub.exe", MakeStub());
    dir.Write("a.arc", "alpha");
    dir.Write("patch.exe", EncodePatch(MakeStub(), EncodeArchive(files, false)));
    dir.Write("game/a.arc", "old");
    dir.Write("game/QMK.hvl", files[1].data);
    dir.Write("old/a.arc", "old");
    const std::string at = ToUtf8(dir.Root()) + "/";
    const std::vector<std::string> build = {"build", "--stub", at + "stub.exe", "--out", at + "new.exe", at + "a.arc"};
    const std::vector<std::string> fromRelease = {"build", "--stub", at + "stub.exe", "--out", at + "new.exe",
                                                  "--from", at + "old", "--to", at + "game"};
    const std::string gameFile = at + "game" + (std::filesystem::path::preferred_separator == '/' ? "/" : "\\") + "a.arc";
    const struct {
        std::vector<std::string> args;
        OsCall kind;
        std::string operation;  // as the message names it, and the file it names
        std::string instead = {};  // what the message says instead of "cannot OPERATION: REASON"
    } cases[] = {
        {build, OsCall::Write, "write " + at + "new.exe.partial"},
        {build, OsCall::Read, "read " + at + "stub.exe"},
        {build, OsCall::ReplaceByRename, "rename " + at + "new.exe.partial to " + at + "new.exe"},
        {fromRelease, OsCall::MapRead, "read " + gameFile},
        // A view that did not show its file (the file shrank under it) is no OS failure of its own.
        {fromRelease, OsCall::Unmap, "", gameFile + ": it changed while it was read"},
        {{"verify", at + "patch.exe"}, OsCall::Read, "read " + at + "patch.exe"},
        {{"check", at + "game"}, OsCall::Read, "read " + at + "game\\QMK.hvl"},
        {{"apply", at + "patch.exe", at + "game"}, OsCall::Read, "read " + at + "patch.exe"},
        {{"apply", at + "patch.exe", at + "game"}, OsCall::Write, "write " + at + "game\\a.arc.tmp"},
        {{"apply", at + "patch.exe", at + "game"}, OsCall::ReplaceByRename,
         "rename " + at + "game\\a.arc.tmp to " + at + "game\\a.arc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " with a failed " + OsCallName(c.kind));
        FaultOs faults;
        faults.SetError(os::kErrorDiskFull);
        faults.SetRenameError(os::kErrorDiskFull);
        faults.FailNth(c.kind, 1);
        const Outcome run = Patchtool(c.args);
        EXPECT_NE(run.code, 0);
        EXPECT_EQ(faults.Failed(), 1);
        const std::string said = run.out + run.err;
        const std::string expected =
            c.instead.empty() ? "cannot " + c.operation + ": " + os::ErrorText(os::kErrorDiskFull) : c.instead;
        EXPECT_NE(said.find(expected), std::string::npos) << said;
    }
}

}  // namespace
