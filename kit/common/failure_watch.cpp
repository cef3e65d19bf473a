#include "kit/common/failure_watch.h"

#include "kit/common/utf8_text.h"

namespace {

FailureWatch* g_watch = nullptr;

}  // namespace

FailureWatch::FailureWatch() : ForwardingApi(os::Current()), outer_(g_watch) {
    os::SetApi(this);
    g_watch = this;
}

FailureWatch::~FailureWatch() {
    g_watch = outer_;
    os::SetApi(&Next());
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
    if (ok) return true;  // every chunk of a copy passes here: nothing to look up then
    auto it = paths_.find(h);
    return Note(ok, operation, it == paths_.end() ? std::u16string(u"(a file not open)") : it->second);
}

os::Handle FailureWatch::Opened(const char16_t* path, os::Handle h, const char* operation) {
    if (Note(h != os::kInvalidHandle, operation, path)) paths_[h] = path;
    return h;
}

std::uint64_t FailureMark() { return g_watch ? g_watch->Failures() : 0; }

std::string FailureText(const std::string& fallback, std::uint64_t mark) {
    return g_watch && g_watch->Failures() > mark ? g_watch->Message() : fallback;
}
