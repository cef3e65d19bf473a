// Applying a 256 MiB payload, against a plain 1 MiB-buffer copy of the same bytes to the same folder,
// and the peak memory of `patchtool apply` whatever the payload size.
//
// The patch is written once, streamed, with a verified entry and its version list. The worker also
// flushes each temporary file before the commit, so the copy is measured both without and with a
// final flush.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "support/file.h"
#include "unit/patch_format.h"
#include "unit/scripted_view.h"
#include "unit/test_util.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/entry_check.h"
#include "update/worker.h"

namespace {

namespace fs = std::filesystem;

struct Workspace {
    testutil::TempDir dir;
    fs::path patch = dir.Native("patch.bin");
    fs::path game = dir.Native("game");
    std::uint32_t size = 0;

    // Writes a patch with one entry of `mib` MiB and a version list that verifies it.
    Workspace(const char* tag, std::uint32_t mib) : dir(std::string("patcher-bench-") + tag) {
        size = mib << 20;

        std::ofstream out(patch, std::ios::binary);
        std::vector<char> zeros(kPayloadOffset + kHeaderSize + 2 * kWideEntrySize, 0);
        out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        std::vector<std::uint8_t> chunk(kCopyChunk);
        RollingChecksum sum;
        std::uint32_t seed = 12345;
        for (std::uint32_t done = 0; done < size; done += kCopyChunk) {
            for (auto& b : chunk) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
            UpdateChecksum(sum, chunk.data(), kCopyChunk);
            out.write(reinterpret_cast<const char*>(chunk.data()), kCopyChunk);
        }
        VersionListEntry record;
        record.name = "big.arc";
        std::memcpy(record.checksum, &sum, 8);
        std::string list = EncodeVersionList({record}, false);
        out.write(list.data(), static_cast<std::streamsize>(list.size()));

        std::uint8_t head[kHeaderSize + 2 * kWideEntrySize] = {};
        std::memcpy(head, kArchiveMagic, sizeof kArchiveMagic);
        StoreLe32(head + 12, 2);
        std::uint8_t* e = head + kHeaderSize;
        std::strcpy(reinterpret_cast<char*>(e), "big.arc");
        StoreLe32(e + 96, 0);
        StoreLe32(e + 100, size);
        e += kWideEntrySize;
        std::strcpy(reinterpret_cast<char*>(e), "QMK.hvl");
        StoreLe32(e + 96, size);
        StoreLe32(e + 100, static_cast<std::uint32_t>(list.size()));
        out.seekp(kPayloadOffset);
        out.write(reinterpret_cast<const char*>(head), sizeof head);
        out.close();
        dir.Write("game/uninst.lst", "game.exe\n");
    }
};

void BM_ApplyPatch(benchmark::State& state) {
    Workspace ws("apply", 256);
    std::u16string folder = ws.game.u16string();
    std::u16string patch = ws.patch.u16string();
    for (auto _ : state) {
        ScriptedView view;
        if (RunUpdate(folder.c_str(), view, patch.c_str()) != UpdateOk) state.SkipWithError("update failed");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * ws.size);
}
BENCHMARK(BM_ApplyPatch)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The same bytes, read from the patch and written to one file in the folder through the same 1 MiB
// buffer and the same file handle class; range(0) = 1 flushes the file before closing it.
void BM_PlainCopy(benchmark::State& state) {
    Workspace ws("copy", 256);
    std::u16string source = ws.patch.u16string();
    std::u16string target = (ws.game / "big.copy").u16string();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCopyChunk]);
    for (auto _ : state) {
        CFileDX in, out;
        in.OpenRead(source.c_str());
        in.Seek(kPayloadOffset + kHeaderSize + 2 * kWideEntrySize);
        out.OpenWrite(target.c_str(), 0);
        for (std::uint32_t done = 0; done < ws.size; done += kCopyChunk) {
            if (in.Read(buffer.get(), kCopyChunk) != kCopyChunk || out.Write(buffer.get(), kCopyChunk) != kCopyChunk)
                state.SkipWithError("copy failed");
        }
        if (state.range(0)) out.Flush();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * ws.size);
}
BENCHMARK(BM_PlainCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Whole processes: `patchtool apply` of the 256 MiB patch, and `dd bs=1M conv=fsync` of the same
// payload bytes from the patch into the same folder (ratio = BM_ApplyProcess / BM_DdFsync).
void BM_ApplyProcess(benchmark::State& state) {
    static Workspace ws("apply-process", 256);
    bench::TimeCommand(state, PATCHTOOL_PATH " apply '" + ws.patch.string() + "' '" + ws.game.string() + "' > /dev/null",
                       ws.size);
}
BENCHMARK(BM_ApplyProcess)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_DdFsync(benchmark::State& state) {
    static Workspace ws("dd", 256);
    const std::string at = std::to_string(kPayloadOffset + kHeaderSize + 2 * kWideEntrySize);
    bench::TimeCommand(state, "dd if='" + ws.patch.string() + "' of='" + (ws.game / "big.arc").string() +
                                  "' bs=1M iflag=skip_bytes,count_bytes skip=" + at + " count=" +
                                  std::to_string(ws.size) + " conv=fsync status=none",
                       ws.size);
}
BENCHMARK(BM_DdFsync)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Peak resident memory of a `patchtool apply` process, for payloads of range(0) MiB.
void BM_ApplyPeakMemory(benchmark::State& state) {
    Workspace ws("rss", static_cast<std::uint32_t>(state.range(0)));
    bench::CountPeakRss(state, {"apply", ws.patch.string(), ws.game.string()});
}
BENCHMARK(BM_ApplyPeakMemory)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
