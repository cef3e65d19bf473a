// A test backend in front of the real OS seam: counts every call of a run and fails a chosen one.
//
// Use: construct it (it installs itself and restores the previous backend when destroyed), run the
// code, read the counts; then fail the N-th call of one kind, or the N-th call of all, and check the
// outcome. Failed calls never reach the real backend. A failed rename reports a plain error unless
// told to report another code, e.g. a sharing violation, so that a file held open by another
// program can be played: busy a few times, then free (FailNthTimes), or busy for ever. Waits are
// recorded, never slept.
#pragma once

#include <array>
#include <cstdint>

#include "support/os_forward.h"

using OsCall = os::Call;
inline const char* OsCallName(OsCall c) { return os::CallName(c); }

class FaultOs : public os::ForwardingApi {
public:
    FaultOs() : ForwardingApi(os::Current()) { previous_ = os::SetApi(this); }
    ~FaultOs() override { os::SetApi(previous_); }
    FaultOs(const FaultOs&) = delete;
    FaultOs& operator=(const FaultOs&) = delete;

    // Fails the n-th call (1-based) of one kind; with persistent, that one and every later one.
    void FailNth(OsCall kind, int n, bool persistent = false) { FailNthTimes(kind, n, persistent ? -1 : 1); }
    // Fails `times` calls of one kind from the n-th on (-1: every later one), then lets them through.
    void FailNthTimes(OsCall kind, int n, int times) {
        failKind_ = kind;
        failAt_ = n;
        failAny_ = false;
        failTimes_ = times;
    }
    // Fails the n-th call (1-based) of any kind.
    void FailCallNumber(int n) {
        failAny_ = true;
        failAt_ = n;
        failTimes_ = 1;
    }
    // The code a failed ReplaceByRename reports.
    void SetRenameError(std::uint32_t code) { renameError_ = code; }
    // The code every other failed call reports (access denied unless told otherwise).
    void SetError(std::uint32_t code) { error_ = code; }
    // A failed Read or Write reports half of what was asked (a short transfer) instead of an error.
    void SetShortTransfers(bool shortTransfers) { short_ = shortTransfers; }
    void Reset() {
        counts_.fill(0);
        total_ = 0;
        failAt_ = 0;
        failed_ = 0;
        failedKind_ = OsCall::kCount;
        waits_ = 0;
        waited_ = 0;
    }

    int Count(OsCall kind) const { return counts_[static_cast<int>(kind)]; }
    int Total() const { return total_; }
    int Failed() const { return failed_; }
    // Kind of the last failed call; kCount when none failed.
    OsCall FailedKind() const { return failedKind_; }
    // The waits asked for and their sum in milliseconds.
    int Waits() const { return waits_; }
    std::uint64_t WaitedMs() const { return waited_; }
    // Kind of the n-th call (1-based) of the last run, when recording is on.
    void Record(bool on) { record_ = on; }
    OsCall KindOfCall(int n) const { return n >= 1 && n <= total_ && n <= kMaxRecorded ? log_[n - 1] : OsCall::kCount; }

    bool Read(os::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (!short_ || count <= 1) return ForwardingApi::Read(h, buffer, count, done);
        return Next().Read(h, buffer, Fail(OsCall::Read) ? count / 2 : count, done);
    }
    bool Write(os::Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (!short_ || count <= 1) return ForwardingApi::Write(h, buffer, count, done);
        return Next().Write(h, buffer, Fail(OsCall::Write) ? count / 2 : count, done);
    }
    void Close(os::Handle h) override {
        Fail(OsCall::Close);  // counted; a close always releases the handle
        Next().Close(h);
    }
    // Recorded, never slept, and not counted among the calls.
    void Wait(std::uint32_t milliseconds) override {
        ++waits_;
        waited_ += milliseconds;
    }

protected:
    bool Enter(OsCall kind) override { return !Fail(kind); }
    std::uint32_t RefusalCode(OsCall kind) override {
        return kind == OsCall::ReplaceByRename ? renameError_ : error_;
    }

private:
    static constexpr int kMaxRecorded = 1 << 16;

    bool Fail(OsCall kind) {
        int& n = counts_[static_cast<int>(kind)];
        ++n;
        ++total_;
        if (record_ && total_ <= kMaxRecorded) log_[total_ - 1] = kind;
        bool hit = false;
        if (failAt_ > 0) {
            int seen = failAny_ ? total_ : (kind == failKind_ ? n : -1);
            hit = seen >= failAt_ && (failTimes_ < 0 || seen - failAt_ < failTimes_);
        }
        if (hit) {
            ++failed_;
            failedKind_ = kind;
        }
        return hit;
    }

    os::Api* previous_ = nullptr;
    std::array<int, static_cast<int>(OsCall::kCount)> counts_{};
    int total_ = 0;
    OsCall failKind_ = OsCall::kCount;
    int failAt_ = 0;
    bool failAny_ = false;
    int failTimes_ = 1;
    std::uint32_t renameError_ = os::kErrorWriteFault;
    std::uint32_t error_ = os::kErrorAccessDenied;
    int waits_ = 0;
    std::uint64_t waited_ = 0;
    bool short_ = false;
    int failed_ = 0;
    OsCall failedKind_ = OsCall::kCount;
    bool record_ = false;
    std::array<OsCall, kMaxRecorded> log_{};
};
