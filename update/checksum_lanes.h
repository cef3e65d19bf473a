// The vector fold of the rolling checksum, written once over a lane type.
//
// The byte loop is bound by its loop-carried multiply: every byte waits for word * 233 of the byte
// before. The vector fold breaks that chain with two identities (P = 233, all arithmetic modular):
//
//  * The word after a group of k bytes b_0..b_{k-1} is word * P^k + sum b_i * P^(k-1-i) (mod 2^32).
//    The sum is a dot product with constant weights, done with independent multiplies; only one
//    multiply per group of up to 256 bytes remains in the chain.
//  * wordSum and wordXor need the low byte of the word after every byte. Modulo 256, P is odd and
//    P^32 = 1, so with y_i = b_i * P^-i the low byte after byte n is
//        l_n = P^n * (low(word at start) * P + y_0 + ... + y_n)    (mod 256),
//    i.e. a per-position multiply, a plain running sum and another per-position multiply. The running
//    sum is a prefix sum over the lanes, and exponents repeat every 32 bytes.
//
// Work is done on byte pairs in 16-bit lanes: c_j = P * b_2j + b_2j+1 (below 2^16) is the pair's
// part of the word, and P^-(2j+1) * c_j is the pair's part of the running sum. The running sum at
// the odd byte of a pair gives its low byte; the even byte's low byte follows backwards from it,
// P^-1 * (l_odd - b_odd). Only the low byte of each 16-bit lane matters for those, and it depends
// only on the low bytes of what went into it.
//
// Only the kernel files include this, each after defining CHECKSUM_TARGET (the instruction set its
// code is compiled for) and its lane type. Everything here has internal linkage, so no function
// compiled for wider registers can stand in for one that is called on any CPU.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "update/checksum_state.h"

#ifndef CHECKSUM_TARGET
#error "define CHECKSUM_TARGET before including checksum_lanes.h"
#endif

namespace {

constexpr std::uint32_t kP = kChecksumMultiplier;

constexpr std::uint32_t Power(std::uint32_t exponent, std::uint32_t base = kP) {
    std::uint32_t r = 1;
    for (std::uint32_t i = 0; i < exponent; ++i) r *= base;
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

// The word is brought up to date once per group of this many bytes.
constexpr std::uint32_t kGroupBytes = 256;
constexpr std::uint32_t kGroupPairs = kGroupBytes / 2;

struct GroupConstants {
    // Per pair of a 32-byte period (twice, to fill the widest vector): P^-(2j+1) and P^(2j+1) mod 256.
    alignas(64) std::uint16_t inv[32];
    alignas(64) std::uint16_t pow[32];
    // Word weights of the pairs of a group, P^(254-2j) modulo 2^32, as signed 16-bit halves (the
    // multiply-add multiplies signed values). A group of fewer bytes uses the last of them.
    alignas(64) std::int16_t weightLow[kGroupPairs];
    alignas(64) std::int16_t weightHigh[kGroupPairs];
    // For a group that starts at pair `first` of the table: the pair values enter the multiply-add
    // with 32768 taken off, bias[first] adds it back (32768 times the sum of its weights), and
    // power[first] is P to the group's length.
    std::uint32_t bias[kGroupPairs];
    std::uint32_t power[kGroupPairs];
};

constexpr GroupConstants MakeGroupConstants() {
    GroupConstants c{};
    for (std::uint32_t j = 0; j < 32; ++j) {
        const std::uint32_t odd = 2 * (j % 16) + 1;
        c.pow[j] = static_cast<std::uint16_t>(Power(odd) & 0xFF);
        c.inv[j] = static_cast<std::uint16_t>(Power(odd, InversePByte()) & 0xFF);
    }
    std::uint32_t bias = 0;
    for (std::uint32_t j = kGroupPairs; j-- > 0;) {
        // Q = high * 65536 + low with low taken as signed; borrowing 65536 from the high half keeps
        // Q modulo 2^32.
        const std::uint32_t q = Power(kGroupBytes - 2 - 2 * j);
        const std::uint32_t low = q & 0xFFFF;
        const std::uint32_t high = (q >> 16) + (low >= 0x8000 ? 1 : 0);
        c.weightLow[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low));
        c.weightHigh[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(high & 0xFFFF));
        bias += q * 0x8000u;
        c.bias[j] = bias;
        c.power[j] = Power(kGroupBytes - 2 * j);
    }
    return c;
}

constexpr GroupConstants kGroup = MakeGroupConstants();

// The SSE2 lanes: every x86 kernel also uses them for its final sums.
struct Lanes128 {
    using V = __m128i;
    static constexpr std::uint32_t kBytes = 16;

