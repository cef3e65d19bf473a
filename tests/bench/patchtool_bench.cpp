// `patchtool build`, whole and split, against the plainest copy of the same bytes through the same
// 1 MiB buffer: the build's checksum and bookkeeping should cost little beyond the copy itself.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/file.h"
#include "tools/patch_builder.h"
#include "tools/tool_files.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileCount = 4;
constexpr std::size_t kFileBytes = 16u << 20;  // 64 MiB in all
constexpr std::uint32_t kChunk = 0x100000;

std::string Utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// A PE stub of 0x600 bytes: headers and one section.
std::string Stub() {
    std::string pe(0x600, '\0');
    auto put = [&pe](std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) pe[at + i] = static_cast<char>(v >> (8 * i));
    };
    pe[0] = 'M';
    pe[1] = 'Z';
    put(0x3C, 0x40, 4);
    std::memcpy(&pe[0x40], "PE\0\0", 4);
    put(0x46, 1, 2);
    put(0x54, 0xF0, 2);
    put(0x58 + 60, 0x200, 4);
    put(0x58 + 0xF0 + 16, 0x400, 4);
    put(0x58 + 0xF0 + 20, 0x200, 4);
    pe[0x5FF] = '\x90';
    return pe;
}

struct Inputs {
    fs::path root;
    std::vector<std::string> files;
    std::string stub;

    Inputs() {
        root = fs::temp_directory_path() / ("patchtool-bench-" + std::to_string(fs::hash_value(fs::current_path())));
        fs::create_directories(root);
        std::uint32_t seed = 12345;
        std::string data(kFileBytes, '\0');
        for (std::size_t f = 0; f < kFileCount; ++f) {
            for (char& c : data) {
                seed = seed * 1664525u + 1013904223u;
                c = static_cast<char>(seed >> 24);
            }
            fs::path file = root / ("data" + std::to_string(f) + ".arc");
            std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
            files.push_back(Utf8(file));
        }
        std::string pe = Stub();
        std::ofstream(root / "stub.exe", std::ios::binary).write(pe.data(), static_cast<std::streamsize>(pe.size()));
        stub = Utf8(root / "stub.exe");
    }
    ~Inputs() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Inputs& TheInputs() {
    static Inputs inputs;
    return inputs;
}

void BM_PatchtoolBuild(benchmark::State& state) {
    Inputs& in = TheInputs();
    BuildRequest request;
    request.stubPath = in.stub;
    request.outPath = Utf8(in.root / "patch.exe");
    request.files = in.files;
    for (auto _ : state) {
        BuildSummary summary;
        std::string error;
        if (!BuildPatch(request, &summary, &error)) state.SkipWithError(error.c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileCount * kFileBytes));
}
BENCHMARK(BM_PatchtoolBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same files split into one part each: cutting an update should cost no more than the bytes.
void BM_PatchtoolBuildSplit(benchmark::State& state) {
    Inputs& in = TheInputs();
    BuildRequest request;
    request.stubPath = in.stub;
    request.outPath = Utf8(in.root / "split.exe");
    request.files = in.files;
    request.split = true;
    request.limits.maxFiles = 1;
    for (auto _ : state) {
        BuildSummary summary;
        std::string error;
        if (!BuildPatch(request, &summary, &error) || summary.parts.size() != kFileCount) {
            state.SkipWithError(error.c_str());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileCount * kFileBytes));
}
BENCHMARK(BM_PatchtoolBuildSplit)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PatchtoolPlainCopy(benchmark::State& state) {
    Inputs& in = TheInputs();
    std::u16string target = WidenUtf8(Utf8(in.root / "copy.bin"));
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
