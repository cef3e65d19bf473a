// The rolling checksum every payload entry is verified with.
//
// Eight bytes, compared byte for byte with a version record's checksum in this memory order:
// `word` (little-endian), then `wordSum`, `wordXor`, `byteSum`, `byteXor`. Per input byte b:
// word = word * 233 + b (mod 2^32); w = low byte of the new word; wordSum += w; wordXor ^= w;
// byteSum += b; byteXor ^= b. Feeding a sequence in pieces gives the same state as in one.
#pragma once

#include <bit>
#include <cstdint>

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
// Folds length bytes into the state (the fast path used by the worker).
void UpdateChecksum(RollingChecksum& state, const void* data, std::uint32_t length);
// The straightforward byte-at-a-time loop; the reference the fast path is tested against.
void UpdateChecksumBytewise(RollingChecksum& state, const void* data, std::uint32_t length);
// True when the state's 8 bytes equal the 8 bytes at expected.
bool ChecksumEquals(const RollingChecksum& state, const std::uint8_t* expected);
