// The rolling checksum every payload entry is verified with.
//
// Eight bytes, compared byte for byte with a version record's checksum in this memory order:
// `word` (little-endian), then `wordSum`, `wordXor`, `byteSum`, `byteXor`. Per input byte b:
// word = word * 233 + b (mod 2^32); w = low byte of the new word; wordSum += w; wordXor ^= w;
// byteSum += b; byteXor ^= b. Feeding a sequence in pieces gives the same state as in one.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

static_assert(std::endian::native == std::endian::little, "checksum bytes are compared in memory order");

struct RollingChecksum {
    std::uint32_t word = 0;
    std::uint8_t wordSum = 0;
    std::uint8_t wordXor = 0;
    std::uint8_t byteSum = 0;
    std::uint8_t byteXor = 0;
};
static_assert(sizeof(RollingChecksum) == 8);

inline constexpr std::uint32_t kChecksumMultiplier = 233;

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
// True when the state's 8 bytes equal the 8 bytes at expected.
bool ChecksumEquals(const RollingChecksum& state, const std::uint8_t* expected);
