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
#include <cstring>

#include "support/os.h"

enum class OsCall {
    OpenRead, OpenWrite, Read, Write, Seek, GetSize, Flush, Close,
    GetAttributes, SetAttributes, ReplaceByRename, RemoveFile, CreateFolder, GetModulePath,
    MultiToWide, WideToMulti,
    kCount
};

inline const char* OsCallName(OsCall c) {
    static const char* const names[] = {"OpenRead", "OpenWrite", "Read", "Write", "Seek", "GetSize",
                                        "Flush", "Close", "GetAttributes", "SetAttributes",
                                        "ReplaceByRename", "RemoveFile", "CreateFolder", "GetModulePath",
                                        "MultiToWide", "WideToMulti"};
    return names[static_cast<int>(c)];
}

class FaultOs : public os::Api {
public:
    FaultOs() : real_(os::Current()) { previous_ = os::SetApi(this); }
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

    os::Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        if (Fail(OsCall::OpenRead)) {
            if (error) *error = os::kErrorAccessDenied;
            return os::kInvalidHandle;
        }
        return real_.OpenRead(path, error);
    }
    os::Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override {
        if (Fail(OsCall::OpenWrite)) {
            if (error) *error = os::kErrorAccessDenied;
            return os::kInvalidHandle;
        }
        return real_.OpenWrite(path, keep, error);
    }
    bool Read(os::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (Fail(OsCall::Read)) {
            if (short_ && count > 1) return real_.Read(h, buffer, count / 2, done);
            *done = 0;
            return false;
        }
        return real_.Read(h, buffer, count, done);
    }
    bool Write(os::Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (Fail(OsCall::Write)) {
            if (short_ && count > 1) return real_.Write(h, buffer, count / 2, done);
            *done = 0;
            return false;
        }
        return real_.Write(h, buffer, count, done);
    }
    bool Seek(os::Handle h, std::int32_t position) override {
        return Fail(OsCall::Seek) ? false : real_.Seek(h, position);
    }
    std::uint32_t GetSize(os::Handle h) override {
        return Fail(OsCall::GetSize) ? 0xFFFFFFFFu : real_.GetSize(h);
    }
    bool Flush(os::Handle h) override { return Fail(OsCall::Flush) ? false : real_.Flush(h); }
    void Close(os::Handle h) override {
        Fail(OsCall::Close);  // counted; a close always releases the handle
        real_.Close(h);
    }
    std::uint32_t GetAttributes(const char16_t* path) override {
        return Fail(OsCall::GetAttributes) ? os::kInvalidAttributes : real_.GetAttributes(path);
    }
    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        return Fail(OsCall::SetAttributes) ? false : real_.SetAttributes(path, attributes);
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        if (Fail(OsCall::ReplaceByRename)) {
            if (error) *error = renameError_;
            return false;
        }
        return real_.ReplaceByRename(from, to, error);
    }
    void Wait(std::uint32_t milliseconds) override {
        ++waits_;
        waited_ += milliseconds;
    }
    bool RemoveFile(const char16_t* path) override {
        return Fail(OsCall::RemoveFile) ? false : real_.RemoveFile(path);
    }
    bool CreateFolder(const char16_t* path) override {
        return Fail(OsCall::CreateFolder) ? false : real_.CreateFolder(path);
    }
    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        return Fail(OsCall::GetModulePath) ? 0 : real_.GetModulePath(buffer, capacity);
    }
    int MultiToWide(std::uint32_t cp, const char* text, char16_t* out, int capacity) override {
        return Fail(OsCall::MultiToWide) ? 0 : real_.MultiToWide(cp, text, out, capacity);
    }
    int WideToMulti(std::uint32_t cp, const char16_t* text, char* out, int capacity) override {
        return Fail(OsCall::WideToMulti) ? 0 : real_.WideToMulti(cp, text, out, capacity);
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

    os::Api& real_;
    os::Api* previous_ = nullptr;
    std::array<int, static_cast<int>(OsCall::kCount)> counts_{};
    int total_ = 0;
    OsCall failKind_ = OsCall::kCount;
    int failAt_ = 0;
    bool failAny_ = false;
    int failTimes_ = 1;
    std::uint32_t renameError_ = os::kErrorWriteFault;
    int waits_ = 0;
    std::uint64_t waited_ = 0;
    bool short_ = false;
    int failed_ = 0;
    OsCall failedKind_ = OsCall::kCount;
    bool record_ = false;
    std::array<OsCall, kMaxRecorded> log_{};
};
