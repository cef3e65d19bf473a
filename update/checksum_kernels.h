// The checksum's vector kernels, one per instruction set, each in its own file and compiled for it.
// Each folds the whole vectors at the start of data into the state and returns the bytes it folded
// (length rounded down to its vector size); the caller folds the rest. Call one only where the CPU
// and the OS can run it (see RunnableChecksumPaths).
#pragma once

#include <cstdint>

#include "update/checksum_state.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define CHECKSUM_X86 1
std::uint32_t FoldSse2(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length);
std::uint32_t FoldAvx2(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length);
std::uint32_t FoldAvx512(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length);
#else
#define CHECKSUM_X86 0
#endif
