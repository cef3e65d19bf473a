// The rolling checksum: the worked examples, and the fast path against the byte loop for every
// length around its block size, random start states, random splits and unaligned buffers.
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

std::string Reference(RollingChecksum s, const std::string& data) {
    UpdateChecksumBytewise(s, data.data(), static_cast<std::uint32_t>(data.size()));
    return StateBytes(s);
}

TEST(Checksum, WorkedExamples) {
    struct Case {
        std::string input, expected;
    } cases[] = {
        {"", Bytes({0, 0, 0, 0, 0, 0, 0, 0})},
        {"abc", Bytes({0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60})},
        // These two fail when input bytes are sign-extended.
        {Bytes({0xFF, 0xFF}), Bytes({0x16, 0xE9, 0x00, 0x00, 0x15, 0xE9, 0xFE, 0x00})},
        {Bytes({0xFF}), Bytes({0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        RollingChecksum fast, bytewise;
        ResetChecksum(fast);
        ResetChecksum(bytewise);
        UpdateChecksum(fast, c.input.data(), static_cast<std::uint32_t>(c.input.size()));
        UpdateChecksumBytewise(bytewise, c.input.data(), static_cast<std::uint32_t>(c.input.size()));
        EXPECT_EQ(StateBytes(fast), c.expected);
        EXPECT_EQ(StateBytes(bytewise), c.expected);
        std::uint8_t sum[8];
        ChecksumOf(c.input, sum);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sum), 8), c.expected);
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

// Every length up to a few blocks, from random states and at every alignment of a 16-byte boundary.
TEST(Checksum, FastPathMatchesByteLoopForShortLengths) {
    std::mt19937 rng(11);
    const std::string data = testutil::RandomBytes(200 + 16, 12);
    for (std::uint32_t length = 0; length <= 160; ++length) {
        for (std::uint32_t offset = 0; offset < 16; offset += 5) {
            RollingChecksum start = RandomState(rng);
            const std::string piece = data.substr(offset, length);
            RollingChecksum fast = start;
            UpdateChecksum(fast, data.data() + offset, length);
            ASSERT_EQ(StateBytes(fast), Reference(start, piece)) << "length " << length << " offset " << offset;
        }
    }
}

TEST(Checksum, FastPathMatchesByteLoopInRandomSplits) {
    std::mt19937 rng(21);
    for (int round = 0; round < 40; ++round) {
        const std::uint32_t length = round < 30 ? rng() % 5000 : (1u << 20) + rng() % 4096;
        const std::string data = testutil::RandomBytes(length, static_cast<std::uint32_t>(round));
        const RollingChecksum start = RandomState(rng);
        RollingChecksum fast = start;
        std::uint32_t at = 0;
        while (at < length) {
            std::uint32_t piece = std::min<std::uint32_t>(length - at, rng() % (round % 3 == 0 ? 100 : 70000));
            UpdateChecksum(fast, data.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(StateBytes(fast), Reference(start, data)) << "round " << round << " length " << length;
    }
}

// Inputs that stress the sums: all zero, all 0xFF, and a byte pattern with a period of the block.
TEST(Checksum, FastPathMatchesByteLoopOnUniformInput) {
    std::string period;
    for (int i = 0; i < 32; ++i) period.push_back(static_cast<char>(i * 37 + 128));
    std::string pattern;
    for (int i = 0; i < 1000; ++i) pattern += period;
    for (const std::string& data : {std::string(70000, '\0'), std::string(70001, '\xFF'), pattern}) {
        RollingChecksum zero, fast;
        ResetChecksum(zero);
        fast = zero;
        UpdateChecksum(fast, data.data(), static_cast<std::uint32_t>(data.size()));
        EXPECT_EQ(StateBytes(fast), Reference(zero, data));
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
