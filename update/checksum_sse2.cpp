// The checksum's SSE2 kernel. 32-bit x86 builds do not have SSE2 in their baseline: there the kernel
// is compiled for it and runs only after the CPU check.
#include "update/checksum_kernels.h"

#if CHECKSUM_X86
#define CHECKSUM_TARGET __attribute__((target("sse2")))
#include "update/checksum_lanes.h"

std::uint32_t FoldSse2(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length) {
    return FoldVectors<Lanes128>(state, data, length);
}
#endif
