// The rolling checksum: the worked examples, and every vector path the machine runs against the byte
// loop for every short length and alignment, random start states and random pieces. (Under Wine 8 the
// AVX-512 path never runs: its GetEnabledXStateFeatures leaves the AVX-512 state out, so the
// Windows builds take AVX2 there; Windows itself reports that state where it saves it.)
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "unit/patch_format.h"
#include "unit/test_util.h"
#include "update/checksum.h"

namespace {

using testutil::Bytes;

std::string StateBytes(const RollingChecksum& s) {
    std::string out(8, '\0');
    std::memcpy(out.data(), &s, 8);
    return out;
}

RollingChecksum RandomState(std::mt19937& rng) {
    RollingChecksum s;
    s.word = rng();
    s.wordSum = static_cast<std::uint8_t>(rng());
    s.wordXor = static_cast<std::uint8_t>(rng());
    s.byteSum = static_cast<std::uint8_t>(rng());
    s.byteXor = static_cast<std::uint8_t>(rng());
    return s;
}

// The vector paths the machine runs: each is checked against the byte loop.
std::vector<ChecksumPath> VectorPaths() {
    std::vector<ChecksumPath> paths(RunnableChecksumPaths().begin(), RunnableChecksumPaths().end());
    std::erase(paths, ChecksumPath::Bytes);
    return paths;
}

std::string Reference(RollingChecksum s, const std::string& data) {
    UpdateChecksumBytewise(s, data.data(), static_cast<std::uint32_t>(data.size()));
    return StateBytes(s);
}

TEST(Checksum, WorkedExamples) {
    const std::pair<std::string, std::string> cases[] = {  // input, checksum bytes
        {"", Bytes({0, 0, 0, 0, 0, 0, 0, 0})},
        {"abc", Bytes({0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60})},
        // These two fail when input bytes are sign-extended.
        {Bytes({0xFF, 0xFF}), Bytes({0x16, 0xE9, 0x00, 0x00, 0x15, 0xE9, 0xFE, 0x00})},
        {Bytes({0xFF}), Bytes({0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(input));
        RollingChecksum fast;
        ResetChecksum(fast);
        const RollingChecksum reset = fast;
        UpdateChecksum(fast, input.data(), static_cast<std::uint32_t>(input.size()));
        EXPECT_EQ(StateBytes(fast), expected);
        EXPECT_EQ(Reference(reset, input), expected);  // the byte loop
        std::uint8_t sum[8];
        ChecksumOf(input, sum);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sum), 8), expected);
    }
}

TEST(Checksum, AbcInPieces) {
    const std::string expected = Bytes({0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60});
    const std::vector<std::vector<std::uint32_t>> splits = {{1, 2}, {2, 0, 1}, {0, 3, 0}, {1, 1, 1}};
    for (const auto& split : splits) {
        RollingChecksum s;
        ResetChecksum(s);
        std::uint32_t at = 0;
        for (std::uint32_t n : split) {
            UpdateChecksum(s, "abc" + at, n);
            at += n;
        }
        EXPECT_EQ(StateBytes(s), expected);
    }
}

TEST(Checksum, ResetClearsEveryByte) {
    std::mt19937 rng(5);
    RollingChecksum s = RandomState(rng);
    ResetChecksum(s);
    EXPECT_EQ(StateBytes(s), std::string(8, '\0'));
}

// Every vector path against the byte loop, for every length up to a few KiB at every alignment to a
// 64-byte boundary, from random states; then in random pieces of random lengths.
TEST(Checksum, EveryPathMatchesByteLoopForEveryLengthAndAlignment) {
    std::mt19937 rng(11);
    constexpr std::uint32_t kLongest = 2100;
    const std::string data = testutil::RandomBytes(kLongest + 64, 12);
    for (ChecksumPath path : VectorPaths()) {
        SCOPED_TRACE(ChecksumPathName(path));
        for (std::uint32_t offset = 0; offset < 64; ++offset) {
            const RollingChecksum start = RandomState(rng);
            RollingChecksum reference = start;  // the byte loop's state after `length` bytes
            for (std::uint32_t length = 0; length <= kLongest; ++length) {
                RollingChecksum folded = start;
                UpdateChecksumWith(path, folded, data.data() + offset, length);
                ASSERT_EQ(StateBytes(folded), StateBytes(reference)) << "length " << length << " offset " << offset;
                UpdateChecksumBytewise(reference, data.data() + offset + length, 1);
            }
        }
    }
}

TEST(Checksum, EveryPathMatchesByteLoopInRandomPieces) {
    for (ChecksumPath path : VectorPaths()) {
        SCOPED_TRACE(ChecksumPathName(path));
        std::mt19937 rng(21);
        for (int round = 0; round < 40; ++round) {
            const std::uint32_t length = round < 30 ? rng() % 5000 : (1u << 20) + rng() % 4096;
            const std::string data = testutil::RandomBytes(length, static_cast<std::uint32_t>(round));
            const RollingChecksum start = RandomState(rng);
            RollingChecksum folded = start;
            std::uint32_t at = 0;
            while (at < length) {
                std::uint32_t piece = std::min<std::uint32_t>(length - at, rng() % (round % 3 == 0 ? 100 : 70000));
                UpdateChecksumWith(path, folded, data.data() + at, piece);
                at += piece;
            }
            ASSERT_EQ(StateBytes(folded), Reference(start, data)) << "round " << round << " length " << length;
        }
    }
}

// Inputs that stress the sums: all zero, all 0xFF, and a byte pattern with the exponents' period.
TEST(Checksum, EveryPathMatchesByteLoopOnUniformInput) {
    std::string period;
    for (int i = 0; i < 32; ++i) period.push_back(static_cast<char>(i * 37 + 128));
    std::string pattern;
    for (int i = 0; i < 1000; ++i) pattern += period;
    for (ChecksumPath path : VectorPaths()) {
        for (const std::string& data : {std::string(70000, '\0'), std::string(70001, '\xFF'), pattern}) {
            RollingChecksum zero, folded;
            ResetChecksum(zero);
            folded = zero;
            UpdateChecksumWith(path, folded, data.data(), static_cast<std::uint32_t>(data.size()));
            EXPECT_EQ(StateBytes(folded), Reference(zero, data)) << ChecksumPathName(path);
        }
    }
}

TEST(Checksum, EqualsComparesTheMemoryOrder) {
    RollingChecksum s;
    ResetChecksum(s);
    UpdateChecksum(s, "abc", 3);
    const std::string good = Bytes({0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60});
    EXPECT_TRUE(ChecksumEquals(s, reinterpret_cast<const std::uint8_t*>(good.data())));

    // The word in big-endian order is a different checksum.
    const std::string swapped = Bytes({0x00, 0x50, 0xB4, 0x06, 0x12, 0xCC, 0x26, 0x60});
    EXPECT_FALSE(ChecksumEquals(s, reinterpret_cast<const std::uint8_t*>(swapped.data())));
    for (int i = 0; i < 8; ++i) {
        std::string off = good;
        off[i] = static_cast<char>(off[i] ^ 0x01);
        EXPECT_FALSE(ChecksumEquals(s, reinterpret_cast<const std::uint8_t*>(off.data()))) << "byte " << i;
    }
}

}  // namespace
