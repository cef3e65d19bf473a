#include "kit/common/read_ahead.h"

#include <algorithm>
#include <chrono>

namespace {

// A chunk takes tens of microseconds either side, less than a sleeping thread takes to wake up: so
// each side first looks for up to a millisecond, then sleeps.
void Take(Semaphore& semaphore) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    do {
        if (semaphore.TryAcquire()) return;
    } while (std::chrono::steady_clock::now() < until);
    semaphore.Acquire();
}

}  // namespace

ReadAhead::ReadAhead() : buffers_(std::make_unique<std::uint8_t[]>(kCopyChunk)) {
    if (!asked_.Usable() || !read_.Usable()) return;
    thread_ = std::make_unique<SecondThread>([this] {
        for (;;) {
            Take(asked_);
            if (quit_) return;
            int asked = kAsked;
            if (!job_.compare_exchange_strong(asked, kReading)) continue;  // the caller took it back
            work_();
            read_.Release();
        }
    });
    if (!thread_->Started()) thread_.reset();
}

ReadAhead::~ReadAhead() {
    if (!thread_) return;
    quit_ = true;
    asked_.Release();
    thread_.reset();
}

void ReadAhead::Ask(std::function<void()> work) {
    work_ = std::move(work);
    job_ = kAsked;
    if (thread_) asked_.Release();
}

void ReadAhead::Collect() {
    // Work the thread has not begun (it may not even run yet) is done here, at once.
    int asked = kAsked;
    if (job_.compare_exchange_strong(asked, kIdle)) return work_();
    Take(read_);
    job_ = kIdle;
}

void ReadAhead::AskOne(CFileDX& in, std::uint32_t slot, std::uint32_t count) {
    in_ = &in;
    slot_ = slot;
    count_ = count;
    // Captures only this, so no allocation per chunk.
    Ask([this] { got_ = std::min(in_->Read(Buffer(slot_), count_), count_); });
}

std::uint32_t ReadAhead::CollectOne() {
    Collect();
    return got_;
}

StreamedBytes ReadAhead::Stream(CFileDX& in, std::uint32_t size, CFileDX* out, StreamStep* step) {
    if (!thread_ || size <= kCopyChunk) return StreamBytes(in, size, out, Buffer(0), step);
    StreamedBytes result;
    const auto ended = [&result](StreamEnd end) {
        result.end = end;
        return result;
    };
    if (step && !step->Continue(0)) return ended(StreamEnd::Stopped);
    std::uint32_t slot = 0;
    AskOne(in, slot, kChunk);
    std::uint32_t got = CollectOne();
    for (;;) {
        const std::uint32_t chunk = std::min(size - result.done, kChunk);
        const std::uint32_t rest = size - result.done - chunk;
        const bool ahead = got == chunk && rest > 0;
        if (ahead) AskOne(in, slot ^ 1, std::min(rest, kChunk));
        UpdateChecksum(result.checksum, Buffer(slot), got);
        result.done += got;
        const std::uint32_t next = ahead ? CollectOne() : 0;
        if (got != chunk) return ended(StreamEnd::ReadFailed);
        if (out && out->Write(Buffer(slot), chunk) != chunk) return ended(StreamEnd::WriteFailed);
        if (step && !step->Continue(result.done)) return ended(StreamEnd::Stopped);
        if (result.done == size) return result;
        slot ^= 1;
        got = next;
    }
}
