// patchtool's entry point on POSIX systems, where arguments already are UTF-8.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "support/os.h"
#include "tools/patchtool.h"

namespace {

// For the crash tests: with PATCHTOOL_KILL_AT_OS_CALL=N in the environment the process kills itself
// with SIGKILL just before its N-th OS call, the way a player's machine ends a run it does not
// finish. Only this Linux entry point reads it; the patcher and the Windows tool never do.
class KillSwitch : public os::Api {
public:
    explicit KillSwitch(unsigned long at) : at_(at) {}

    os::Handle OpenRead(const char16_t* p, std::uint32_t* e) override { return Next().OpenRead(p, e); }
    os::Handle OpenWrite(const char16_t* p, bool k, std::uint32_t* e) override { return Next().OpenWrite(p, k, e); }
    bool Read(os::Handle h, void* b, std::uint32_t n, std::uint32_t* d) override { return Next().Read(h, b, n, d); }
    bool Write(os::Handle h, const void* b, std::uint32_t n, std::uint32_t* d) override {
        return Next().Write(h, b, n, d);
    }
    bool Seek(os::Handle h, std::int32_t p) override { return Next().Seek(h, p); }
    std::uint32_t GetSize(os::Handle h) override { return Next().GetSize(h); }
    bool Flush(os::Handle h) override { return Next().Flush(h); }
    void Close(os::Handle h) override { Next().Close(h); }
    std::uint32_t GetAttributes(const char16_t* p) override { return Next().GetAttributes(p); }
    bool SetAttributes(const char16_t* p, std::uint32_t a) override { return Next().SetAttributes(p, a); }
    bool ReplaceByRename(const char16_t* f, const char16_t* t, std::uint32_t* e) override {
        return Next().ReplaceByRename(f, t, e);
    }
    void Wait(std::uint32_t ms) override { Next().Wait(ms); }
    bool RemoveFile(const char16_t* p) override { return Next().RemoveFile(p); }
    bool CreateFolder(const char16_t* p) override { return Next().CreateFolder(p); }
    std::uint32_t GetModulePath(char16_t* b, std::uint32_t c) override { return Next().GetModulePath(b, c); }
    int MultiToWide(std::uint32_t cp, const char* t, char16_t* o, int c) override {
        return Next().MultiToWide(cp, t, o, c);
    }
    int WideToMulti(std::uint32_t cp, const char16_t* t, char* o, int c) override {
        return Next().WideToMulti(cp, t, o, c);
    }

private:
    os::Api& Next() {
        if (++calls_ == at_) kill(getpid(), SIGKILL);
        return os::NativeApi();
    }

    unsigned long at_;
    unsigned long calls_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const char* killAt = std::getenv("PATCHTOOL_KILL_AT_OS_CALL");
    KillSwitch killSwitch(killAt ? std::strtoul(killAt, nullptr, 10) : 0);
    if (killAt) os::SetApi(&killSwitch);
    ConsoleIo io;
    io.in = &std::cin;
    io.inInteractive = isatty(STDIN_FILENO) != 0;
    io.errIsTerminal = isatty(STDERR_FILENO) != 0;
    int code = RunPatchtool(argc, argv, std::cout, std::cerr, io);
    os::SetApi(nullptr);
    return code;
}
