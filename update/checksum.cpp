// The rolling checksum.
//
// The byte loop is bound by its loop-carried multiply: every byte waits for word * 233 of the byte
// before. The fast path breaks that chain with two identities (P = 233, all arithmetic modular):
//
//  * The word after a block of k bytes b_0..b_{k-1} is word * P^k + sum b_i * P^(k-1-i) (mod 2^32).
//    The sum is a dot product with constant weights, done with independent multiplies; only one
//    multiply per 32 bytes remains in the chain.
//  * wordSum and wordXor need the low byte of the word after every byte. Modulo 256, P is odd and
//    P^32 = 1, so with y_i = b_i * P^-i the low byte after byte n is
//        l_n = P^n * (low(word at start) * P + y_0 + ... + y_n)    (mod 256),
//    i.e. a per-position multiply, a plain running sum and another per-position multiply. The running
//    sum is a prefix sum over byte lanes, and exponents repeat every 32 bytes.
//
// The vector code uses SSE2 only. Builds without SSE2 in their baseline (32-bit x86) get it through a
// function compiled for SSE2 and a CPU check; anything else uses the byte loop.
#include "update/checksum.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define CHECKSUM_X86_GNUC 1
#include <emmintrin.h>
#endif

namespace {

constexpr std::uint32_t kP = kChecksumMultiplier;

constexpr std::uint32_t Power(std::uint32_t exponent) {
    std::uint32_t r = 1;
    for (std::uint32_t i = 0; i < exponent; ++i) r *= kP;
    return r;
}

// The inverse of P modulo 256 (P is odd, so it exists).
constexpr std::uint32_t InversePByte() {
    for (std::uint32_t x = 1; x < 256; x += 2) {
        if (((x * kP) & 0xFF) == 1) return x;
    }
    return 0;
}

static_assert((Power(32) & 0xFF) == 1, "the low-byte exponents must repeat every 32 bytes");
static_assert(InversePByte() != 0);

constexpr std::uint32_t kBlock = 32;
// Below this the set-up of the vector path costs more than it saves.
constexpr std::uint32_t kVectorThreshold = 2 * kBlock;

inline void FoldBytes(RollingChecksum& s, const std::uint8_t* p, std::uint32_t length) {
    RollingChecksum t = s;  // a local copy the compiler keeps in registers
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t b = p[i];
        t.word = t.word * kP + b;
        const std::uint8_t w = static_cast<std::uint8_t>(t.word);
        t.wordSum = static_cast<std::uint8_t>(t.wordSum + w);
        t.wordXor ^= w;
        t.byteSum = static_cast<std::uint8_t>(t.byteSum + b);
        t.byteXor ^= b;
    }
    s = t;
}

#if CHECKSUM_X86_GNUC

// Per-position constants of one 32-byte block, derived from P at compile time. The block is handled
// as 16 byte pairs (2j, 2j+1); index 0 holds the pairs of bytes 0..15, index 1 those of 16..31.
struct BlockConstants {
    alignas(16) std::uint16_t inv[2][8];  // P^-(2j+1) modulo 256
    alignas(16) std::uint16_t pow[2][8];  // P^(2j+1) modulo 256
    // Word weights P^(30-2j) modulo 2^32 as signed 16-bit halves (pmaddwd multiplies signed values).
    alignas(16) std::int16_t weightLow[2][8];
    alignas(16) std::int16_t weightHigh[2][8];
    // The pair values enter pmaddwd with 32768 taken off; this adds it back: 32768 * sum of weights.
    std::uint32_t bias;
};

