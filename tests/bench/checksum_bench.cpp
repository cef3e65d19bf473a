// The rolling checksum over 32 MiB on every path this machine runs (the byte loop, then each vector
// kernel), fed in 1 MiB chunks as the copy loop does, and in 4 KiB pieces on the path UpdateChecksum
// takes. Compare the bytes_per_second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "update/checksum.h"

namespace {

constexpr std::size_t kBytes = 32u << 20;

const std::vector<std::uint8_t>& Data() {
    static const std::vector<std::uint8_t> data = [] {
        std::vector<std::uint8_t> d(kBytes);
        std::mt19937 rng(7);
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        return d;
    }();
    return data;
}

void Checksum(benchmark::State& state, ChecksumPath path, std::uint32_t chunk) {
    const auto& data = Data();
    for (auto _ : state) {
        RollingChecksum sum;
        ResetChecksum(sum);
        for (std::size_t at = 0; at < data.size(); at += chunk) UpdateChecksumWith(path, sum, data.data() + at, chunk);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

const bool registered = [] {
    for (ChecksumPath path : RunnableChecksumPaths()) {
        benchmark::RegisterBenchmark((std::string("Checksum/") + ChecksumPathName(path)).c_str(), Checksum, path, 1u << 20)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("ChecksumSmallPieces", Checksum, RunnableChecksumPaths().back(), 4096u)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace
