// A backend in front of another one: every call passes on unchanged unless a wrapper says otherwise.
//
// The test backends (fault injection, power cuts, files in memory) and patchtool's kill switch and
// failure watch derive from it and override only what they change. Before each call Enter(kind) is
// asked; when it says no, the call fails the way the OS fails it (an invalid handle, false, nothing
// transferred, 0xFFFFFFFF) with RefusalCode(kind) as its error, and the next backend never sees it.
// After a call that went through, Leave(kind) runs.
#pragma once

#include <cstdint>

#include "support/os.h"

namespace os {

enum class Call {
    OpenRead, OpenWrite, Read, Write, Seek, GetSize, Flush, Close,
    GetAttributes, SetAttributes, ReplaceByRename, RemoveFile, GetModulePath,
    MultiToWide, WideToMulti, Wait,
    kCount
};

inline const char* CallName(Call c) {
    static const char* const names[] = {"OpenRead", "OpenWrite", "Read", "Write", "Seek", "GetSize",
                                        "Flush", "Close", "GetAttributes", "SetAttributes",
                                        "ReplaceByRename", "RemoveFile", "GetModulePath",
                                        "MultiToWide", "WideToMulti", "Wait"};
    return c < Call::kCount ? names[static_cast<int>(c)] : "none";
}

class ForwardingApi : public Api {
public:
    explicit ForwardingApi(Api& next) : next_(&next) {}

    Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        if (!Pass(Call::OpenRead, error)) return kInvalidHandle;
        return Left(Call::OpenRead, next_->OpenRead(path, error));
    }
    Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override {
        if (!Pass(Call::OpenWrite, error)) return kInvalidHandle;
        return Left(Call::OpenWrite, next_->OpenWrite(path, keep, error));
    }
    bool Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (!Pass(Call::Read, nullptr)) return Nothing(done);
        return Left(Call::Read, next_->Read(h, buffer, count, done));
    }
    bool Write(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (!Pass(Call::Write, nullptr)) return Nothing(done);
        return Left(Call::Write, next_->Write(h, buffer, count, done));
    }
    bool Seek(Handle h, std::int32_t position) override {
        return Pass(Call::Seek, nullptr) && Left(Call::Seek, next_->Seek(h, position));
    }
    std::uint32_t GetSize(Handle h) override {
        return Pass(Call::GetSize, nullptr) ? Left(Call::GetSize, next_->GetSize(h)) : 0xFFFFFFFFu;
    }
    bool Flush(Handle h) override { return Pass(Call::Flush, nullptr) && Left(Call::Flush, next_->Flush(h)); }
    void Close(Handle h) override {
        if (!Pass(Call::Close, nullptr)) return;
        next_->Close(h);
        Leave(Call::Close);
    }
    std::uint32_t GetAttributes(const char16_t* path) override {
        return Pass(Call::GetAttributes, nullptr) ? Left(Call::GetAttributes, next_->GetAttributes(path))
                                                  : kInvalidAttributes;
    }
    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        return Pass(Call::SetAttributes, nullptr) && Left(Call::SetAttributes, next_->SetAttributes(path, attributes));
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        return Pass(Call::ReplaceByRename, error) && Left(Call::ReplaceByRename, next_->ReplaceByRename(from, to, error));
    }
    bool RemoveFile(const char16_t* path) override {
        return Pass(Call::RemoveFile, nullptr) && Left(Call::RemoveFile, next_->RemoveFile(path));
    }
    void Wait(std::uint32_t milliseconds) override {
        if (!Pass(Call::Wait, nullptr)) return;
        next_->Wait(milliseconds);
        Leave(Call::Wait);
    }
    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        if (!Pass(Call::GetModulePath, nullptr)) return 0;
        return Left(Call::GetModulePath, next_->GetModulePath(buffer, capacity));
    }
    int MultiToWide(std::uint32_t cp, const char* text, char16_t* out, int capacity) override {
        return Pass(Call::MultiToWide, nullptr) ? Left(Call::MultiToWide, next_->MultiToWide(cp, text, out, capacity)) : 0;
    }
    int WideToMulti(std::uint32_t cp, const char16_t* text, char* out, int capacity) override {
        return Pass(Call::WideToMulti, nullptr) ? Left(Call::WideToMulti, next_->WideToMulti(cp, text, out, capacity)) : 0;
    }
    // The refusal's code when this layer refused the last call, else the next backend's.
    std::uint32_t LastError() override { return refused_ != 0 ? refused_ : next_->LastError(); }

protected:
    Api& Next() const { return *next_; }
    // Whether the call may go on to the next backend.
    virtual bool Enter(Call) { return true; }
    virtual void Leave(Call) {}
    // The error a refused call reports.
    virtual std::uint32_t RefusalCode(Call) { return kErrorAccessDenied; }

    static bool Nothing(std::uint32_t* done) {
        if (done) *done = 0;
        return false;
    }

private:
    bool Pass(Call kind, std::uint32_t* error) {
        refused_ = 0;
        if (Enter(kind)) return true;
        refused_ = RefusalCode(kind);
        if (error) *error = refused_;
        return false;
    }
    template <typename T>
    T Left(Call kind, T result) {
        Leave(kind);
        return result;
    }

    Api* next_;
    std::uint32_t refused_ = 0;
};

}  // namespace os
