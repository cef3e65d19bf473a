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
#include "support/second_thread.h"
#include "update/entry_check.h"

class ReadAhead {
public:
    // Starts the reading thread; without one (or for a stream of one copy chunk) Stream is StreamBytes.
    ReadAhead();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    StreamedBytes Stream(CFileDX& in, std::uint32_t size, CFileDX* out, StreamStep* step = nullptr);

    // Work of a caller's own loop, done on the thread while the caller works on the step before (a
    // comparison of mapped views, say); Collect waits for it, or does it itself when the thread has
    // not begun. The work may read files: then between Ask and Collect the caller makes no OS call.
    void Ask(std::function<void()> work);
    void Collect();

private:
    // Half a copy chunk per read, so the two buffers together take what StreamBytes' one takes.
    static constexpr std::uint32_t kChunk = kCopyChunk / 2;
    std::uint8_t* Buffer(std::uint32_t slot) { return buffers_.get() + slot * kChunk; }
    // Stream's one read into a buffer, and what it gave.
    void AskOne(CFileDX& in, std::uint32_t slot, std::uint32_t count);
    std::uint32_t CollectOne();

    std::unique_ptr<std::uint8_t[]> buffers_;  // two halves: one read into, one checksummed
    Semaphore asked_, read_;
    // The work asked for: whoever moves job_ on from kAsked does it. The semaphores wake the other
    // side; the job's state, not their counts, says what is to be done.
    enum { kIdle, kAsked, kReading };
    std::atomic<int> job_{kIdle};
    std::function<void()> work_;
    // Stream's read: from where, into which half, how much was asked and how much it gave.
    CFileDX* in_ = nullptr;
    std::uint32_t slot_ = 0, count_ = 0, got_ = 0;
    std::atomic<bool> quit_{false};
    std::unique_ptr<SecondThread> thread_;  // last: started once everything it uses exists
};
