// `patchtool build`, whole and split, against the plainest copy of the same bytes through the same
// 1 MiB buffer: the build's checksum and bookkeeping should cost little beyond the copy itself.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "kit/build/patch_builder.h"
#include "kit/common/kit_files.h"
#include "support/file.h"
#include "unit/test_util.h"

namespace {

using testutil::ToUtf8;

constexpr std::size_t kFileCount = 4;
constexpr std::size_t kFileBytes = 16u << 20;  // 64 MiB in all
constexpr std::uint32_t kChunk = 0x100000;

// Four files of 16 MiB and a stub.
struct Inputs {
    testutil::TempDir dir{"patchtool-bench"};
    std::vector<std::string> files;
    std::string stub = ToUtf8(dir.Native("stub.exe"));

    Inputs() {
        for (std::size_t f = 0; f < kFileCount; ++f) {
            std::string name = "data" + std::to_string(f) + ".arc";
            dir.Write(name, testutil::RandomBytes(kFileBytes, static_cast<std::uint32_t>(12345 + f)));
            files.push_back(ToUtf8(dir.Native(name)));
        }
        dir.Write("stub.exe", testutil::MakeStub());
    }
};

Inputs& TheInputs() {
    static Inputs inputs;
    return inputs;
}

// Builds every input into `out` once per iteration, whole or split into one part a file.
void Build(benchmark::State& state, const std::string& out, bool split) {
    Inputs& in = TheInputs();
    BuildRequest request;
    request.stubPath = in.stub;
    request.outPath = ToUtf8(in.dir.Native(out));
    request.files = in.files;
    request.split = split;
    if (split) request.limits.maxFiles = 1;
    for (auto _ : state) {
        BuildSummary summary;
        std::string error;
        if (!BuildPatch(request, &summary, &error) || (split && summary.parts.size() != kFileCount)) {
            state.SkipWithError(error.c_str());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileCount * kFileBytes));
}

void BM_PatchtoolBuild(benchmark::State& state) { Build(state, "patch.exe", false); }
BENCHMARK(BM_PatchtoolBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same files split into one part each: cutting an update should cost no more than the bytes.
void BM_PatchtoolBuildSplit(benchmark::State& state) { Build(state, "split.exe", true); }
BENCHMARK(BM_PatchtoolBuildSplit)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PatchtoolPlainCopy(benchmark::State& state) {
    Inputs& in = TheInputs();
    std::u16string target = in.dir.Path("copy.bin");
    auto buffer = std::make_unique<std::uint8_t[]>(kChunk);
    for (auto _ : state) {
        CFileDX out;
        out.OpenWrite(target.c_str(), 0);
        for (const std::string& file : in.files) {
            CFileDX source;
            source.OpenRead(WidenUtf8(file).c_str());
            while (std::uint32_t got = source.Read(buffer.get(), kChunk)) out.Write(buffer.get(), got);
        }
        out.Flush();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileCount * kFileBytes));
}
BENCHMARK(BM_PatchtoolPlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
