// The rolling checksum every payload entry is verified with (its state: checksum_state.h).
#pragma once

#include <cstdint>
#include <span>

#include "update/checksum_state.h"

void ResetChecksum(RollingChecksum& state);
// Folds length bytes into the state, on the widest path this machine runs.
void UpdateChecksum(RollingChecksum& state, const void* data, std::uint32_t length);
// The straightforward byte-at-a-time loop; the reference the vector paths are tested against.
void UpdateChecksumBytewise(RollingChecksum& state, const void* data, std::uint32_t length);

// The ways to fold bytes, narrowest first. All give the byte loop's result.
enum class ChecksumPath { Bytes, Sse2, Avx2, Avx512 };
// The paths the CPU has and the OS lets run (the wider registers must be saved by the OS across
// thread switches), narrowest first; UpdateChecksum takes the last. Decided once per process.
std::span<const ChecksumPath> RunnableChecksumPaths();
// "bytes", "sse2", "avx2", "avx512".
const char* ChecksumPathName(ChecksumPath path);
// UpdateChecksum on the given path, which must be one of RunnableChecksumPaths().
void UpdateChecksumWith(ChecksumPath path, RollingChecksum& state, const void* data, std::uint32_t length);
// True when the state's kChecksumSize bytes equal those at expected.
bool ChecksumEquals(const RollingChecksum& state, const std::uint8_t* expected);
