// `patchtool build --from OLD --to NEW` over a release of 2 GiB (64 files of 32 MiB, and a QMK.hvl
// each) with about 5% of its bytes changed (three files) and one file added, proof included, against `cat` of both release
// folders to /dev/null, as whole processes (ratio = BM_BuildFromReleases / BM_CatBothReleases); and
// the build's peak memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "unit/patch_format.h"
#include "unit/test_util.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 64;
constexpr std::size_t kFileBytes = 32u << 20;

struct ReleasePair {
    testutil::TempDir dir{"release-bench"};
    std::string cat = "cat";

    ReleasePair() {
        std::mt19937_64 rng(5);
        std::string bytes(kFileBytes, '\0');
        std::vector<VersionListEntry> oldList, newList;
        for (int f = 0; f < kFiles; ++f) {
            for (std::size_t i = 0; i < bytes.size(); i += 8) {
                const std::uint64_t r = rng();
                std::memcpy(&bytes[i], &r, 8);
            }
            const std::string name = "data/file" + std::to_string(f) + ".arc";
            dir.Write("old/" + name, bytes);
            oldList.push_back(RecordOf("data\\file" + std::to_string(f) + ".arc", bytes));
            if (f % 21 == 3) bytes[bytes.size() / 2] ^= 1;  // changed in the new release
            dir.Write("new/" + name, bytes);
            newList.push_back(RecordOf("data\\file" + std::to_string(f) + ".arc", bytes));
            cat += " '" + dir.Native("old/" + name).string() + "' '" + dir.Native("new/" + name).string() + "'";
        }
        dir.Write("new/data/added.arc", "a file the new release adds");
        newList.push_back(RecordOf("data\\added.arc", "a file the new release adds"));
        dir.Write("old/QMK.hvl", EncodeVersionList(oldList, false));
        dir.Write("new/QMK.hvl", EncodeVersionList(newList, false));
        dir.Write("old/uninst.lst", "game.exe\n");
        dir.Write("stub.exe", testutil::MakeStub());
    }
    std::vector<std::string> BuildArgs() const {
        return {"build", "--stub", dir.Native("stub.exe").string(), "--out", dir.Native("patch.exe").string(),
                "--from", dir.Native("old").string(), "--to", dir.Native("new").string()};
    }
};

ReleasePair& Pair() {
    static ReleasePair pair;
    return pair;
}

void BM_BuildFromReleases(benchmark::State& state) {
    std::string command = PATCHTOOL_PATH;
    for (const std::string& arg : Pair().BuildArgs()) command += " '" + arg + "'";
    bench::TimeCommand(state, command + " > /dev/null", 2ull * kFiles * kFileBytes);
}
BENCHMARK(BM_BuildFromReleases)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_CatBothReleases(benchmark::State& state) {
    bench::TimeCommand(state, Pair().cat + " > /dev/null", 2ull * kFiles * kFileBytes);
}
BENCHMARK(BM_CatBothReleases)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_BuildFromReleasesPeakMemory(benchmark::State& state) { bench::CountPeakRss(state, Pair().BuildArgs()); }
BENCHMARK(BM_BuildFromReleasesPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
