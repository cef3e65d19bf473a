// CFileDX and the safe whole-file replacement built on it.
#include "support/file.h"

#include <cstring>

#include "support/text.h"  // kPathUnits: the engine's path buffers, terminator included

namespace {
constexpr char16_t kTemporarySuffix[] = u".new";
}  // namespace

CFileDX::~CFileDX() { Close(); }

int CFileDX::Take(os::Handle (os::Api::*open)(const char16_t*, std::uint32_t*), const char16_t* path) {
    if (IsOpen()) return 0;
    std::uint32_t error = 0;
    const os::Handle h = (os::Current().*open)(path, &error);
    if (h == os::kInvalidHandle) {
        lastError_ = error;
        return 0;
    }
    handle_ = h;
    return 1;
}

int CFileDX::OpenRead(const char16_t* path) { return Take(&os::Api::OpenRead, path); }

int CFileDX::OpenWrite(const char16_t* path, std::int32_t mode) {
    if (IsOpen()) return 0;
    std::uint32_t ignored = 0;
    os::Handle h = os::Current().OpenWrite(path, mode == 1, &ignored);
    if (h == os::kInvalidHandle) return 0;  // LastError() stays as it was
    handle_ = h;
    return 1;
}

int CFileDX::CreateNew(const char16_t* path) { return Take(&os::Api::CreateNew, path); }

// The closed state hands the invalid handle to the OS like any other, so that the OS's answer is the
// result here too; the engine relies on reads after a failed open failing by themselves.
std::uint32_t CFileDX::Read(void* buffer, std::uint32_t count) {
    std::uint32_t done = 0;
    return os::Current().Read(handle_, buffer, count, &done) ? done : 0;
}

std::uint32_t CFileDX::Write(const void* buffer, std::uint32_t count) {
    std::uint32_t done = 0;
    return os::Current().Write(handle_, buffer, count, &done) ? done : 0;
}

int CFileDX::Seek(std::int32_t position) { return os::Current().Seek(handle_, position) ? 1 : 0; }

std::uint32_t CFileDX::GetSize() { return os::Current().GetSize(handle_); }

int CFileDX::Flush() { return os::Current().Flush(handle_) ? 1 : 0; }

const std::uint8_t* CFileDX::Map(std::uint32_t offset, std::uint32_t size) {
    std::uint32_t error = 0;
    const std::uint8_t* view = os::Current().MapRead(handle_, offset, size, &error);
    if (view == nullptr) lastError_ = error;
    return view;
}

bool CFileDX::Unmap(const std::uint8_t* view, std::uint32_t size) { return os::Current().Unmap(view, size); }

void CFileDX::Close() {
    if (!IsOpen()) return;
    os::Current().Close(handle_);
    handle_ = os::kInvalidHandle;
}

void RemoveLeftover(const char16_t* path) {
    os::Api& api = os::Current();
    const std::uint32_t attributes = api.GetAttributes(path);
    if (attributes == os::kInvalidAttributes) return;
    if ((attributes & os::kAttrReadOnly) != 0) api.SetAttributes(path, os::kAttrNormal);
    api.RemoveFile(path);
}

int ReplaceFileContents(const char16_t* path, const void* data, std::uint32_t size) {
    if (path == nullptr || (data == nullptr && size > 0)) return 0;
    std::size_t length = 0;
    while (length < kPathUnits && path[length] != 0) ++length;
    if (length == 0 || length == kPathUnits) return 0;
    // Room for the suffix beyond the engine's path size: a file whose own path fits is rewritten,
    // however close to the limit its folder is.
    constexpr std::size_t kSuffixLength = sizeof kTemporarySuffix / sizeof kTemporarySuffix[0] - 1;
    char16_t temporary[kPathUnits + kSuffixLength];
    std::memcpy(temporary, path, length * sizeof(char16_t));
    std::memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);

    os::Api& api = os::Current();
    // Refused up front rather than left to the rename: not every file system stops a rename over a
    // read-only file, and Windows would refuse the create-always open of it anyway.
    std::uint32_t attributes = api.GetAttributes(path);
    if (attributes != os::kInvalidAttributes && (attributes & (os::kAttrReadOnly | os::kAttrDirectory)) != 0) return 0;
    // Created new, so nothing is written through a link planted there.
    RemoveLeftover(temporary);
    CFileDX file;
    const bool created = file.CreateNew(temporary) != 0;
    const bool written = created && (size == 0 || file.Write(data, size) == size) && file.Flush() == 1;
    file.Close();
    if (written && os::ReplaceHeldFile(temporary, path)) return 1;
    if (created) api.RemoveFile(temporary);
    return 0;
}
