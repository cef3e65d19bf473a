// `patchtool check` reads an installed game: its time should be the time of reading the bytes. It is
// measured against `cat FILES > /dev/null` over the same files (ratio = check time / cat time, from
// the two rows), and its peak memory for a small and a large game.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/install_check.h"
#include "bench/bench_util.h"
#include "tools/patch_format.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileBytes = 16u << 20;

std::string Utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// A game of `files` files of 16 MiB, one in a subfolder, and its QMK.hvl.
struct Game {
    fs::path root;
    std::vector<std::string> paths;
    std::uint64_t bytes = 0;

    explicit Game(int files) {
        root = fs::temp_directory_path() / ("check-bench-" + std::to_string(getpid()) + "-" + std::to_string(files));
        fs::create_directories(root / "data");
        std::vector<VersionListEntry> records;
        std::string data(kFileBytes, '\0');
        std::uint32_t seed = 777;
        for (int f = 0; f < files; ++f) {
            for (char& c : data) {
                seed = seed * 1664525u + 1013904223u;
                c = static_cast<char>(seed >> 24);
            }
            std::string name = (f == 0 ? "data/" : "") + std::string("file") + std::to_string(f) + ".arc";
            std::ofstream(root / name, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
            VersionListEntry record;
            record.name = f == 0 ? "DATA\\file0.arc" : name;
            ChecksumOf(data, record.checksum);
            records.push_back(record);
            paths.push_back(Utf8(root / name));
            bytes += data.size();
        }
        std::string list = EncodeVersionList(records, false);
        std::ofstream(root / "QMK.hvl", std::ios::binary).write(list.data(), static_cast<std::streamsize>(list.size()));
    }
    ~Game() {
        std::error_code ec;
        fs::remove_all(root, ec);
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
        if (!CheckInstallation(Utf8(game.root), &check, &error) || !check.Intact()) state.SkipWithError("not intact");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * game.bytes));
}
BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatToDevNull(benchmark::State& state) {
    Game& game = TheGame();
    std::string command = "cat";
    for (const std::string& path : game.paths) command += " '" + path + "'";
    command += " > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * game.bytes));
}
BENCHMARK(BM_CatToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident memory of a `patchtool check` process for a game of range(0) files of 16 MiB.
void BM_CheckPeakMemory(benchmark::State& state) {
    Game game(static_cast<int>(state.range(0)));
    double peakMiB = 0;
    for (auto _ : state) {
        peakMiB = bench::PatchtoolPeakRssMiB({"check", game.root.string()});
        if (peakMiB < 0) state.SkipWithError("patchtool check failed");
    }
    state.counters["peak_rss_MiB"] = peakMiB;
}
BENCHMARK(BM_CheckPeakMemory)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
