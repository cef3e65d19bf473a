// The checksum's AVX2 kernel: 32 bytes per step. Called only where the CPU has AVX2 and the OS saves
// the 256-bit registers.
#include "update/checksum_kernels.h"

#if CHECKSUM_X86
#define CHECKSUM_TARGET __attribute__((target("avx2")))
#include <immintrin.h>

#include "update/checksum_lanes.h"

namespace {

struct Lanes256 {
    using V = __m256i;
    static constexpr std::uint32_t kBytes = 32;

    CHECKSUM_TARGET static V Load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    CHECKSUM_TARGET static V Zero() { return _mm256_setzero_si256(); }
    CHECKSUM_TARGET static V Set16(std::uint32_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
    CHECKSUM_TARGET static V Add8(V a, V b) { return _mm256_add_epi8(a, b); }
    CHECKSUM_TARGET static V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
    CHECKSUM_TARGET static V Sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
    CHECKSUM_TARGET static V Mul16(V a, V b) { return _mm256_mullo_epi16(a, b); }
    CHECKSUM_TARGET static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
    CHECKSUM_TARGET static V And(V a, V b) { return _mm256_and_si256(a, b); }
    CHECKSUM_TARGET static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
    CHECKSUM_TARGET static V HighBytes(V a) { return _mm256_srli_epi16(a, 8); }
    CHECKSUM_TARGET static V HighHalves(V a) { return _mm256_slli_epi32(a, 16); }
    CHECKSUM_TARGET static V MultiplyAdd(V a, V b) { return _mm256_madd_epi16(a, b); }
    // Each 128-bit half's last lane, in every lane of that half.
    CHECKSUM_TARGET static V HalfTotals(V x) {
        return _mm256_shuffle_epi8(x, _mm256_set1_epi16(0x0F0E));
    }
    // Running sum over the 16 lanes: within each half, then the low half's total into the high half.
    CHECKSUM_TARGET static V PrefixSum16(V x) {
        x = _mm256_add_epi16(x, _mm256_bslli_epi128(x, 2));
        x = _mm256_add_epi16(x, _mm256_bslli_epi128(x, 4));
        x = _mm256_add_epi16(x, _mm256_bslli_epi128(x, 8));
        const V totals = HalfTotals(x);
        return _mm256_add_epi16(x, _mm256_permute2x128_si256(totals, totals, 0x08));
    }
    CHECKSUM_TARGET static V BroadcastLast16(V x) {
        const V totals = HalfTotals(x);
        return _mm256_permute2x128_si256(totals, totals, 0x11);
    }
    CHECKSUM_TARGET static std::uint32_t Sum32(V x) {
        return Lanes128::Sum32(_mm_add_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1)));
    }
    CHECKSUM_TARGET static std::uint32_t SumBytes(V x) {
        return Lanes128::SumBytes(_mm256_castsi256_si128(x)) + Lanes128::SumBytes(_mm256_extracti128_si256(x, 1));
    }
    CHECKSUM_TARGET static std::uint32_t XorBytes(V x) {
        return Lanes128::XorBytes(_mm_xor_si128(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1)));
    }
};

}  // namespace

std::uint32_t FoldAvx2(RollingChecksum& state, const std::uint8_t* data, std::uint32_t length) {
    return FoldVectors<Lanes256>(state, data, length);
}
#endif
