// patchtool's entry point on POSIX systems, where arguments already are UTF-8.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "support/os_forward.h"
#include "tools/patchtool/patchtool.h"

namespace {

// For the crash tests: with PATCHTOOL_KILL_AT_OS_CALL=N in the environment the process kills itself
// with SIGKILL just before its N-th OS call, the way a player's machine ends a run it does not
// finish. Only this Linux entry point reads it; the patcher and the Windows tool never do.
class KillSwitch : public os::ForwardingApi {
public:
    explicit KillSwitch(unsigned long at) : ForwardingApi(os::NativeApi()), at_(at) {}

protected:
    bool Enter(os::Call) override {
        if (++calls_ == at_) kill(getpid(), SIGKILL);
        return true;
    }

private:
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