constexpr BlockConstants MakeBlockConstants() {
    BlockConstants c{};
    for (std::uint32_t pair = 0; pair < kBlock / 2; ++pair) {
        const std::uint32_t half = pair / 8, lane = pair % 8, odd = 2 * pair + 1;
        c.pow[half][lane] = static_cast<std::uint16_t>(Power(odd) & 0xFF);
        std::uint32_t inv = 1;
        for (std::uint32_t i = 0; i < odd; ++i) inv = (inv * InversePByte()) & 0xFF;
        c.inv[half][lane] = static_cast<std::uint16_t>(inv);

        // Q = high * 65536 + low with low taken as signed; borrowing 65536 from the high half keeps
        // Q modulo 2^32.
        const std::uint32_t q = Power(kBlock - 1 - odd);
        const std::uint32_t low = q & 0xFFFF;
        const std::uint32_t high = (q >> 16) + (low >= 0x8000 ? 1 : 0);
        c.weightLow[half][lane] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low));
        c.weightHigh[half][lane] = static_cast<std::int16_t>(static_cast<std::uint16_t>(high & 0xFFFF));
        c.bias += q * 0x8000u;
    }
    return c;
}

constexpr BlockConstants kConstants = MakeBlockConstants();
constexpr std::uint32_t kBlockPower = Power(kBlock);

#ifndef __SSE2__
#define CHECKSUM_SSE2_TARGET __attribute__((target("sse2")))
#else
#define CHECKSUM_SSE2_TARGET
#endif

CHECKSUM_SSE2_TARGET inline __m128i Load(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }

// Running sum over the eight 16-bit lanes.
CHECKSUM_SSE2_TARGET inline __m128i PrefixSum16(__m128i x) {
    x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
    x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
    return _mm_add_epi16(x, _mm_slli_si128(x, 8));
}

CHECKSUM_SSE2_TARGET inline std::uint8_t SumBytes(__m128i x) {
    const __m128i s = _mm_sad_epu8(x, _mm_setzero_si128());
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8)));
}

CHECKSUM_SSE2_TARGET inline std::uint8_t XorBytes(__m128i x) {
    x = _mm_xor_si128(x, _mm_srli_si128(x, 8));
    x = _mm_xor_si128(x, _mm_srli_si128(x, 4));
    x = _mm_xor_si128(x, _mm_srli_si128(x, 2));
    x = _mm_xor_si128(x, _mm_srli_si128(x, 1));
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(x));
}

