// The rolling checksum: the byte loop, and the choice of vector kernel (checksum_lanes.h explains
// how those work).
#include "update/checksum.h"

#include <cstring>

#include "support/os.h"
#include "update/checksum_kernels.h"

namespace {

inline void FoldBytes(RollingChecksum& s, const std::uint8_t* p, std::uint32_t length) {
    RollingChecksum t = s;  // a local copy the compiler keeps in registers
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t b = p[i];
        t.word = t.word * kChecksumMultiplier + b;
        const std::uint8_t w = static_cast<std::uint8_t>(t.word);
        t.wordSum = static_cast<std::uint8_t>(t.wordSum + w);
        t.wordXor ^= w;
        t.byteSum = static_cast<std::uint8_t>(t.byteSum + b);
        t.byteXor ^= b;
    }
    s = t;
}

struct Paths {
    ChecksumPath runnable[4] = {ChecksumPath::Bytes};
    std::size_t count = 1;
};

Paths FindRunnablePaths() {
    Paths paths;
#if CHECKSUM_X86
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("sse2")) return paths;
    paths.runnable[paths.count++] = ChecksumPath::Sse2;
    // The CPU's word alone is not enough: code that uses registers the OS does not save loses them
    // at the next thread switch.
    const os::VectorRegisters saved = os::SavedVectorRegisters();
    if (!saved.avx || !__builtin_cpu_supports("avx2")) return paths;
    paths.runnable[paths.count++] = ChecksumPath::Avx2;
    if (saved.avx512 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        paths.runnable[paths.count++] = ChecksumPath::Avx512;
#endif
    return paths;
}

}  // namespace

void ResetChecksum(RollingChecksum& state) { state = RollingChecksum{}; }

void UpdateChecksumBytewise(RollingChecksum& state, const void* data, std::uint32_t length) {
    FoldBytes(state, static_cast<const std::uint8_t*>(data), length);
}

std::span<const ChecksumPath> RunnableChecksumPaths() {
    static const Paths paths = FindRunnablePaths();
    return {paths.runnable, paths.count};
}

const char* ChecksumPathName(ChecksumPath path) {
    switch (path) {
        case ChecksumPath::Sse2: return "sse2";
        case ChecksumPath::Avx2: return "avx2";
        case ChecksumPath::Avx512: return "avx512";
        case ChecksumPath::Bytes: break;
    }
    return "bytes";
}

void UpdateChecksumWith(ChecksumPath path, RollingChecksum& state, const void* data, std::uint32_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t done = 0;
#if CHECKSUM_X86
    // Each kernel leaves the bytes short of its vector size to the narrower ones.
    switch (path) {
        case ChecksumPath::Avx512: done += FoldAvx512(state, p, length); [[fallthrough]];
        case ChecksumPath::Avx2: done += FoldAvx2(state, p + done, length - done); [[fallthrough]];
        case ChecksumPath::Sse2: done += FoldSse2(state, p + done, length - done); [[fallthrough]];
        case ChecksumPath::Bytes: break;
    }
#else
    (void)path;
#endif
    FoldBytes(state, p + done, length - done);
}

void UpdateChecksum(RollingChecksum& state, const void* data, std::uint32_t length) {
    UpdateChecksumWith(RunnableChecksumPaths().back(), state, data, length);
}

bool ChecksumEquals(const RollingChecksum& state, const std::uint8_t* expected) {
    return std::memcmp(&state, expected, sizeof state) == 0;
}
