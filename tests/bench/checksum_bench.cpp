// The rolling checksum over 32 MiB: the fast path the worker uses against the byte loop. The fast
// path is meant to run at least four times the byte loop's rate; compare the bytes_per_second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
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

// Fed in 1 MiB chunks, as the worker's copy loop does.
template <void (*Update)(RollingChecksum&, const void*, std::uint32_t)>
void Checksum(benchmark::State& state) {
    const auto& data = Data();
    const std::uint32_t chunk = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        RollingChecksum sum;
        ResetChecksum(sum);
        for (std::size_t at = 0; at < data.size(); at += chunk) Update(sum, data.data() + at, chunk);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

BENCHMARK(Checksum<UpdateChecksumBytewise>)->Name("ChecksumBytewise")->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(Checksum<UpdateChecksum>)->Name("ChecksumFast")->Arg(1 << 20)->Unit(benchmark::kMillisecond);
// Small pieces: the byte loop's head and tail handling dominates.
BENCHMARK(Checksum<UpdateChecksum>)->Name("ChecksumFastSmallPieces")->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace
