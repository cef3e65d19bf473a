#include "tools/failure_watch.h"

#include "tools/tool_files.h"

namespace {

FailureWatch* g_watch = nullptr;

}  // namespace

FailureWatch::FailureWatch() : ForwardingApi(os::Current()), outer_(g_watch) {
    previous_ = os::SetApi(this);
    g_watch = this;
}

FailureWatch::~FailureWatch() {
    g_watch = outer_;
    os::SetApi(previous_);
}

std::string FailureWatch::Message() const {
    if (failures_ == 0) return {};
    return "cannot " + operation_ + " " + NarrowToUtf8(path_.c_str()) + ": " + os::ErrorText(code_);
}

bool FailureWatch::Note(bool ok, const char* operation, const std::u16string& path) {
    if (!ok) {
        ++failures_;
        code_ = Next().LastError();
        operation_ = operation;
        path_ = path;
    }
    return ok;
}

bool FailureWatch::Note(bool ok, const char* operation, os::Handle h) {
    auto it = paths_.find(h);
    return Note(ok, operation, it == paths_.end() ? std::u16string(u"(a file not open)") : it->second);
}

os::Handle FailureWatch::Opened(const char16_t* path, os::Handle h, const char* operation) {
    if (Note(h != os::kInvalidHandle, operation, path)) paths_[h] = path;
    return h;
}

os::Handle FailureWatch::OpenRead(const char16_t* path, std::uint32_t* error) {
    return Opened(path, ForwardingApi::OpenRead(path, error), "open");
}

os::Handle FailureWatch::OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) {
    return Opened(path, ForwardingApi::OpenWrite(path, keep, error), keep ? "open" : "create");
}

std::uint32_t FailureWatch::GetSize(os::Handle h) {
    std::uint32_t size = ForwardingApi::GetSize(h);
    Note(size != 0xFFFFFFFFu, "read the size of", h);
    return size;
}

void FailureWatch::Close(os::Handle h) {
    paths_.erase(h);
    ForwardingApi::Close(h);
}

bool FailureWatch::ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) {
    return Note(ForwardingApi::ReplaceByRename(from, to, error), "rename", std::u16string(from) + u" to " + to);
}

std::uint64_t FailureMark() { return g_watch ? g_watch->Failures() : 0; }

std::string FailureText(const std::string& fallback, std::uint64_t mark) {
    return g_watch && g_watch->Failures() > mark ? g_watch->Message() : fallback;
}
