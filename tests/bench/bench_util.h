// Helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace bench {

// Times one whole process per iteration, started as `sh -c command` (which must exit with 0), over
// `bytes` bytes.
inline void TimeCommand(benchmark::State& state, const std::string& command, std::uint64_t bytes) {
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Runs patchtool with args (output discarded) and returns its peak resident memory in MiB, or a
// negative value when it did not exit with 0. A forked child starts with the parent's resident
// pages and the kernel keeps that peak across exec, so the benchmark's own freed heap (the inputs
// it generated) is given back first; what remains of the parent is well under a MiB or two.
inline double PatchtoolPeakRssMiB(const std::vector<std::string>& args) {
    malloc_trim(0);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv{const_cast<char*>("patchtool")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(PATCHTOOL_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss / 1024.0;
}

// One patchtool run per iteration; its peak resident memory is the counter peak_rss_MiB.
inline void CountPeakRss(benchmark::State& state, const std::vector<std::string>& args) {
    double peakMiB = 0;
    for (auto _ : state) {
        peakMiB = PatchtoolPeakRssMiB(args);
        if (peakMiB < 0) state.SkipWithError(("patchtool " + args[0] + " failed").c_str());
    }
    state.counters["peak_rss_MiB"] = peakMiB;
}

}  // namespace bench
