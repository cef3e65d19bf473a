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
    OpenRead, OpenWrite, CreateNew, Read, Write, Seek, GetSize, Flush, Close, MapRead, Unmap,
    GetAttributes, SetAttributes, ReplaceByRename, RemoveFile, GetModulePath,
    MultiToWide, WideToMulti, Wait,
    kCount
};

inline const char* CallName(Call c) {
    static const char* const names[] = {"OpenRead", "OpenWrite", "CreateNew", "Read", "Write", "Seek", "GetSize",
                                        "Flush", "Close", "MapRead", "Unmap", "GetAttributes", "SetAttributes",
                                        "ReplaceByRename", "RemoveFile", "GetModulePath",
                                        "MultiToWide", "WideToMulti", "Wait"};
    return c < Call::kCount ? names[static_cast<int>(c)] : "none";
}

class ForwardingApi : public Api {
public:
    explicit ForwardingApi(Api& next) : next_(&next) {}

    Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        return Forward(Call::OpenRead, kInvalidHandle, error, [&] { return next_->OpenRead(path, error); });
    }
    Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override {
        return Forward(Call::OpenWrite, kInvalidHandle, error, [&] { return next_->OpenWrite(path, keep, error); });
    }
    Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        return Forward(Call::CreateNew, kInvalidHandle, error, [&] { return next_->CreateNew(path, error); });
    }
    void GuardFolder(const char16_t* folder) override { next_->GuardFolder(folder); }
    bool Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (done) *done = 0;
        return Forward(Call::Read, false, nullptr, [&] { return next_->Read(h, buffer, count, done); });
    }
    bool Write(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (done) *done = 0;
        return Forward(Call::Write, false, nullptr, [&] { return next_->Write(h, buffer, count, done); });
    }
    bool Seek(Handle h, std::int32_t position) override {
        return Forward(Call::Seek, false, nullptr, [&] { return next_->Seek(h, position); });
    }
    std::uint32_t GetSize(Handle h) override {
        return Forward(Call::GetSize, kInvalidSize, nullptr, [&] { return next_->GetSize(h); });
    }
    bool Flush(Handle h) override { return Forward(Call::Flush, false, nullptr, [&] { return next_->Flush(h); }); }
    void Close(Handle h) override {
        Forward(Call::Close, 0, nullptr, [&] { return next_->Close(h), 0; });
    }
    const std::uint8_t* MapRead(Handle h, std::uint32_t offset, std::uint32_t size, std::uint32_t* error) override {
        return Forward(Call::MapRead, static_cast<const std::uint8_t*>(nullptr), error,
                       [&] { return next_->MapRead(h, offset, size, error); });
    }
    // A refused Unmap still ends the view (nothing may leak), and says the bytes were not read.
    bool Unmap(const std::uint8_t* view, std::uint32_t size) override {
        bool intact = next_->Unmap(view, size);
        return Forward(Call::Unmap, false, nullptr, [&] { return intact; });
    }
    std::uint32_t GetAttributes(const char16_t* path) override {
        return Forward(Call::GetAttributes, kInvalidAttributes, nullptr, [&] { return next_->GetAttributes(path); });
    }
    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        return Forward(Call::SetAttributes, false, nullptr, [&] { return next_->SetAttributes(path, attributes); });
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        return Forward(Call::ReplaceByRename, false, error, [&] { return next_->ReplaceByRename(from, to, error); });
    }
    bool RemoveFile(const char16_t* path) override {
        return Forward(Call::RemoveFile, false, nullptr, [&] { return next_->RemoveFile(path); });
    }
    void Wait(std::uint32_t milliseconds) override {
        Forward(Call::Wait, 0, nullptr, [&] { return next_->Wait(milliseconds), 0; });
    }
    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        return Forward(Call::GetModulePath, 0u, nullptr, [&] { return next_->GetModulePath(buffer, capacity); });
    }
    int MultiToWide(std::uint32_t cp, const char* text, char16_t* out, int capacity) override {
        return Forward(Call::MultiToWide, 0, nullptr, [&] { return next_->MultiToWide(cp, text, out, capacity); });
    }
    int WideToMulti(std::uint32_t cp, const char16_t* text, char* out, int capacity) override {
        return Forward(Call::WideToMulti, 0, nullptr, [&] { return next_->WideToMulti(cp, text, out, capacity); });
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
    // Refuses the call in progress here: code goes in *error when given and is LastError's answer
    // until the next call, or until ClearRefusal when the layer answers a call itself. Gives false.
    bool Refuse(std::uint32_t code, std::uint32_t* error = nullptr) {
        refused_ = code;
        if (error) *error = code;
        return false;
    }
    void ClearRefusal() { refused_ = 0; }

private:
    template <typename T, typename F>
    T Forward(Call kind, T refusal, std::uint32_t* error, F&& call) {
        refused_ = 0;
        if (!Enter(kind)) {
            Refuse(RefusalCode(kind), error);
            return refusal;
        }
        T result = call();
        Leave(kind);
        return result;
    }

    Api* next_;
    std::uint32_t refused_ = 0;
};

}  // namespace os
