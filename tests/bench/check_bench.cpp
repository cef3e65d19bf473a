// `patchtool check` reads an installed game: its time should be the time of reading the bytes. It is
// measured against `cat FILES > /dev/null` over the same files (ratio = BM_CheckProcess time /
// BM_CatToDevNull time; BM_Check is the check alone, in this process), and its peak memory for a
// small and a large game.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "kit/examine/install_check.h"
#include "unit/patch_format.h"
#include "unit/test_util.h"

namespace {

constexpr std::size_t kFileBytes = 16u << 20;

// A game of `files` files of 16 MiB, one in a subfolder, and its QMK.hvl.
struct Game {
    testutil::TempDir dir{"check-bench"};
    std::vector<std::string> paths;
    std::uint64_t bytes = 0;

    explicit Game(int files) {
        std::vector<VersionListEntry> records;
        for (int f = 0; f < files; ++f) {
            const std::string data = testutil::RandomBytes(kFileBytes, 777 + f);
            std::string name = (f == 0 ? "data/" : "") + std::string("file") + std::to_string(f) + ".arc";
            dir.Write(name, data);
            records.push_back(RecordOf(f == 0 ? "DATA\\file0.arc" : name, data));
            paths.push_back(testutil::ToUtf8(dir.Native(name)));
            bytes += data.size();
        }
        dir.Write("QMK.hvl", EncodeVersionList(records, false));
    }
};

Game& TheGame() {
    static Game game(4);
    return game;
}

void BM_Check(benchmark::State& state) {
    Game& game = TheGame();
    for (auto _ : state) {
        InstallCheck check;
        std::string error;
        if (!CheckInstallation(testutil::ToUtf8(game.dir.Root()), &check, &error) || !check.Intact()) state.SkipWithError("not intact");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * game.bytes));
}
BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond)->UseRealTime();

// Whole processes, both started the same way: `patchtool check FOLDER` and `cat FILES`.
void BM_CheckProcess(benchmark::State& state) {
    Game& game = TheGame();
    bench::TimeCommand(state, PATCHTOOL_PATH " check '" + game.dir.Root().string() + "' > /dev/null", game.bytes);
}
BENCHMARK(BM_CheckProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatToDevNull(benchmark::State& state) {
    Game& game = TheGame();
    std::string command = "cat";
    for (const std::string& path : game.paths) command += " '" + path + "'";
    bench::TimeCommand(state, command + " > /dev/null", game.bytes);
}
BENCHMARK(BM_CatToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident memory of a `patchtool check` process for a game of range(0) files of 16 MiB.
void BM_CheckPeakMemory(benchmark::State& state) {
    Game game(static_cast<int>(state.range(0)));
    bench::CountPeakRss(state, {"check", game.dir.Root().string()});
}
BENCHMARK(BM_CheckPeakMemory)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
