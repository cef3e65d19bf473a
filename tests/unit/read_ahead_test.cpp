// The kit's read-ahead against StreamBytes: the same result and output around the chunk size, for an
// input shorter than claimed and a step that stops; its OS calls in one order, whichever one fails.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "kit/common/read_ahead.h"
#include "unit/fault_loop.h"
#include "unit/test_util.h"

namespace {

struct Streamed {
    StreamedBytes result;
    std::string written;
};

// Streams `claimed` bytes of dir/in (into dir/out when write), the step stopping once stopAt bytes
// are done (never when 0), through the read-ahead or (reader null) StreamBytes.
Streamed Stream(const testutil::TempDir& dir, ReadAhead* reader, std::uint32_t claimed, bool write,
                std::uint32_t stopAt) {
    CFileDX in, out;
    in.OpenRead(dir.Path("in").c_str());
    if (write) out.OpenWrite(dir.Path("out").c_str(), 0);
    StepOf step([stopAt](std::uint32_t done) { return stopAt == 0 || done < stopAt; });
    auto buffer = std::make_unique<std::uint8_t[]>(kCopyChunk);
    Streamed s;
    s.result = reader ? reader->Stream(in, claimed, write ? &out : nullptr, &step)
                      : StreamBytes(in, claimed, write ? &out : nullptr, buffer.get(), &step);
    out.Close();
    if (write) s.written = dir.Read("out");
    return s;
}

TEST(ReadAhead, GivesWhatStreamBytesGives) {
    testutil::TempDir dir("read-ahead");
    ReadAhead reader;
    // Size and claimed size; the last two shorter than claimed.
    const std::uint32_t sizes[][2] = {{0, 0}, {1, 1}, {kCopyChunk, kCopyChunk}, {kCopyChunk + 1, kCopyChunk + 1},
                                      {3 * kCopyChunk + 17, 3 * kCopyChunk + 17}, {2 * kCopyChunk + 5, 3 * kCopyChunk},
                                      {2 * kCopyChunk, 2 * kCopyChunk + 1}};
    for (const auto& [size, claimed] : sizes) {
        dir.Write("in", testutil::RandomBytes(size, size));
        // The read-ahead asks the step every half chunk, StreamBytes every chunk: they stop alike at
        // whole chunks.
        for (std::uint32_t stopAt : {0u, kCopyChunk, 2 * kCopyChunk}) {
            for (bool write : {false, true}) {
                SCOPED_TRACE(testing::Message() << "size " << size << " claimed " << claimed << " stop at " << stopAt
                                                << (write ? " writing" : ""));
                const Streamed ahead = Stream(dir, &reader, claimed, write, stopAt);
                const Streamed plain = Stream(dir, nullptr, claimed, write, stopAt);
                EXPECT_EQ(ahead.result.end, plain.result.end);
                EXPECT_EQ(ahead.result.done, plain.result.done);
                EXPECT_EQ(0, std::memcmp(&ahead.result.checksum, &plain.result.checksum, 8));
                EXPECT_TRUE(ahead.written == plain.written);
            }
        }
    }
}

// The next chunk is read before this one is written, so the calls keep one order: the same in every
// run, and the failed call decides how the stream ends.
TEST(ReadAhead, ReadsOneChunkAheadOfTheWriteInOneOrder) {
    testutil::TempDir dir("read-ahead");
    constexpr std::uint32_t kSize = 3 * kCopyChunk + 17, kChunks = kSize / (kCopyChunk / 2) + 1;
    dir.Write("in", testutil::RandomBytes(kSize, 3));
    ReadAhead reader;
    FaultOs fault;
    std::vector<OsCall> kinds;
    const auto run = [&] { return Stream(dir, &reader, kSize, true, 0).result; };
    ForEachFailedCall(
        fault, run,
        [&](const StreamedBytes& clean) {
            ASSERT_EQ(clean.end, StreamEnd::Complete);
            std::string order, expected = "R";
            for (int n = 1; n <= fault.Total(); ++n) {
                kinds.push_back(fault.KindOfCall(n));
                if (kinds.back() == OsCall::Read || kinds.back() == OsCall::Write) order += OsCallName(kinds.back())[0];
            }
            for (std::uint32_t k = 1; k < kChunks; ++k) expected += "RW";
            EXPECT_EQ(order, expected + "W");
        },
        [&](int n, const StreamedBytes& failed) {
            const OsCall kind = kinds[n - 1];
            EXPECT_EQ(fault.KindOfCall(n), kind);
            if (kind == OsCall::Read) { EXPECT_EQ(failed.end, StreamEnd::ReadFailed); }
            if (kind == OsCall::Write) { EXPECT_EQ(failed.end, StreamEnd::WriteFailed); }
        });
}

}  // namespace
