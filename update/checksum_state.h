// The rolling checksum's state, which the checksum's interface and its vector kernels share.
//
// Eight bytes, compared byte for byte with a version record's checksum in this memory order:
// `word` (little-endian), then `wordSum`, `wordXor`, `byteSum`, `byteXor`. Per input byte b:
// word = word * 233 + b (mod 2^32); w = low byte of the new word; wordSum += w; wordXor ^= w;
// byteSum += b; byteXor ^= b. Feeding a sequence in pieces gives the same state as in one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "checksum bytes are compared in memory order");

// The bytes of a checksum, in the state and wherever one is stored or shown.
inline constexpr std::size_t kChecksumSize = 8;

struct RollingChecksum {
    std::uint32_t word = 0;
    std::uint8_t wordSum = 0;
    std::uint8_t wordXor = 0;
    std::uint8_t byteSum = 0;
    std::uint8_t byteXor = 0;
};
static_assert(sizeof(RollingChecksum) == kChecksumSize);

inline constexpr std::uint32_t kChecksumMultiplier = 233;