    CHECKSUM_TARGET static V Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    CHECKSUM_TARGET static V Zero() { return _mm_setzero_si128(); }
    CHECKSUM_TARGET static V Set16(std::uint32_t x) { return _mm_set1_epi16(static_cast<short>(x)); }
    CHECKSUM_TARGET static V Add8(V a, V b) { return _mm_add_epi8(a, b); }
    CHECKSUM_TARGET static V Add16(V a, V b) { return _mm_add_epi16(a, b); }
    CHECKSUM_TARGET static V Sub16(V a, V b) { return _mm_sub_epi16(a, b); }
    CHECKSUM_TARGET static V Mul16(V a, V b) { return _mm_mullo_epi16(a, b); }
    CHECKSUM_TARGET static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
    CHECKSUM_TARGET static V And(V a, V b) { return _mm_and_si128(a, b); }
    CHECKSUM_TARGET static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
    CHECKSUM_TARGET static V HighBytes(V a) { return _mm_srli_epi16(a, 8); }
    CHECKSUM_TARGET static V HighHalves(V a) { return _mm_slli_epi32(a, 16); }
    CHECKSUM_TARGET static V MultiplyAdd(V a, V b) { return _mm_madd_epi16(a, b); }
    // Running sum over the 16-bit lanes.
    CHECKSUM_TARGET static V PrefixSum16(V x) {
        x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
        return _mm_add_epi16(x, _mm_slli_si128(x, 8));
    }
    CHECKSUM_TARGET static V BroadcastLast16(V x) { return _mm_shuffle_epi32(_mm_shufflehi_epi16(x, 0xFF), 0xFF); }
    CHECKSUM_TARGET static std::uint32_t Sum32(V x) {
        x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
        x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
    }
    CHECKSUM_TARGET static std::uint32_t SumBytes(V x) {
        const V s = _mm_sad_epu8(x, _mm_setzero_si128());
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8)));
    }
    CHECKSUM_TARGET static std::uint32_t XorBytes(V x) {
        x = _mm_xor_si128(x, _mm_srli_si128(x, 8));
        x = _mm_xor_si128(x, _mm_srli_si128(x, 4));
        x = _mm_xor_si128(x, _mm_srli_si128(x, 2));
        x = _mm_xor_si128(x, _mm_srli_si128(x, 1));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
    }
};

// Folds length / L::kBytes whole vectors into the state; returns the bytes folded.
template <class L>
CHECKSUM_TARGET std::uint32_t FoldVectors(RollingChecksum& s, const std::uint8_t* p, std::uint32_t length) {
    using V = typename L::V;
    constexpr std::uint32_t kPairs = L::kBytes / 2;
    constexpr std::uint32_t kPerGroup = kGroupBytes / L::kBytes;
    // Vectors narrower than the 32-byte period take their per-position constants in turns.
    constexpr std::uint32_t kTurns = kPairs < 16 ? 16 / kPairs : 1;
    const GroupConstants& k = kGroup;
    const V lowMask = L::Set16(0x00FF), multiplier = L::Set16(kP), inverse = L::Set16(InversePByte());
    const V signFlip = L::Set16(0x8000);

    std::uint32_t word = s.word;
    // The running sum in every lane; it starts with low(word) * P.
    V run = L::Set16((word * kP) & 0xFF);
    V wordSums = L::Zero(), wordXors = L::Zero(), byteSums = L::Zero(), byteXors = L::Zero();
    std::uint32_t vectors = length / L::kBytes, turn = 0;
    const std::uint32_t folded = vectors * L::kBytes;
    while (vectors > 0) {
        const std::uint32_t count = vectors < kPerGroup ? vectors : kPerGroup;
        const std::uint32_t first = kGroupPairs - count * kPairs;
        vectors -= count;
        V low = L::Zero(), high = L::Zero();
        for (std::uint32_t v = 0; v < count; ++v, p += L::kBytes, turn = (turn + 1) % kTurns) {
            const V bytes = L::Load(p);
            byteSums = L::Add8(byteSums, bytes);
            byteXors = L::Xor(byteXors, bytes);

            const V odd = L::HighBytes(bytes);
            const V pairs = L::Add16(L::Mul16(L::And(bytes, lowMask), multiplier), odd);
            // The group's part of the word: sum of c_j * P^(weight) modulo 2^32.
            const V flipped = L::Xor(pairs, signFlip);
            low = L::Add32(low, L::MultiplyAdd(flipped, L::Load(k.weightLow + first + v * kPairs)));
            high = L::Add32(high, L::MultiplyAdd(flipped, L::Load(k.weightHigh + first + v * kPairs)));

            // Low bytes of the word after each byte.
            const V sum = L::PrefixSum16(L::Mul16(pairs, L::Load(k.inv + turn * kPairs)));
            const V lOdd = L::Mul16(L::Add16(sum, run), L::Load(k.pow + turn * kPairs));
            run = L::Add16(run, L::BroadcastLast16(sum));
            const V lEven = L::Mul16(L::Sub16(lOdd, odd), inverse);
            wordSums = L::Add16(wordSums, L::Add16(lEven, lOdd));
            wordXors = L::Xor(wordXors, L::Xor(lEven, lOdd));
        }
        word = word * k.power[first] + L::Sum32(L::Add32(low, L::HighHalves(high))) + k.bias[first];
    }

    s.word = word;
    s.wordSum = static_cast<std::uint8_t>(s.wordSum + L::SumBytes(L::And(wordSums, lowMask)));
    s.wordXor = static_cast<std::uint8_t>(s.wordXor ^ L::XorBytes(L::And(wordXors, lowMask)));
    s.byteSum = static_cast<std::uint8_t>(s.byteSum + L::SumBytes(byteSums));
    s.byteXor = static_cast<std::uint8_t>(s.byteXor ^ L::XorBytes(byteXors));
    return folded;
}

}  // namespace
