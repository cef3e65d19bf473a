// What failed, where, and why: the OS calls of one patchtool command, watched.
//
// The engine and the file helpers report a failure as a result code; the watch sits in front of the
// OS seam while a command runs and keeps the last open, read, write, seek, flush or rename that
// failed, with the path it was about and the system's reason, so the command can say
// "cannot write up.exe.partial: No space left on device" instead of guessing.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "support/os_forward.h"

class FailureWatch : public os::ForwardingApi {
public:
    // Installs itself in front of the current backend until it is destroyed.
    FailureWatch();
    ~FailureWatch() override;
    FailureWatch(const FailureWatch&) = delete;
    FailureWatch& operator=(const FailureWatch&) = delete;

    // How many watched calls failed so far.
    std::uint64_t Failures() const { return failures_; }
    // "cannot write PATH: REASON", or empty when nothing failed.
    std::string Message() const;

    // Each call goes on to the backend and is noted when it fails.
    os::Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        return Opened(path, ForwardingApi::OpenRead(path, error), "open");
    }
    os::Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override {
        return Opened(path, ForwardingApi::OpenWrite(path, keep, error), keep ? "open" : "create");
    }
    os::Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        return Opened(path, ForwardingApi::CreateNew(path, error), "create");
    }
    bool Read(os::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        return Note(ForwardingApi::Read(h, buffer, count, done), "read", h);
    }
    bool Write(os::Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        return Note(ForwardingApi::Write(h, buffer, count, done), "write", h);
    }
    bool Seek(os::Handle h, std::int32_t position) override {
        return Note(ForwardingApi::Seek(h, position), "seek in", h);
    }
    std::uint32_t GetSize(os::Handle h) override {
        std::uint32_t size = ForwardingApi::GetSize(h);
        Note(size != os::kInvalidSize, "read the size of", h);
        return size;
    }
    bool Flush(os::Handle h) override { return Note(ForwardingApi::Flush(h), "flush", h); }
    const std::uint8_t* MapRead(os::Handle h, std::uint32_t offset, std::uint32_t size, std::uint32_t* error) override {
        const std::uint8_t* view = ForwardingApi::MapRead(h, offset, size, error);
        Note(view != nullptr, "read", h);
        return view;
    }
    void Close(os::Handle h) override {
        paths_.erase(h);
        ForwardingApi::Close(h);
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        return Note(ForwardingApi::ReplaceByRename(from, to, error), "rename", std::u16string(from) + u" to " + to);
    }

private:
    os::Handle Opened(const char16_t* path, os::Handle h, const char* operation);
    bool Note(bool ok, const char* operation, const std::u16string& path);
    bool Note(bool ok, const char* operation, os::Handle h);

    FailureWatch* outer_;
    std::map<os::Handle, std::u16string> paths_;
    std::string operation_;
    std::u16string path_;
    std::uint32_t code_ = 0;
    std::uint64_t failures_ = 0;
};

// A point to tell later failures from earlier ones: the innermost watch's failure count (0 without one).
std::uint64_t FailureMark();
// The innermost watch's message when a call failed after mark, else fallback.
std::string FailureText(const std::string& fallback, std::uint64_t mark = 0);
