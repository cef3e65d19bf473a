// StreamBytes for the kit, with the reads done on a second thread one chunk ahead: the next chunk is
// read while this one is checksummed. `check`, `build` and `verify` read through one of these, in
// the memory StreamBytes' buffer takes.
//
// The result is StreamBytes' own, but that the step is told every half chunk (a step that stops the
// stream may stop it half a chunk sooner) and that one more half chunk may have been read when the
// step stops it or a write fails. The OS calls stay in one order and never overlap: the read ahead
// ends before the chunk before it is written (so only reading and checksumming overlap), and a
// stream returns only when no read is under way. Nothing in front of the seam needs to be
// thread-safe for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "support/file.h"
#include "tools/second_thread.h"
#include "update/entry_check.h"

class ReadAhead {
public:
    // Starts the reading thread; without one (or for a stream of one copy chunk) Stream is StreamBytes.
    ReadAhead();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    StreamedBytes Stream(CFileDX& in, std::uint32_t size, CFileDX* out, StreamStep* step = nullptr);

    // The reads of one step of a caller's own loop over several files: done in order on the thread
    // while the caller works on the step before. Collect waits for them, or does them itself when
    // the thread has not begun; then every got is set. Between Ask and Collect the caller makes no
    // OS call and leaves the targets alone.
    struct Read {
        CFileDX* file = nullptr;
        std::uint8_t* target = nullptr;
        std::uint32_t count = 0, got = 0;
    };
    void Ask(Read* reads, std::size_t count);
    // Work that makes no OS call (comparing mapped views, say), done the same way: on the thread
    // while the caller works, or by Collect when the thread has not begun it.
    void Ask(std::function<void()> work);
    void Collect();

private:
    // Half a copy chunk per read, so the two buffers together take what StreamBytes' one takes.
    static constexpr std::uint32_t kChunk = kCopyChunk / 2;
    std::uint8_t* Buffer(std::uint32_t slot) { return buffers_.get() + slot * kChunk; }
    // Stream's one read into a buffer, and what it gave.
    void AskOne(CFileDX& in, std::uint32_t slot, std::uint32_t count);
    std::uint32_t CollectOne();
    void DoReads();

    std::unique_ptr<std::uint8_t[]> buffers_;  // two halves: one read into, one checksummed
    Semaphore asked_, read_;
    // The reads asked for: whoever moves job_ on from kAsked does them. The semaphores wake the
    // other side; the job's state, not their counts, says what is to be done.
    enum { kIdle, kAsked, kReading };
    std::atomic<int> job_{kIdle};
    Read one_;
    Read* reads_ = nullptr;
    std::size_t readCount_ = 0;
    std::function<void()> work_;
    std::atomic<bool> quit_{false};
    std::unique_ptr<SecondThread> thread_;  // last: started once everything it uses exists
};