// Folds blocks * 32 bytes into the state.
//
// Work is done on byte pairs in 16-bit lanes: c_j = P * b_2j + b_2j+1 (below 2^16) is the pair's
// part of the word, and P^-(2j+1) * c_j is the pair's part of the running sum. The running sum at
// the odd byte of a pair gives its low byte; the even byte's low byte follows backwards from it,
// P^-1 * (l_odd - b_odd). Only the low byte of each 16-bit lane matters for those, and it depends
// only on the low bytes of what went into it.
CHECKSUM_SSE2_TARGET void FoldBlocksSse2(RollingChecksum& s, const std::uint8_t* p, std::uint32_t blocks) {
    const BlockConstants& k = kConstants;
    const __m128i lowMask = _mm_set1_epi16(0x00FF);
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>(kP));
    const __m128i inverse = _mm_set1_epi16(static_cast<short>(InversePByte()));
    const __m128i signFlip = _mm_set1_epi16(static_cast<short>(0x8000));

    std::uint32_t word = s.word;
    // The running sum in every lane; it starts with low(word) * P.
    __m128i run = _mm_set1_epi16(static_cast<short>((word * kP) & 0xFF));
    __m128i wordSums = _mm_setzero_si128(), wordXors = _mm_setzero_si128();
    __m128i byteSums = _mm_setzero_si128(), byteXors = _mm_setzero_si128();

    for (std::uint32_t n = 0; n < blocks; ++n, p += kBlock) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        byteSums = _mm_add_epi8(byteSums, _mm_add_epi8(a, b));
        byteXors = _mm_xor_si128(byteXors, _mm_xor_si128(a, b));

        const __m128i aOdd = _mm_srli_epi16(a, 8), bOdd = _mm_srli_epi16(b, 8);
        const __m128i pairsA = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(a, lowMask), multiplier), aOdd);
        const __m128i pairsB = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(b, lowMask), multiplier), bOdd);

        // The block's part of the word: sum of c_j * P^(30-2j) modulo 2^32.
        const __m128i signedA = _mm_xor_si128(pairsA, signFlip), signedB = _mm_xor_si128(pairsB, signFlip);
        const __m128i low = _mm_add_epi32(_mm_madd_epi16(signedA, Load(k.weightLow[0])),
                                          _mm_madd_epi16(signedB, Load(k.weightLow[1])));
        const __m128i high = _mm_add_epi32(_mm_madd_epi16(signedA, Load(k.weightHigh[0])),
                                           _mm_madd_epi16(signedB, Load(k.weightHigh[1])));
        __m128i dot = _mm_add_epi32(low, _mm_slli_epi32(high, 16));
        dot = _mm_add_epi32(dot, _mm_shuffle_epi32(dot, 0x4E));
        dot = _mm_add_epi32(dot, _mm_shuffle_epi32(dot, 0xB1));
        word = word * kBlockPower + static_cast<std::uint32_t>(_mm_cvtsi128_si32(dot)) + k.bias;

        // Low bytes of the word after each byte.
        const __m128i sumA = PrefixSum16(_mm_mullo_epi16(pairsA, Load(k.inv[0])));
        const __m128i sumB = PrefixSum16(_mm_add_epi16(_mm_mullo_epi16(pairsB, Load(k.inv[1])), _mm_srli_si128(sumA, 14)));
        const __m128i lOddA = _mm_mullo_epi16(_mm_add_epi16(sumA, run), Load(k.pow[0]));
        const __m128i lOddB = _mm_mullo_epi16(_mm_add_epi16(sumB, run), Load(k.pow[1]));
        run = _mm_add_epi16(run, _mm_shuffle_epi32(_mm_shufflehi_epi16(sumB, 0xFF), 0xFF));
        const __m128i lEvenA = _mm_mullo_epi16(_mm_sub_epi16(lOddA, aOdd), inverse);
        const __m128i lEvenB = _mm_mullo_epi16(_mm_sub_epi16(lOddB, bOdd), inverse);

        const __m128i sums = _mm_add_epi16(_mm_add_epi16(lEvenA, lOddA), _mm_add_epi16(lEvenB, lOddB));
        const __m128i xors = _mm_xor_si128(_mm_xor_si128(lEvenA, lOddA), _mm_xor_si128(lEvenB, lOddB));
        wordSums = _mm_add_epi16(wordSums, sums);
        wordXors = _mm_xor_si128(wordXors, xors);
    }

    s.word = word;
    s.wordSum = static_cast<std::uint8_t>(s.wordSum + SumBytes(_mm_and_si128(wordSums, lowMask)));
    s.wordXor = static_cast<std::uint8_t>(s.wordXor ^ XorBytes(_mm_and_si128(wordXors, lowMask)));
    s.byteSum = static_cast<std::uint8_t>(s.byteSum + SumBytes(byteSums));
    s.byteXor = static_cast<std::uint8_t>(s.byteXor ^ XorBytes(byteXors));
}

bool HaveSse2() {
#ifdef __SSE2__
    return true;
#else
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") != 0;
    }();
    return have;
#endif
}

#endif  // CHECKSUM_X86_GNUC

}  // namespace

void ResetChecksum(RollingChecksum& state) { state = RollingChecksum{}; }

void UpdateChecksumBytewise(RollingChecksum& state, const void* data, std::uint32_t length) {
    FoldBytes(state, static_cast<const std::uint8_t*>(data), length);
}

void UpdateChecksum(RollingChecksum& state, const void* data, std::uint32_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
#if CHECKSUM_X86_GNUC
    if (length >= kVectorThreshold && HaveSse2()) {
        const std::uint32_t blocks = length / kBlock;
        FoldBlocksSse2(state, p, blocks);
        p += blocks * kBlock;
        length -= blocks * kBlock;
    }
#endif
    FoldBytes(state, p, length);
}

bool ChecksumEquals(const RollingChecksum& state, const std::uint8_t* expected) {
    return std::memcmp(&state, expected, sizeof state) == 0;
}
