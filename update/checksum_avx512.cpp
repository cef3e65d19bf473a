// The checksum's AVX-512 kernel: 64 bytes per step. Called only where the CPU has AVX-512 F and BW
// and the OS saves the 512-bit and mask registers.
#include "update/checksum_kernels.h"

#if CHECKSUM_X86
#if !defined(__clang__)
// GCC 12 takes the undefined upper halves inside its own AVX-512 intrinsics for uninitialised
// variables (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define CHECKSUM_TARGET __attribute__((target("avx2,avx512f,avx512bw")))
#include <immintrin.h>

#include "update/checksum_lanes.h"

namespace {

struct Lanes512 {
    using V = __m512i;
    static constexpr std::uint32_t kBytes = 64;

    CHECKSUM_TARGET static V Load(const void* p) { return _mm512_loadu_si512(p); }
    CHECKSUM_TARGET static V Zero() { return _mm512_setzero_si512(); }
    CHECKSUM_TARGET static V Set16(std::uint32_t x) { return _mm512_set1_epi16(static_cast<short>(x)); }
    CHECKSUM_TARGET static V Add8(V a, V b) { return _mm512_add_epi8(a, b); }
    CHECKSUM_TARGET static V Add16(V a, V b) { return _mm512_add_epi16(a, b); }
    CHECKSUM_TARGET static V Sub16(V a, V b) { return _mm512_sub_epi16(a, b); }
    CHECKSUM_TARGET static V Mul16(V a, V b) { return _mm512_mullo_epi16(a, b); }
    CHECKSUM_TARGET static V Add32(V a, V b) { return _mm512_add_epi32(a, b); }
    CHECKSUM_TARGET static V And(V a, V b) { return _mm512_and_si512(a, b); }
    CHECKSUM_TARGET static V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
    CHECKSUM_TARGET static V HighBytes(V a) { return _mm512_srli_epi16(a, 8); }
    CHECKSUM_TARGET static V HighHalves(V a) { return _mm512_slli_epi32(a, 16); }
    CHECKSUM_TARGET static V MultiplyAdd(V a, V b) { return _mm512_madd_epi16(a, b); }
    // The 128-bit quarters moved up by one quarter, the lowest one zero.
    CHECKSUM_TARGET static V UpOneQuarter(V x) { return _mm512_alignr_epi64(x, _mm512_setzero_si512(), 6); }
    // Running sum over the 32 lanes: within each quarter, then the totals of the quarters below.
    CHECKSUM_TARGET static V PrefixSum16(V x) {
        x = _mm512_add_epi16(x, _mm512_bslli_epi128(x, 2));
        x = _mm512_add_epi16(x, _mm512_bslli_epi128(x, 4));
        x = _mm512_add_epi16(x, _mm512_bslli_epi128(x, 8));
        const V below = UpOneQuarter(_mm512_shuffle_epi8(x, _mm512_set1_epi16(0x0F0E)));  // [0, T0, T1, T2]
        const V twoBelow = UpOneQuarter(below), threeBelow = UpOneQuarter(twoBelow);
        return _mm512_add_epi16(x, _mm512_add_epi16(below, _mm512_add_epi16(twoBelow, threeBelow)));
    }
    CHECKSUM_TARGET static V BroadcastLast16(V x) { return _mm512_permutexvar_epi16(_mm512_set1_epi16(31), x); }
    // Folded by hand: GCC's reduction intrinsics add in signed int, which may overflow. Byte sums
    // fold with byte adds (only their value modulo 256 is kept).
    CHECKSUM_TARGET static std::uint32_t Sum32(V x) {
        const __m256i y = _mm256_add_epi32(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
        return Lanes128::Sum32(_mm_add_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1)));
    }
    CHECKSUM_TARGET static std::uint32_t SumBytes(V x) {
        const __m256i y = _mm256_add_epi8(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
        return Lanes128::SumBytes(_mm_add_epi8(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1)));
    }
    CHECKSUM_TARGET static std::uint32_t XorBytes(V x) {
        const __m256i y = _mm256_xor_si256(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
        return Lanes128::XorBytes(_mm_xor_si128(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1)));
    }
};

}  // namespace

std::uint32_t FoldAvx512(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length) {
    return FoldVectors<Lanes512>(state, data, length);
}
#endif
