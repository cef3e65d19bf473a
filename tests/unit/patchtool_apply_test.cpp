// patchtool apply: installs a patch as the patcher does, reports the result, and asks before a Ctrl+C
// cancels.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

TEST(PatchtoolApply, InstallsAndReportsTheResult) {
    Workshop w;
    w.files.resize(2);
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    w.dir.Write("game/uninst.lst", std::string("game.exe\n") + '\0');
    w.dir.Write("game/data1.arc", "old");

    Outcome applied = Patchtool({"apply", w.At("patch.exe"), w.At("game")});
    EXPECT_TRUE(OutSays(applied, 0, "result: UpdateOk (0x00000000)"));
    EXPECT_TRUE(Contains(applied.err, "data1.arcをインストール中\n"));
    EXPECT_FALSE(Contains(applied.err, "\r"));
    EXPECT_TRUE(w.dir.Read("game/data1.arc") == w.files[0].second);
    EXPECT_EQ(w.dir.List().size(), 4u);

    // On a terminal the progress is one redrawn line.
    ConsoleIo terminal;
    terminal.errIsTerminal = true;
    EXPECT_TRUE(ErrSays(Patchtool({"apply", w.At("patch.exe"), w.At("game")}, terminal), 0,
                        "\rdata1.arcをインストール中  [########################] 100%"));

    // A damaged patch installs nothing and exits with the result's low byte.
    std::string patch = w.dir.Read("patch.exe");
    patch[patch.size() - 1] ^= 1;  // the version list's last byte: empty.dat's checksum
    w.dir.Write("bad.exe", patch);
    w.dir.Write("game/empty.dat", "keep");
    EXPECT_TRUE(OutSays(Patchtool({"apply", w.At("bad.exe"), w.At("game")}), 1, "result: UpdateDamaged (0x80000001)"));
    EXPECT_EQ(w.dir.Read("game/empty.dat"), "keep");

    std::filesystem::remove(w.dir.Native("game/uninst.lst"));
    EXPECT_TRUE(OutSays(Patchtool({"apply", w.At("patch.exe"), w.At("game")}), 5, "UpdateUninstallListFailed (0x80000005)"));
}

TEST(PatchtoolApply, CtrlCAsksBeforeCancelling) {
    struct Case {
        const char* what;
        const char* input;
        bool interactive;
        bool cancelled;
    };
    const Case cases[] = {
        {"yes", " y\n", true, true},
        {"no", "n\n", true, false},
        {"just enter", "\n", true, false},
        {"end of input", "", true, true},
        {"nobody at the keyboard", "n\n", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.input);
        std::ostringstream err;
        ConsoleIo io;
        io.in = &in;
        io.inInteractive = c.interactive;
        ConsoleView view(err, io);
        EXPECT_EQ(view.PumpMessages(), 0);
        EXPECT_FALSE(view.CancelRequested());
        std::raise(SIGINT);  // the handler only notes it
        EXPECT_FALSE(view.CancelRequested());
        EXPECT_EQ(view.PumpMessages(), 0);
        EXPECT_EQ(view.CancelRequested(), c.cancelled);
        EXPECT_TRUE(Contains(err.str(), "Cancel the update? [y/N]"));
        EXPECT_FALSE(view.WindowClosed());
    }

    // Confirmed during a real run: nothing is installed and the run ends cancelled.
    Workshop w;
    w.files.resize(1);
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    w.dir.Write("game/uninst.lst", std::string("x\n") + '\0');
    std::istringstream in("y\n");
    std::ostringstream err;
    ConsoleIo io{&in, true, false, {}};
    ConsoleView view(err, io);
    ConsoleView::Interrupt();
    EXPECT_EQ(RunUpdate(w.dir.Path("game").c_str(), view, w.dir.Path("patch.exe").c_str()), UpdateCancelled);
    EXPECT_EQ(w.dir.List().size(), 4u);
    EXPECT_FALSE(w.dir.Exists("game/data1.arc"));
}

}  // namespace
